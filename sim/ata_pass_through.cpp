// IOCTL_ATA_PASS_THROUGH_DIRECT on a SATA port: the task-file registers go to the SATA drive,
// its status and error come back in the current task file.
#include "request_families.h"

#include "bytes.h"
#include "platform/requests.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {
const PassThroughLayout& L = kPassThroughLayoutNative;
} // namespace

bool AtaPassThroughDirect(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::SataPort || !disk.ataPassThrough)
        return req.Fail(kErrorInvalidFunction);
    const uint8_t* in = req.in.data();
    if (req.in.size() < L.aptdSize || req.outSize < L.aptdSize)
        return req.Fail(kErrorInvalidParameter);
    if (Le16(in) != L.aptdSize) {
        req.rec->note = "Length is not the size of the structure";
        return req.Fail(kErrorInvalidParameter);
    }
    const uint16_t flags = Le16(in + 2);
    const uint32_t length = Le32(in + L.aptdDataTransferLength);
    uint8_t* buffer = ReadPointer(in + L.aptdDataBuffer, L.pointerSize);
    if (length && !buffer) return req.Fail(kErrorInvalidParameter);
    AtaRegisters r;
    std::memcpy(r.previous, in + L.aptdPreviousTaskFile, 8);
    std::memcpy(r.current, in + L.aptdCurrentTaskFile, 8);
    r.is48 = (flags & kAtaFlags48BitCommand) != 0;
    req.rec->ata.assign(r.previous, r.previous + 8);
    req.rec->ata.insert(req.rec->ata.end(), r.current, r.current + 8);
    const bool dataIn = (flags & kAtaFlagsDataIn) != 0;
    const bool dataOut = (flags & kAtaFlagsDataOut) != 0;
    if (dataOut && length) req.rec->data_out = std::vector<uint8_t>(buffer, buffer + length);
    if (Refused(m, req)) return false;
    AtaResult result;
    std::vector<uint8_t> fromDrive;
    if (req.fault && req.fault->action == Fault::Action::AtaStatus) {
        result = AtaResult{req.fault->status, 0x04};
        req.rec->note = "status by fault";
    } else if (!disk.sata) {
        result = AtaResult{kAtaStatusError, 0x04};
    } else {
        result = disk.sata->Execute(r, dataOut ? buffer : nullptr, dataOut ? length : 0,
                                    dataIn ? &fromDrive : nullptr, dataIn ? length : 0);
    }
    std::memcpy(req.out, in, std::min<size_t>(req.in.size(), req.outSize));
    req.out[L.aptdCurrentTaskFile + 0] = result.error;
    req.out[L.aptdCurrentTaskFile + 6] = result.status;
    req.rec->ata_status = result.status;
    if (dataIn && !(result.status & 0x09)) {
        if (BadReply(req)) Invert(fromDrive);
        if (length && !fromDrive.empty())
            std::memcpy(buffer, fromDrive.data(), std::min<size_t>(length, fromDrive.size()));
        req.rec->data_in = fromDrive;
    }
    return req.Succeed(L.aptdSize);
}

} // namespace sim
