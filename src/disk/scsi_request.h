// One SCSI_PASS_THROUGH_DIRECT request, laid out in the native structure with the sense area
// right after it inside the request buffer. Shared by the bridge probe, the bridge
// transports and the SAT route.
#pragma once
#include "platform/requests.h"
#include "platform/storage.h"

#include <cstring>

inline constexpr uint32_t kPassThroughTimeoutBridge = 10;
inline constexpr uint32_t kPassThroughTimeoutAta = 60;

// Sends the CDB (cdbLength bytes of cdb, the rest of the 16 zero) with the data buffer; fills
// *scsiStatus (may be nullptr) with the returned SCSI status. Returns the request's success.
inline int32_t SendScsiPassThrough(PlatHandle drive, const uint8_t* cdb, uint8_t cdbLength,
                                   uint8_t dataIn, void* data, uint32_t length, uint8_t senseLength,
                                   uint32_t timeout, uint8_t* scsiStatus) {
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
    s.DataBuffer = data;
    s.SenseInfoOffset = kSptdSenseOffset;
    std::memcpy(s.Cdb, cdb, 16);
    std::memcpy(request, &s, sizeof(s));
    uint32_t returned = 0;
    int32_t ok = PlatDeviceIoControl(drive, kIoctlScsiPassThroughDirect, request, sizeof(request),
                                     request, sizeof(request), &returned);
    std::memcpy(&s, request, sizeof(s));
    if (scsiStatus) *scsiStatus = s.ScsiStatus;
    return ok;
}
