// FwRenew.exe: starts GDI+ and the common controls, then runs the application's dialog.
//
// The same file is the entry of FwRenewSim.exe, the test build (FW_SIM_MACHINE defined), which
// starts a simulated machine first (tests/win32/sim_machine.h).
#include "app/app.h"
#ifdef FW_SIM_MACHINE
#include "sim_machine.h"
#endif

#include <windows.h>
#include <commctrl.h>

namespace {
// The GDI+ start-up record (version 1, no debug callback, background thread and external
// codecs not suppressed) and the two flat entry points of gdiplus.dll.
struct GdiplusStartupInput {
    UINT32 GdiplusVersion;
    void* DebugEventCallback;
    BOOL SuppressBackgroundThread;
    BOOL SuppressExternalCodecs;
};
} // namespace

extern "C" int WINAPI GdiplusStartup(ULONG_PTR* token, const GdiplusStartupInput* input,
                                     void* output);
extern "C" void WINAPI GdiplusShutdown(ULONG_PTR token);

int WINAPI WinMain(HINSTANCE, HINSTANCE, LPSTR, int) {
    GdiplusStartupInput input{1, nullptr, FALSE, FALSE};
    ULONG_PTR token = 0;
    GdiplusStartup(&token, &input, nullptr);
    InitCommonControls();
#ifdef FW_SIM_MACHINE
    if (!StartSimulatedMachine()) {
        GdiplusShutdown(token);
        return 1;
    }
#endif
    RunApplication();
#ifdef FW_SIM_MACHINE
    EndSimulatedMachine();
#endif
    GdiplusShutdown(token);
    return 0;
}
