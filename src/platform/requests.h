// Control codes and request structures of the Windows storage stack, defined here in the
// native layout of the target so that the same code builds for Windows and for the simulated
// machine. Structures that hold a pointer (the pass-through-direct requests) differ between
// 32-bit and 64-bit processes; both layouts are written down in the tables below and checked
// at compile time, and the native structure is checked against the table of its pointer size.
// When building for Windows, win32/requests_check.cpp checks every structure that the SDK
// headers also declare against them (size and field offsets) and every control code.
#pragma once
#include "platform/types.h"

#include <cstddef>

// Control codes.
inline constexpr uint32_t kIoctlStorageGetDeviceNumber = 0x2D1080;
inline constexpr uint32_t kIoctlStorageQueryProperty = 0x2D1400;
inline constexpr uint32_t kIoctlStorageProtocolCommand = 0x2DD3C0;
inline constexpr uint32_t kIoctlStorageFirmwareDownload = 0x2DDC04;
inline constexpr uint32_t kIoctlStorageFirmwareActivate = 0x2DDC08;
inline constexpr uint32_t kIoctlScsiGetAddress = 0x41018;
inline constexpr uint32_t kIoctlScsiMiniport = 0x4D008;
inline constexpr uint32_t kIoctlScsiPassThroughDirect = 0x4D014;
inline constexpr uint32_t kIoctlAtaPassThroughDirect = 0x4D030;

// STORAGE_BUS_TYPE values.
inline constexpr uint32_t kBusTypeScsi = 1;
inline constexpr uint32_t kBusTypeUsb = 7;
inline constexpr uint32_t kBusTypeRaid = 8;
inline constexpr uint32_t kBusTypeIScsi = 9;
inline constexpr uint32_t kBusTypeSas = 10;
inline constexpr uint32_t kBusTypeSata = 11;
inline constexpr uint32_t kBusTypeNvme = 17;

// FILE_DEVICE_DISK, the DeviceType of a disk or a volume on one.
inline constexpr uint32_t kFileDeviceDisk = 7;

// STORAGE_PROPERTY_ID and STORAGE_QUERY_TYPE values.
inline constexpr uint32_t kStorageDeviceProperty = 0;
inline constexpr uint32_t kStorageAdapterProtocolSpecificProperty = 49;
inline constexpr uint32_t kStorageDeviceProtocolSpecificProperty = 50;
inline constexpr uint32_t kPropertyStandardQuery = 0;

// Protocol-specific requests.
inline constexpr uint32_t kProtocolTypeNvme = 3;
inline constexpr uint32_t kNvmeDataTypeIdentify = 1;
inline constexpr uint32_t kStorageProtocolStructureVersion = 1;
inline constexpr uint32_t kStorageProtocolCommandFlagAdapterRequest = 0x80000000u;
inline constexpr uint32_t kStorageProtocolSpecificNvmeAdminCommand = 1;
inline constexpr uint32_t kStorageProtocolStatusSuccess = 1; // 0 is "pending"

// Firmware requests.
inline constexpr uint32_t kStorageHwFirmwareRequestFlagController = 0x00000001;
inline constexpr uint32_t kStorageHwFirmwareRequestFlagSwitchToExistingFirmware = 0x80000000u;
// STORAGE_HW_FIRMWARE_DOWNLOAD's Version: the structure's size with a one-byte image area,
// rounded to its 8-byte alignment (40 for 32-bit and 64-bit processes alike).
inline constexpr uint32_t kStorageHwFirmwareDownloadVersion = 40;
// The miniport firmware request (FIRMWARE_REQUEST_BLOCK and the structures it carries).
inline constexpr uint32_t kFirmwareRequestBlockVersion = 1;
inline constexpr uint32_t kFirmwareRequestFlagController = 0x00000001;
inline constexpr uint32_t kStorageFirmwareDownloadV2Version = 2;
inline constexpr uint32_t kStorageFirmwareActivateVersion = 1;

// SCSI_PASS_THROUGH_DIRECT DataIn values.
inline constexpr uint8_t kScsiIoctlDataOut = 0;
inline constexpr uint8_t kScsiIoctlDataIn = 1;
inline constexpr uint8_t kScsiIoctlDataUnspecified = 2;
// SCSI status CHECK CONDITION.
inline constexpr uint8_t kScsiStatusCheckCondition = 2;

