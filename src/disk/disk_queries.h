// The storage requests that discovery sends to disks and volumes it opened itself.
#pragma once
#include "platform/types.h"

#include <cstdint>

// IOCTL_STORAGE_GET_DEVICE_NUMBER: true with the device type and number when the request
// succeeded.
bool QueryDeviceNumber(PlatHandle device, uint32_t* deviceType, uint32_t* deviceNumber);
// IOCTL_SCSI_GET_ADDRESS with an 8-byte SCSI_ADDRESS whose Length is 8: true with the PathId
// when the request succeeded.
bool QueryScsiPathId(PlatHandle device, uint8_t* pathId);
// IOCTL_STORAGE_QUERY_PROPERTY for the standard device descriptor: true with its BusType
// (STORAGE_BUS_TYPE) when the request succeeded.
bool QueryBusType(PlatHandle device, uint32_t* busType);
