// One SCSI_PASS_THROUGH_DIRECT request, laid out in the native structure with the sense area
// right after it inside the request buffer. Shared by the bridge probe, the bridge
// transports and the SAT route.
#pragma once
#include "platform/requests.h"
#include "platform/storage.h"

#include <cstring>

inline constexpr uint32_t kPassThroughTimeoutBridge = 10;
inline constexpr uint32_t kPassThroughTimeoutAta = 60;

// Data buffers handed to a port driver are aligned to this many bytes. Adapters refuse a
// pass-through whose buffer breaks their alignment mask (4 bytes on common SAS adapters);
// 16 covers every mask up to 15, as the ATA route's bounce buffer does.
inline constexpr uintptr_t kPassThroughDataAlignment = 16;

// Sends the CDB (cdbLength bytes of cdb, the rest of the 16 zero) with the data buffer; fills
// *scsiStatus (may be nullptr) with the returned SCSI status. Returns the request's success.
// A caller's data buffer that is not aligned goes through a zero-filled page-granular bounce
// buffer: copied in before a data-out request, what the device delivered copied back after a
// data-in one. When that buffer cannot be had the request fails without being sent.
inline int32_t SendScsiPassThrough(PlatHandle drive, const uint8_t* cdb, uint8_t cdbLength,
                                   uint8_t dataIn, void* data, uint32_t length, uint8_t senseLength,
                                   uint32_t timeout, uint8_t* scsiStatus) {
    uint8_t* bounce = nullptr;
    if (data != nullptr && length != 0 &&
        (reinterpret_cast<uintptr_t>(data) & (kPassThroughDataAlignment - 1)) != 0) {
        bounce = static_cast<uint8_t*>(PlatPageAlloc(length));
        if (bounce == nullptr) return 0;
        std::memset(bounce, 0, length);
        if (dataIn == kScsiIoctlDataOut) std::memcpy(bounce, data, length);
    }
    alignas(8) uint8_t request[kSptdRequestSize];
    std::memset(request, 0, sizeof(request));
    ScsiPassThroughDirect s;
    std::memset(&s, 0, sizeof(s));
    s.Length = sizeof(ScsiPassThroughDirect);
    s.CdbLength = cdbLength;
    s.SenseInfoLength = senseLength;
    s.DataIn = dataIn;
    s.DataTransferLength = length;
    s.TimeOutValue = timeout;
    s.DataBuffer = bounce != nullptr ? bounce : data;
    s.SenseInfoOffset = kSptdSenseOffset;
    std::memcpy(s.Cdb, cdb, 16);
    std::memcpy(request, &s, sizeof(s));
    uint32_t returned = 0;
    int32_t ok = PlatDeviceIoControl(drive, kIoctlScsiPassThroughDirect, request, sizeof(request),
                                     request, sizeof(request), &returned);
    std::memcpy(&s, request, sizeof(s));
    if (scsiStatus) *scsiStatus = s.ScsiStatus;
    if (bounce != nullptr) {
        // Only what the device delivered, as a direct transfer would leave the rest alone.
        const uint32_t delivered = s.DataTransferLength < length ? s.DataTransferLength : length;
        if (ok && dataIn == kScsiIoctlDataIn) std::memcpy(data, bounce, delivered);
        PlatPageFree(bounce);
    }
    return ok;
}
