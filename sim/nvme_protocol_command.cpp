// IOCTL_STORAGE_PROTOCOL_COMMAND of the in-box NVMe driver: a STORAGE_PROTOCOL_COMMAND with the
// 64-byte NVMe command at 80; only vendor-specific admin commands pass.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

bool ProtocolCommand(MachineImpl& m, Disk& disk, Request& req) {
    namespace c = protocol_command;
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorInvalidFunction);
    const uint8_t* in = req.in.data();
    const size_t size = req.in.size();
    const uint32_t commandEnd = c::kCommand + 64;
    if (size < commandEnd || req.outSize < commandEnd)
        return Refuse(req, kErrorInvalidParameter, "buffer shorter than the command");
    req.rec->timeout = Le32(in + c::kTimeOutValue);
    const uint8_t* command = in + c::kCommand;
    req.rec->nvme.assign(command, command + 64);
    if (Le32(in + c::kVersion) != kStorageProtocolStructureVersion ||
        Le32(in + c::kLength) != c::kStructureLength)
        return Refuse(req, kErrorInvalidParameter, "Version or Length wrong");
    if (Le32(in + c::kProtocolType) != kProtocolTypeNvme)
        return Refuse(req, kErrorInvalidParameter, "ProtocolType is not NVMe");
    if (Le32(in + c::kFlags) != kStorageProtocolCommandFlagAdapterRequest)
        return Refuse(req, kErrorInvalidParameter, "Flags is not the adapter-request flag");
    if (Le32(in + c::kReturnStatus) || Le32(in + c::kErrorCode) || Le32(in + c::kReserved0) ||
        Le32(in + c::kFixedReturnData) || Le32(in + c::kReserved1) ||
        Le32(in + c::kReserved1 + 4) || Le32(in + c::kReserved1 + 8))
        return Refuse(req, kErrorInvalidParameter, "status, return data or reserved not 0");
    if (Le32(in + c::kCommandLength) != 64)
        return Refuse(req, kErrorInvalidParameter, "CommandLength is not 64");
    if (Le32(in + c::kErrorInfoLength) || Le32(in + c::kErrorInfoOffset))
        return Refuse(req, kErrorInvalidParameter, "error info asked for");
    const uint32_t timeout = Le32(in + c::kTimeOutValue);
    if (timeout == 0 || timeout > kMaxTimeOutValue)
        return Refuse(req, kErrorInvalidParameter, "TimeOutValue 0 or over 30 hours");
    if (Le32(in + c::kCommandSpecific) != kStorageProtocolSpecificNvmeAdminCommand)
        return Refuse(req, kErrorInvalidFunction, "CommandSpecific is not an admin command");
    const uint32_t toLength = Le32(in + c::kToDeviceLength);
    const uint32_t fromLength = Le32(in + c::kFromDeviceLength);
    const uint32_t toOffset = Le32(in + c::kToDeviceOffset);
    const uint32_t fromOffset = Le32(in + c::kFromDeviceOffset);
    if (toLength && fromLength)
        return Refuse(req, kErrorInvalidParameter, "data to and from the device at once");
    // The data areas lie after the command, 4-aligned, inside both buffers.
    auto areaFits = [&](uint32_t offset, uint32_t length) {
        const uint64_t end = static_cast<uint64_t>(offset) + length;
        return offset >= commandEnd && (offset & 3) == 0 && end <= size && end <= req.outSize;
    };
    if ((toLength && !areaFits(toOffset, toLength)) ||
        (fromLength && !areaFits(fromOffset, fromLength)))
        return Refuse(req, kErrorInvalidParameter, "data area outside the buffer or misplaced");
    // The in-box driver passes only vendor-specific admin commands through.
    if (command[0] < 0xC0)
        return Refuse(req, kErrorInvalidFunction, "not a vendor-specific admin command");
    if (Refused(m, req)) return false;
    if (!disk.nvme) return req.Fail(kErrorIoDevice);
    const int transfer = toLength ? 1 : fromLength ? 2 : 0;
    std::vector<uint8_t> data;
    NvmeCompletion done;
    if (std::string why = NvmeEntryFault(command, transfer, toLength + fromLength); !why.empty()) {
        req.rec->note = "refused: " + why;
        done = NvmeCompletion{0, kNvmeInvalidField};
        if (fromLength) data.assign(fromLength, 0);
    } else {
        done = disk.nvme->Execute(command, toLength ? in + toOffset : nullptr, toLength,
                                  fromLength ? &data : nullptr, fromLength);
    }
    if (BadReply(req)) Invert(data);
    std::memcpy(req.out, in, std::min<size_t>(size, req.outSize));
    Put32(req.out + c::kReturnStatus,
          done.status == 0 ? kStorageProtocolStatusSuccess : kStorageProtocolStatusError);
    Put32(req.out + c::kErrorCode, done.status);
    Put32(req.out + c::kFixedReturnData, done.dw0);
    if (fromLength) std::memcpy(req.out + fromOffset, data.data(), fromLength);
    return req.Succeed(req.outSize);
}

} // namespace sim
