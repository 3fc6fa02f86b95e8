// Compile-time check of platform/requests.h and platform/devtree.h against the Windows SDK
// headers of the tool chain: every control code and constant, and the size and field offsets
// of each structure the headers declare. Structures and constants the headers lack
// (STORAGE_PROTOCOL_COMMAND, STORAGE_HW_FIRMWARE_*, the protocol status and flag values) are
// pinned to the literal values of the Windows documentation, for the 32-bit and the 64-bit
// layout alike. The file is compiled into the 64-bit Windows build and, compile only, for
// 32-bit Windows (ctest: layout_checks_win32_i686), so both pointer widths are checked.
#include "platform/devtree.h"
#include "platform/requests.h"

#include <windows.h>
#include <winioctl.h>
#include <ntddscsi.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <devpropdef.h>

#include <cstddef>

// The interface class GUIDs as the SDK headers define them, read again with DEFINE_GUID
// giving compile-time values (winioctl.h defines its GUIDs outside its include guard).
#pragma push_macro("DEFINE_GUID")
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)                               \
    constexpr PlatGuid kSdk_##name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
#include <winioctl.h>
#include <usbiodef.h>
#pragma pop_macro("DEFINE_GUID")

// The PCI device property keys as pciprop.h defines them, made compile-time constants: its
// definitions (with INITGUID) read "const DEVPROPKEY DECLSPEC_SELECTANY name = {...}".
#pragma push_macro("DECLSPEC_SELECTANY")
#undef DECLSPEC_SELECTANY
#define DECLSPEC_SELECTANY constexpr
#define INITGUID
#include <pciprop.h>
#undef INITGUID
#pragma pop_macro("DECLSPEC_SELECTANY")

namespace {
constexpr bool Same(const PlatGuid& a, const PlatGuid& b) {
    if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i]) return false;
    return true;
}
constexpr PlatGuid Ours(const GUID& g) {
    return {g.Data1,
            g.Data2,
            g.Data3,
            {g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4], g.Data4[5], g.Data4[6],
             g.Data4[7]}};
}
constexpr bool Same(const PlatDevPropKey& ours, const DEVPROPKEY& sdk) {
    return Same(ours.fmtid, Ours(sdk.fmtid)) && ours.pid == sdk.pid;
}
constexpr bool k64 = sizeof(void*) == 8;
} // namespace

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
static_assert(kStorageDeviceProperty == StorageDeviceProperty);
static_assert(kPropertyStandardQuery == PropertyStandardQuery);

// STORAGE_PROTOCOL_COMMAND (not in the tool chain's headers): the documented layout, the same
// for both widths, and its constants.
static_assert(offsetof(StorageProtocolCommand, Version) == 0);
static_assert(offsetof(StorageProtocolCommand, Length) == 4);
static_assert(offsetof(StorageProtocolCommand, ProtocolType) == 8);
static_assert(offsetof(StorageProtocolCommand, Flags) == 12);
static_assert(offsetof(StorageProtocolCommand, ReturnStatus) == 16);
static_assert(offsetof(StorageProtocolCommand, ErrorCode) == 20);
static_assert(offsetof(StorageProtocolCommand, CommandLength) == 24);
static_assert(offsetof(StorageProtocolCommand, ErrorInfoLength) == 28);
static_assert(offsetof(StorageProtocolCommand, DataToDeviceTransferLength) == 32);
static_assert(offsetof(StorageProtocolCommand, DataFromDeviceTransferLength) == 36);
static_assert(offsetof(StorageProtocolCommand, TimeOutValue) == 40);
static_assert(offsetof(StorageProtocolCommand, ErrorInfoOffset) == 44);
static_assert(offsetof(StorageProtocolCommand, DataToDeviceBufferOffset) == 48);
static_assert(offsetof(StorageProtocolCommand, DataFromDeviceBufferOffset) == 52);
static_assert(offsetof(StorageProtocolCommand, CommandSpecific) == 56);
static_assert(offsetof(StorageProtocolCommand, Reserved0) == 60);
static_assert(offsetof(StorageProtocolCommand, FixedProtocolReturnData) == 64);
static_assert(offsetof(StorageProtocolCommand, Reserved1) == 68);
static_assert(offsetof(StorageProtocolCommand, Command) == 80);
static_assert(sizeof(StorageProtocolCommand) == 84);
// STORAGE_PROTOCOL_STRUCTURE_VERSION, STORAGE_PROTOCOL_COMMAND_FLAG_ADAPTER_REQUEST,
// STORAGE_PROTOCOL_SPECIFIC_NVME_ADMIN_COMMAND and STORAGE_PROTOCOL_STATUS_SUCCESS (0 is
// STORAGE_PROTOCOL_STATUS_PENDING).
static_assert(kStorageProtocolStructureVersion == 0x1);
static_assert(kStorageProtocolCommandFlagAdapterRequest == 0x80000000u);
static_assert(kStorageProtocolSpecificNvmeAdminCommand == 0x01);
static_assert(kStorageProtocolStatusSuccess == 0x1);

