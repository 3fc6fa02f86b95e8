// IOCTL_SCSI_MINIPORT on a SCSI port device (\\.\scsiN:) whose driver is RST: the
// SRB_IO_CONTROL header, then the "IntelNvm" NVMe pass-through (the 64-byte entry at 32, the
// completion at 96, the data area at its offset) or the "IntelFw " firmware channel.
#include "request_families.h"

#include "bytes.h"
#include "platform/requests.h"

#include <algorithm>
#include <cstring>

namespace sim {

bool RstMiniport(MachineImpl& m, int port, Request& req) {
    const uint8_t* in = req.in.data();
    const size_t size = req.in.size();
    if (size < 28 || Le32(in) != 28) return req.Fail(kErrorInvalidParameter);
    if (Le32(in + 24) != size - 28) {
        req.rec->note = "SRB_IO_CONTROL Length is not the size after the header";
        return req.Fail(kErrorInvalidParameter);
    }
    if (std::memcmp(in + 4, "IntelFw ", 8) == 0 && Le32(in + 16) == 0xF0000040u)
        return RstFirmware(m, port, req);
    if (std::memcmp(in + 4, "IntelNvm", 8) != 0 || Le32(in + 16) != 0xF0002808u) {
        req.rec->note = "miniport request not modelled";
        return req.Fail(kErrorInvalidFunction);
    }
    if (size < 164 || req.outSize < 164) return req.Fail(kErrorInvalidParameter);
    const uint8_t pathId = in[29];
    Disk* disk = nullptr;
    for (auto& d : m.disks)
        if (d->present && d->kind == PathKind::Rst && d->scsi && d->scsi->port == port &&
            d->scsi->path == pathId)
            disk = d.get();
    const uint32_t dataOffset = Le32(in + 116), dataLength = Le32(in + 120);
    if (static_cast<uint64_t>(dataOffset) + dataLength > size ||
        dataOffset + dataLength > req.outSize)
        return req.Fail(kErrorInvalidParameter);
    const uint8_t* entry = in + 32;
    req.rec->nvme.assign(entry, entry + 64);
    if (disk) {
        req.disk = disk;
        req.rec->drive = disk->name;
    }
    if (Refused(m, req)) return false;
    if (!disk || !disk->nvme) return req.Fail(kErrorDeviceNotConnected);
    const int dir = entry[0] & 3; // NVMe opcode data-transfer bits: 1 to drive, 2 from drive
    std::vector<uint8_t> data;
    NvmeCompletion done =
        disk->nvme->Execute(entry, dir == 1 ? in + dataOffset : nullptr, dir == 1 ? dataLength : 0,
                            dir == 2 ? &data : nullptr, dir == 2 ? dataLength : 0);
    if (BadReply(req)) Invert(data);
    std::memcpy(req.out, in, std::min<size_t>(size, req.outSize));
    Put32(req.out + 20, 0); // ReturnCode
    std::vector<uint8_t> completion = Completion(done, entry);
    std::memcpy(req.out + 96, completion.data(), 16);
    // The data area returns what came from the drive; after a write nothing did.
    std::memset(req.out + dataOffset, 0, dataLength);
    if (dir == 2) std::memcpy(req.out + dataOffset, data.data(), dataLength);
    return req.Succeed(req.outSize);
}

} // namespace sim