// ATA_PASS_THROUGH_DIRECT AtaFlags.
inline constexpr uint16_t kAtaFlagsDrdyRequired = 0x01;
inline constexpr uint16_t kAtaFlagsDataIn = 0x02;
inline constexpr uint16_t kAtaFlagsDataOut = 0x04;
inline constexpr uint16_t kAtaFlags48BitCommand = 0x08;

// Windows error numbers the storage seams report.
inline constexpr uint32_t kErrorInvalidFunction = 1;
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorNotSupported = 50;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorIoDevice = 1117;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;

struct StorageDeviceNumber {
    uint32_t DeviceType;
    uint32_t DeviceNumber;
    uint32_t PartitionNumber;
};

struct StoragePropertyQuery {
    uint32_t PropertyId;
    uint32_t QueryType;
    uint8_t AdditionalParameters[4];
};

// The first 40 bytes of STORAGE_DEVICE_DESCRIPTOR (the fixed part without its raw
// properties' tail).
struct StorageDeviceDescriptor {
    uint32_t Version;
    uint32_t Size;
    uint8_t DeviceType;
    uint8_t DeviceTypeModifier;
    uint8_t RemovableMedia;
    uint8_t CommandQueueing;
    uint32_t VendorIdOffset;
    uint32_t ProductIdOffset;
    uint32_t ProductRevisionOffset;
    uint32_t SerialNumberOffset;
    uint32_t BusType;
    uint32_t RawPropertiesLength;
    uint8_t RawDeviceProperties[4];
};

struct ScsiAddress {
    uint32_t Length;
    uint8_t PortNumber;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
};

struct StorageProtocolSpecificData {
    uint32_t ProtocolType;
    uint32_t DataType;
    uint32_t ProtocolDataRequestValue;
    uint32_t ProtocolDataRequestSubValue;
    uint32_t ProtocolDataOffset;
    uint32_t ProtocolDataLength;
    uint32_t FixedProtocolReturnData;
    uint32_t ProtocolDataRequestSubValue2;
    uint32_t ProtocolDataRequestSubValue3;
    uint32_t ProtocolDataRequestSubValue4;
};

// STORAGE_PROPERTY_QUERY whose additional parameters are protocol-specific data.
struct StorageProtocolQuery {
    uint32_t PropertyId;
    uint32_t QueryType;
    StorageProtocolSpecificData ProtocolSpecific;
};

struct StorageProtocolDataDescriptor {
    uint32_t Version;
    uint32_t Size;
    StorageProtocolSpecificData ProtocolSpecificData;
};

// STORAGE_PROTOCOL_COMMAND. Command is a variable-length area; for NVMe it holds the 64-byte
// command, which extends past the end of the structure (sizeof is 84, the command ends at 144).
struct StorageProtocolCommand {
    uint32_t Version;
    uint32_t Length;
    uint32_t ProtocolType;
    uint32_t Flags;
    uint32_t ReturnStatus;
    uint32_t ErrorCode;
    uint32_t CommandLength;
    uint32_t ErrorInfoLength;
    uint32_t DataToDeviceTransferLength;
    uint32_t DataFromDeviceTransferLength;
    uint32_t TimeOutValue;
    uint32_t ErrorInfoOffset;
    uint32_t DataToDeviceBufferOffset;
    uint32_t DataFromDeviceBufferOffset;
    uint32_t CommandSpecific;
    uint32_t Reserved0;
    uint32_t FixedProtocolReturnData;
    uint32_t Reserved1[3];
    uint8_t Command[4];
};

// STORAGE_HW_FIRMWARE_DOWNLOAD; ImageBuffer is a variable-length area at byte 32.
struct StorageHwFirmwareDownload {
    uint32_t Version;
    uint32_t Size;
    uint32_t Flags;
    uint8_t Slot;
    uint8_t Reserved[3];
    uint64_t Offset;
    uint64_t BufferSize;
    uint8_t ImageBuffer[8];
};

struct StorageHwFirmwareActivate {
    uint32_t Version;
    uint32_t Size;
    uint32_t Flags;
    uint8_t Slot;
    uint8_t Reserved0[3];
};

// FIRMWARE_REQUEST_BLOCK: follows the SRB_IO_CONTROL header of a miniport firmware request.
struct FirmwareRequestBlock {
    uint32_t Version;
    uint32_t Size;
    uint32_t Function;
    uint32_t Flags;
    uint32_t DataBufferOffset;
    uint32_t DataBufferLength;
};

