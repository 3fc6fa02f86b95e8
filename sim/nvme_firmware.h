// The simulated machine's side of NVMe firmware updates, for tests and the lab: what a drive
// runs and reports, power cycles through a USB bridge's power-control command, restarts of the
// whole machine (which activate what the in-box and RST drives committed), device-change
// notices, and NVMe commands rejected on demand. See docs/nvme-firmware.md.
#pragma once
#include "hotplug.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// What a bridge's power-control command does to the drive behind it: the controller resets,
// the drive leaves USB at once and comes back on the same port delay_ms later on the virtual
// clock, under return_number (-1: its old PhysicalDrive number), or never.
struct PowerCycle {
    int64_t delay_ms = 1500;
    int return_number = -1;
    bool comes_back = true;
};
// Sets it for one drive of the current machine (every bridge drive has the defaults above, or
// what its description's "power_cycle" key gives).
void SetPowerCycle(const std::string& drive, const PowerCycle& cycle);

// Restarts the simulated machine: every drive that is away comes back and every NVMe
// controller resets, so committed images become active.
void RestartMachine();

// Device-change notices (DeviceChanges, SetDeviceChangeWindow): see hotplug.h.

// Makes the drive reject commands of an opcode (optionally only those with dword 12 equal to
// dword12) with an NVMe error status and no data: the nth matching command and count-1 after it
// (count 0: every one from nth on).
void RejectNvmeCommand(const std::string& drive, uint8_t opcode, int64_t dword12 = -1,
                       uint32_t nth = 1, uint32_t count = 1, uint16_t status = 0x0002);

// The firmware state of an NVMe drive of the current machine.
struct NvmeFirmwareState {
    std::vector<uint8_t> running;  // the image it runs (empty: the one it left the factory with)
    std::vector<uint8_t> staged;   // committed, waiting for a controller reset
    std::vector<uint8_t> download; // being received
    int activations = 0;
    std::string last_activation;  // "activated", "refused: ...", or "" before any
    std::string revision;         // Identify's firmware revision, blanks removed
    std::string internal_version; // vendor information reply, bytes 32-39
    uint32_t ftl_build = 0;       // vendor information reply, bytes 72-75
    std::vector<uint8_t> config_record;
    std::string recorded_name; // the name in the record (or page) it runs with
};
NvmeFirmwareState NvmeFirmware(const std::string& drive);

} // namespace sim
