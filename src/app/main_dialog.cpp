// The application state, the entry's dialog run, the main dialog procedure and the closing of
// the working folder.
#include "app.h"

#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "disk/rediscover.h"
#include "nvme/nvme_firmware.h"
#include "sata/sata_firmware.h"
#include "platform/files.h"
#include "platform/folders.h"

#include <atomic>
#include <cstring>
#include <initializer_list>
#include <mutex>

AppState g_App;
volatile int32_t g_bRefreshBusy = 0;

namespace {
std::mutex g_selLock;
} // namespace

void SelDriveRead(DriveInfo* out) {
    std::lock_guard<std::mutex> guard(g_selLock);
    *out = g_App.stSelDrive;
}

void SelDrivePublish(const DriveInfo& record) {
    std::lock_guard<std::mutex> guard(g_selLock);
    g_App.stSelDrive = record;
}

int32_t RunApplication() {
    std::memset(&g_App, 0, sizeof g_App);
    LogBindDetailSwitch(&g_App.iLogDetail);
    DiskBindProgressWindow(&g_App.hMainDlg);
    NvmeBindProgressWindow(&g_App.hMainDlg);
    SataBindProgressWindow(&g_App.hMainDlg);
    PlatDialogBox(IDD_MAIN, MainDialogProc);
    DiskBindProgressWindow(nullptr);
    NvmeBindProgressWindow(nullptr);
    SataBindProgressWindow(nullptr);
    return 0;
}

int32_t IsWorkerRunning() {
    return std::atomic_ref<PlatHandle>(g_App.hWorkerThread).load() != nullptr ? 1 : 0;
}

int32_t MapProgress(int32_t percent) {
    std::atomic_ref<int16_t> lowRef(g_App.nProgressLow);
    std::atomic_ref<int16_t> highRef(g_App.nProgressHigh);
    const int32_t low = lowRef.load();
    if (percent == 0) return low;
    int32_t high = highRef.load();
    if (high == 0) {
        highRef.store(100);
        high = 100;
    }
    return low + (high - low) * percent / 100;
}

void CenterWindow(PlatWindow window) {
    PlatRect rect{};
    PlatGetWindowRect(window, &rect);
    const int32_t width = rect.right - rect.left;
    const int32_t height = rect.bottom - rect.top;
    PlatRect outer{};
    PlatWindow parent = PlatGetParentWindow(window);
    if (parent != nullptr) {
        PlatGetWindowRect(parent, &outer);
    } else {
        PlatGetScreenSize(&outer.right, &outer.bottom);
    }
    const int32_t x = outer.left + (outer.right - outer.left - width) / 2;
    const int32_t y = outer.top + (outer.bottom - outer.top - height) / 2;
    PlatMoveWindow(window, x, y, width, height);
}

void InitMainDialog(PlatWindow window) {
    g_App.hMainDlg = window;
    for (int32_t id : {IDC_MODEL, IDC_SERIAL, IDC_INTERFACE, IDC_FIRMWARE, IDC_CAPACITY, IDC_STATUS})
        PlatSetItemText(window, id, u"");

    // The dialog ends one status-line height plus 5 pixels below the status line.
    PlatRect status{}, dialog{};
    PlatGetItemRect(window, IDC_STATUS, &status);
    PlatGetWindowRect(window, &dialog);
    const int32_t height = 2 * status.bottom - status.top + 5 - dialog.top;
    PlatMoveWindow(window, dialog.left, dialog.top, dialog.right - dialog.left, height);
    // The progress bar runs along the bottom of the new client area.
    PlatRect client{};
    PlatGetClientRect(window, &client);
    PlatMoveItem(window, IDC_PROGRESS, 0, client.bottom - 5, client.right, 5);
    CenterWindow(window);
    PlatSetDialogIcon(window, IDC_APP_ICON, IDI_APP, 64);

    StartPackage(window);
    RefreshDriveList(window, 1);
    OnDriveSelected(window);
}

void CleanWorkingFolder() {
    PlatHandle hold = WorkingFolderHold();
    // Only ever the folder this run created: without one there is nothing to empty.
    if (g_App.szWorkDir[0] == 0 || hold == PLAT_INVALID_HANDLE) return;
    char16_t parent[270];
    FormatInto(parent, u"%s\\..", g_App.szWorkDir);
    PlatSetCurrentFolder(parent);
    char16_t pattern[270];
    // "*" lists what "*.*" lists on Windows, names without a dot included, on every build.
    FormatInto(pattern, u"%s\\%s", g_App.szWorkDir, u"*");
    PlatFindData found{};
    PlatHandle search = PlatFindFirst(pattern, &found);
    if (search != PLAT_INVALID_HANDLE) {
        do {
            if (found.attributes & PLAT_ATTR_DIRECTORY) continue;
            char16_t path[540];
            if (FormatInto(path, u"%s\\%s", g_App.szWorkDir, found.name) < 0) continue;
            PlatDeleteFile(path);
        } while (PlatFindNext(search, &found));
        PlatFindClose(search);
    }
    ReleaseWorkingFolder();
    PlatRemoveFolder(g_App.szWorkDir);
}

intptr_t MainDialogProc(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    switch (message) {
    case PLAT_WM_INITDIALOG:
        InitMainDialog(window);
        return 0;
    case PLAT_WM_COMMAND: {
        const uint32_t id = static_cast<uint32_t>(wParam & 0xFFFF);
        const uint32_t notify = static_cast<uint32_t>((wParam >> 16) & 0xFFFF);
        if (id == static_cast<uint32_t>(IDC_RUN)) {
            OnRun(window);
        } else if (id == static_cast<uint32_t>(IDC_CANCEL)) {
            if (IsWorkerRunning()) {
                PlatMessageBox(window, u"Update FW Now!\nCan't Exit Program.", g_App.szTitle,
                               PLAT_MB_OK);
            } else {
                CleanWorkingFolder();
                PlatEndDialog(window, 0);
                return 1;
            }
        } else if (id == static_cast<uint32_t>(IDC_DRIVE_COMBO) && notify == PLAT_CBN_SELENDOK) {
            OnDriveSelected(window);
        }
        return 0;
    }
    case PLAT_WM_DEVICECHANGE:
        PlatSetTimer(window, IDT_DEVICE_CHANGE, kDeviceChangeDelayMs);
        return 0;
    case PLAT_WM_TIMER:
        PlatKillTimer(window, IDT_DEVICE_CHANGE);
        RefreshDriveList(window, 0);
        return 0;
    case WM_UPDATE_DONE:
        OnUpdateDone(window, lParam);
        return 0;
    case WM_UPDATE_PROGRESS:
        PlatProgressSetPos(window, IDC_PROGRESS, MapProgress(static_cast<int32_t>(lParam)));
        return 0;
    default:
        return 0;
    }
}
