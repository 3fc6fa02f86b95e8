// The RST miniport's firmware channel: SRB_IO_CONTROL "IntelFw " requests on the SCSI port
// device, a firmware request block at 32 and its payload at its data offset; function 2
// downloads a piece, function 3 activates. Sent without an output buffer.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

bool RstFirmware(MachineImpl& m, int port, Request& req) {
    const uint8_t* in = req.in.data();
    const size_t size = req.in.size();
    if (size < 56) return req.Fail(kErrorInvalidParameter);
    const uint8_t pathId = in[29];
    const uint32_t function = Le32(in + 40), dataOffset = Le32(in + 48), dataLength = Le32(in + 52);
    if (Le32(in + 32) != 1 || Le32(in + 36) != 24 ||
        static_cast<uint64_t>(dataOffset) + dataLength > size)
        return req.Fail(kErrorInvalidParameter);
    Disk* disk = nullptr;
    for (auto& d : m.disks)
        if (d->present && d->kind == PathKind::Rst && d->scsi && d->scsi->port == port &&
            d->scsi->path == pathId)
            disk = d.get();
    if (disk) {
        req.disk = disk;
        req.rec->drive = disk->name;
    }
    std::vector<uint8_t> entry(64, 0);
    const uint8_t* data = in + dataOffset;
    uint64_t length = 0;
    if (function ==
        2) { // STORAGE_FIRMWARE_DOWNLOAD_V2: offset, buffer size, slot, image size, image
        if (dataLength < 32 || Le32(data) != 2 || Le32(data + 4) != 32)
            return req.Fail(kErrorInvalidParameter);
        const uint64_t offset = Le64(data + 8);
        length = Le64(data + 16);
        if (length == 0 || 32 + length > dataLength || (offset & 3))
            return req.Fail(kErrorInvalidParameter);
        entry[0] = 0x11;
        Put32(&entry[40], static_cast<uint32_t>((length - 1) / 4));
        Put32(&entry[44], static_cast<uint32_t>(offset / 4));
    } else if (function == 3) { // STORAGE_FIRMWARE_ACTIVATE: the slot to activate at byte 8
        if (dataLength < 12 || Le32(data) != 1 || Le32(data + 4) != 12)
            return req.Fail(kErrorInvalidParameter);
        entry[0] = 0x10;
        Put32(&entry[40], (data[8] & 7u) | (1u << 3));
    } else {
        return req.Fail(kErrorInvalidFunction);
    }
    req.rec->nvme = entry;
    if (Refused(m, req)) return false;
    if (!disk || !disk->nvme) return req.Fail(kErrorDeviceNotConnected);
    NvmeCompletion done = disk->nvme->Execute(entry.data(), function == 2 ? data + 32 : nullptr,
                                              static_cast<uint32_t>(length), nullptr, 0);
    if (done.status != 0) return req.Fail(kErrorIoDevice);
    if (req.out && req.outSize) std::memcpy(req.out, in, std::min<size_t>(size, req.outSize));
    return req.Succeed(0);
}

} // namespace sim
