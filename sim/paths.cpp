// The driver stacks in front of the drives: routes each request that reaches a disk
// (\\.\PhysicalDriveN or its interface path) or a SCSI port device (\\.\scsiN:) to the file of its
// request family (see request_families.h), and the helpers those files share.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

std::vector<uint8_t> Sense(uint8_t key, uint8_t asc, uint8_t ascq) {
    std::vector<uint8_t> s(18, 0);
    s[0] = 0x70;
    s[2] = key;
    s[7] = 10;
    s[12] = asc;
    s[13] = ascq;
    return s;
}

std::vector<uint8_t> Completion(const NvmeCompletion& c, const uint8_t* entry) {
    std::vector<uint8_t> out(16, 0);
    Put32(&out[0], c.dw0);
    out[12] = entry[2]; // command identifier
    out[13] = entry[3];
    Put16(&out[14], static_cast<uint16_t>((c.status << 1) | 1));
    return out;
}

bool Refuse(Request& req, uint32_t error, const std::string& why) {
    req.rec->note = "refused: " + why;
    return req.Fail(error);
}

bool Refused(MachineImpl& m, Request& req) {
    const Fault* f = m.FaultFor(req, true);
    if (f && f->action == Fault::Action::Refuse) {
        req.rec->note = "refused by fault";
        req.Fail(f->error);
        return true;
    }
    return false;
}

bool BadReply(const Request& req) {
    return req.fault && req.fault->action == Fault::Action::BadReply;
}

void Invert(std::vector<uint8_t>& bytes) {
    for (auto& b : bytes)
        b = static_cast<uint8_t>(~b);
}

bool HandleDiskRequest(MachineImpl& m, Disk& disk, Request& req) {
    switch (req.code) {
    case kIoctlStorageGetDeviceNumber:
        return GetDeviceNumber(disk, req);
    case kIoctlStorageQueryProperty:
        return StorageQueryProperty(m, disk, req);
    case kIoctlScsiGetAddress:
        return ScsiGetAddress(disk, req);
    case kIoctlScsiPassThroughDirect:
        return PassThroughDirect(m, disk, req);
    case kIoctlAtaPassThroughDirect:
        return AtaPassThroughDirect(m, disk, req);
    case kIoctlStorageProtocolCommand:
        return ProtocolCommand(m, disk, req);
    case kIoctlStorageFirmwareDownload:
        return FirmwareDownload(m, disk, req);
    case kIoctlStorageFirmwareActivate:
        return FirmwareActivate(m, disk, req);
    default:
        return req.Fail(kErrorInvalidFunction);
    }
}

// The SCSI port device: only the RST driver answers the miniport channel.
bool HandlePortRequest(MachineImpl& m, int port, Request& req) {
    if (req.code != kIoctlScsiMiniport) return req.Fail(kErrorInvalidFunction);
    if (m.scsiPorts[port] != "rst") return req.Fail(kErrorInvalidFunction);
    return RstMiniport(m, port, req);
}

} // namespace sim
