// IOCTL_STORAGE_PROTOCOL_COMMAND of the in-box NVMe driver: a STORAGE_PROTOCOL_COMMAND with the
// 64-byte NVMe command at 80; only vendor-specific admin commands pass.
#include "request_families.h"

#include "bytes.h"
#include "platform/requests.h"

#include <algorithm>
#include <cstring>

namespace sim {

bool ProtocolCommand(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorInvalidFunction);
    const uint8_t* in = req.in.data();
    const size_t size = req.in.size();
    if (size < 80 + 64 || req.outSize < 80 + 64) return req.Fail(kErrorInvalidParameter);
    if (Le32(in) != kStorageProtocolStructureVersion ||
        Le32(in + 4) != sizeof(StorageProtocolCommand)) {
        req.rec->note = "Version or Length wrong";
        return req.Fail(kErrorInvalidParameter);
    }
    if (Le32(in + 8) != kProtocolTypeNvme || Le32(in + 24) != 64)
        return req.Fail(kErrorInvalidParameter);
    const uint32_t toLength = Le32(in + 32), fromLength = Le32(in + 36);
    const uint32_t toOffset = Le32(in + 48), fromOffset = Le32(in + 52);
    if (toLength && static_cast<uint64_t>(toOffset) + toLength > size)
        return req.Fail(kErrorInvalidParameter);
    if (fromLength && static_cast<uint64_t>(fromOffset) + fromLength > req.outSize)
        return req.Fail(kErrorInvalidParameter);
    const uint8_t* command = in + 80;
    req.rec->nvme.assign(command, command + 64);
    // The in-box driver passes only vendor-specific admin commands through.
    if (Le32(in + 56) != kStorageProtocolSpecificNvmeAdminCommand || command[0] < 0xC0) {
        req.rec->note = "not a vendor-specific admin command";
        return req.Fail(kErrorInvalidFunction);
    }
    if (Refused(m, req)) return false;
    if (!disk.nvme) return req.Fail(kErrorIoDevice);
    std::vector<uint8_t> data;
    NvmeCompletion done = disk.nvme->Execute(command, toLength ? in + toOffset : nullptr, toLength,
                                             fromLength ? &data : nullptr, fromLength);
    if (BadReply(req)) Invert(data);
    std::memcpy(req.out, in, std::min<size_t>(size, req.outSize));
    Put32(req.out + 16, done.status == 0 ? kStorageProtocolStatusSuccess : 2); // ReturnStatus
    Put32(req.out + 20, done.status);                                          // ErrorCode
    Put32(req.out + 64, done.dw0); // FixedProtocolReturnData
    if (fromLength) std::memcpy(req.out + fromOffset, data.data(), fromLength);
    return req.Succeed(req.outSize);
}

} // namespace sim
