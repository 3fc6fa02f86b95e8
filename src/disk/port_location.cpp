#include "disk/port_location.h"

#include "base/text.h"
#include "disk/disk_queries.h"
#include "disk/drive_text.h"
#include "disk/transport.h"
#include "platform/storage.h"

#include <cstdlib>

namespace {

constexpr uint32_t kInterfaceFlags = kDigcfPresent | kDigcfProfile | kDigcfDeviceInterface;
constexpr uint32_t kAllDevicesFlags = kDigcfPresent | kDigcfAllClasses;
constexpr uint32_t kIdUnits = 260;
// Hubs chain at most a few tiers deep; a malformed tree with a loop must not recurse forever.
constexpr int kMaxHubDepth = 16;

bool IsUsbType(int32_t iCmdType) {
    return iCmdType == 0 || iCmdType == 1 || iCmdType == 17;
}

bool DeviceIdOf(PlatDevInst node, char16_t (&id)[kIdUnits]) {
    id[0] = 0;
    return node != 0 && PlatDevGetDeviceId(node, id, kIdUnits) == 1;
}

// SPDRP_LOCATION_INFORMATION of a device of the set, parsed for its port (0 when missing).
uint64_t LocationPort(PlatDevInfoSet set, PlatDevInst node) {
    char16_t text[kIdUnits] = {};
    uint32_t required = 0;
    PlatDevGetRegistryProperty(set, node, kSpdrpLocationInformation, nullptr, 0, &required);
    if (PlatDevGetRegistryProperty(set, node, kSpdrpLocationInformation, text, sizeof text,
                                   nullptr) != 1)
        return 0;
    text[kIdUnits - 1] = 0;
    return ParseUsbPortNumber(text);
}

// SPDRP_BUSNUMBER of any present device, 0 when absent.
uint32_t BusNumberOf(PlatDevInst node) {
    if (node == 0) return 0;
    PlatDevInfoSet all = PlatDevGetClassDevs(nullptr, kAllDevicesFlags);
    if (all == PLAT_INVALID_HANDLE) return 0;
    uint32_t bus = 0;
    if (PlatDevGetRegistryProperty(all, node, kSpdrpBusNumber, &bus, sizeof bus, nullptr) != 1)
        bus = 0;
    PlatDevDestroyList(all);
    return bus;
}

uint64_t WalkHubs(const char16_t* hubId, uint64_t value, int depth) {
    PlatDevInfoSet set = PlatDevGetClassDevs(&kGuidDevInterfaceUsbHub, kInterfaceFlags);
    if (set == PLAT_INVALID_HANDLE) return value;
    for (uint32_t i = 0; PlatDevEnumInterface(set, &kGuidDevInterfaceUsbHub, i) == 1; ++i) {
        PlatDevInst hub = InterfaceDevInst(set, &kGuidDevInterfaceUsbHub, i);
        char16_t id[kIdUnits];
        if (!DeviceIdOf(hub, id) || WCompare(id, hubId) != 0) continue;
        PlatDevInst parent = 0;
        char16_t parentId[kIdUnits] = {};
        if (PlatDevGetParent(hub, &parent) == 1) DeviceIdOf(parent, parentId);
        if (IsRootHubId(id)) {
            // A root hub sits on its host controller.
            value = value * 100 + GetHostControllerIndex(parentId);
        } else if (depth < kMaxHubDepth) {
            uint64_t hubPort = LocationPort(set, hub);
            value = WalkHubs(parentId, value * 100 + hubPort, depth + 1);
        }
    }
    PlatDevDestroyList(set);
    return value;
}

bool IsSpace(char16_t c) {
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}

} // namespace

PlatDevInst InterfaceDevInst(PlatDevInfoSet set, const PlatGuid* classGuid, uint32_t index) {
    uint32_t required = 0;
    PlatDevGetInterfaceDetail(set, classGuid, index, nullptr, 0, &required, nullptr);
    if (required == 0) return 0;
    auto* path = static_cast<char16_t*>(std::calloc(required, sizeof(char16_t)));
    if (path == nullptr) return 0;
    PlatDevInst node = 0;
    if (PlatDevGetInterfaceDetail(set, classGuid, index, path, required, nullptr, &node) != 1)
        node = 0;
    std::free(path);
    return node;
}

uint64_t ParseUsbPortNumber(const char16_t* text) {
    // Scanned as "Port_#%I64d.Hub_#%I64d": only the port is used, and it counts once its
    // digits parsed. The pattern's literal characters must match from the first character on
    // (a blank before "Port_#" is not skipped); the number may follow blanks, as %I64d reads.
    static const char16_t kPrefix[] = u"Port_#";
    for (const char16_t* p = kPrefix; *p != 0; ++p, ++text)
        if (*text != *p) return 0;
    int64_t port = 0;
    return ScanDecimal(&text, &port) ? static_cast<uint64_t>(port) : 0;
}

