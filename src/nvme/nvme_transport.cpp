#include "nvme/nvme_transport.h"

#include "disk/scsi_request.h"
#include "nvme/bridge_lock.h"
#include "platform/requests.h"
#include "platform/storage.h"

#include <cstddef>
#include <cstring>

namespace {

void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void PutBe32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}

// Offsets of the in-box requests.
constexpr uint32_t kProtocolQueryDataOffset = 48; // data after STORAGE_PROTOCOL_DATA_DESCRIPTOR
constexpr uint32_t kProtocolCommandDataOffset =
    144; // data after the command of STORAGE_PROTOCOL_COMMAND
constexpr uint32_t kProtocolCommandTimeout = 10;

// The RST "IntelNvm" request.
constexpr uint32_t kRstHeaderSize = 28;
constexpr uint32_t kRstDataOffset = 164;
constexpr uint32_t kRstExtra = 167; // request size = length + 167
constexpr uint32_t kRstTimeout = 40;
constexpr uint32_t kRstNvmeControlCode = 0xF0002808u;

constexpr uint8_t kSenseBridge = 24;

// A phase's outcome: -4 when the request failed, 2 when it answered with a check condition
// (the status flag is then set), 0 to go on.
int32_t PhaseOutcome(int32_t ok, uint8_t scsiStatus, uint8_t* status) {
    if (!ok) return -1;
    if (status && scsiStatus == kScsiStatusCheckCondition) {
        *status = kScsiStatusCheckCondition;
        return 1;
    }
    return 0;
}

} // namespace

void BuildAdminEntry(uint8_t* entry, int32_t opcode, uint32_t length, uint32_t dword12,
                     uint32_t dword13, uint32_t dword14, uint32_t dword15) {
    std::memset(entry, 0, kNvmeEntrySize);
    entry[0] = static_cast<uint8_t>(opcode);
    Put32(entry + 4, 0xFFFFFFFFu);
    Put32(entry + 40, length / 4);
    Put32(entry + 48, dword12);
    Put32(entry + 52, dword13);
    Put32(entry + 56, dword14);
    Put32(entry + 60, dword15);
}

void BuildIdentifyEntry(uint8_t* entry, uint32_t cns, uint32_t nsid) {
    std::memset(entry, 0, kNvmeEntrySize);
    entry[0] = 0x06;
    Put32(entry + 4, nsid);
    Put32(entry + 40, cns);
}

int32_t NVMeAdminCmd(const TransportContext* context, PlatHandle drive, int32_t direction,
                     int32_t opcode, uint32_t dword12, uint32_t dword13, uint32_t dword14,
                     uint32_t dword15, void* buffer, uint32_t length) {
    alignas(16) uint8_t entry[kNvmeEntrySize];
    BuildAdminEntry(entry, opcode, length, dword12, dword13, dword14, dword15);
    switch (context->iCmdType) {
    case kCmdAsmedia:
        return IO_USB_ASM_NVMeCmd(drive, direction, entry, buffer, length, nullptr);
    case kCmdJmicron:
        return IO_USB_JMI_NVMeCmd(drive, direction, entry, buffer, length, nullptr);
    case kCmdInboxNvme:
        return IO_NVMe_AdminCmd(drive, direction, opcode, dword12, dword13, dword14, dword15,
                                buffer, length);
    case kCmdRst:
        return IO_RST_NVMeCmd(context->hScsiPort, context->iPathId, direction, entry, buffer,
                              length);
    default:
        return kFwNoTransport;
    }
}

int32_t NVMeIdentify(const TransportContext* context, PlatHandle drive, uint32_t cns, uint32_t nsid,
                     void* buffer, uint32_t length, uint8_t* status) {
    alignas(16) uint8_t entry[kNvmeEntrySize];
    BuildIdentifyEntry(entry, cns, nsid);
    switch (context->iCmdType) {
    case kCmdAsmedia:
        return IO_USB_ASM_Identify(drive, kDirFromDrive, entry, buffer, length, status);
    case kCmdJmicron:
        return IO_USB_JMI_NVMeCmd(drive, kDirFromDrive, entry, buffer, length, status);
    case kCmdInboxNvme:
        return IO_NVMe_Identify(drive, cns, nsid, buffer, length);
    case kCmdRst:
        return IO_RST_NVMeCmd(context->hScsiPort, context->iPathId, kDirFromDrive, entry, buffer,
                              length);
    default:
        return kFwNoTransport;
    }
}

