// IOCTL_SCSI_MINIPORT on a SCSI port device (\\.\scsiN:) whose driver is RST: the
// SRB_IO_CONTROL header, then the "IntelNvm" NVMe pass-through (the 64-byte entry at 32, the
// completion at 96, the data area at its offset) or the "IntelFw " firmware channel.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

bool RstMiniport(MachineImpl& m, int port, Request& req) {
    namespace h = srb_io_control;
    namespace r = rst_nvme;
    const uint8_t* in = req.in.data();
    const size_t size = req.in.size();
    if (size < h::kSize || Le32(in + h::kHeaderLength) != h::kSize)
        return Refuse(req, kErrorInvalidParameter, "SRB_IO_CONTROL HeaderLength is not 28");
    const uint32_t timeout = Le32(in + h::kTimeout);
    req.rec->timeout = timeout;
    if (Le32(in + h::kLength) != size - h::kSize)
        return Refuse(req, kErrorInvalidParameter,
                      "SRB_IO_CONTROL Length is not the size after the header");
    if (timeout == 0 || timeout > kMaxTimeOutValue)
        return Refuse(req, kErrorInvalidParameter, "Timeout 0 or over 30 hours");
    if (Le32(in + h::kReturnCode) != 0)
        return Refuse(req, kErrorInvalidParameter, "ReturnCode not 0");
    if (std::memcmp(in + h::kSignature, "IntelFw ", 8) == 0 &&
        Le32(in + h::kControlCode) == rst_fw::kControlCode)
        return RstFirmware(m, port, req);
    if (std::memcmp(in + h::kSignature, "IntelNvm", 8) != 0 ||
        Le32(in + h::kControlCode) != r::kControlCode) {
        req.rec->note = "miniport request not modelled";
        return req.Fail(kErrorInvalidFunction);
    }
    if (size < r::kData || req.outSize < size)
        return Refuse(req, kErrorInvalidParameter, "request or reply buffer too short");
    const uint8_t* entry = in + r::kEntry;
    req.rec->nvme.assign(entry, entry + 64);
    const uint8_t pathId = in[r::kPathId];
    const uint32_t dataOffset = Le32(in + r::kDataOffset), dataLength = Le32(in + r::kDataLength);
    auto zero = [&](uint32_t from, uint32_t to) {
        return std::all_of(in + from, in + to, [](uint8_t v) { return v == 0; });
    };
    if (in[r::kVersion] != 1) return Refuse(req, kErrorInvalidParameter, "byte 28 is not 1");
    if (!zero(r::kReserved, r::kEntry) || !zero(r::kCompletion, r::kDataOffset) ||
        !zero(r::kTail, r::kData))
        return Refuse(req, kErrorInvalidParameter, "reserved bytes set");
    // The data area starts right after the fixed block and the request ends with it (up to
    // three bytes of tail).
    const uint64_t dataEnd = static_cast<uint64_t>(r::kData) + dataLength;
    if (dataOffset != r::kData || size < dataEnd || size > dataEnd + r::kMaxPadding)
        return Refuse(req, kErrorInvalidParameter, "data area not at 164 or size disagrees");
    Disk* disk = nullptr;
    for (auto& d : m.disks)
        if (d->present && d->kind == PathKind::Rst && d->scsi && d->scsi->port == port &&
            d->scsi->path == pathId)
            disk = d.get();
    if (disk) {
        req.disk = disk;
        req.rec->drive = disk->name;
    }
    if (Refused(m, req)) return false;
    if (!disk || !disk->nvme) return req.Fail(kErrorDeviceNotConnected);
    const int dir = NvmeOpcodeTransfer(entry[0]); // the request carries no direction of its own
    std::vector<uint8_t> data;
    NvmeCompletion done;
    if (std::string why = NvmeEntryFault(entry, dir, dir ? dataLength : 0); !why.empty()) {
        req.rec->note = "refused: " + why;
        done = NvmeCompletion{0, kNvmeInvalidField};
        if (dir == 2) data.assign(dataLength, 0);
    } else {
        done = disk->nvme->Execute(entry, dir == 1 ? in + dataOffset : nullptr,
                                   dir == 1 ? dataLength : 0, dir == 2 ? &data : nullptr,
                                   dir == 2 ? dataLength : 0);
    }
    if (BadReply(req)) Invert(data);
    std::memcpy(req.out, in, std::min<size_t>(size, req.outSize));
    Put32(req.out + h::kReturnCode, 0);
    std::vector<uint8_t> completion = Completion(done, entry);
    std::memcpy(req.out + r::kCompletion, completion.data(), 16);
    // The data area returns what came from the drive; after a write nothing did.
    std::memset(req.out + dataOffset, 0, dataLength);
    if (dir == 2) std::memcpy(req.out + dataOffset, data.data(), dataLength);
    return req.Succeed(req.outSize);
}

} // namespace sim
