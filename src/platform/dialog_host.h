// The dialog host: how the program talks to its one window. Controls are addressed by id;
// the drive list is a drop-down list of lines, each with an integer of item data.
//
// Windows: the real modal dialog from the program's resources (DialogBoxParamW and the
// ordinary window and control messages). Linux builds and every test: the headless host of
// sim/, an in-memory dialog with the same threading rules: a message sent from another thread
// waits until the dialog's thread handled it, posted messages queue, a message box keeps
// dispatching messages and timers while it waits for an answer, and a control touched from
// another thread is handled on the dialog's thread, as Windows does with the control messages.
#pragma once
#include "platform/types.h"

// A window handle (HWND).
typedef void* PlatWindow;

// Posts a message to the window's queue and returns at once: 1 when it was queued.
int32_t PlatPostMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Sends a message and waits until the window handled it; returns the handler's result.
intptr_t PlatSendMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// Window messages and notification values the program uses (the Windows numbers).
inline constexpr uint32_t PLAT_WM_INITDIALOG = 0x0110;
inline constexpr uint32_t PLAT_WM_COMMAND = 0x0111;
inline constexpr uint32_t PLAT_WM_TIMER = 0x0113;
inline constexpr uint32_t PLAT_WM_DEVICECHANGE = 0x0219;
inline constexpr uint32_t PLAT_CBN_SELENDOK = 9;
inline constexpr int32_t PLAT_IDOK = 1;
inline constexpr int32_t PLAT_IDCANCEL = 2;
inline constexpr int32_t PLAT_IDYES = 6;
inline constexpr int32_t PLAT_IDNO = 7;
// Message box kinds (MessageBoxW flags).
inline constexpr uint32_t PLAT_MB_OK = 0x0;
inline constexpr uint32_t PLAT_MB_OKCANCEL = 0x1;
inline constexpr uint32_t PLAT_MB_YESNO = 0x4;
inline constexpr uint32_t PLAT_MB_ICONWARNING = 0x30;
inline constexpr uint32_t PLAT_MB_ICONINFORMATION = 0x40;

// The dialog procedure: returns non-zero when it handled the message (the dialog rules of
// Windows: for WM_INITDIALOG, 0 means "do not move the focus").
typedef intptr_t (*PlatDialogProc)(PlatWindow window, uint32_t message, uintptr_t wParam,
                                   intptr_t lParam);

// Runs dialog templateId of the program's resources modally, with no owner, and returns the
// value given to PlatEndDialog (-1 when the dialog could not be created).
intptr_t PlatDialogBox(uint32_t templateId, PlatDialogProc proc);
// Ends the modal dialog once the current message has been handled.
void PlatEndDialog(PlatWindow window, intptr_t result);

void PlatSetWindowTitle(PlatWindow window, const char16_t* text);
void PlatSetItemText(PlatWindow window, int32_t id, const char16_t* text);
void PlatEnableItem(PlatWindow window, int32_t id, int32_t enable);

// The drop-down list (combo box) of the dialog.
void PlatListReset(PlatWindow window, int32_t id);
// Appends a line; its position, or -1.
int32_t PlatListAdd(PlatWindow window, int32_t id, const char16_t* text);
void PlatListSetData(PlatWindow window, int32_t id, int32_t index, intptr_t data);
// The line's item data, or -1 when there is no such line.
intptr_t PlatListGetData(PlatWindow window, int32_t id, int32_t index);
void PlatListSetSelection(PlatWindow window, int32_t id, int32_t index);
// The selected line, or -1 when none is.
int32_t PlatListGetSelection(PlatWindow window, int32_t id);

// Progress bar position (range 0..100).
void PlatProgressSetPos(PlatWindow window, int32_t id, int32_t position);

// A modal message box owned by the window; returns the button pressed (PLAT_IDOK, ...).
int32_t PlatMessageBox(PlatWindow window, const char16_t* text, const char16_t* caption,
                       uint32_t type);

// Timers: WM_TIMER with the id every period until killed; setting an armed id restarts it.
void PlatSetTimer(PlatWindow window, uintptr_t id, uint32_t milliseconds);
void PlatKillTimer(PlatWindow window, uintptr_t id);

// Layout, in pixels. Window and control rectangles are screen coordinates.
struct PlatRect {
    int32_t left, top, right, bottom;
};
int32_t PlatGetWindowRect(PlatWindow window, PlatRect* rect);
int32_t PlatGetItemRect(PlatWindow window, int32_t id, PlatRect* rect);
// The client area: left and top are 0.
int32_t PlatGetClientRect(PlatWindow window, PlatRect* rect);
// Moves and sizes the window (screen coordinates) or a control (client coordinates).
void PlatMoveWindow(PlatWindow window, int32_t x, int32_t y, int32_t width, int32_t height);
void PlatMoveItem(PlatWindow window, int32_t id, int32_t x, int32_t y, int32_t width,
                  int32_t height);
// The parent window, or nullptr for a top-level window.
PlatWindow PlatGetParentWindow(PlatWindow window);
void PlatGetScreenSize(int32_t* width, int32_t* height);
// Loads icon iconId of the program's resources at size x size pixels, shows it in the static
// icon control and makes it the window's class icon.
void PlatSetDialogIcon(PlatWindow window, int32_t controlId, uint32_t iconId, int32_t size);