// STORAGE_FIRMWARE_DOWNLOAD_V2 without its variable-length image area (which starts at 32).
struct StorageFirmwareDownloadV2 {
    uint32_t Version;
    uint32_t Size;
    uint64_t Offset;
    uint64_t BufferSize;
    uint8_t Slot;
    uint8_t Reserved[3];
    uint32_t ImageSize;
};

// STORAGE_FIRMWARE_ACTIVATE.
struct StorageFirmwareActivate {
    uint32_t Version;
    uint32_t Size;
    uint8_t SlotToActivate;
    uint8_t Reserved0[3];
};

// SRB_IO_CONTROL, the header of every miniport request.
struct SrbIoControl {
    uint32_t HeaderLength;
    uint8_t Signature[8];
    uint32_t Timeout;
    uint32_t ControlCode;
    uint32_t ReturnCode;
    uint32_t Length;
};

// The pass-through-direct requests, with the pointer of the process's width. Instantiated with
// void* for the native structure and with uint32_t for the 32-bit layout.
template <typename Pointer> struct ScsiPassThroughDirectT {
    uint16_t Length;
    uint8_t ScsiStatus;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t CdbLength;
    uint8_t SenseInfoLength;
    uint8_t DataIn;
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    Pointer DataBuffer;
    uint32_t SenseInfoOffset;
    uint8_t Cdb[16];
};

template <typename Pointer> struct AtaPassThroughDirectT {
    uint16_t Length;
    uint16_t AtaFlags;
    uint8_t PathId;
    uint8_t TargetId;
    uint8_t Lun;
    uint8_t ReservedAsUchar;
    uint32_t DataTransferLength;
    uint32_t TimeOutValue;
    uint32_t ReservedAsUlong;
    Pointer DataBuffer;
    uint8_t PreviousTaskFile[8];
    uint8_t CurrentTaskFile[8];
};

typedef ScsiPassThroughDirectT<void*> ScsiPassThroughDirect;
typedef AtaPassThroughDirectT<void*> AtaPassThroughDirect;

// Layout of the pass-through-direct requests for one pointer width.
struct PassThroughLayout {
    uint32_t sptdSize;
    uint32_t sptdDataTransferLength;
    uint32_t sptdDataBuffer;
    uint32_t sptdSenseInfoOffset;
    uint32_t sptdCdb;
    uint32_t aptdSize;
    uint32_t aptdDataTransferLength;
    uint32_t aptdDataBuffer;
    uint32_t aptdPreviousTaskFile;
    uint32_t aptdCurrentTaskFile;
    // Where the sense area starts in a request buffer: right after the structure, 8-aligned.
    uint32_t senseOffset;
    uint32_t pointerSize;
};

inline constexpr PassThroughLayout kPassThroughLayout32 = {44, 12, 20, 24, 28, 40,
                                                           8,  20, 24, 32, 48, 4};
inline constexpr PassThroughLayout kPassThroughLayout64 = {56, 12, 24, 32, 36, 48,
                                                           8,  24, 32, 40, 56, 8};
inline constexpr PassThroughLayout kPassThroughLayoutNative =
    sizeof(void*) == 8 ? kPassThroughLayout64 : kPassThroughLayout32;

// The size of a SCSI pass-through request buffer: the structure, then a sense area of up to
// 64 bytes. 112 bytes in a 32-bit process (sense at 48), 120 in a 64-bit one (sense at 56).
inline constexpr uint32_t kSptdSenseAreaSize = 64;
inline constexpr uint32_t kSptdSenseOffset = kPassThroughLayoutNative.senseOffset;
inline constexpr uint32_t kSptdRequestSize = kSptdSenseOffset + kSptdSenseAreaSize;

namespace requests_layout_check {
template <typename S> constexpr bool MatchesSptd(const PassThroughLayout& l) {
    return sizeof(S) == l.sptdSize && offsetof(S, DataTransferLength) == l.sptdDataTransferLength &&
           offsetof(S, DataBuffer) == l.sptdDataBuffer &&
           offsetof(S, SenseInfoOffset) == l.sptdSenseInfoOffset && offsetof(S, Cdb) == l.sptdCdb &&
           ((l.sptdSize + 7) & ~7u) == l.senseOffset;
}
template <typename S> constexpr bool MatchesAptd(const PassThroughLayout& l) {
    return sizeof(S) == l.aptdSize && offsetof(S, DataTransferLength) == l.aptdDataTransferLength &&
           offsetof(S, DataBuffer) == l.aptdDataBuffer &&
           offsetof(S, PreviousTaskFile) == l.aptdPreviousTaskFile &&
           offsetof(S, CurrentTaskFile) == l.aptdCurrentTaskFile;
}
} // namespace requests_layout_check

