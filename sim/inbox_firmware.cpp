// The in-box NVMe driver's firmware requests: IOCTL_STORAGE_FIRMWARE_DOWNLOAD (a piece of the
// image at an offset) and IOCTL_STORAGE_FIRMWARE_ACTIVATE (commit a slot).
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

bool FirmwareDownload(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorInvalidFunction);
    const uint8_t* in = req.in.data();
    if (req.in.size() < 32 || Le32(in) != hw_firmware::kDownloadSize)
        return req.Fail(kErrorInvalidParameter);
    const uint64_t offset = Le64(in + 16), length = Le64(in + 24);
    if (length == 0 || 32 + length > req.in.size() || (offset & 3) || (length & 3 && length > 4096))
        return req.Fail(kErrorInvalidParameter);
    std::vector<uint8_t> entry(64, 0);
    entry[0] = 0x11;
    Put32(&entry[40], static_cast<uint32_t>((length - 1) / 4));
    Put32(&entry[44], static_cast<uint32_t>(offset / 4));
    req.rec->nvme = entry;
    if (Refused(m, req)) return false;
    if (!disk.nvme) return req.Fail(kErrorIoDevice);
    NvmeCompletion done =
        disk.nvme->Execute(entry.data(), in + 32, static_cast<uint32_t>(length), nullptr, 0);
    if (done.status != 0) return req.Fail(kErrorIoDevice);
    return req.Succeed(0);
}

bool FirmwareActivate(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorInvalidFunction);
    const uint8_t* in = req.in.data();
    if (req.in.size() < hw_firmware::kActivateSize ||
        Le32(in) != hw_firmware::kActivateSize)
        return req.Fail(kErrorInvalidParameter);
    const uint32_t flags = Le32(in + 8);
    const uint8_t slot = in[12];
    const uint32_t action = (flags & kStorageHwFirmwareRequestFlagSwitchToExistingFirmware) ? 2 : 1;
    std::vector<uint8_t> entry(64, 0);
    entry[0] = 0x10;
    Put32(&entry[40], (slot & 7u) | (action << 3));
    req.rec->nvme = entry;
    if (Refused(m, req)) return false;
    if (!disk.nvme) return req.Fail(kErrorIoDevice);
    NvmeCompletion done = disk.nvme->Execute(entry.data(), nullptr, 0, nullptr, 0);
    if (done.status != 0) return req.Fail(kErrorIoDevice);
    return req.Succeed(0);
}
} // namespace sim
