// Typical machines for tests: each drive on its path with the usual chain of ancestors
// (PCIe root port and controller, USB host controller, root hub and bridge, SATA or SAS
// adapter), so that classification, port location and re-discovery see a believable tree.
#pragma once
#include "machine_json.h"

#include <string>
#include <vector>

namespace sim {

struct DriveOnPath {
    std::string path;    // "nvme", "rst", "raid", "asmedia", "jmicron", "usb-bridge", "sata",
                         // "sata-usb", "sata-scsi", "other"
    int number = 0;      // PhysicalDriveN
    Json drive;          // drive description; null: the family's default for the path
    std::string name;    // "" = "PhysicalDriveN"
    int usbPort = 0;     // USB paths: port on the root hub (0 = 1 + the drive's index)
    int busNumber = 0;   // PCIe paths: bus number of the controller (0 = 1 + the drive's index)
    std::string service; // service of the disk's parent ("" = the usual one for the path)
};

// The drive of the supported family with usual values (NVMe or SATA).
Json DefaultNvmeDrive();
Json DefaultSataDrive();

// A description with the given drives, ready for sim::Load(TypicalMachine(...).dump()).
Json TypicalMachine(const std::vector<DriveOnPath>& drives);

} // namespace sim
