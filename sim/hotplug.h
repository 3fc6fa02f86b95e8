// Drives that leave the machine and come back later on the virtual clock, as after a bridge
// power cycle or a controller reset: possibly under another PhysicalDrive number, possibly on
// another port. Every leave and return is a device-change notice.
#pragma once
#include "platform/dialog_host.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace sim {

// How a drive comes back.
struct DriveReturn {
    int number = -1;                     // its new PhysicalDrive number (-1: the old one)
    std::string parent;                  // id of the node it is attached to now ("" : the same)
    std::optional<std::string> location; // new location text of the node it is attached to
};

// The drive leaves at once (its disk and disk node are no longer present, and handles opened
// before stop working) and comes back when the virtual clock has moved on by delayMs
// (0: at the next clock move). A drive given a negative delay never comes back. Throws
// std::runtime_error for an unknown drive.
void DriveLeaves(const std::string& drive, int64_t delayMs, const DriveReturn& how = {});

// Brings back at once every drive that is due or still away (tests that do not want to wait).
void ReturnAllDrives();
// Brings back at once one drive that is away (plugged in again); nothing when it is present.
void ReturnDrive(const std::string& drive);
// Forgets every pending return (a test that loads another machine need not call it: returns
// scheduled on one machine never act on another).
void CancelDriveReturns();
// Number of drives still away.
int DrivesAway();

// A drive leaving or coming back, as the device-change notice reports it. Every leave and
// return of a drive of the simulated machine (a test's DriveLeaves, a bridge's power cycle, a
// restart bringing drives back) is recorded here and posted as WM_DEVICECHANGE (wParam
// kDbtDeviceArrival or kDbtDeviceRemoveComplete, lParam 0) to the device-change window.
struct DeviceChange {
    uint64_t t_ms = 0;
    bool arrival = false;
    std::string drive;
    int number = -1; // its PhysicalDrive number (on arrival: the new one)
};
// The notices of the current machine, in order.
std::vector<DeviceChange> DeviceChanges();
inline constexpr uint32_t kWmDeviceChange = 0x0219;
inline constexpr uintptr_t kDbtDeviceArrival = 0x8000;
inline constexpr uintptr_t kDbtDeviceRemoveComplete = 0x8004;
// The window that receives each notice with PlatPostMessage (nullptr: none). The headless
// dialog host sets its dialog here while it runs. A real Win32 window cannot take these posted
// notices (Windows refuses to post WM_DEVICECHANGE); a Win32 program that links the simulator
// reads DeviceChanges() and sends each notice itself.
void SetDeviceChangeWindow(PlatWindow window);
PlatWindow DeviceChangeWindow();
// Posts a notice that names no drive (wParam as above) to the device-change window, as
// Windows does for devices the program does not look at.
void PostDeviceChange(uintptr_t event);

} // namespace sim
