#include "disk/transport.h"

#include "base/format.h"
#include "base/text.h"
#include "disk/scsi_request.h"
#include "nvme/bridge_lock.h"
#include "platform/requests.h"
#include "platform/storage.h"

#include <cstring>

namespace {

// Device interface paths are read into a buffer of this many units; a longer path counts as
// unreadable.
constexpr uint32_t kInterfacePathText = 1024;

// The BusType of the storage device descriptor; false when the query fails.
bool QueryBusType(PlatHandle drive, uint32_t* busType) {
    StoragePropertyQuery query;
    std::memset(&query, 0, sizeof(query));
    query.PropertyId = kStorageDeviceProperty;
    query.QueryType = kPropertyStandardQuery;
    StorageDeviceDescriptor descriptor;
    std::memset(&descriptor, 0, sizeof(descriptor));
    uint32_t returned = 0;
    if (!PlatDeviceIoControl(drive, kIoctlStorageQueryProperty, &query, sizeof(query), &descriptor,
                             sizeof(descriptor), &returned))
        return false;
    *busType = descriptor.BusType;
    return true;
}

int32_t ServiceType(const char16_t* path, int32_t withIaStor, int32_t without) {
    char16_t service[kServiceText];
    GetParentService(path, service);
    return ContainsNoCase(service, u"iaStor") ? withIaStor : without;
}

} // namespace

PlatHandle ClassifyNvmeTransport(const char16_t* path, TransportContext* context) {
    context->hScsiPort = PLAT_INVALID_HANDLE;
    PlatHandle drive = PlatDeviceOpen(path);
    if (drive == PLAT_INVALID_HANDLE) return PLAT_INVALID_HANDLE;
    // Every request to a bridge drive is made exclusive per drive; the lock knows the drive by
    // its path.
    BridgeLockBind(drive, path);

    ScsiAddress address;
    std::memset(&address, 0, sizeof(address));
    address.Length = sizeof(address);
    uint32_t returned = 0;
    if (PlatDeviceIoControl(drive, kIoctlScsiGetAddress, &address, sizeof(address), &address,
                            sizeof(address), &returned)) {
        context->iPathId = address.PathId;
        char16_t portPath[kShortText];
        FormatInto(portPath, u"\\\\.\\scsi%d:", static_cast<int32_t>(address.PortNumber));
        context->hScsiPort = PlatDeviceOpen(portPath);
    }

    uint32_t busType = 0;
    if (!QueryBusType(drive, &busType)) {
        context->iCmdType = kCmdNone;
    } else if (busType == kBusTypeNvme) {
        context->iCmdType = ServiceType(path, kCmdRst, kCmdInboxNvme);
    } else if (busType == kBusTypeUsb) {
        context->iCmdType = ProbeUsbBridge(drive);
    } else if (busType == kBusTypeRaid) {
        context->iCmdType = ServiceType(path, kCmdRst, kCmdNone);
    } else {
        context->iCmdType = kCmdNone;
    }
    return drive;
}

PlatHandle ClassifySataTransport(const char16_t* path, TransportContext* context) {
    context->hScsiPort = PLAT_INVALID_HANDLE;
    PlatHandle drive = PlatDeviceOpen(path);
    if (drive == PLAT_INVALID_HANDLE) return PLAT_INVALID_HANDLE;
    uint32_t busType = 0;
    if (!QueryBusType(drive, &busType)) {
        context->iCmdType = kCmdNone;
    } else if (busType == kBusTypeSata) {
        context->iCmdType = kCmdSata;
    } else if (busType == kBusTypeUsb) {
        context->iCmdType = kCmdSataUsb;
    } else if (busType == kBusTypeScsi || busType == kBusTypeIScsi || busType == kBusTypeSas) {
        context->iCmdType = kCmdSataScsi;
    } else {
        context->iCmdType = kCmdNone;
    }
    return drive;
}

void CloseTransport(PlatHandle drive, TransportContext* context) {
    if (drive != PLAT_INVALID_HANDLE) {
        // Unbound first: once closed, the handle value may be given to another open at once.
        BridgeLockUnbind(drive);
        PlatDeviceClose(drive);
    }
    if (context && context->hScsiPort != PLAT_INVALID_HANDLE) {
        PlatDeviceClose(context->hScsiPort);
        context->hScsiPort = PLAT_INVALID_HANDLE;
    }
}

int32_t ProbeUsbBridge(PlatHandle drive) {
    BridgeLock lock = BridgeLockAcquire(drive);
    alignas(16) uint8_t inquiry[4096];
    std::memset(inquiry, 0, sizeof(inquiry));
    const uint8_t inquiryCdb[16] = {0x12, 0x00, 0x00, 0x00, 0x26, 0x00};
    uint8_t status = 0;
    int32_t answer = kCmdNone;
    if (SendScsiPassThrough(drive, inquiryCdb, 16, kScsiIoctlDataIn, inquiry, sizeof(inquiry), 24,
                            kPassThroughTimeoutBridge, &status) &&
        status != kScsiStatusCheckCondition) {
        if (inquiry[36] == 0x60 && inquiry[37] == 0x23) {
            // The ASMedia bridge is asked for its information block; the answer is not used.
            const uint8_t infoCdb[16] = {0xEB, 0x5A, 0x02, 0,    0,    0,    0, 0,
                                         0,    0,    0x00, 0x00, 0x00, 0x10, 0, 0};
            alignas(16) uint8_t info[16];
            std::memset(info, 0, sizeof(info));
            SendScsiPassThrough(drive, infoCdb, 16, kScsiIoctlDataIn, info, sizeof(info), 24,
                                kPassThroughTimeoutBridge, nullptr);
            answer = kCmdAsmedia;
        } else if (inquiry[36] == 0x30 && inquiry[37] == 0x35) {
            answer = kCmdJmicron;
        }
    }
    BridgeLockRelease(lock);
    return answer;
}

