// Storage queries on a disk: IOCTL_STORAGE_QUERY_PROPERTY (the device descriptor; the in-box
// NVMe driver's protocol-specific Identify queries), IOCTL_STORAGE_GET_DEVICE_NUMBER and
// IOCTL_SCSI_GET_ADDRESS.
#include "request_families.h"

#include "bytes.h"
#include "platform/requests.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

bool ProtocolQuery(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorNotSupported);
    if (req.in.size() < sizeof(StorageProtocolQuery)) return req.Fail(kErrorInvalidParameter);
    const uint8_t* s = req.in.data() + 8; // STORAGE_PROTOCOL_SPECIFIC_DATA
    const uint32_t protocol = Le32(s), dataType = Le32(s + 4), value = Le32(s + 8),
                   subValue = Le32(s + 12);
    const uint32_t offset = Le32(s + 16), length = Le32(s + 20);
    if (protocol != kProtocolTypeNvme) return req.Fail(kErrorInvalidParameter);
    if (dataType != kNvmeDataTypeIdentify) return req.Fail(kErrorNotSupported);
    if (offset < sizeof(StorageProtocolSpecificData) || length == 0)
        return req.Fail(kErrorInvalidParameter);
    if (static_cast<uint64_t>(8) + offset + length > req.outSize)
        return req.Fail(kErrorInsufficientBuffer);
    std::vector<uint8_t> entry(64, 0);
    entry[0] = 0x06;
    Put32(&entry[4], subValue);
    Put32(&entry[40], value);
    req.rec->nvme = entry;
    if (Refused(m, req)) return false;
    if (!disk.nvme) return req.Fail(kErrorIoDevice);
    std::vector<uint8_t> data;
    NvmeCompletion done = disk.nvme->Execute(entry.data(), nullptr, 0, &data, length);
    if (done.status != 0) return req.Fail(kErrorIoDevice);
    if (BadReply(req)) Invert(data);
    std::memcpy(req.out, req.in.data(), std::min<size_t>(req.in.size(), req.outSize));
    Put32(req.out, sizeof(StorageProtocolDataDescriptor));
    Put32(req.out + 4, sizeof(StorageProtocolDataDescriptor));
    Put32(req.out + 8 + 24, done.dw0); // FixedProtocolReturnData
    std::memcpy(req.out + 8 + offset, data.data(), length);
    return req.Succeed(8 + offset + length);
}

bool DeviceDescriptor(Disk& disk, Request& req) {
    std::vector<uint8_t> d(40, 0);
    const char* strings = "SIM\0Disk\0"
                          "0100\0"
                          "SIM0\0";
    d.insert(d.end(), strings, strings + 20);
    Put32(&d[0], 40);
    Put32(&d[4], static_cast<uint32_t>(d.size()));
    Put32(&d[12], 40);
    Put32(&d[16], 44);
    Put32(&d[20], 49);
    Put32(&d[24], 54);
    Put32(&d[28], disk.busType);
    if (req.outSize < 8) return req.Fail(kErrorInsufficientBuffer);
    const uint32_t n = std::min<uint32_t>(req.outSize, static_cast<uint32_t>(d.size()));
    std::memcpy(req.out, d.data(), n);
    return req.Succeed(n);
}
} // namespace

bool GetDeviceNumber(Disk& disk, Request& req) {
    if (req.outSize < sizeof(StorageDeviceNumber)) return req.Fail(kErrorInsufficientBuffer);
    Put32(req.out, kFileDeviceDisk);
    Put32(req.out + 4, static_cast<uint32_t>(disk.number));
    Put32(req.out + 8, 0);
    return req.Succeed(sizeof(StorageDeviceNumber));
}

bool StorageQueryProperty(MachineImpl& m, Disk& disk, Request& req) {
    if (req.in.size() < 8) return req.Fail(kErrorInvalidParameter);
    const uint32_t property = Le32(req.in.data()), query = Le32(req.in.data() + 4);
    if (query != kPropertyStandardQuery) return req.Fail(kErrorInvalidFunction);
    if (property == kStorageDeviceProperty) return DeviceDescriptor(disk, req);
    if (property == kStorageAdapterProtocolSpecificProperty ||
        property == kStorageDeviceProtocolSpecificProperty)
        return ProtocolQuery(m, disk, req);
    return req.Fail(kErrorNotSupported);
}

bool ScsiGetAddress(Disk& disk, Request& req) {
    if (!disk.scsi) return req.Fail(kErrorInvalidFunction);
    if (req.outSize < sizeof(ScsiAddress)) return req.Fail(kErrorInsufficientBuffer);
    Put32(req.out, sizeof(ScsiAddress));
    req.out[4] = disk.scsi->port;
    req.out[5] = disk.scsi->path;
    req.out[6] = disk.scsi->target;
    req.out[7] = disk.scsi->lun;
    return req.Succeed(sizeof(ScsiAddress));
}

} // namespace sim