bool IsRootHubId(const char16_t* id) {
    // Split like "%4s%8s": up to 4 non-blank characters, then up to 8 more.
    while (IsSpace(*id))
        ++id;
    if (*id == 0) return false;
    for (int n = 0; n < 4 && *id != 0 && !IsSpace(*id); ++n)
        ++id;
    while (IsSpace(*id))
        ++id;
    char16_t part[9] = {};
    for (int n = 0; n < 8 && *id != 0 && !IsSpace(*id); ++n)
        part[n] = *id++;
    return WCompare(part, u"ROOT_HUB") == 0;
}

uint32_t GetHostControllerIndex(const char16_t* controllerId) {
    PlatDevInfoSet set = PlatDevGetClassDevs(&kGuidDevInterfaceUsbHostController, kInterfaceFlags);
    if (set == PLAT_INVALID_HANDLE) return 1;
    uint32_t i = 0;
    for (; PlatDevEnumInterface(set, &kGuidDevInterfaceUsbHostController, i) == 1; ++i) {
        char16_t id[kIdUnits];
        if (DeviceIdOf(InterfaceDevInst(set, &kGuidDevInterfaceUsbHostController, i), id) &&
            WCompare(id, controllerId) == 0)
            break;
    }
    PlatDevDestroyList(set);
    return i + 1;
}

uint64_t WalkUsbHubs(const char16_t* hubId, uint64_t value) {
    return WalkHubs(hubId, value, 0);
}

uint64_t GetUsbLocation(const char16_t* usbDeviceId) {
    PlatDevInfoSet set = PlatDevGetClassDevs(&kGuidDevInterfaceUsbDevice, kInterfaceFlags);
    if (set == PLAT_INVALID_HANDLE) return 0;
    uint64_t result = 0;
    for (uint32_t i = 0; PlatDevEnumInterface(set, &kGuidDevInterfaceUsbDevice, i) == 1; ++i) {
        PlatDevInst device = InterfaceDevInst(set, &kGuidDevInterfaceUsbDevice, i);
        char16_t id[kIdUnits];
        if (!DeviceIdOf(device, id) || WCompare(id, usbDeviceId) != 0) continue;
        uint64_t port = LocationPort(set, device);
        PlatDevInst hub = 0;
        char16_t hubId[kIdUnits] = {};
        if (PlatDevGetParent(device, &hub) == 1) DeviceIdOf(hub, hubId);
        result = WalkUsbHubs(hubId, port);
    }
    PlatDevDestroyList(set);
    return result;
}

uint64_t PortLocationOfDiskNode(int32_t iCmdType, PlatDevInst diskNode) {
    PlatDevInst parent = 0;
    if (diskNode == 0 || PlatDevGetParent(diskNode, &parent) != 1) parent = 0;
    if (IsUsbType(iCmdType)) {
        char16_t usbId[kIdUnits];
        if (!DeviceIdOf(parent, usbId)) return 0;
        return ReversePortDigits(GetUsbLocation(usbId));
    }
    PlatDevInst grandparent = 0;
    if (parent == 0 || PlatDevGetParent(parent, &grandparent) != 1) grandparent = 0;
    int64_t location = static_cast<int64_t>(BusNumberOf(parent)) +
                       99 * static_cast<int64_t>(BusNumberOf(grandparent));
    return static_cast<uint64_t>(location);
}

uint64_t GetPortLocation(int32_t iCmdType, int32_t deviceNumber) {
    PlatDevInfoSet set = PlatDevGetClassDevs(&kGuidDevInterfaceDisk, kInterfaceFlags);
    if (set == PLAT_INVALID_HANDLE) return 0;
    uint64_t location = 0;
    for (uint32_t i = 0; PlatDevEnumInterface(set, &kGuidDevInterfaceDisk, i) == 1; ++i) {
        PlatHandle disk = OpenDiskInterface(&kGuidDevInterfaceDisk, i);
        if (disk == PLAT_INVALID_HANDLE) continue;
        uint32_t type = 0, number = 0;
        bool match = QueryDeviceNumber(disk, &type, &number) &&
                     number == static_cast<uint32_t>(deviceNumber);
        if (match)
            location =
                PortLocationOfDiskNode(iCmdType, InterfaceDevInst(set, &kGuidDevInterfaceDisk, i));
        PlatDeviceClose(disk);
        if (match) break;
    }
    PlatDevDestroyList(set);
    return location;
}