int32_t IO_NVMe_Identify(PlatHandle drive, uint32_t cns, uint32_t nsid, void* buffer,
                         uint32_t length) {
    const uint32_t size = length + kProtocolQueryDataOffset;
    auto* request = static_cast<uint8_t*>(PlatPageAlloc(size));
    if (request == nullptr) return kFwRequestFailed;
    std::memset(request, 0, size);
    StorageProtocolQuery query;
    std::memset(&query, 0, sizeof(query));
    query.PropertyId = kStorageAdapterProtocolSpecificProperty;
    query.QueryType = kPropertyStandardQuery;
    query.ProtocolSpecific.ProtocolType = kProtocolTypeNvme;
    query.ProtocolSpecific.DataType = kNvmeDataTypeIdentify;
    query.ProtocolSpecific.ProtocolDataRequestValue = cns;
    query.ProtocolSpecific.ProtocolDataRequestSubValue = nsid;
    query.ProtocolSpecific.ProtocolDataOffset = sizeof(StorageProtocolSpecificData);
    query.ProtocolSpecific.ProtocolDataLength = length;
    std::memcpy(request, &query, sizeof(query));
    uint32_t returned = 0;
    int32_t result = kFwRequestFailed;
    if (PlatDeviceIoControl(drive, kIoctlStorageQueryProperty, request, size, request, size,
                            &returned)) {
        std::memcpy(buffer, request + kProtocolQueryDataOffset, length);
        result = kFwOk;
    }
    PlatPageFree(request);
    return result;
}

int32_t IO_NVMe_AdminCmd(PlatHandle drive, int32_t direction, int32_t opcode, uint32_t dword12,
                         uint32_t dword13, uint32_t dword14, uint32_t dword15, void* buffer,
                         uint32_t length) {
    const uint32_t size = kProtocolCommandDataOffset + (direction == kDirNone ? 0 : length);
    auto* request = static_cast<uint8_t*>(PlatPageAlloc(size));
    if (request == nullptr) return kFwRequestFailed;
    std::memset(request, 0, size);
    if (direction == kDirToDrive) std::memcpy(request + kProtocolCommandDataOffset, buffer, length);
    StorageProtocolCommand command;
    std::memset(&command, 0, sizeof(command));
    command.Version = kStorageProtocolStructureVersion;
    command.Length = sizeof(StorageProtocolCommand);
    command.ProtocolType = kProtocolTypeNvme;
    command.Flags = kStorageProtocolCommandFlagAdapterRequest;
    command.CommandLength = kNvmeEntrySize;
    command.DataToDeviceTransferLength = direction == kDirToDrive ? length : 0;
    command.DataFromDeviceTransferLength = direction == kDirFromDrive ? length : 0;
    command.TimeOutValue = kProtocolCommandTimeout;
    command.DataToDeviceBufferOffset = kProtocolCommandDataOffset;
    command.DataFromDeviceBufferOffset = kProtocolCommandDataOffset;
    command.CommandSpecific = kStorageProtocolSpecificNvmeAdminCommand;
    // The fixed part ends where the command begins; the command itself runs to byte 144.
    std::memcpy(request, &command, offsetof(StorageProtocolCommand, Command));
    uint8_t* nvme = request + offsetof(StorageProtocolCommand, Command);
    BuildAdminEntry(nvme, opcode, length, dword12, dword13, dword14, dword15);
    uint32_t returned = 0;
    int32_t result = kFwRequestFailed;
    if (PlatDeviceIoControl(drive, kIoctlStorageProtocolCommand, request, size, request, size,
                            &returned)) {
        if (direction == kDirFromDrive)
            std::memcpy(buffer, request + kProtocolCommandDataOffset, length);
        result = kFwOk;
    }
    PlatPageFree(request);
    return result;
}

