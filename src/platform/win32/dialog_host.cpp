// The dialog host over the real Win32 dialog manager and controls.
#include "platform/dialog_host.h"

#include <windows.h>
#include <commctrl.h>

namespace {
HWND H(PlatWindow w) {
    return static_cast<HWND>(w);
}
const wchar_t* W(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}
PlatDialogProc g_proc = nullptr;

INT_PTR CALLBACK DialogThunk(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return g_proc ? static_cast<INT_PTR>(g_proc(window, message, wParam, lParam)) : FALSE;
}

LRESULT ItemMessage(PlatWindow w, int32_t id, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendDlgItemMessageW(H(w), id, message, wParam, lParam);
}
} // namespace

int32_t PlatPostMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostMessageW(H(window), message, wParam, lParam) ? 1 : 0;
}

intptr_t PlatSendMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return SendMessageW(H(window), message, wParam, lParam);
}

intptr_t PlatDialogBox(uint32_t templateId, PlatDialogProc proc) {
    g_proc = proc;
    return DialogBoxParamW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(templateId), nullptr,
                           DialogThunk, 0);
}

void PlatEndDialog(PlatWindow window, intptr_t result) {
    EndDialog(H(window), result);
}

void PlatSetWindowTitle(PlatWindow window, const char16_t* text) {
    SetWindowTextW(H(window), W(text));
}

void PlatSetItemText(PlatWindow window, int32_t id, const char16_t* text) {
    SetDlgItemTextW(H(window), id, W(text));
}

void PlatEnableItem(PlatWindow window, int32_t id, int32_t enable) {
    EnableWindow(GetDlgItem(H(window), id), enable ? TRUE : FALSE);
}

void PlatListReset(PlatWindow window, int32_t id) {
    ItemMessage(window, id, CB_RESETCONTENT, 0, 0);
}

int32_t PlatListAdd(PlatWindow window, int32_t id, const char16_t* text) {
    LRESULT at = ItemMessage(window, id, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(W(text)));
    return at < 0 ? -1 : static_cast<int32_t>(at);
}

void PlatListSetData(PlatWindow window, int32_t id, int32_t index, intptr_t data) {
    ItemMessage(window, id, CB_SETITEMDATA, static_cast<WPARAM>(index), data);
}

intptr_t PlatListGetData(PlatWindow window, int32_t id, int32_t index) {
    LRESULT data = ItemMessage(window, id, CB_GETITEMDATA, static_cast<WPARAM>(index), 0);
    return data == CB_ERR ? -1 : static_cast<intptr_t>(data);
}

void PlatListSetSelection(PlatWindow window, int32_t id, int32_t index) {
    ItemMessage(window, id, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
}

int32_t PlatListGetSelection(PlatWindow window, int32_t id) {
    LRESULT at = ItemMessage(window, id, CB_GETCURSEL, 0, 0);
    return at < 0 ? -1 : static_cast<int32_t>(at);
}

void PlatProgressSetPos(PlatWindow window, int32_t id, int32_t position) {
    ItemMessage(window, id, PBM_SETPOS, static_cast<WPARAM>(position), 0);
}

int32_t PlatMessageBox(PlatWindow window, const char16_t* text, const char16_t* caption,
                       uint32_t type) {
    return MessageBoxW(H(window), W(text), W(caption), type);
}

void PlatSetTimer(PlatWindow window, uintptr_t id, uint32_t milliseconds) {
    SetTimer(H(window), id, milliseconds, nullptr);
}

void PlatKillTimer(PlatWindow window, uintptr_t id) {
    KillTimer(H(window), id);
}

int32_t PlatGetWindowRect(PlatWindow window, PlatRect* rect) {
    RECT r{};
    if (!GetWindowRect(H(window), &r)) return 0;
    *rect = {r.left, r.top, r.right, r.bottom};
    return 1;
}

int32_t PlatGetItemRect(PlatWindow window, int32_t id, PlatRect* rect) {
    HWND item = GetDlgItem(H(window), id);
    return item ? PlatGetWindowRect(item, rect) : 0;
}

int32_t PlatGetClientRect(PlatWindow window, PlatRect* rect) {
    RECT r{};
    if (!GetClientRect(H(window), &r)) return 0;
    *rect = {r.left, r.top, r.right, r.bottom};
    return 1;
}

void PlatMoveWindow(PlatWindow window, int32_t x, int32_t y, int32_t width, int32_t height) {
    MoveWindow(H(window), x, y, width, height, TRUE);
}

void PlatMoveItem(PlatWindow window, int32_t id, int32_t x, int32_t y, int32_t width,
                  int32_t height) {
    MoveWindow(GetDlgItem(H(window), id), x, y, width, height, TRUE);
}

PlatWindow PlatGetParentWindow(PlatWindow window) {
    return GetParent(H(window));
}

void PlatGetScreenSize(int32_t* width, int32_t* height) {
    *width = GetSystemMetrics(SM_CXSCREEN);
    *height = GetSystemMetrics(SM_CYSCREEN);
}

void PlatSetDialogIcon(PlatWindow window, int32_t controlId, uint32_t iconId, int32_t size) {
    HANDLE icon = LoadImageW(GetModuleHandleW(nullptr), MAKEINTRESOURCEW(iconId), IMAGE_ICON, size,
                             size, 0);
    ItemMessage(window, controlId, STM_SETIMAGE, IMAGE_ICON, reinterpret_cast<LPARAM>(icon));
    SetClassLongPtrW(H(window), GCLP_HICON, reinterpret_cast<LONG_PTR>(icon));
}