PlatHandle OpenDiskInterface(const PlatGuid* interfaceClass, uint32_t index) {
    PlatDevInfoSet set = PlatDevGetClassDevs(interfaceClass, kDigcfPresent | kDigcfDeviceInterface);
    if (set == PLAT_INVALID_HANDLE) return PLAT_INVALID_HANDLE;
    PlatHandle handle = PLAT_INVALID_HANDLE;
    char16_t path[kInterfacePathText];
    if (PlatDevEnumInterface(set, interfaceClass, index) &&
        PlatDevGetInterfaceDetail(set, interfaceClass, index, path, kInterfacePathText, nullptr,
                                  nullptr))
        handle = PlatDeviceOpen(path);
    PlatDevDestroyList(set);
    return handle;
}

PlatDevInst GetDevNodeOfDrive(const char16_t* path, int32_t level) {
    PlatDevInfoSet set = PlatDevGetClassDevs(&kGuidDevInterfaceDisk,
                                             kDigcfPresent | kDigcfProfile | kDigcfDeviceInterface);
    if (set == PLAT_INVALID_HANDLE) return 0;
    PlatDevInst result = 0;
    for (uint32_t index = 0; PlatDevEnumInterface(set, &kGuidDevInterfaceDisk, index); ++index) {
        PlatHandle disk = OpenDiskInterface(&kGuidDevInterfaceDisk, index);
        if (disk == PLAT_INVALID_HANDLE) continue;
        StorageDeviceNumber number;
        std::memset(&number, 0, sizeof(number));
        uint32_t returned = 0;
        char16_t name[kShortText] = {};
        if (PlatDeviceIoControl(disk, kIoctlStorageGetDeviceNumber, nullptr, 0, &number,
                                sizeof(number), &returned))
            FormatInto(name, u"\\\\.\\PHYSICALDRIVE%d", static_cast<int32_t>(number.DeviceNumber));
        PlatDeviceClose(disk);
        if (name[0] == 0 || WCompareNoCase(name, path) != 0) continue;

        char16_t interfacePath[kInterfacePathText];
        PlatDevInst node = 0;
        if (!PlatDevGetInterfaceDetail(set, &kGuidDevInterfaceDisk, index, interfacePath,
                                       kInterfacePathText, nullptr, &node))
            break;
        for (int32_t up = 0; up < level && node != 0; ++up) {
            PlatDevInst parent = 0;
            node = PlatDevGetParent(node, &parent) ? parent : 0;
        }
        result = node;
        break;
    }
    PlatDevDestroyList(set);
    return result;
}

namespace {
// The set of all present devices, positioned on the drive's parent node (the controller or
// port whose service and link the callers read). PLAT_INVALID_HANDLE when the drive or its
// parent is not found; otherwise the caller destroys the set.
PlatDevInfoSet OpenParentNode(const char16_t* path, PlatDevInst* parent) {
    PlatDevInst node = GetDevNodeOfDrive(path, 1);
    if (node == 0) return PLAT_INVALID_HANDLE;
    PlatDevInfoSet set = PlatDevGetClassDevs(nullptr, kDigcfPresent | kDigcfAllClasses);
    if (set == PLAT_INVALID_HANDLE) return PLAT_INVALID_HANDLE;
    PlatDevInst member = 0;
    for (uint32_t index = 0; PlatDevEnumDevice(set, index, &member); ++index) {
        if (member == node) {
            *parent = member;
            return set;
        }
    }
    PlatDevDestroyList(set);
    return PLAT_INVALID_HANDLE;
}
} // namespace

void GetParentService(const char16_t* path, char16_t* buffer) {
    buffer[0] = 0;
    PlatDevInst parent = 0;
    PlatDevInfoSet set = OpenParentNode(path, &parent);
    if (set == PLAT_INVALID_HANDLE) return;
    uint32_t required = 0;
    PlatDevGetRegistryProperty(set, parent, kSpdrpService, nullptr, 0, &required);
    const uint32_t cap = kServiceText * sizeof(char16_t);
    // A name longer than the buffer is not read at all rather than cut.
    if (required > 0 && required <= cap &&
        PlatDevGetRegistryProperty(set, parent, kSpdrpService, buffer, cap, nullptr))
        buffer[kServiceText - 1] = 0;
    else
        buffer[0] = 0;
    PlatDevDestroyList(set);
}

void GetPcieLinkInfo(const char16_t* path, uint32_t* linkSpeed, uint32_t* linkWidth,
                     uint32_t* maxLinkSpeed, uint32_t* maxLinkWidth) {
    *linkSpeed = *linkWidth = *maxLinkSpeed = *maxLinkWidth = 0;
    PlatDevInst parent = 0;
    PlatDevInfoSet set = OpenParentNode(path, &parent);
    if (set == PLAT_INVALID_HANDLE) return;
    const PlatDevPropKey* keys[4] = {&kPciCurrentLinkSpeed, &kPciCurrentLinkWidth, &kPciMaxLinkSpeed,
                                     &kPciMaxLinkWidth};
    uint32_t* outputs[4] = {linkSpeed, linkWidth, maxLinkSpeed, maxLinkWidth};
    for (int i = 0; i < 4; ++i) {
        uint32_t value = 0;
        if (PlatDevGetProperty(set, parent, keys[i], &value, sizeof(value), nullptr)) *outputs[i] = value;
    }
    PlatDevDestroyList(set);
}
