#include "sata/ata_transport.h"

#include "disk/scsi_request.h"
#include "platform/requests.h"
#include "platform/storage.h"

#include <cstring>

namespace {

constexpr uint32_t kAtaTimeout = 60;
constexpr uint8_t kSatSenseLength = 64;

// Bytes 1 and 2 of the SAT command blocks by direction: PIO data-in, PIO data-out, non-data.
void DirectionBytes(uint32_t flags, uint8_t* byte1, uint8_t* byte2) {
    if (flags & kAtaDataIn) {
        *byte1 = 0x08;
        *byte2 = 0x0E;
    } else if (flags & kAtaDataOut) {
        *byte1 = 0x0A;
        *byte2 = 0x06;
    } else {
        *byte1 = 0x06;
        *byte2 = 0x00;
    }
}

} // namespace

bool IsAta48BitCommand(uint8_t command) {
    switch (command) {
    case 0x24:
    case 0x25:
    case 0x26:
    case 0x29:
    case 0x34:
    case 0x35:
    case 0x36:
    case 0x39:
    case 0x3D:
    case 0x3E:
    case 0xCE:
        return true;
    default:
        return false;
    }
}

int32_t AtaCmd(int32_t iCmdType, PlatHandle drive, uint8_t command, uint8_t feature, uint32_t flags,
               uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length) {
    if (iCmdType == kCmdSataUsb || iCmdType == kCmdSataScsi)
        return IO_SAT_PassThrough(drive, command, feature, flags, lbaLow, lbaHigh, buffer, length);
    if (IO_ATA_PassThrough(drive, command, feature, flags, lbaLow, lbaHigh, buffer, length) == 1)
        return 1;
    return IO_SAT_PassThrough(drive, command, feature, flags, lbaLow, lbaHigh, buffer, length);
}

int32_t AtaIdentify(const TransportContext* context, PlatHandle drive, void* buffer,
                    uint32_t length) {
    std::memset(buffer, 0, length);
    return AtaCmd(context->iCmdType, drive, 0xEC, 0, kAtaDrdyRequired | kAtaDataIn, 0, 0, buffer,
                  length);
}

int32_t IO_ATA_PassThrough(PlatHandle drive, uint8_t command, uint8_t feature, uint32_t flags,
                           uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length) {
    flags &= 0xFFFF;
    // A fresh page-granular bounce buffer, so the driver always sees a 16-byte aligned one.
    auto* bounce = static_cast<uint8_t*>(PlatPageAlloc(static_cast<size_t>(length) + 16));
    if (bounce == nullptr) return 0;
    std::memset(bounce, 0, static_cast<size_t>(length) + 16);
    auto* aligned = reinterpret_cast<uint8_t*>((reinterpret_cast<uintptr_t>(bounce) + 16) &
                                               ~static_cast<uintptr_t>(15));
    if ((flags & kAtaDataOut) && length) std::memcpy(aligned, buffer, length);

    const bool is48 = IsAta48BitCommand(command);
    AtaPassThroughDirect a;
    std::memset(&a, 0, sizeof(a));
    a.Length = sizeof(AtaPassThroughDirect);
    a.AtaFlags = static_cast<uint16_t>(flags | (is48 ? kAtaFlags48BitCommand : 0));
    a.DataTransferLength = length;
    a.TimeOutValue = kAtaTimeout;
    a.DataBuffer = aligned;
    if (is48) {
        a.PreviousTaskFile[2] = static_cast<uint8_t>(lbaLow >> 24);
        a.PreviousTaskFile[3] = static_cast<uint8_t>(lbaHigh);
        a.PreviousTaskFile[4] = static_cast<uint8_t>(lbaHigh >> 8);
    }
    a.CurrentTaskFile[0] = feature;
    a.CurrentTaskFile[1] = static_cast<uint8_t>(length / 512);
    a.CurrentTaskFile[2] = static_cast<uint8_t>(lbaLow);
    a.CurrentTaskFile[3] = static_cast<uint8_t>(lbaLow >> 8);
    a.CurrentTaskFile[4] = static_cast<uint8_t>(lbaLow >> 16);
    a.CurrentTaskFile[5] =
        static_cast<uint8_t>(is48 ? 0x40 : 0x40 | static_cast<uint8_t>(lbaLow >> 24));
    a.CurrentTaskFile[6] = command;

    uint32_t returned = 0;
    int32_t ok = PlatDeviceIoControl(drive, kIoctlAtaPassThroughDirect, &a, sizeof(a), &a,
                                     sizeof(a), &returned);
    // The status register after the command: ERR or DRQ still set is a failure.
    if (!ok || (a.CurrentTaskFile[6] & 0x09) != 0) {
        PlatPageFree(bounce);
        return 0;
    }
    if ((flags & kAtaDataIn) && length) std::memcpy(buffer, aligned, length);
    PlatPageFree(bounce);
    return 1;
}

int32_t IO_SAT_PassThrough(PlatHandle drive, uint8_t command, uint8_t feature, uint32_t flags,
                           uint32_t lbaLow, uint32_t lbaHigh, void* buffer, uint32_t length) {
    flags &= 0xFFFF;
    uint8_t byte1 = 0, byte2 = 0;
    DirectionBytes(flags, &byte1, &byte2);
    const uint8_t dataIn = (flags & kAtaDataIn)    ? kScsiIoctlDataIn
                           : (flags & kAtaDataOut) ? kScsiIoctlDataOut
                                                   : kScsiIoctlDataUnspecified;
    const uint8_t count = static_cast<uint8_t>(length / 512);
    uint8_t cdb[16];
    std::memset(cdb, 0, sizeof(cdb));
    uint8_t cdbLength;
    if (IsAta48BitCommand(command)) {
        cdbLength = 16;
        const uint8_t b[16] = {0x85,
                               static_cast<uint8_t>(byte1 | 1),
                               byte2,
                               0,
                               feature,
                               0,
                               count,
                               static_cast<uint8_t>(lbaLow >> 24),
                               static_cast<uint8_t>(lbaLow),
                               static_cast<uint8_t>(lbaHigh),
                               static_cast<uint8_t>(lbaLow >> 8),
                               static_cast<uint8_t>(lbaHigh >> 8),
                               static_cast<uint8_t>(lbaLow >> 16),
                               0x40,
                               command,
                               0};
        std::memcpy(cdb, b, 16);
    } else {
        cdbLength = 12;
        const uint8_t b[12] = {0xA1,
                               byte1,
                               byte2,
                               feature,
                               count,
                               static_cast<uint8_t>(lbaLow),
                               static_cast<uint8_t>(lbaLow >> 8),
                               static_cast<uint8_t>(lbaLow >> 16),
                               static_cast<uint8_t>(0x40 | static_cast<uint8_t>(lbaLow >> 24)),
                               command,
                               0,
                               0};
        std::memcpy(cdb, b, 12);
    }
    // The command blocks ask for no check condition on success (CK_COND 0), so any status
    // but GOOD means the drive or the translation layer rejected the command: that is a
    // failure, not a success with an unread status.
    uint8_t scsiStatus = 0;
    if (!SendScsiPassThrough(drive, cdb, cdbLength, dataIn, buffer, length, kSatSenseLength,
                             kAtaTimeout, &scsiStatus))
        return 0;
    return scsiStatus == 0 ? 1 : 0;
}
