// Drives that leave the machine and come back later on the virtual clock, as after a bridge
// power cycle or a controller reset: possibly under another PhysicalDrive number, possibly on
// another port.
#pragma once
#include <cstdint>
#include <optional>
#include <string>

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
// Forgets every pending return (a test that loads another machine need not call it: returns
// scheduled on one machine never act on another).
void CancelDriveReturns();
// Number of drives still away.
int DrivesAway();

} // namespace sim
