// IOCTL_ATA_PASS_THROUGH_DIRECT on a SATA port: the task-file registers go to the SATA drive,
// its status and error come back in the current task file. Also the register checks that the
// SAT route (sat.cpp) shares: what a drive aborts whichever way the registers reached it.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

bool IsAta48BitOpcode(uint8_t command) {
    // The 48-bit (EXT) commands of the ATA command set.
    static const uint8_t kExt[] = {0x24, 0x25, 0x26, 0x27, 0x29, 0x2F, 0x34, 0x35, 0x36, 0x37, 0x39,
                                   0x3D, 0x3E, 0x3F, 0x42, 0x47, 0x57, 0x60, 0x61, 0xCE, 0xEA};
    return std::find(std::begin(kExt), std::end(kExt), command) != std::end(kExt);
}

std::string AtaRegisterFault(const AtaRegisters& r, bool dataIn, bool dataOut, uint32_t length) {
    const uint8_t device = r.current[5];
    if (r.is48 != IsAta48BitOpcode(r.Command()))
        return r.is48 ? "48-bit form for a 28-bit command" : "28-bit form for a 48-bit command";
    if (r.is48) {
        if ((device & 0x5F) != 0x40) return "Device register not 0x40";
    } else {
        if ((device & 0x50) != 0x40) return "Device register without LBA bit or with DEV bit";
        if (std::any_of(r.previous, r.previous + 8, [](uint8_t b) { return b != 0; }))
            return "previous registers set for a 28-bit command";
    }
    if (dataIn && dataOut) return "data in and data out at once";
    if (dataIn || dataOut) {
        // Sector count 0 stands for the largest count.
        uint64_t count = r.Count();
        if (count == 0) count = r.is48 ? 65536 : 256;
        if (count * 512 != length) return "sector count does not match the transfer length";
    } else if (length != 0) {
        return "a transfer length for a command without data";
    }
    return "";
}

bool AtaPassThroughDirect(MachineImpl& m, Disk& disk, Request& req) {
    const AptdOffsets& L = kAptd;
    if (disk.kind != PathKind::SataPort || !disk.ataPassThrough)
        return req.Fail(kErrorInvalidFunction);
    const uint8_t* in = req.in.data();
    if (req.in.size() < L.size || req.outSize < L.size)
        return Refuse(req, kErrorInvalidParameter, "request buffer shorter than the structure");
    if (Le16(in + L.length) != L.size)
        return Refuse(req, kErrorInvalidParameter, "Length is not the size of the structure");
    const uint16_t flags = Le16(in + L.ataFlags);
    const uint32_t length = Le32(in + L.dataTransferLength);
    const uint32_t timeout = Le32(in + L.timeOutValue);
    uint8_t* buffer = ReadPointer(in + L.dataBuffer, L.pointerSize);
    AtaRegisters r;
    std::memcpy(r.previous, in + L.previousTaskFile, 8);
    std::memcpy(r.current, in + L.currentTaskFile, 8);
    r.is48 = (flags & kAtaFlags48BitCommand) != 0;
    req.rec->ata.assign(r.previous, r.previous + 8);
    req.rec->ata.insert(req.rec->ata.end(), r.current, r.current + 8);
    req.rec->timeout = timeout;
    const bool dataIn = (flags & kAtaFlagsDataIn) != 0;
    const bool dataOut = (flags & kAtaFlagsDataOut) != 0;
    if (in[L.pathId] || in[L.targetId] || in[L.lun] || in[L.reservedAsUchar] ||
        Le32(in + L.reservedAsUlong))
        return Refuse(req, kErrorInvalidParameter, "PathId, TargetId, Lun or reserved not 0");
    if (flags &
        ~(kAtaFlagsDrdyRequired | kAtaFlagsDataIn | kAtaFlagsDataOut | kAtaFlags48BitCommand))
        return Refuse(req, kErrorInvalidParameter, "AtaFlags with bits not modelled");
    if (dataIn && dataOut)
        return Refuse(req, kErrorInvalidParameter, "AtaFlags data in and data out at once");
    if (timeout == 0 || timeout > kMaxTimeOutValue)
        return Refuse(req, kErrorInvalidParameter, "TimeOutValue 0 or over 30 hours");
    if ((dataIn || dataOut) != (length != 0))
        return Refuse(req, kErrorInvalidParameter, "data flags and DataTransferLength disagree");
    if (length && !buffer) return Refuse(req, kErrorInvalidParameter, "no DataBuffer");
    if (length && (reinterpret_cast<uintptr_t>(buffer) & disk.alignmentMask))
        return Refuse(req, kErrorInvalidParameter,
                      "DataBuffer not aligned to the adapter's alignment mask");
    if (dataOut && length) req.rec->data_out = std::vector<uint8_t>(buffer, buffer + length);
    if (Refused(m, req)) return false;
    AtaResult result;
    std::vector<uint8_t> fromDrive;
    const std::string registerFault = AtaRegisterFault(r, dataIn, dataOut, length);
    if (req.fault && req.fault->action == Fault::Action::AtaStatus) {
        result = AtaResult{req.fault->status, 0x04};
        req.rec->note = "status by fault";
    } else if (!registerFault.empty() || r.current[7] != 0) {
        // The drive aborts the command: ERR in the status, ABRT in the error register.
        result = AtaResult{kAtaStatusError, 0x04};
        req.rec->note =
            "refused: " + (registerFault.empty() ? "reserved register set" : registerFault);
    } else if (!disk.sata) {
        result = AtaResult{kAtaStatusError, 0x04};
    } else {
        result = disk.sata->Execute(r, dataOut ? buffer : nullptr, dataOut ? length : 0,
                                    dataIn ? &fromDrive : nullptr, dataIn ? length : 0);
    }
    std::memcpy(req.out, in, std::min<size_t>(req.in.size(), req.outSize));
    req.out[L.currentTaskFile + 0] = result.error;
    req.out[L.currentTaskFile + 6] = result.status;
    req.rec->ata_status = result.status;
    if (dataIn && !(result.status & 0x09)) {
        if (BadReply(req)) Invert(fromDrive);
        if (length && !fromDrive.empty())
            std::memcpy(buffer, fromDrive.data(), std::min<size_t>(length, fromDrive.size()));
        req.rec->data_in = fromDrive;
    }
    return req.Succeed(L.size);
}

} // namespace sim