// Both layouts hold whatever the build's pointer width: the 32-bit one is built from a 4-byte
// stand-in for the pointer, the 64-bit one from an 8-byte one.
static_assert(
    requests_layout_check::MatchesSptd<ScsiPassThroughDirectT<uint32_t>>(kPassThroughLayout32));
static_assert(
    requests_layout_check::MatchesAptd<AtaPassThroughDirectT<uint32_t>>(kPassThroughLayout32));
static_assert(
    requests_layout_check::MatchesSptd<ScsiPassThroughDirectT<uint64_t>>(kPassThroughLayout64));
static_assert(
    requests_layout_check::MatchesAptd<AtaPassThroughDirectT<uint64_t>>(kPassThroughLayout64));
static_assert(requests_layout_check::MatchesSptd<ScsiPassThroughDirect>(kPassThroughLayoutNative));
static_assert(requests_layout_check::MatchesAptd<AtaPassThroughDirect>(kPassThroughLayoutNative));
static_assert(kPassThroughLayout32.senseOffset + kSptdSenseAreaSize == 112);

static_assert(sizeof(StorageDeviceNumber) == 12);
static_assert(sizeof(StoragePropertyQuery) == 12);
static_assert(sizeof(StorageDeviceDescriptor) == 40 &&
              offsetof(StorageDeviceDescriptor, BusType) == 28);
static_assert(sizeof(ScsiAddress) == 8);
static_assert(sizeof(StorageProtocolSpecificData) == 40);
static_assert(sizeof(StorageProtocolQuery) == 48);
static_assert(sizeof(StorageProtocolDataDescriptor) == 48);
static_assert(sizeof(StorageProtocolCommand) == 84 &&
              offsetof(StorageProtocolCommand, Command) == 80);
static_assert(offsetof(StorageHwFirmwareDownload, Offset) == 16 &&
              offsetof(StorageHwFirmwareDownload, ImageBuffer) == 32 &&
              sizeof(StorageHwFirmwareDownload) == 40);
static_assert(sizeof(StorageHwFirmwareActivate) == 16);
// The firmware structures hold no pointer and their 64-bit fields sit at 8-byte boundaries, so
// one table of literal offsets holds for 32-bit and 64-bit processes.
static_assert(offsetof(StorageHwFirmwareDownload, Version) == 0 &&
              offsetof(StorageHwFirmwareDownload, Size) == 4 &&
              offsetof(StorageHwFirmwareDownload, Flags) == 8 &&
              offsetof(StorageHwFirmwareDownload, Slot) == 12 &&
              offsetof(StorageHwFirmwareDownload, BufferSize) == 24 &&
              kStorageHwFirmwareDownloadVersion == 40);
static_assert(offsetof(StorageHwFirmwareActivate, Version) == 0 &&
              offsetof(StorageHwFirmwareActivate, Size) == 4 &&
              offsetof(StorageHwFirmwareActivate, Flags) == 8 &&
              offsetof(StorageHwFirmwareActivate, Slot) == 12);
static_assert(sizeof(FirmwareRequestBlock) == 24 && offsetof(FirmwareRequestBlock, Function) == 8 &&
              offsetof(FirmwareRequestBlock, Flags) == 12 &&
              offsetof(FirmwareRequestBlock, DataBufferOffset) == 16 &&
              offsetof(FirmwareRequestBlock, DataBufferLength) == 20);
static_assert(sizeof(StorageFirmwareDownloadV2) == 32 &&
              offsetof(StorageFirmwareDownloadV2, Offset) == 8 &&
              offsetof(StorageFirmwareDownloadV2, BufferSize) == 16 &&
              offsetof(StorageFirmwareDownloadV2, Slot) == 24 &&
              offsetof(StorageFirmwareDownloadV2, ImageSize) == 28);
static_assert(sizeof(StorageFirmwareActivate) == 12 &&
              offsetof(StorageFirmwareActivate, SlotToActivate) == 8);
static_assert(sizeof(SrbIoControl) == 28);
