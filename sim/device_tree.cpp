// The device-tree queries: device-information sets of an interface class or of all devices,
// interface details (device paths), registry properties (service, location, bus number),
// device properties (PCI link speed and width, others given in the description), parents and
// device ids.
#include "machine_impl.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

PlatDevInfoSet MachineImpl::GetClassDevs(const PlatGuid* cls, uint32_t flags) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    DevInfoSet set;
    const bool presentOnly = (flags & kDigcfPresent) != 0;
    if (flags & kDigcfDeviceInterface) {
        if (!cls) return PLAT_INVALID_HANDLE;
        set.cls = *cls;
        for (auto& n : nodes) {
            if (presentOnly && !n->present) continue;
            bool member = false;
            for (const auto& i : n->interfaces) {
                if (i.cls == *cls) {
                    set.interfaces.push_back({n->inst, i.path});
                    member = true;
                }
            }
            if (member) set.devices.push_back(n->inst);
        }
    } else if ((flags & kDigcfAllClasses) || cls == nullptr) {
        for (auto& n : nodes)
            if (!presentOnly || n->present) set.devices.push_back(n->inst);
    } else {
        return PLAT_INVALID_HANDLE; // device setup classes are not modelled
    }
    const uintptr_t value = nextHandle_;
    nextHandle_ += 4;
    sets_[value] = std::move(set);
    return reinterpret_cast<PlatDevInfoSet>(value);
}

void MachineImpl::DestroyList(PlatDevInfoSet set) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    sets_.erase(reinterpret_cast<uintptr_t>(set));
}

int32_t MachineImpl::EnumInterface(PlatDevInfoSet set, const PlatGuid* cls, uint32_t index) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = sets_.find(reinterpret_cast<uintptr_t>(set));
    if (it == sets_.end() || !cls || !it->second.cls || !(*it->second.cls == *cls)) return 0;
    return index < it->second.interfaces.size() ? 1 : 0;
}

int32_t MachineImpl::InterfaceDetail(PlatDevInfoSet set, const PlatGuid* cls, uint32_t index,
                                     char16_t* path, uint32_t cap, uint32_t* required,
                                     PlatDevInst* inst) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = sets_.find(reinterpret_cast<uintptr_t>(set));
    if (it == sets_.end() || !cls || !it->second.cls || !(*it->second.cls == *cls)) return 0;
    if (index >= it->second.interfaces.size()) return 0;
    const auto& [devInst, text] = it->second.interfaces[index];
    const uint32_t units = static_cast<uint32_t>(text.size() + 1);
    if (required) *required = units;
    if (!path || cap < units) return 0;
    std::copy(text.begin(), text.end(), path);
    path[text.size()] = 0;
    if (inst) *inst = devInst;
    return 1;
}

int32_t MachineImpl::EnumDevice(PlatDevInfoSet set, uint32_t index, PlatDevInst* inst) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = sets_.find(reinterpret_cast<uintptr_t>(set));
    if (it == sets_.end() || index >= it->second.devices.size()) return 0;
    if (inst) *inst = it->second.devices[index];
    return 1;
}

namespace {
int32_t CopyProperty(const std::vector<uint8_t>& value, void* buffer, uint32_t size,
                     uint32_t* required) {
    if (required) *required = static_cast<uint32_t>(value.size());
    if (!buffer || size < value.size()) return 0;
    std::memcpy(buffer, value.data(), value.size());
    return 1;
}
std::vector<uint8_t> TextProperty(const std::u16string& text) {
    std::vector<uint8_t> v((text.size() + 1) * 2, 0);
    for (size_t i = 0; i < text.size(); ++i)
        Put16(&v[2 * i], text[i]);
    return v;
}
} // namespace

int32_t MachineImpl::RegistryProperty(PlatDevInfoSet set, PlatDevInst inst, uint32_t property,
                                      void* buffer, uint32_t size, uint32_t* required) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = sets_.find(reinterpret_cast<uintptr_t>(set));
    if (it == sets_.end()) return 0;
    const auto& devices = it->second.devices;
    if (std::find(devices.begin(), devices.end(), inst) == devices.end()) return 0;
    Node* n = NodeByInst(inst);
    if (!n) return 0;
    if (property == kSpdrpService && n->service)
        return CopyProperty(TextProperty(*n->service), buffer, size, required);
    if (property == kSpdrpLocationInformation && n->location)
        return CopyProperty(TextProperty(*n->location), buffer, size, required);
    if (property == kSpdrpBusNumber && n->busNumber) {
        std::vector<uint8_t> v(4);
        Put32(v.data(), *n->busNumber);
        return CopyProperty(v, buffer, size, required);
    }
    return 0;
}

int32_t MachineImpl::DeviceProperty(PlatDevInfoSet set, PlatDevInst inst, const PlatDevPropKey* key,
                                    void* buffer, uint32_t size, uint32_t* required) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    auto it = sets_.find(reinterpret_cast<uintptr_t>(set));
    if (it == sets_.end() || !key) return 0;
    const auto& devices = it->second.devices;
    if (std::find(devices.begin(), devices.end(), inst) == devices.end()) return 0;
    Node* n = NodeByInst(inst);
    if (!n) return 0;
    auto p = n->properties.find(PropertyKey(key->fmtid, key->pid));
    if (p == n->properties.end()) return 0;
    return CopyProperty(p->second, buffer, size, required);
}

int32_t MachineImpl::Parent(PlatDevInst child, PlatDevInst* parent) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    Node* n = NodeByInst(child);
    if (!n || n->parent == 0) return 0;
    if (parent) *parent = n->parent;
    return 1;
}

int32_t MachineImpl::DeviceId(PlatDevInst inst, char16_t* buffer, uint32_t cap) {
    std::lock_guard<std::recursive_mutex> guard(lock);
    if (cap == 0) return 0;
    buffer[0] = 0;
    Node* n = NodeByInst(inst);
    if (!n || n->deviceId.size() + 1 > cap) return 0;
    std::copy(n->deviceId.begin(), n->deviceId.end(), buffer);
    buffer[n->deviceId.size()] = 0;
    return 1;
}

} // namespace sim
