// IOCTL_SCSI_PASS_THROUGH_DIRECT on a disk: decodes the request block, hands the CDB to the
// target of the disk's path (bridge, SAT or a plain disk) and writes back status, transferred
// length and sense. Also the standard INQUIRY reply and the bridges' run of an NVMe command.
#include "request_families.h"

#include "bytes.h"

#include <algorithm>
#include <cstring>

namespace sim {

void Inquiry(const Disk& disk, ScsiExchange& x, const char* vendor, const char* product) {
    const uint32_t allocation = x.cdb[4] | (x.cdb[3] << 8);
    if (x.cdbLength < 6) return x.Reject("INQUIRY with CdbLength under 6");
    if (x.cdb[1] != 0 || x.cdb[2] != 0 || x.cdb[5] != 0)
        return x.Reject("INQUIRY: EVPD, page code or control set");
    if (allocation && (x.dataIn != kScsiIoctlDataIn || x.length < allocation))
        return x.Reject("INQUIRY allocation length beyond a data-in transfer");
    std::vector<uint8_t> data(96, 0);
    data[0] = 0x00; // direct-access block device
    data[2] = 0x06;
    data[3] = 0x02;
    data[4] = static_cast<uint8_t>(data.size() - 5);
    PutPadded(&data[8], 8, vendor);
    PutPadded(&data[16], 16, product);
    PutPadded(&data[32], 4, "0100");
    data[36] = disk.inquiry36;
    data[37] = disk.inquiry37;
    data.resize(std::min<size_t>(data.size(), allocation));
    x.fromDevice = data;
}

// Runs the command of a bridge sequence on the NVMe drive. dir: 0 none, 1 to drive, 2 from drive.
NvmeCompletion RunNvme(Disk& disk, const std::vector<uint8_t>& entry, int dir, ScsiExchange& x,
                       uint32_t length) {
    if (!disk.nvme) {
        x.CheckCondition(0x04, 0x44, 0x00); // internal target failure: no drive behind the bridge
        return NvmeCompletion{0, kNvmeInvalidOpcode};
    }
    const uint32_t n = std::min(length, x.length);
    if (std::string why = NvmeEntryFault(entry.data(), dir, dir ? n : 0); !why.empty()) {
        // The drive completes the command with Invalid Field in Command; nothing moves.
        x.note = "refused: " + why;
        x.fromDevice.clear();
        return NvmeCompletion{0, kNvmeInvalidField};
    }
    if (dir == 1)
        return disk.nvme->Execute(entry.data(), x.toDevice, x.toDevice ? n : 0, nullptr, 0);
    if (dir == 2) {
        NvmeCompletion done = disk.nvme->Execute(entry.data(), nullptr, 0, &x.fromDevice, n);
        if (done.status != 0) x.fromDevice.clear(); // a failed command transfers nothing
        return done;
    }
    return disk.nvme->Execute(entry.data(), nullptr, 0, nullptr, 0);
}

namespace {

// Is this CDB the data phase of the command a bridge holds pending (ASMedia EA/EB 5A 81,
// JMicron A1 81/82/83)? A control block (all-zero entry) carries no command.
bool IsBridgeDataPhase(const Disk& disk, const ScsiExchange& x) {
    const BridgeState& b = disk.bridge;
    if (!b.pending || b.dataDone || b.entry.size() != 64 || x.cdbLength < 3) return false;
    if (std::all_of(b.entry.begin(), b.entry.end(), [](uint8_t v) { return v == 0; })) return false;
    const uint8_t* c = x.cdb;
    if (disk.kind == PathKind::Asmedia)
        return (c[0] == 0xEA || c[0] == 0xEB) && c[1] == 0x5A && c[2] == 0x81;
    if (disk.kind == PathKind::Jmicron) return c[0] == 0xA1 && (c[1] == 0x81 || c[1] == 0x82 || c[1] == 0x83);
    return false;
}

} // namespace

// IOCTL_SCSI_PASS_THROUGH_DIRECT on a disk.
bool PassThroughDirect(MachineImpl& m, Disk& disk, Request& req) {
    const SptdOffsets& L = kSptd;
    const uint8_t* in = req.in.data();
    if (req.in.size() < L.size || req.outSize < L.size)
        return Refuse(req, kErrorInvalidParameter, "request buffer shorter than the structure");
    if (Le16(in + L.length) != L.size)
        return Refuse(req, kErrorInvalidParameter, "Length is not the size of the structure");
    ScsiExchange x;
    x.cdbLength = in[L.cdbLength];
    const uint8_t senseLength = in[L.senseInfoLength];
    x.dataIn = in[L.dataIn];
    x.length = Le32(in + L.dataTransferLength);
    const uint32_t timeout = Le32(in + L.timeOutValue);
    uint8_t* buffer = ReadPointer(in + L.dataBuffer, L.pointerSize);
    const uint32_t senseOffset = Le32(in + L.senseInfoOffset);
    x.cdb = in + L.cdb;
    req.rec->timeout = timeout;
    req.rec->cdb.assign(x.cdb, x.cdb + std::min<uint8_t>(x.cdbLength, 16));
    if (in[L.scsiStatus] || in[L.pathId] || in[L.targetId] || in[L.lun])
        return Refuse(req, kErrorInvalidParameter, "ScsiStatus, PathId, TargetId or Lun not 0");
    if (x.cdbLength == 0 || x.cdbLength > 16)
        return Refuse(req, kErrorInvalidParameter, "CdbLength outside 1..16");
    if (x.dataIn > kScsiIoctlDataUnspecified)
        return Refuse(req, kErrorInvalidParameter, "DataIn is not 0, 1 or 2");
    if (timeout == 0 || timeout > kMaxTimeOutValue)
        return Refuse(req, kErrorInvalidParameter, "TimeOutValue 0 or over 30 hours");
    // The targets answer fixed-format sense data (18 bytes); the sense area lies after the
    // structure, 4-aligned, inside both buffers.
    if (senseLength < 18 || senseOffset < L.size || (senseOffset & 3) ||
        static_cast<uint64_t>(senseOffset) + senseLength > req.outSize ||
        static_cast<uint64_t>(senseOffset) + senseLength > req.in.size())
        return Refuse(req, kErrorInvalidParameter, "SenseInfoLength or SenseInfoOffset wrong");
    if (x.length && !buffer) return Refuse(req, kErrorInvalidParameter, "no DataBuffer");
    if (x.length && x.dataIn == kScsiIoctlDataUnspecified)
        return Refuse(req, kErrorInvalidParameter, "a transfer length without a direction");
    if (x.length && (reinterpret_cast<uintptr_t>(buffer) & disk.alignmentMask))
        return Refuse(req, kErrorInvalidParameter,
                      "DataBuffer not aligned to the adapter's alignment mask");
    if (x.dataIn == kScsiIoctlDataOut && x.length) {
        x.toDevice = buffer;
        req.rec->data_out = std::vector<uint8_t>(buffer, buffer + x.length);
    }
    // A data phase carries the pending command; let faults on the NVMe opcode see it.
    if (IsBridgeDataPhase(disk, x)) req.rec->nvme = disk.bridge.entry;
    if (Refused(m, req)) return false;
    const Fault* f = req.fault;
    if (f && f->action == Fault::Action::CheckCondition) {
        x.CheckCondition(0x05, 0x24, 0x00);
        req.rec->note = "check condition by fault";
    } else {
        switch (disk.kind) {
        case PathKind::Asmedia:
            AsmediaTarget(m, disk, req, x);
            break;
        case PathKind::Jmicron:
            JmicronTarget(m, disk, req, x);
            break;
        case PathKind::SataUsb:
        case PathKind::SataScsi:
        case PathKind::SataPort:
            SatTarget(m, disk, req, x);
            break;
        default:
            if (x.cdb[0] == 0x12)
                Inquiry(disk, x, "SIM", "Disk");
            else
                x.Reject("opcode not supported by this target");
        }
        if (!req.ok && req.error) return false; // refused inside the target
    }
    if (!x.note.empty()) req.rec->note = x.note;
    // The reply: the request block comes back with status, transferred length and sense.
    std::memcpy(req.out, in, std::min<size_t>(req.in.size(), req.outSize));
    req.out[L.scsiStatus] = x.status;
    req.rec->scsi_status = x.status;
    uint32_t transferred = 0;
    if (x.dataIn == kScsiIoctlDataIn) {
        transferred = static_cast<uint32_t>(std::min<size_t>(x.fromDevice.size(), x.length));
        std::vector<uint8_t> delivered(x.fromDevice.begin(), x.fromDevice.begin() + transferred);
        if (BadReply(req)) Invert(delivered);
        if (transferred) std::memcpy(buffer, delivered.data(), transferred);
        req.rec->data_in = delivered;
    } else if (x.dataIn == kScsiIoctlDataOut) {
        transferred = x.status == 0 ? x.length : 0;
    }
    Put32(req.out + L.dataTransferLength, transferred);
    if (!x.sense.empty()) {
        const size_t n = std::min<size_t>(senseLength, x.sense.size());
        std::memcpy(req.out + senseOffset, x.sense.data(), n);
    }
    return req.Succeed(req.outSize);
}

} // namespace sim
