// Power cycles through a bridge, machine restarts, device-change notices and the firmware
// state of the simulated NVMe drives.
#include "nvme_firmware.h"

#include "bytes.h"
#include "request_families.h"
#include "hotplug.h"

#include <map>
#include <mutex>
#include <stdexcept>

namespace sim {
namespace {

constexpr uintptr_t kDbtDeviceArrival = 0x8000;
constexpr uintptr_t kDbtDeviceRemoveComplete = 0x8004;
// The modes that restart the drive: ASMedia 1, JMicron 5.
constexpr uint8_t kAsmediaRestartMode = 1;
constexpr uint8_t kJmicronRestartMode = 5;

struct Away {
    std::string drive;
    uint32_t generation = 0;
};

// State of the current machine; forgotten when another machine becomes current.
struct FirmwareHost {
    std::recursive_mutex lock;
    const MachineImpl* machine = nullptr;
    std::map<std::string, PowerCycle> cycles;
    std::vector<DeviceChange> changes;
    std::vector<Away> away;
    PlatWindow window = nullptr;
    int subscription = 0;
};

FirmwareHost& Host() {
    static FirmwareHost host;
    return host;
}

// The host's state for m (cleared when m is not the machine it last served).
FirmwareHost& HostFor(const MachineImpl& m) {
    FirmwareHost& h = Host();
    if (h.machine != &m) {
        h.machine = &m;
        h.cycles.clear();
        h.changes.clear();
        h.away.clear();
    }
    return h;
}

void Notify(FirmwareHost& h, bool arrival, const Disk& disk) {
    h.changes.push_back(DeviceChange{ClockNow(), arrival, disk.name, disk.number});
    if (h.window != nullptr)
        PlatPostMessage(h.window, kWmDeviceChange,
                        arrival ? kDbtDeviceArrival : kDbtDeviceRemoveComplete, 0);
}

// Raises the arrival notice of every drive that came back since the last look.
void NoticeArrivals() {
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> machineGuard(m.lock);
    FirmwareHost& h = Host();
    std::lock_guard<std::recursive_mutex> guard(h.lock);
    if (h.machine != &m) return;
    for (auto it = h.away.begin(); it != h.away.end();) {
        Disk* disk = m.DiskByName(it->drive);
        if (disk == nullptr || disk->generation != it->generation) {
            it = h.away.erase(it);
        } else if (disk->present) {
            Notify(h, true, *disk);
            it = h.away.erase(it);
        } else {
            ++it;
        }
    }
}

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
    FirmwareHost& h = HostFor(m);
    std::lock_guard<std::recursive_mutex> guard(h.lock);
    const auto found = h.cycles.find(disk.name);
    const PowerCycle cycle = found == h.cycles.end() ? PowerCycle{} : found->second;
    if (disk.nvme) disk.nvme->ControllerReset();
    disk.bridge = BridgeState{};
    Notify(h, false, disk);
    DriveReturn how;
    how.number = cycle.return_number;
    DriveLeaves(disk.name, cycle.comes_back ? cycle.delay_ms : -1, how);
    h.away.push_back(Away{disk.name, disk.generation});
    // After hotplug's own listener (subscribed by DriveLeaves), so a return is seen at once.
    if (h.subscription == 0) h.subscription = ClockSubscribe([](uint64_t) { NoticeArrivals(); });
}

void SetPowerCycle(const std::string& drive, const PowerCycle& cycle) {
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> machineGuard(m.lock);
    NvmeDisk(m, drive);
    FirmwareHost& h = HostFor(m);
    std::lock_guard<std::recursive_mutex> guard(h.lock);
    h.cycles[drive] = cycle;
}

void RestartMachine() {
    ReturnAllDrives();
    NoticeArrivals();
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    for (auto& disk : m.disks) {
        if (disk->nvme) disk->nvme->ControllerReset();
        disk->bridge = BridgeState{};
    }
}

std::vector<DeviceChange> DeviceChanges() {
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> machineGuard(m.lock);
    FirmwareHost& h = HostFor(m);
    std::lock_guard<std::recursive_mutex> guard(h.lock);
    return h.changes;
}

void SetDeviceChangeWindow(PlatWindow window) {
    FirmwareHost& h = Host();
    std::lock_guard<std::recursive_mutex> guard(h.lock);
    h.window = window;
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
