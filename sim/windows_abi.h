// The simulator's own knowledge of the Windows storage stack: control codes, error numbers,
// device-tree constants and the byte offsets of every request structure it decodes, written as
// literals for the 32-bit and the 64-bit layout. Deliberately independent of the program's
// platform/requests.h and platform/devtree.h: a wrong offset in the program must not be
// mirrored here, or a test could not see it. The names live in namespace sim and hide the
// program's names of the same spelling inside the simulator's code.
#pragma once
#include "platform/devtree.h" // the PlatGuid and PlatDevPropKey record types only

#include <cstdint>

namespace sim {

// ---- control codes ---------------------------------------------------------------------------
inline constexpr uint32_t kIoctlStorageGetDeviceNumber = 0x002D1080;
inline constexpr uint32_t kIoctlStorageQueryProperty = 0x002D1400;
inline constexpr uint32_t kIoctlStorageProtocolCommand = 0x002DD3C0;
inline constexpr uint32_t kIoctlStorageFirmwareDownload = 0x002DDC04;
inline constexpr uint32_t kIoctlStorageFirmwareActivate = 0x002DDC08;
inline constexpr uint32_t kIoctlScsiGetAddress = 0x00041018;
inline constexpr uint32_t kIoctlScsiMiniport = 0x0004D008;
inline constexpr uint32_t kIoctlScsiPassThroughDirect = 0x0004D014;
inline constexpr uint32_t kIoctlAtaPassThroughDirect = 0x0004D030;

// ---- error numbers (GetLastError) -------------------------------------------------------------
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;

// ---- storage values ----------------------------------------------------------------------------
inline constexpr uint32_t kBusTypeScsi = 1;
inline constexpr uint32_t kBusTypeUsb = 7;
inline constexpr uint32_t kBusTypeRaid = 8;
inline constexpr uint32_t kBusTypeSas = 10;
inline constexpr uint32_t kBusTypeSata = 11;
inline constexpr uint32_t kBusTypeNvme = 17;
inline constexpr uint32_t kFileDeviceDisk = 7;
// STORAGE_PROPERTY_ID / STORAGE_QUERY_TYPE
inline constexpr uint32_t kStorageDeviceProperty = 0;
inline constexpr uint32_t kStorageAdapterProtocolSpecificProperty = 49;
inline constexpr uint32_t kStorageDeviceProtocolSpecificProperty = 50;
inline constexpr uint32_t kPropertyStandardQuery = 0;
// Protocol-specific requests
inline constexpr uint32_t kProtocolTypeNvme = 3;
inline constexpr uint32_t kNvmeDataTypeIdentify = 1;
inline constexpr uint32_t kStorageProtocolStructureVersion = 1;
inline constexpr uint32_t kStorageProtocolCommandFlagAdapterRequest = 0x80000000u;
inline constexpr uint32_t kStorageProtocolSpecificNvmeAdminCommand = 1;
inline constexpr uint32_t kStorageProtocolStatusSuccess = 1; // 0 means "pending"
inline constexpr uint32_t kStorageProtocolStatusError = 2;
inline constexpr uint32_t kStorageHwFirmwareRequestFlagSwitchToExistingFirmware = 0x80000000u;
// SCSI_PASS_THROUGH_DIRECT DataIn, SCSI status
inline constexpr uint8_t kScsiIoctlDataOut = 0;
inline constexpr uint8_t kScsiIoctlDataIn = 1;
inline constexpr uint8_t kScsiIoctlDataUnspecified = 2;
inline constexpr uint8_t kScsiStatusCheckCondition = 2;
// ATA_PASS_THROUGH_DIRECT AtaFlags
inline constexpr uint16_t kAtaFlagsDrdyRequired = 0x01;
inline constexpr uint16_t kAtaFlagsDataIn = 0x02;
inline constexpr uint16_t kAtaFlagsDataOut = 0x04;
inline constexpr uint16_t kAtaFlags48BitCommand = 0x08;

// The longest TimeOutValue (seconds) a request may carry: 30 hours. Zero is refused too.
inline constexpr uint32_t kMaxTimeOutValue = 30u * 3600u;

// ---- device tree -------------------------------------------------------------------------------
inline constexpr PlatGuid kGuidDevInterfaceDisk = {
    0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline constexpr PlatGuid kGuidDevInterfaceUsbDevice = {
    0xA5DCBF10, 0x6530, 0x11D2, {0x90, 0x1F, 0x00, 0xC0, 0x4F, 0xB9, 0x51, 0xED}};
inline constexpr PlatGuid kGuidDevInterfaceUsbHub = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};
inline constexpr PlatGuid kGuidDevInterfaceUsbHostController = {
    0x3ABF6F2D, 0x71C4, 0x462A, {0x8A, 0x92, 0x1E, 0x68, 0x61, 0xE6, 0xAF, 0x27}};
inline constexpr PlatGuid kPciDevicePropertySet = {
    0x3AB22E31, 0x8264, 0x4B4E, {0x9A, 0xF5, 0xA8, 0xD2, 0xD8, 0xE3, 0x3E, 0x62}};
inline constexpr PlatDevPropKey kPciCurrentLinkSpeed = {kPciDevicePropertySet, 9};
inline constexpr PlatDevPropKey kPciCurrentLinkWidth = {kPciDevicePropertySet, 10};
inline constexpr PlatDevPropKey kPciMaxLinkSpeed = {kPciDevicePropertySet, 11};
inline constexpr PlatDevPropKey kPciMaxLinkWidth = {kPciDevicePropertySet, 12};
// SetupDiGetClassDevs flags
inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfAllClasses = 0x04;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;
// SetupDiGetDeviceRegistryProperty properties
inline constexpr uint32_t kSpdrpService = 0x04;
inline constexpr uint32_t kSpdrpLocationInformation = 0x0D;
inline constexpr uint32_t kSpdrpBusNumber = 0x15;

// ---- structure offsets -------------------------------------------------------------------------

// SCSI_PASS_THROUGH_DIRECT: Length(2) ScsiStatus PathId TargetId Lun CdbLength SenseInfoLength
// DataIn, 3 bytes padding, DataTransferLength, TimeOutValue, DataBuffer (pointer, 8-aligned in
// a 64-bit process), SenseInfoOffset, Cdb[16].
struct SptdOffsets {
    uint32_t size;
    uint32_t length, scsiStatus, pathId, targetId, lun, cdbLength, senseInfoLength, dataIn;
    uint32_t dataTransferLength, timeOutValue, dataBuffer, senseInfoOffset, cdb;
    uint32_t pointerSize;
};
inline constexpr SptdOffsets kSptd32 = {44, 0, 2, 3, 4, 5, 6, 7, 8, 12, 16, 20, 24, 28, 4};
inline constexpr SptdOffsets kSptd64 = {56, 0, 2, 3, 4, 5, 6, 7, 8, 12, 16, 24, 32, 36, 8};

// ATA_PASS_THROUGH_DIRECT: Length(2) AtaFlags(2) PathId TargetId Lun ReservedAsUchar
// DataTransferLength TimeOutValue ReservedAsUlong, DataBuffer (pointer, 8-aligned in a 64-bit
// process), PreviousTaskFile[8], CurrentTaskFile[8].
struct AptdOffsets {
    uint32_t size;
    uint32_t length, ataFlags, pathId, targetId, lun, reservedAsUchar;
    uint32_t dataTransferLength, timeOutValue, reservedAsUlong, dataBuffer;
    uint32_t previousTaskFile, currentTaskFile;
    uint32_t pointerSize;
};
inline constexpr AptdOffsets kAptd32 = {40, 0, 2, 4, 5, 6, 7, 8, 12, 16, 20, 24, 32, 4};
inline constexpr AptdOffsets kAptd64 = {48, 0, 2, 4, 5, 6, 7, 8, 12, 16, 24, 32, 40, 8};

// The layout of the process the simulator runs in (the program's process).
inline constexpr const SptdOffsets& kSptd = sizeof(void*) == 8 ? kSptd64 : kSptd32;
inline constexpr const AptdOffsets& kAptd = sizeof(void*) == 8 ? kAptd64 : kAptd32;

// STORAGE_PROPERTY_QUERY with STORAGE_PROTOCOL_SPECIFIC_DATA in AdditionalParameters (the
// same in both layouts). The reply is a STORAGE_PROTOCOL_DATA_DESCRIPTOR: Version, Size, then
// the protocol-specific data at 8.
namespace protocol_query {
inline constexpr uint32_t kPropertyId = 0, kQueryType = 4, kSpecific = 8;
// Inside STORAGE_PROTOCOL_SPECIFIC_DATA (40 bytes):
inline constexpr uint32_t kProtocolType = 0, kDataType = 4, kRequestValue = 8,
                          kRequestSubValue = 12, kDataOffset = 16, kDataLength = 20,
                          kFixedReturnData = 24, kSubValue2 = 28, kSubValue3 = 32, kSubValue4 = 36,
                          kSpecificSize = 40;
inline constexpr uint32_t kSize = 48; // the query with its specific data
} // namespace protocol_query

// STORAGE_PROTOCOL_COMMAND (same in both layouts): the fixed part is 80 bytes, Command follows.
namespace protocol_command {
inline constexpr uint32_t kVersion = 0, kLength = 4, kProtocolType = 8, kFlags = 12,
                          kReturnStatus = 16, kErrorCode = 20, kCommandLength = 24,
                          kErrorInfoLength = 28, kToDeviceLength = 32, kFromDeviceLength = 36,
                          kTimeOutValue = 40, kErrorInfoOffset = 44, kToDeviceOffset = 48,
                          kFromDeviceOffset = 52, kCommandSpecific = 56, kReserved0 = 60,
                          kFixedReturnData = 64, kReserved1 = 68, kCommand = 80;
inline constexpr uint32_t kStructureLength = 84; // what Length must say (sizeof, Command[4])
} // namespace protocol_command

// SRB_IO_CONTROL (28 bytes, same in both layouts).
namespace srb_io_control {
inline constexpr uint32_t kHeaderLength = 0, kSignature = 4, kTimeout = 12, kControlCode = 16,
                          kReturnCode = 20, kLength = 24, kSize = 28;
} // namespace srb_io_control

// The RST "IntelNvm" pass-through block after the SRB_IO_CONTROL header.
namespace rst_nvme {
inline constexpr uint32_t kControlCode = 0xF0002808u;
inline constexpr uint32_t kVersion = 28;    // 1
inline constexpr uint32_t kPathId = 29;     // the drive's SCSI path id
inline constexpr uint32_t kReserved = 30;   // 2 bytes, 0
inline constexpr uint32_t kEntry = 32;      // the 64-byte submission entry
inline constexpr uint32_t kCompletion = 96; // 16 bytes of completion, then 4 reserved
inline constexpr uint32_t kDataOffset = 116;
inline constexpr uint32_t kDataLength = 120;
inline constexpr uint32_t kTail = 124;     // 40 bytes, 0
inline constexpr uint32_t kData = 164;     // where the data area must start
inline constexpr uint32_t kMaxPadding = 3; // bytes the request may carry after its data area
} // namespace rst_nvme

// The RST "IntelFw " firmware channel.
namespace rst_fw {
inline constexpr uint32_t kControlCode = 0xF0000040u;
} // namespace rst_fw

// STORAGE_HW_FIRMWARE_DOWNLOAD / _ACTIVATE (same in both layouts).
namespace hw_firmware {
inline constexpr uint32_t kVersion = 0, kSize = 4, kFlags = 8, kSlot = 12, kOffset = 16,
                          kBufferSize = 24, kImage = 32;
inline constexpr uint32_t kDownloadSize = 40, kActivateSize = 16;
} // namespace hw_firmware

// The SCSI_ADDRESS and STORAGE_DEVICE_NUMBER replies.
inline constexpr uint32_t kScsiAddressSize = 8;
inline constexpr uint32_t kStorageDeviceNumberSize = 12;

} // namespace sim
