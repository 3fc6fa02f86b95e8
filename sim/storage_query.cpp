// Storage queries on a disk: IOCTL_STORAGE_QUERY_PROPERTY (the device descriptor; the in-box
// NVMe driver's protocol-specific Identify queries), IOCTL_STORAGE_GET_DEVICE_NUMBER and
// IOCTL_SCSI_GET_ADDRESS.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

// The in-box driver's protocol-specific query: an NVMe Identify whose data follows the
// STORAGE_PROTOCOL_SPECIFIC_DATA in the same buffer.
bool ProtocolQuery(MachineImpl& m, Disk& disk, Request& req) {
    namespace q = protocol_query;
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorNotSupported);
    if (req.in.size() < q::kSize) return Refuse(req, kErrorInvalidParameter, "query too short");
    const uint8_t* s = req.in.data() + q::kSpecific;
    const uint32_t protocol = Le32(s + q::kProtocolType), dataType = Le32(s + q::kDataType),
                   value = Le32(s + q::kRequestValue), subValue = Le32(s + q::kRequestSubValue);
    const uint32_t offset = Le32(s + q::kDataOffset), length = Le32(s + q::kDataLength);
    if (protocol != kProtocolTypeNvme)
        return Refuse(req, kErrorInvalidParameter, "ProtocolType is not NVMe");
    if (dataType != kNvmeDataTypeIdentify)
        return Refuse(req, kErrorNotSupported, "DataType is not Identify");
    if (Le32(s + q::kFixedReturnData) || Le32(s + q::kSubValue2) || Le32(s + q::kSubValue3) ||
        Le32(s + q::kSubValue4))
        return Refuse(req, kErrorInvalidParameter, "return data or sub-values 2-4 not 0");
    // Identify data is 4096 bytes; it starts after the protocol-specific data, 4-aligned.
    if (offset < q::kSpecificSize || (offset & 3) || length != 4096)
        return Refuse(req, kErrorInvalidParameter,
                      "ProtocolDataOffset or ProtocolDataLength wrong");
    const uint64_t end = static_cast<uint64_t>(q::kSpecific) + offset + length;
    if (end > req.outSize || end > req.in.size())
        return Refuse(req, kErrorInsufficientBuffer, "data area beyond the buffer");
    std::vector<uint8_t> entry(64, 0);
    entry[0] = 0x06;
    Put32(&entry[4], subValue);
    Put32(&entry[40], value);
    req.rec->nvme = entry;
    if (Refused(m, req)) return false;
    if (!disk.nvme) return req.Fail(kErrorIoDevice);
    std::vector<uint8_t> data;
    NvmeCompletion done = disk.nvme->Execute(entry.data(), nullptr, 0, &data, length);
    if (done.status != 0) return Refuse(req, kErrorIoDevice, "the drive failed the Identify");
    if (BadReply(req)) Invert(data);
    std::memcpy(req.out, req.in.data(), std::min<size_t>(req.in.size(), req.outSize));
    Put32(req.out, q::kSize);     // STORAGE_PROTOCOL_DATA_DESCRIPTOR Version
    Put32(req.out + 4, q::kSize); // and Size
    Put32(req.out + q::kSpecific + q::kFixedReturnData, done.dw0);
    std::memcpy(req.out + q::kSpecific + offset, data.data(), length);
    return req.Succeed(static_cast<uint32_t>(end));
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
    if (req.outSize < kStorageDeviceNumberSize) return req.Fail(kErrorInsufficientBuffer);
    Put32(req.out, kFileDeviceDisk);
    Put32(req.out + 4, static_cast<uint32_t>(disk.number));
    Put32(req.out + 8, 0);
    return req.Succeed(kStorageDeviceNumberSize);
}

bool StorageQueryProperty(MachineImpl& m, Disk& disk, Request& req) {
    // STORAGE_PROPERTY_QUERY is 12 bytes (PropertyId, QueryType, AdditionalParameters[1]
    // padded).
    if (req.in.size() < 12) return Refuse(req, kErrorInvalidParameter, "query shorter than 12");
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
    // The caller's SCSI_ADDRESS, when it passes one in, says its own Length.
    if (!req.in.empty() && (req.in.size() < kScsiAddressSize || Le32(req.in.data()) != 8))
        return Refuse(req, kErrorInvalidParameter, "SCSI_ADDRESS Length is not 8");
    if (req.outSize < kScsiAddressSize) return req.Fail(kErrorInsufficientBuffer);
    Put32(req.out, kScsiAddressSize);
    req.out[4] = disk.scsi->port;
    req.out[5] = disk.scsi->path;
    req.out[6] = disk.scsi->target;
    req.out[7] = disk.scsi->lun;
    return req.Succeed(kScsiAddressSize);
}

} // namespace sim
