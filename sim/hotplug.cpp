// Drives leaving and coming back on the virtual clock, and the device-change notices they
// raise.
#include "hotplug.h"

#include "machine_impl.h"

#include <mutex>
#include <stdexcept>
#include <vector>

namespace sim {
namespace {

struct PendingReturn {
    const MachineImpl* machine = nullptr; // the machine it was scheduled on
    std::string drive;
    uint32_t generation = 0; // the disk's generation after it left
    bool never = false;
    uint64_t due = 0;
    DriveReturn how;
};

struct Pending {
    std::mutex lock;
    std::vector<PendingReturn> list;
    int subscription = 0;
};

Pending& ThePending() {
    static Pending pending;
    return pending;
}

struct NoticeWindow {
    std::mutex lock;
    PlatWindow window = nullptr;
};

NoticeWindow& TheNoticeWindow() {
    static NoticeWindow w;
    return w;
}

void Post(bool arrival) {
    const PlatWindow window = DeviceChangeWindow();
    if (window != nullptr)
        PlatPostMessage(window, kWmDeviceChange,
                        arrival ? kDbtDeviceArrival : kDbtDeviceRemoveComplete, 0);
}

// Brings one drive back, if it is still the one that left on the current machine, and
// announces its arrival.
void Apply(const PendingReturn& r) {
    MachineImpl& m = Impl();
    if (&m != r.machine) return;
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    Disk* disk = m.DiskByName(r.drive);
    if (disk == nullptr || disk->present || disk->generation != r.generation) return;
    if (!r.how.parent.empty()) {
        Node* parent = m.NodeByKey(r.how.parent);
        if (parent == nullptr)
            throw std::runtime_error("drive returns under unknown node " + r.how.parent);
        disk->node->parent = parent->inst;
    }
    if (r.how.location) {
        if (Node* parent = m.NodeByInst(disk->node->parent))
            parent->location = Utf16(*r.how.location);
    }
    if (r.how.number >= 0) disk->number = r.how.number;
    disk->node->present = true;
    disk->present = true;
    DriveChanged(m, *disk, true);
}

void OnClock(uint64_t now) {
    std::vector<PendingReturn> due;
    {
        Pending& p = ThePending();
        std::lock_guard<std::mutex> guard(p.lock);
        for (auto it = p.list.begin(); it != p.list.end();) {
            if (!it->never && it->due <= now) {
                due.push_back(*it);
                it = p.list.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const PendingReturn& r : due)
        Apply(r);
}

} // namespace

void DriveChanged(MachineImpl& m, const Disk& disk, bool arrival) {
    {
        std::lock_guard<std::recursive_mutex> guard(m.lock);
        m.deviceChanges.push_back(DeviceChange{ClockNow(), arrival, disk.name, disk.number});
    }
    Post(arrival);
}

void DriveLeaves(const std::string& drive, int64_t delayMs, const DriveReturn& how) {
    PendingReturn r;
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    Disk* disk = m.DiskByName(drive);
    if (disk == nullptr) throw std::runtime_error("no drive " + drive);
    disk->present = false;
    disk->node->present = false;
    ++disk->generation;
    r.machine = &m;
    r.generation = disk->generation;
    r.drive = drive;
    r.never = delayMs < 0;
    r.due = ClockNow() + (delayMs < 0 ? 0 : static_cast<uint64_t>(delayMs));
    r.how = how;
    {
        Pending& p = ThePending();
        std::lock_guard<std::mutex> guard(p.lock);
        if (p.subscription == 0) p.subscription = ClockSubscribe(OnClock);
        p.list.push_back(r);
    }
    DriveChanged(m, *disk, false);
}

void ReturnAllDrives() {
    std::vector<PendingReturn> all;
    {
        Pending& p = ThePending();
        std::lock_guard<std::mutex> guard(p.lock);
        all.swap(p.list);
    }
    for (const PendingReturn& r : all)
        Apply(r);
}

void ReturnDrive(const std::string& drive) {
    const MachineImpl* current = &Impl();
    std::vector<PendingReturn> mine;
    {
        Pending& p = ThePending();
        std::lock_guard<std::mutex> guard(p.lock);
        for (auto it = p.list.begin(); it != p.list.end();) {
            if (it->drive == drive && it->machine == current) {
                mine.push_back(*it);
                it = p.list.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (const PendingReturn& r : mine)
        Apply(r);
}

void CancelDriveReturns() {
    Pending& p = ThePending();
    std::lock_guard<std::mutex> guard(p.lock);
    p.list.clear();
}

std::vector<DeviceChange> DeviceChanges() {
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    return m.deviceChanges;
}

void SetDeviceChangeWindow(PlatWindow window) {
    NoticeWindow& w = TheNoticeWindow();
    std::lock_guard<std::mutex> guard(w.lock);
    w.window = window;
}

PlatWindow DeviceChangeWindow() {
    NoticeWindow& w = TheNoticeWindow();
    std::lock_guard<std::mutex> guard(w.lock);
    return w.window;
}

void PostDeviceChange(uintptr_t event) {
    const PlatWindow window = DeviceChangeWindow();
    if (window != nullptr) PlatPostMessage(window, kWmDeviceChange, event, 0);
}

int DrivesAway() {
    MachineImpl& m = Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    int away = 0;
    for (const auto& d : m.disks)
        if (!d->present) ++away;
    return away;
}

} // namespace sim
