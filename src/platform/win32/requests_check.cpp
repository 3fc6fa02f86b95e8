// Compile-time check of platform/requests.h against the Windows SDK headers of the tool chain:
// every control code, and the size and field offsets of each structure the headers declare.
// Structures the headers lack (STORAGE_PROTOCOL_COMMAND, STORAGE_HW_FIRMWARE_*) are checked
// by their own layout asserts in requests.h.
#include "platform/requests.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>

#include <cstddef>

#define FW_SAME_OFFSET(ours, sdk, field)                                                           \
    static_assert(offsetof(ours, field) == offsetof(sdk, field))

static_assert(kIoctlStorageGetDeviceNumber == IOCTL_STORAGE_GET_DEVICE_NUMBER);
static_assert(kIoctlStorageQueryProperty == IOCTL_STORAGE_QUERY_PROPERTY);
static_assert(kIoctlStorageProtocolCommand == IOCTL_STORAGE_PROTOCOL_COMMAND);
static_assert(kIoctlStorageFirmwareDownload == IOCTL_STORAGE_FIRMWARE_DOWNLOAD);
static_assert(kIoctlStorageFirmwareActivate == IOCTL_STORAGE_FIRMWARE_ACTIVATE);
static_assert(kIoctlScsiGetAddress == IOCTL_SCSI_GET_ADDRESS);
static_assert(kIoctlScsiMiniport == IOCTL_SCSI_MINIPORT);
static_assert(kIoctlScsiPassThroughDirect == IOCTL_SCSI_PASS_THROUGH_DIRECT);
static_assert(kIoctlAtaPassThroughDirect == IOCTL_ATA_PASS_THROUGH_DIRECT);

static_assert(kBusTypeUsb == BusTypeUsb && kBusTypeRaid == BusTypeRAID &&
              kBusTypeSata == BusTypeSata && kBusTypeSas == BusTypeSas &&
              kBusTypeScsi == BusTypeScsi && kBusTypeIScsi == BusTypeiScsi &&
              kBusTypeNvme == BusTypeNvme);
static_assert(kStorageAdapterProtocolSpecificProperty == StorageAdapterProtocolSpecificProperty);
static_assert(kStorageDeviceProtocolSpecificProperty == StorageDeviceProtocolSpecificProperty);
static_assert(kProtocolTypeNvme == ProtocolTypeNvme);
static_assert(kNvmeDataTypeIdentify == NVMeDataTypeIdentify);
static_assert(kFileDeviceDisk == FILE_DEVICE_DISK);
static_assert(kAtaFlagsDataIn == ATA_FLAGS_DATA_IN && kAtaFlagsDataOut == ATA_FLAGS_DATA_OUT &&
              kAtaFlags48BitCommand == ATA_FLAGS_48BIT_COMMAND &&
              kAtaFlagsDrdyRequired == ATA_FLAGS_DRDY_REQUIRED);
static_assert(kScsiIoctlDataIn == SCSI_IOCTL_DATA_IN && kScsiIoctlDataOut == SCSI_IOCTL_DATA_OUT &&
              kScsiIoctlDataUnspecified == SCSI_IOCTL_DATA_UNSPECIFIED);

static_assert(sizeof(StorageDeviceNumber) == sizeof(STORAGE_DEVICE_NUMBER));
FW_SAME_OFFSET(StorageDeviceNumber, STORAGE_DEVICE_NUMBER, DeviceNumber);
FW_SAME_OFFSET(StorageDeviceNumber, STORAGE_DEVICE_NUMBER, PartitionNumber);

static_assert(sizeof(StoragePropertyQuery) == sizeof(STORAGE_PROPERTY_QUERY));
FW_SAME_OFFSET(StoragePropertyQuery, STORAGE_PROPERTY_QUERY, QueryType);
FW_SAME_OFFSET(StoragePropertyQuery, STORAGE_PROPERTY_QUERY, AdditionalParameters);

static_assert(sizeof(StorageDeviceDescriptor) == sizeof(STORAGE_DEVICE_DESCRIPTOR));
FW_SAME_OFFSET(StorageDeviceDescriptor, STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset);
FW_SAME_OFFSET(StorageDeviceDescriptor, STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset);
FW_SAME_OFFSET(StorageDeviceDescriptor, STORAGE_DEVICE_DESCRIPTOR, BusType);
FW_SAME_OFFSET(StorageDeviceDescriptor, STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);

static_assert(sizeof(ScsiAddress) == sizeof(SCSI_ADDRESS));
FW_SAME_OFFSET(ScsiAddress, SCSI_ADDRESS, PortNumber);
FW_SAME_OFFSET(ScsiAddress, SCSI_ADDRESS, PathId);
FW_SAME_OFFSET(ScsiAddress, SCSI_ADDRESS, Lun);

static_assert(sizeof(StorageProtocolSpecificData) == sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA));
FW_SAME_OFFSET(StorageProtocolSpecificData, STORAGE_PROTOCOL_SPECIFIC_DATA,
               ProtocolDataRequestValue);
FW_SAME_OFFSET(StorageProtocolSpecificData, STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataOffset);
FW_SAME_OFFSET(StorageProtocolSpecificData, STORAGE_PROTOCOL_SPECIFIC_DATA, ProtocolDataLength);
static_assert(sizeof(StorageProtocolDataDescriptor) == sizeof(STORAGE_PROTOCOL_DATA_DESCRIPTOR));
FW_SAME_OFFSET(StorageProtocolDataDescriptor, STORAGE_PROTOCOL_DATA_DESCRIPTOR,
               ProtocolSpecificData);

static_assert(sizeof(SrbIoControl) == sizeof(SRB_IO_CONTROL));
FW_SAME_OFFSET(SrbIoControl, SRB_IO_CONTROL, Signature);
FW_SAME_OFFSET(SrbIoControl, SRB_IO_CONTROL, ControlCode);
FW_SAME_OFFSET(SrbIoControl, SRB_IO_CONTROL, Length);

static_assert(sizeof(ScsiPassThroughDirect) == sizeof(SCSI_PASS_THROUGH_DIRECT));
FW_SAME_OFFSET(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, DataIn);
FW_SAME_OFFSET(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, DataTransferLength);
FW_SAME_OFFSET(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, DataBuffer);
FW_SAME_OFFSET(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, SenseInfoOffset);
FW_SAME_OFFSET(ScsiPassThroughDirect, SCSI_PASS_THROUGH_DIRECT, Cdb);

static_assert(sizeof(AtaPassThroughDirect) == sizeof(ATA_PASS_THROUGH_DIRECT));
FW_SAME_OFFSET(AtaPassThroughDirect, ATA_PASS_THROUGH_DIRECT, DataTransferLength);
FW_SAME_OFFSET(AtaPassThroughDirect, ATA_PASS_THROUGH_DIRECT, DataBuffer);
FW_SAME_OFFSET(AtaPassThroughDirect, ATA_PASS_THROUGH_DIRECT, PreviousTaskFile);
FW_SAME_OFFSET(AtaPassThroughDirect, ATA_PASS_THROUGH_DIRECT, CurrentTaskFile);
