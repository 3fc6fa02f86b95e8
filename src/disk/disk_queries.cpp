#include "disk/disk_queries.h"

#include "platform/requests.h"
#include "platform/storage.h"

bool QueryDeviceNumber(PlatHandle device, uint32_t* deviceType, uint32_t* deviceNumber) {
    StorageDeviceNumber number = {};
    uint32_t returned = 0;
    if (!PlatDeviceIoControl(device, kIoctlStorageGetDeviceNumber, nullptr, 0, &number,
                             sizeof number, &returned))
        return false;
    *deviceType = number.DeviceType;
    *deviceNumber = number.DeviceNumber;
    return true;
}

bool QueryScsiPathId(PlatHandle device, uint8_t* pathId) {
    ScsiAddress address = {};
    address.Length = sizeof address;
    uint32_t returned = 0;
    if (!PlatDeviceIoControl(device, kIoctlScsiGetAddress, &address, sizeof address, &address,
                             sizeof address, &returned))
        return false;
    *pathId = address.PathId;
    return true;
}

bool QueryBusType(PlatHandle device, uint32_t* busType) {
    StoragePropertyQuery query = {};
    query.PropertyId = kStorageDeviceProperty;
    query.QueryType = kPropertyStandardQuery;
    StorageDeviceDescriptor descriptor = {};
    uint32_t returned = 0;
    if (!PlatDeviceIoControl(device, kIoctlStorageQueryProperty, &query, sizeof query, &descriptor,
                             sizeof descriptor, &returned))
        return false;
    *busType = descriptor.BusType;
    return true;
}
