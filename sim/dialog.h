// The headless dialog host as tests see it: the state of the one dialog, the user's input,
// message boxes and their answers, device-change notices, module resources and the recorded
// shutdown requests.
//
// The dialog runs on the thread that called PlatDialogBox (the test starts it on a thread of
// its own). That thread is the dialog's thread: messages sent from other threads wait until it
// handled them, control calls from other threads are handled there too, posted messages queue,
// timers fire on the virtual clock when the queue is empty, and a message box keeps the
// dialog's messages and timers going until the test answers it.
//
// Nothing waits for ever: every wait takes a bound of real time, and a dialog whose thread has
// had nothing to do for the watchdog's time (60 s unless set) ends itself with -1 and answers
// its open boxes with Cancel/No, so a test that would hang fails instead.
#pragma once
#include "platform/dialog_host.h"

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

namespace sim {

// One control of the dialog (or the dialog's own title under id 0).
struct DialogControl {
    bool exists = false;
    std::u16string text;
    bool enabled = true;
    std::vector<std::u16string> lines; // drop-down list lines
    std::vector<intptr_t> data;        // their item data
    int selection = -1;
    int position = 0;     // progress bar
    int resets = 0;       // times the list was emptied
    PlatRect rect{};      // client coordinates, pixels
};

struct MessageBoxRecord {
    std::u16string text;
    std::u16string caption;
    uint32_t type = 0;
    int answer = 0; // 0 while it is open
};

// True while a dialog runs (between the start of PlatDialogBox and the end of its loop).
bool DialogRunning();
PlatWindow DialogWindow();
std::u16string DialogTitle();
DialogControl DialogItem(int id);
PlatRect DialogWindowRect();
// The icon resource shown and its size (0 when none).
uint32_t DialogIcon(int* size = nullptr);

// The user's input. Like a real dialog, input does not reach a disabled control or a dialog
// whose message box is open: these return false then and do nothing.
bool DialogCommand(int id);            // a button (1 RUN, 2 cancel: close box or Escape)
bool DialogSelectLine(int index);      // picks a line of the list (CBN_SELENDOK)

// Every message box shown, in order.
std::vector<MessageBoxRecord> MessageBoxes();
void ClearMessageBoxes();
// Answers the open message box (PLAT_IDOK, PLAT_IDCANCEL, PLAT_IDYES, PLAT_IDNO): false when
// none is open.
bool AnswerMessageBox(int button);

// Waits (real time, at most timeoutMs) until pred is true; pred is checked after every change
// of the host's state and of the virtual clock. False on time-out.
bool WaitFor(const std::function<bool()>& pred, int timeoutMs = 20000);
// Waits until a message box is open: its index in MessageBoxes(), or -1 on time-out.
int WaitForMessageBox(int timeoutMs = 20000);
// Waits until the dialog's thread has nothing to do (queue empty, no timer due, no box open)
// and no message to it is being sent.
bool WaitIdle(int timeoutMs = 20000);

// Device-change notices: while a dialog runs it is the device-change window of hotplug.h, so
// every drive that leaves or comes back on the simulated machine reaches it as a posted
// WM_DEVICECHANGE. NotifyDeviceChange posts one that names no drive: arrival (0x8000) or
// removal (0x8004).
inline constexpr uintptr_t kDeviceArrival = 0x8000;
inline constexpr uintptr_t kDeviceRemoveComplete = 0x8004;
void NotifyDeviceChange(uintptr_t event);

// Sets the watchdog (real milliseconds without anything to do) and tells whether it fired
// (also when a sent message had to be given up after that time).
void SetDialogWatchdog(int milliseconds);
bool DialogWatchdogFired();
// Ends a dialog that a test no longer drives: answers open boxes with Cancel/No and ends the
// loop with -1. Returns once the loop ended (or after timeoutMs).
bool DialogAbort(int timeoutMs = 20000);

// Module resources of the simulated program.
void SetResource(const std::u16string& type, uint32_t id, std::vector<uint8_t> bytes);
void ClearResources();

// Shutdown requests (ExitWindowsEx flags), recorded and never acted on.
std::vector<uint32_t> ShutdownRequests();
void ClearShutdownRequests();

} // namespace sim