// STORAGE_HW_FIRMWARE_DOWNLOAD and _ACTIVATE (not in the tool chain's headers).
static_assert(offsetof(StorageHwFirmwareDownload, Version) == 0);
static_assert(offsetof(StorageHwFirmwareDownload, Size) == 4);
static_assert(offsetof(StorageHwFirmwareDownload, Flags) == 8);
static_assert(offsetof(StorageHwFirmwareDownload, Slot) == 12);
static_assert(offsetof(StorageHwFirmwareDownload, Offset) == 16);
static_assert(offsetof(StorageHwFirmwareDownload, BufferSize) == 24);
static_assert(offsetof(StorageHwFirmwareDownload, ImageBuffer) == 32);
static_assert(offsetof(StorageHwFirmwareActivate, Flags) == 8);
static_assert(offsetof(StorageHwFirmwareActivate, Slot) == 12);
static_assert(sizeof(StorageHwFirmwareActivate) == 16);
// STORAGE_HW_FIRMWARE_REQUEST_FLAG_CONTROLLER and _SWITCH_TO_EXISTING_FIRMWARE.
static_assert(kStorageHwFirmwareRequestFlagController == 0x00000001);
static_assert(kStorageHwFirmwareRequestFlagSwitchToExistingFirmware == 0x80000000u);

// The device tree: set flags, registry properties, interface classes, PCI link properties.
static_assert(kDigcfPresent == DIGCF_PRESENT && kDigcfAllClasses == DIGCF_ALLCLASSES &&
              kDigcfProfile == DIGCF_PROFILE && kDigcfDeviceInterface == DIGCF_DEVICEINTERFACE);
static_assert(kSpdrpService == SPDRP_SERVICE &&
              kSpdrpLocationInformation == SPDRP_LOCATION_INFORMATION &&
              kSpdrpBusNumber == SPDRP_BUSNUMBER);
static_assert(Same(kGuidDevInterfaceDisk, kSdk_GUID_DEVINTERFACE_DISK));
static_assert(Same(kGuidDevInterfaceUsbDevice, kSdk_GUID_DEVINTERFACE_USB_DEVICE));
static_assert(Same(kGuidDevInterfaceUsbHub, kSdk_GUID_DEVINTERFACE_USB_HUB));
static_assert(Same(kGuidDevInterfaceUsbHostController, kSdk_GUID_DEVINTERFACE_USB_HOST_CONTROLLER));
static_assert(Same(kPciCurrentLinkSpeed, DEVPKEY_PciDevice_CurrentLinkSpeed));
static_assert(Same(kPciCurrentLinkWidth, DEVPKEY_PciDevice_CurrentLinkWidth));
static_assert(Same(kPciMaxLinkSpeed, DEVPKEY_PciDevice_MaxLinkSpeed));
static_assert(Same(kPciMaxLinkWidth, DEVPKEY_PciDevice_MaxLinkWidth));

// Our records that are copied into the SDK's (devtree.cpp copies GUIDs and keys byte for byte).
static_assert(sizeof(PlatGuid) == sizeof(GUID));
FW_SAME_OFFSET(PlatGuid, GUID, Data2);
FW_SAME_OFFSET(PlatGuid, GUID, Data3);
FW_SAME_OFFSET(PlatGuid, GUID, Data4);
static_assert(sizeof(PlatDevPropKey) == sizeof(DEVPROPKEY));
FW_SAME_OFFSET(PlatDevPropKey, DEVPROPKEY, pid);
static_assert(sizeof(PlatDevInst) == sizeof(DEVINST));

// The SetupDi records whose cbSize the device tree sets: packed on 32-bit Windows, so the
// detail block's fixed part is 6 bytes there and 8 on 64-bit, its path at byte 4 on both.
static_assert(offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath) == 4);
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == (k64 ? 8 : 6));
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == (k64 ? 32 : 28));
static_assert(sizeof(SP_DEVINFO_DATA) == (k64 ? 32 : 28));
