// The RST driver's firmware requests on a SCSI port device, decoded with this file's own
// offsets. After the SRB_IO_CONTROL header (HeaderLength 0, Signature "IntelFw " 4, Timeout 12,
// ControlCode 0xF0000040 16, ReturnCode 20, Length 24): byte 28 = 1, byte 29 the drive's path
// id, 30-31 zero, then the firmware request block at 32 (Version 1, Size 24, Function 40,
// Flags 44, DataBufferOffset 48, DataBufferLength 52) and its data at the data offset (56):
//
// function 2, download (STORAGE_FIRMWARE_DOWNLOAD_V2): Version 2, Size 32, Offset +8 (64-bit),
//   BufferSize +16 (64-bit), Slot +24 (0xFF), Reserved +25-27, ImageSize +28, the piece at +32;
//   DataBufferLength = 32 + BufferSize and the request ends with the piece.
// function 3, activate (STORAGE_FIRMWARE_ACTIVATE): Version 1, Size 12, SlotToActivate +8,
//   Reserved +9-11; DataBufferLength = 12. Bytes after it are not read.
//
// A wrong field fails the request with ERROR_INVALID_PARAMETER before anything reaches the
// drive. A command the drive completes with an error status still completes the request: the
// driver reports the status only in the ReturnCode of an output buffer.
#include "request_families.h"

#include "bytes.h"

#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kErrorInvalidParameterCode = 87;
// ReturnCode of a request whose command the drive completed with an error status.
constexpr uint32_t kReturnCodeDriveError = 1;
constexpr uint32_t kErrorInvalidFunctionCode = 1;
constexpr uint32_t kErrorDeviceNotConnectedCode = 1167;
constexpr uint32_t kLongestTimeout = 30 * 3600; // seconds
constexpr uint32_t kDataOffset = 56;
constexpr uint64_t kLargestPiece = 4096;

bool Refuse(Request& req, const char* why) {
    req.rec->note = why;
    return req.Fail(kErrorInvalidParameterCode);
}

} // namespace

bool RstFirmware(MachineImpl& m, int port, Request& req) {
    const uint8_t* in = req.in.data();
    const size_t size = req.in.size();
    if (size < kDataOffset) return Refuse(req, "shorter than the firmware request block");
    if (Le32(in) != 28 || std::memcmp(in + 4, "IntelFw ", 8) != 0 || Le32(in + 16) != 0xF0000040u)
        return Refuse(req, "not an IntelFw request");
    const uint32_t timeout = Le32(in + 12);
    if (timeout == 0 || timeout > kLongestTimeout) return Refuse(req, "Timeout 0 or over 30 hours");
    if (Le32(in + 20) != 0) return Refuse(req, "ReturnCode not 0");
    if (Le32(in + 24) != size - 28) return Refuse(req, "Length is not the size after the header");
    if (in[28] != 1 || in[30] || in[31]) return Refuse(req, "bytes 28-31 wrong");
    const uint8_t pathId = in[29];
    const uint32_t function = Le32(in + 40), flags = Le32(in + 44), dataOffset = Le32(in + 48),
                   dataLength = Le32(in + 52);
    if (Le32(in + 32) != 1 || Le32(in + 36) != 24)
        return Refuse(req, "request block Version or Size");
    if (flags != 1) return Refuse(req, "request block Flags is not the controller flag");
    if (dataOffset != kDataOffset || static_cast<uint64_t>(dataOffset) + dataLength > size)
        return Refuse(req, "request block data area wrong");
    Disk* disk = nullptr;
    for (auto& d : m.disks)
        if (d->present && d->kind == PathKind::Rst && d->scsi && d->scsi->port == port &&
            d->scsi->path == pathId)
            disk = d.get();
    if (disk) {
        req.disk = disk;
        req.rec->drive = disk->name;
    }
    const uint8_t* data = in + dataOffset;
    std::vector<uint8_t> entry(64, 0);
    uint64_t length = 0;
    if (function == 2) {
        if (dataLength < 32 || Le32(data) != 2 || Le32(data + 4) != 32)
            return Refuse(req, "download Version or Size");
        const uint64_t offset = Le64(data + 8);
        length = Le64(data + 16);
        if (length == 0 || length > kLargestPiece) return Refuse(req, "BufferSize 0 or too large");
        if (dataLength != 32 + length || size != kDataOffset + dataLength)
            return Refuse(req, "the piece does not end the request");
        if (data[24] != 0xFF || data[25] || data[26] || data[27] || Le32(data + 28) != 0)
            return Refuse(req, "Slot, Reserved or ImageSize wrong");
        if ((offset & 3) || offset + length > 0xFFFFFFFFull * 4)
            return Refuse(req, "Offset not a multiple of 4 or too large");
        entry[0] = 0x11;
        Put32(&entry[40], static_cast<uint32_t>((length - 1) / 4));
        Put32(&entry[44], static_cast<uint32_t>(offset / 4));
    } else if (function == 3) {
        if (dataLength != 12 || Le32(data) != 1 || Le32(data + 4) != 12)
            return Refuse(req, "activate Version, Size or data length");
        if (data[8] == 0 || data[8] > 7 || data[9] || data[10] || data[11])
            return Refuse(req, "SlotToActivate or Reserved wrong");
        entry[0] = 0x10;
        Put32(&entry[40], data[8] | (1u << 3));
    } else {
        req.rec->note = "firmware function not modelled";
        return req.Fail(kErrorInvalidFunctionCode);
    }
    req.rec->nvme = entry;
    const Fault* f = m.FaultFor(req, true);
    if (f && f->action == Fault::Action::Refuse) {
        req.rec->note = "refused by fault";
        return req.Fail(f->error);
    }
    if (!disk || !disk->nvme) return req.Fail(kErrorDeviceNotConnectedCode);
    const NvmeCompletion done =
        disk->nvme->Execute(entry.data(), function == 2 ? data + 32 : nullptr,
                            static_cast<uint32_t>(length), nullptr, 0);
    // The driver completes the request and reports the drive's error status in ReturnCode only.
    if (done.status != 0) req.rec->note = "the drive completed it with an error status";
    if (req.out && req.outSize >= 24) {
        std::memcpy(req.out, in, std::min<size_t>(size, req.outSize));
        Put32(req.out + 20, done.status == 0 ? 0 : kReturnCodeDriveError);
    }
    return req.Succeed(0);
}

} // namespace sim
