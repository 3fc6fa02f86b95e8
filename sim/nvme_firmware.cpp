// Power cycles through a bridge, machine restarts and the firmware state of the simulated
// NVMe drives.
#include "nvme_firmware.h"

#include "bytes.h"
#include "request_families.h"
#include "hotplug.h"

#include <map>
#include <mutex>
#include <stdexcept>

namespace sim {
namespace {

// The modes that restart the drive: ASMedia 1, JMicron 5.
constexpr uint8_t kAsmediaRestartMode = 1;
constexpr uint8_t kJmicronRestartMode = 5;

Disk& NvmeDisk(MachineImpl& m, const std::string& drive) {
    Disk* disk = m.DiskByName(drive);
    if (disk == nullptr || !disk->nvme) throw std::runtime_error("no NVMe drive " + drive);
    return *disk;
}

std::string Trimmed(const uint8_t* p, size_t width) {
    std::string text(reinterpret_cast<const char*>(p), width);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\0'))
        text.pop_back();
    return text;
}

} // namespace

void BridgePowerControl(MachineImpl& m, Disk& disk, uint8_t mode) {
    const bool restart = (disk.kind == PathKind::Asmedia && mode == kAsmediaRestartMode) ||
                         (disk.kind == PathKind::Jmicron && mode == kJmicronRestartMode);
    if (!restart || !disk.present) return;
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    const auto found = m.powerCycles.find(disk.name);
    const PowerCycle cycle = found == m.powerCycles.end() ? PowerCycle{} : found->second;
    if (disk.nvme) disk.nvme->ControllerReset();
    disk.bridge = BridgeState{};
    DriveReturn how;
    how.number = cycle.return_number;
    DriveLeaves(disk.name, cycle.comes_back ? cycle.delay_ms : -1, how);
}

void SetPowerCycle(const std::string& drive, const PowerCycle& cycle) {
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    NvmeDisk(m, drive);
    m.powerCycles[drive] = cycle;
}

void RestartMachine() {
    ReturnAllDrives();
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    for (auto& disk : m.disks) {
        if (disk->nvme) disk->nvme->ControllerReset();
        disk->bridge = BridgeState{};
    }
}

void RejectNvmeCommand(const std::string& drive, uint8_t opcode, int64_t dword12, uint32_t nth,
                       uint32_t count, uint16_t status) {
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    NvmeReject r;
    r.opcode = opcode;
    r.dword12 = dword12;
    r.nth = nth;
    r.count = count;
    r.status = status;
    NvmeDisk(m, drive).nvme->rejects.push_back(r);
}

NvmeFirmwareState NvmeFirmware(const std::string& drive) {
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    const NvmeDrive& d = *NvmeDisk(m, drive).nvme;
    NvmeFirmwareState s;
    s.running = d.running;
    s.staged = d.staged;
    s.download = d.download;
    s.activations = d.activations;
    s.last_activation = d.lastActivation;
    s.revision = Trimmed(&d.identifyController[64], 8);
    s.internal_version = Trimmed(&d.vendorInfo[32], 8);
    s.ftl_build = Le32(&d.vendorInfo[72]);
    s.config_record = d.configRecord;
    s.recorded_name = d.RecordedName();
    return s;
}

} // namespace sim