void BuildRstHeader(uint8_t* request, uint32_t size, const char* signature, uint32_t timeout,
                    uint32_t controlCode, uint32_t pathId) {
    SrbIoControl header;
    std::memset(&header, 0, sizeof(header));
    header.HeaderLength = kRstHeaderSize;
    std::memcpy(header.Signature, signature, 8);
    header.Timeout = timeout;
    header.ControlCode = controlCode;
    header.Length = size - kRstHeaderSize;
    std::memcpy(request, &header, sizeof(header));
    request[28] = 1;
    request[29] = static_cast<uint8_t>(pathId);
}

int32_t IO_RST_NVMeCmd(PlatHandle scsiPort, uint32_t pathId, int32_t direction,
                       const uint8_t* entry, void* buffer, uint32_t length) {
    (void)direction; // the request always carries the buffer and always returns the data area
    const uint32_t size = length + kRstExtra;
    auto* in = static_cast<uint8_t*>(PlatPageAlloc(size));
    auto* out = static_cast<uint8_t*>(PlatPageAlloc(size));
    if (in == nullptr || out == nullptr) {
        PlatPageFree(in);
        PlatPageFree(out);
        return kFwRequestFailed;
    }
    std::memset(in, 0, size);
    std::memset(out, 0, size);
    BuildRstHeader(in, size, "IntelNvm", kRstTimeout, kRstNvmeControlCode, pathId);
    std::memcpy(in + 32, entry, kNvmeEntrySize);
    Put32(in + 116, kRstDataOffset);
    Put32(in + 120, length);
    if (length) std::memcpy(in + kRstDataOffset, buffer, length);
    uint32_t returned = 0;
    int32_t result = kFwRequestFailed;
    if (PlatDeviceIoControl(scsiPort, kIoctlScsiMiniport, in, size, out, size, &returned)) {
        if (length) std::memcpy(buffer, out + kRstDataOffset, length);
        result = kFwOk;
    }
    PlatPageFree(in);
    PlatPageFree(out);
    return result;
}

int32_t IO_USB_ASM_Identify(PlatHandle drive, int32_t direction, const uint8_t* entry, void* buffer,
                            uint32_t length, uint8_t* status) {
    const uint32_t nsid =
        entry[4] | (entry[5] << 8) | (entry[6] << 16) | (static_cast<uint32_t>(entry[7]) << 24);
    uint8_t cdb[16] = {0xE6, entry[0], 0x00, entry[40], 0, 0, 0, static_cast<uint8_t>(nsid), 0};
    uint32_t transfer = length;
    if (nsid == 0xFFFFFFFFu) {
        cdb[7] = 0x7F;
        // The bridge answers such an Identify with 512 bytes; never more than the caller holds.
        transfer = length < 512 ? length : 512;
    }
    const uint8_t dataIn = direction == kDirFromDrive ? kScsiIoctlDataIn
                           : direction == kDirToDrive ? kScsiIoctlDataOut
                                                      : kScsiIoctlDataUnspecified;
    uint8_t scsiStatus = 0;
    BridgeLock lock = BridgeLockAcquire(drive);
    int32_t ok = SendScsiPassThrough(drive, cdb, 16, dataIn, buffer, transfer, kSenseBridge,
                                     kPassThroughTimeoutBridge, &scsiStatus);
    BridgeLockRelease(lock);
    if (!ok) return kFwRequestFailed;
    if (status && scsiStatus == kScsiStatusCheckCondition) *status = kScsiStatusCheckCondition;
    return kFwOk;
}

