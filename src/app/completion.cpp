// Completion of an update and the shutdown request.
#include "app.h"

#include "platform/shutdown.h"

void OnUpdateDone(PlatWindow window, intptr_t result) {
    if (result != 1) {
        PlatMessageBox(window, u"Update FW Fail !", g_App.szTitle, PLAT_MB_OK);
    } else if (g_App.szAfterMessage[0] != 0) {
        switch (g_App.byPowerCtrl) {
        case 0:
            PlatMessageBox(window, g_App.szAfterMessage, g_App.szTitle, PLAT_MB_OK);
            break;
        case 1:
        case 2:
            if (PlatMessageBox(window, g_App.szAfterMessage, g_App.szTitle,
                               PLAT_MB_OKCANCEL | PLAT_MB_ICONINFORMATION) == PLAT_IDOK)
                ShutdownSystem(g_App.byPowerCtrl == 1 ? PLAT_EWX_POWEROFF : PLAT_EWX_REBOOT);
            break;
        default:
            break;
        }
    }
    PlatEnableItem(window, IDC_RUN, 1);
    PlatEnableItem(window, IDC_DRIVE_COMBO, 1);
    // The worker's own final refresh is skipped when a timer refresh ran at that moment: one
    // more refresh shows what the drive came back as.
    PlatSetTimer(window, IDT_DEVICE_CHANGE, kDeviceChangeDelayMs);
}

void ShutdownSystem(uint32_t flags) {
    PlatRequestShutdown(flags);
}
