#include "disk/disk_queries.h"

#include "platform/storage.h"

#include <cstring>

namespace {
constexpr uint32_t kGetDeviceNumberCode = 0x2D1080; // IOCTL_STORAGE_GET_DEVICE_NUMBER
constexpr uint32_t kScsiGetAddressCode = 0x41018;   // IOCTL_SCSI_GET_ADDRESS
} // namespace

bool QueryDeviceNumber(PlatHandle device, uint32_t* deviceType, uint32_t* deviceNumber) {
    // STORAGE_DEVICE_NUMBER: DeviceType, DeviceNumber, PartitionNumber, 4 bytes each.
    uint8_t reply[12] = {};
    uint32_t returned = 0;
    if (!PlatDeviceIoControl(device, kGetDeviceNumberCode, nullptr, 0, reply, sizeof reply,
                             &returned))
        return false;
    std::memcpy(deviceType, reply, 4);
    std::memcpy(deviceNumber, reply + 4, 4);
    return true;
}

bool QueryScsiPathId(PlatHandle device, uint8_t* pathId) {
    // SCSI_ADDRESS: Length (4 bytes), PortNumber, PathId, TargetId, Lun (1 byte each).
    uint8_t address[8] = {8, 0, 0, 0, 0, 0, 0, 0};
    uint32_t returned = 0;
    if (!PlatDeviceIoControl(device, kScsiGetAddressCode, address, sizeof address, address,
                             sizeof address, &returned))
        return false;
    *pathId = address[5];
    return true;
}

bool QueryBusType(PlatHandle device, uint32_t* busType) {
    // STORAGE_PROPERTY_QUERY: StorageDeviceProperty (0), PropertyStandardQuery (0).
    uint8_t query[12] = {};
    // The first 40 bytes of STORAGE_DEVICE_DESCRIPTOR; BusType is the 32-bit value at 28.
    uint8_t descriptor[40] = {};
    uint32_t returned = 0;
    if (!PlatDeviceIoControl(device, 0x2D1400, query, sizeof query, descriptor, sizeof descriptor,
                             &returned))
        return false;
    std::memcpy(busType, descriptor + 28, 4);
    return true;
}