int32_t IO_USB_ASM_NVMeCmd(PlatHandle drive, int32_t direction, uint8_t* entry, void* buffer,
                           uint32_t length, uint8_t* status) {
    // The bridge numbers the directions the other way round: 1 from the drive, 2 to it.
    const uint8_t dc = direction == kDirFromDrive ? 1 : direction == kDirToDrive ? 2 : 0;
    BridgeLock lock = BridgeLockAcquire(drive);
    int32_t result = kFwOk;
    uint8_t scsiStatus = 0;

    const uint8_t commandCdb[16] = {0xEA, 0x5A, 0x80, 0x00, dc,   0,    0, 0,
                                    0,    0,    0x00, 0x00, 0x00, 0x40, 0, 0};
    int32_t ok =
        SendScsiPassThrough(drive, commandCdb, 16, kScsiIoctlDataOut, entry, kNvmeEntrySize,
                            kSenseBridge, kPassThroughTimeoutBridge, &scsiStatus);
    int32_t outcome = PhaseOutcome(ok, scsiStatus, status);
    if (outcome == 0) {
        uint8_t dataCdb[16] = {static_cast<uint8_t>(direction == kDirToDrive ? 0xEA : 0xEB), 0x5A,
                               0x81, 0x00, dc};
        PutBe32(dataCdb + 10, length);
        const uint8_t dataIn = direction == kDirToDrive     ? kScsiIoctlDataOut
                               : direction == kDirFromDrive ? kScsiIoctlDataIn
                                                            : kScsiIoctlDataUnspecified;
        ok = SendScsiPassThrough(drive, dataCdb, 16, dataIn, buffer, length, kSenseBridge,
                                 kPassThroughTimeoutBridge, &scsiStatus);
        outcome = PhaseOutcome(ok, scsiStatus, status);
    }
    if (outcome == 0) {
        // The completion entry comes back over the first 16 bytes of the submission entry; the
        // outcome of this phase is not used beyond the status flag.
        const uint8_t doneCdb[16] = {0xEB, 0x5A, 0x82, 0x00, dc,   0,    0, 0,
                                     0,    0,    0x00, 0x00, 0x00, 0x10, 0, 0};
        SendScsiPassThrough(drive, doneCdb, 16, kScsiIoctlDataIn, entry, 16, kSenseBridge,
                            kPassThroughTimeoutBridge, &scsiStatus);
        PhaseOutcome(1, scsiStatus, status);
    }
    if (outcome < 0) result = kFwRequestFailed;
    BridgeLockRelease(lock);
    return result;
}

int32_t IO_USB_JMI_NVMeCmd(PlatHandle drive, int32_t direction, const uint8_t* entry, void* buffer,
                           uint32_t length, uint8_t* status) {
    alignas(16) uint8_t block[512];
    std::memset(block, 0, sizeof(block));
    std::memcpy(block, "NVME", 4);
    std::memcpy(block + 8, entry, kNvmeEntrySize);
    BridgeLock lock = BridgeLockAcquire(drive);
    int32_t result = kFwOk;
    uint8_t scsiStatus = 0;

    const uint8_t commandCdb[16] = {0xA1, 0x80, 0x00, 0x00, 0x02, 0x00};
    int32_t ok = SendScsiPassThrough(drive, commandCdb, 16, kScsiIoctlDataOut, block, sizeof(block),
                                     kSenseBridge, kPassThroughTimeoutBridge, &scsiStatus);
    int32_t outcome = PhaseOutcome(ok, scsiStatus, status);
    if (outcome == 0) {
        const uint8_t sub = direction == kDirToDrive     ? 0x83
                            : direction == kDirFromDrive ? 0x82
                                                         : 0x81;
        const uint8_t dataIn = direction == kDirToDrive     ? kScsiIoctlDataOut
                               : direction == kDirFromDrive ? kScsiIoctlDataIn
                                                            : kScsiIoctlDataUnspecified;
        const uint8_t dataCdb[16] = {0xA1,
                                     sub,
                                     0x00,
                                     static_cast<uint8_t>(length >> 16),
                                     static_cast<uint8_t>(length >> 8),
                                     static_cast<uint8_t>(length)};
        // A read starts from zeros, so a short transfer leaves zeros behind it.
        if (direction != kDirToDrive && buffer != nullptr && length) std::memset(buffer, 0, length);
        ok = SendScsiPassThrough(drive, dataCdb, 16, dataIn, buffer, length, kSenseBridge,
                                 kPassThroughTimeoutBridge, &scsiStatus);
        outcome = PhaseOutcome(ok, scsiStatus, status);
    }
    if (outcome == 0) {
        std::memset(block, 0, sizeof(block));
        const uint8_t doneCdb[16] = {0xA1, 0x8F, 0x00, 0x00, 0x02, 0x00};
        SendScsiPassThrough(drive, doneCdb, 16, kScsiIoctlDataIn, block, sizeof(block),
                            kSenseBridge, kPassThroughTimeoutBridge, &scsiStatus);
        PhaseOutcome(1, scsiStatus, status);
    }
    if (outcome < 0) result = kFwRequestFailed;
    BridgeLockRelease(lock);
    return result;
}
