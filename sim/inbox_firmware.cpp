// The in-box NVMe driver's firmware requests, decoded with this file's own offsets:
//
// IOCTL_STORAGE_FIRMWARE_DOWNLOAD (STORAGE_HW_FIRMWARE_DOWNLOAD): Version 0, Size 4, Flags 8,
// Slot 12, Reserved 13-15, Offset 16 (64-bit), BufferSize 24 (64-bit), the image piece at 32.
// The driver turns it into a Firmware Image Download (NUMD and OFST from BufferSize and Offset).
//
// IOCTL_STORAGE_FIRMWARE_ACTIVATE (STORAGE_HW_FIRMWARE_ACTIVATE): Version 0, Size 4, Flags 8,
// Slot 12, Reserved 13-15. The driver turns it into a Firmware Commit: action 1 (replace, active
// at the next reset) without the switch-to-existing flag, action 2 with it.
//
// Every fixed field is checked; a wrong one fails the request with ERROR_INVALID_PARAMETER and
// nothing reaches the drive. A drive that completes the command with an error status fails the
// request with ERROR_IO_DEVICE. A refusal on demand armed on the control code alone stops the
// request before the driver; one armed on the NVMe command (opcode 0x11 or 0x10) stops it in
// the driver, except an activate refused with last error 197127: that one has reached the
// drive, and the driver reports with it that the image waits for the next reset.
#include "request_families.h"

#include "bytes.h"

#include <cstring>

namespace sim {
namespace {

constexpr uint32_t kDownloadVersion = 40; // the structure's size with its image area rounded
constexpr uint32_t kDownloadHeader = 32;  // the piece starts here
constexpr uint32_t kActivateSize = 16;
constexpr uint32_t kFlagController = 0x00000001;
constexpr uint32_t kFlagSwitchToExisting = 0x80000000u;
constexpr uint8_t kSlot = 1;             // the one slot this driver is asked for
constexpr uint64_t kLargestPiece = 4096; // the drive's largest Firmware Image Download
constexpr uint32_t kErrorInvalidParameterCode = 87;
constexpr uint32_t kErrorIoDeviceCode = 1117;
constexpr uint32_t kErrorInvalidFunctionCode = 1;
constexpr uint32_t kActivateResetPending = 197127;

bool Refuse(Request& req, const char* why) {
    req.rec->note = why;
    return req.Fail(kErrorInvalidParameterCode);
}

// The refusal on demand of the decoded command, if one fires (faults on the path, the drive
// or the control code alone were decided before the request got here).
const Fault* Demanded(MachineImpl& m, Request& req) {
    const Fault* f = m.FaultFor(req, true);
    return f && f->action == Fault::Action::Refuse ? f : nullptr;
}

} // namespace

bool FirmwareDownload(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorInvalidFunctionCode);
    const uint8_t* in = req.in.data();
    const size_t size = req.in.size();
    if (size < kDownloadHeader) return Refuse(req, "shorter than the download structure");
    const uint32_t version = Le32(in), declared = Le32(in + 4), flags = Le32(in + 8);
    const uint8_t slot = in[12];
    const uint64_t offset = Le64(in + 16), length = Le64(in + 24);
    if (version != kDownloadVersion) return Refuse(req, "Version is not 40");
    if (flags != kFlagController) return Refuse(req, "Flags is not the controller flag");
    if (slot != kSlot || in[13] || in[14] || in[15]) return Refuse(req, "Slot or Reserved wrong");
    if (length == 0 || length > kLargestPiece) return Refuse(req, "BufferSize 0 or too large");
    if (declared < kDownloadHeader + length) return Refuse(req, "Size less than 32 + BufferSize");
    if (declared > size) return Refuse(req, "Size beyond the input buffer");
    if (offset & 3) return Refuse(req, "Offset not a multiple of 4");
    if (offset + length > 0xFFFFFFFFull * 4) return Refuse(req, "Offset too large");
    std::vector<uint8_t> entry(64, 0);
    entry[0] = 0x11;
    Put32(&entry[40], static_cast<uint32_t>((length - 1) / 4));
    Put32(&entry[44], static_cast<uint32_t>(offset / 4));
    req.rec->nvme = entry;
    if (const Fault* f = Demanded(m, req)) {
        req.rec->note = "refused by fault";
        return req.Fail(f->error);
    }
    if (!disk.nvme) return req.Fail(kErrorIoDeviceCode);
    const NvmeCompletion done = disk.nvme->Execute(entry.data(), in + kDownloadHeader,
                                                   static_cast<uint32_t>(length), nullptr, 0);
    if (done.status != 0) {
        req.rec->note = "the drive completed it with an error status";
        return req.Fail(kErrorIoDeviceCode);
    }
    return req.Succeed(0);
}

bool FirmwareActivate(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorInvalidFunctionCode);
    const uint8_t* in = req.in.data();
    if (req.in.size() < kActivateSize) return Refuse(req, "shorter than the activate structure");
    const uint32_t flags = Le32(in + 8);
    const uint8_t slot = in[12];
    if (Le32(in) != kActivateSize || Le32(in + 4) != kActivateSize)
        return Refuse(req, "Version or Size is not 16");
    if (flags != kFlagController && flags != (kFlagController | kFlagSwitchToExisting))
        return Refuse(req, "Flags wrong");
    if (slot == 0 || slot > 7 || in[13] || in[14] || in[15])
        return Refuse(req, "Slot or Reserved wrong");
    const uint32_t action = (flags & kFlagSwitchToExisting) ? 2 : 1;
    std::vector<uint8_t> entry(64, 0);
    entry[0] = 0x10;
    Put32(&entry[40], slot | (action << 3));
    req.rec->nvme = entry;
    const Fault* f = Demanded(m, req);
    if (f && f->error != kActivateResetPending) {
        req.rec->note = "refused by fault";
        return req.Fail(f->error);
    }
    if (!disk.nvme) return req.Fail(kErrorIoDeviceCode);
    const NvmeCompletion done = disk.nvme->Execute(entry.data(), nullptr, 0, nullptr, 0);
    if (done.status != 0) {
        req.rec->note = "the drive completed it with an error status";
        return req.Fail(kErrorIoDeviceCode);
    }
    if (f) {
        req.rec->note = "committed; the driver reports that activation waits for a reset";
        return req.Fail(kActivateResetPending);
    }
    return req.Succeed(0);
}

} // namespace sim
