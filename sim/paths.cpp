// The driver stacks in front of the drives: what each path does with the requests that reach
// a disk (\\.\PhysicalDriveN or its interface path) or a SCSI port device (\\.\scsiN:).
#include "machine_impl.h"

#include "bytes.h"
#include "platform/requests.h"

#include <algorithm>
#include <cstring>

namespace sim {
namespace {

const PassThroughLayout& L = kPassThroughLayoutNative;

// Fixed-format sense data.
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

// ---- SCSI targets ---------------------------------------------------------------------------

// What a SCSI target makes of one CDB.
struct ScsiExchange {
    const uint8_t* cdb = nullptr;
    uint8_t cdbLength = 0;
    uint8_t dataIn = kScsiIoctlDataUnspecified;
    const uint8_t* toDevice = nullptr; // data sent (DataIn = data out)
    uint32_t length = 0;               // DataTransferLength
    // Results.
    uint8_t status = 0;
    std::vector<uint8_t> sense;
    std::vector<uint8_t> fromDevice; // data returned (at most length bytes are delivered)
    std::string note;

    void CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq) {
        status = kScsiStatusCheckCondition;
        sense = Sense(key, asc, ascq);
    }
    void IllegalRequest() { CheckCondition(0x05, 0x24, 0x00); }
};

void Inquiry(const Disk& disk, ScsiExchange& x, const char* vendor, const char* product) {
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
    const uint32_t allocation = x.cdb[4] | (x.cdb[3] << 8);
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
    if (dir == 1)
        return disk.nvme->Execute(entry.data(), x.toDevice, x.toDevice ? n : 0, nullptr, 0);
    if (dir == 2) {
        NvmeCompletion done = disk.nvme->Execute(entry.data(), nullptr, 0, &x.fromDevice, n);
        if (done.status != 0) x.fromDevice.clear(); // a failed command transfers nothing
        return done;
    }
    return disk.nvme->Execute(entry.data(), nullptr, 0, nullptr, 0);
}

void AsmediaTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x) {
    const uint8_t* c = x.cdb;
    BridgeState& b = disk.bridge;
    if (c[0] == 0x12) return Inquiry(disk, x, "SIMUSB", "NVMe Bridge A");
    if (c[0] == 0xEB && c[1] == 0x5A && c[2] == 0x02) { // bridge information
        x.fromDevice.assign(16, 0);
        PutPadded(x.fromDevice.data(), 8, "SIMBRA01");
        return;
    }
    if (c[0] == 0xE6) { // Identify: opcode in byte 1, CNS in byte 3, NSID low byte in 7
        std::vector<uint8_t> entry(64, 0);
        entry[0] = c[1];
        Put32(&entry[4], c[7] == 0x7F ? 0xFFFFFFFFu : c[7]);
        Put32(&entry[40], c[3]);
        req.rec->nvme = entry;
        RunNvme(disk, entry, 2, x, x.length);
        return;
    }
    if ((c[0] == 0xEA || c[0] == 0xEB) && c[1] == 0x5A) {
        const uint8_t phase = c[2];
        const uint8_t dc = c[4];
        if (phase == 0x80) { // command phase: the 64-byte submission entry
            if (c[0] != 0xEA || x.dataIn != kScsiIoctlDataOut || x.length < 64 || !x.toDevice)
                return x.IllegalRequest();
            if (b.pending && !b.dataDone) {
                ++b.sequenceErrors;
                x.note = "command phase while another command was pending";
            }
            b.entry.assign(x.toDevice, x.toDevice + 64);
            b.pending = true;
            b.dataDone = false;
            req.rec->nvme = b.entry;
            return;
        }
        if (phase == 0x81) { // data phase: runs the command
            if (!b.pending || b.dataDone) {
                ++b.sequenceErrors;
                x.note = "data phase without a command phase";
                return x.CheckCondition(0x05, 0x2C, 0x00); // command sequence error
            }
            const uint32_t length = Be32(c + 10);
            const int dir = dc == 2 ? 1 : dc == 1 ? 2 : 0;
            NvmeCompletion done = RunNvme(disk, b.entry, dir, x, length);
            b.completion = Completion(done, b.entry.data());
            b.dataDone = true;
            return;
        }
        if (phase == 0x82) { // completion phase
            if (!b.pending || !b.dataDone) {
                ++b.sequenceErrors;
                x.note = "completion phase without a data phase";
                b.pending = false;
                return x.CheckCondition(0x05, 0x2C, 0x00);
            }
            x.fromDevice = b.completion;
            b.pending = false;
            b.dataDone = false;
            return;
        }
        if (c[0] == 0xEA) { // power control: EA 5A mode, no data
            x.note = "bridge power control";
            if (m.onBridgePowerControl) m.onBridgePowerControl(disk, c[2]);
            return;
        }
    }
    x.IllegalRequest();
}

void JmicronTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x) {
    const uint8_t* c = x.cdb;
    BridgeState& b = disk.bridge;
    if (c[0] == 0x12) return Inquiry(disk, x, "SIMUSB", "NVMe Bridge J");
    if (c[0] == 0xA1 && (c[1] & 0x80)) {
        const uint8_t sub = c[1];
        const uint32_t length = Be24(c + 3);
        if (sub == 0x80) { // command phase: 512-byte block "NVME", 4 zero bytes, the entry
            if (x.dataIn != kScsiIoctlDataOut || length != 512 || x.length < 512 || !x.toDevice)
                return x.IllegalRequest();
            if (std::memcmp(x.toDevice, "NVME", 4) != 0) return x.CheckCondition(0x05, 0x26, 0x00);
            if (b.pending && !b.dataDone) {
                ++b.sequenceErrors;
                x.note = "command phase while another command was pending";
            }
            b.entry.assign(x.toDevice + 8, x.toDevice + 72);
            b.pending = true;
            b.dataDone = false;
            b.controlMode = x.toDevice[72];
            if (std::all_of(b.entry.begin(), b.entry.end(), [](uint8_t v) { return v == 0; })) {
                x.note = "bridge control block";
            } else {
                req.rec->nvme = b.entry;
            }
            return;
        }
        if (sub == 0x81 || sub == 0x82 || sub == 0x83) { // data phase
            if (!b.pending || b.dataDone) {
                ++b.sequenceErrors;
                x.note = "data phase without a command phase";
                return x.CheckCondition(0x05, 0x2C, 0x00);
            }
            b.dataDone = true;
            if (std::all_of(b.entry.begin(), b.entry.end(), [](uint8_t v) { return v == 0; })) {
                // A control block carries no command: its mode acts at the data phase.
                b.completion.assign(16, 0);
                x.note = "bridge power control";
                if (m.onBridgePowerControl) m.onBridgePowerControl(disk, b.controlMode);
                return;
            }
            const int dir = sub == 0x83 ? 1 : sub == 0x82 ? 2 : 0;
            NvmeCompletion done = RunNvme(disk, b.entry, dir, x, length);
            b.completion = Completion(done, b.entry.data());
            return;
        }
        if (sub == 0x8F) { // completion phase: 512 bytes, the completion entry at 8
            if (!b.pending || !b.dataDone) {
                ++b.sequenceErrors;
                x.note = "completion phase without a data phase";
                b.pending = false;
                return x.CheckCondition(0x05, 0x2C, 0x00);
            }
            x.fromDevice.assign(512, 0);
            std::memcpy(x.fromDevice.data(), "NVME", 4);
            std::copy(b.completion.begin(), b.completion.end(), x.fromDevice.begin() + 8);
            b.pending = false;
            b.dataDone = false;
            return;
        }
    }
    x.IllegalRequest();
}

// ATA PASS-THROUGH (12) and (16) of SCSI / ATA translation to a SATA drive.
void SatTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x) {
    const uint8_t* c = x.cdb;
    if (c[0] == 0x12) return Inquiry(disk, x, "SIMATA", "SATA Bridge");
    if (c[0] != 0xA1 && c[0] != 0x85) return x.IllegalRequest();
    AtaRegisters r;
    if (c[0] == 0xA1) {
        if (x.cdbLength < 12) return x.IllegalRequest();
        r.current[0] = c[3];
        r.current[1] = c[4];
        r.current[2] = c[5];
        r.current[3] = c[6];
        r.current[4] = c[7];
        r.current[5] = c[8];
        r.current[6] = c[9];
    } else {
        if (x.cdbLength < 16) return x.IllegalRequest();
        r.is48 = (c[1] & 1) != 0;
        r.previous[0] = c[3];
        r.current[0] = c[4];
        r.previous[1] = c[5];
        r.current[1] = c[6];
        r.previous[2] = c[7];
        r.current[2] = c[8];
        r.previous[3] = c[9];
        r.current[3] = c[10];
        r.previous[4] = c[11];
        r.current[4] = c[12];
        r.current[5] = c[13];
        r.current[6] = c[14];
    }
    req.rec->ata.assign(r.previous, r.previous + 8);
    req.rec->ata.insert(req.rec->ata.end(), r.current, r.current + 8);
    if (Refused(m, req)) return;
    const Fault* f = req.fault;
    if (f && f->action == Fault::Action::CheckCondition) return x.CheckCondition(0x0B, 0x00, 0x1D);
    if (!disk.sata) return x.CheckCondition(0x05, 0x20, 0x00);
    AtaResult result;
    if (f && f->action == Fault::Action::AtaStatus) {
        result = AtaResult{f->status, 0x04};
    } else {
        const bool in = x.dataIn == kScsiIoctlDataIn;
        const bool out = x.dataIn == kScsiIoctlDataOut;
        result = disk.sata->Execute(r, out ? x.toDevice : nullptr, out ? x.length : 0,
                                    in ? &x.fromDevice : nullptr, in ? x.length : 0);
    }
    req.rec->ata_status = result.status;
    if (result.status & 0x09) {
        x.fromDevice.clear();
        x.CheckCondition(0x0B, 0x00, 0x1D); // ATA pass-through information available
    }
}

// IOCTL_SCSI_PASS_THROUGH_DIRECT on a disk.
bool PassThroughDirect(MachineImpl& m, Disk& disk, Request& req) {
    const uint8_t* in = req.in.data();
    if (req.in.size() < L.sptdSize || req.outSize < L.sptdSize)
        return req.Fail(kErrorInvalidParameter);
    if (Le16(in) != L.sptdSize) {
        req.rec->note = "Length is not the size of the structure";
        return req.Fail(kErrorInvalidParameter);
    }
    ScsiExchange x;
    x.cdbLength = in[6];
    const uint8_t senseLength = in[7];
    x.dataIn = in[8];
    x.length = Le32(in + L.sptdDataTransferLength);
    uint8_t* buffer = ReadPointer(in + L.sptdDataBuffer, L.pointerSize);
    const uint32_t senseOffset = Le32(in + L.sptdSenseInfoOffset);
    x.cdb = in + L.sptdCdb;
    if (x.cdbLength == 0 || x.cdbLength > 16 || x.dataIn > 2)
        return req.Fail(kErrorInvalidParameter);
    if (senseLength && (senseOffset < L.sptdSize || senseOffset + senseLength > req.outSize)) {
        req.rec->note = "sense area outside the request buffer";
        return req.Fail(kErrorInvalidParameter);
    }
    if (x.length && !buffer) return req.Fail(kErrorInvalidParameter);
    req.rec->cdb.assign(x.cdb, x.cdb + x.cdbLength);
    if (x.dataIn == kScsiIoctlDataOut && x.length) {
        x.toDevice = buffer;
        req.rec->data_out = std::vector<uint8_t>(buffer, buffer + x.length);
    }
    // A data phase carries the pending command; let faults on the NVMe opcode see it.
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
                x.IllegalRequest();
        }
        if (!req.ok && req.error) return false; // refused inside the target
    }
    if (!x.note.empty()) req.rec->note = x.note;
    // The reply: the request block comes back with status, transferred length and sense.
    std::memcpy(req.out, in, std::min<size_t>(req.in.size(), req.outSize));
    req.out[2] = x.status; // ScsiStatus
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
    Put32(req.out + L.sptdDataTransferLength, transferred);
    if (!x.sense.empty() && senseLength) {
        const size_t n = std::min<size_t>(senseLength, x.sense.size());
        std::memcpy(req.out + senseOffset, x.sense.data(), n);
    }
    return req.Succeed(req.outSize);
}

// IOCTL_ATA_PASS_THROUGH_DIRECT on a SATA port.
bool AtaPassThroughDirect(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::SataPort || !disk.ataPassThrough)
        return req.Fail(kErrorInvalidFunction);
    const uint8_t* in = req.in.data();
    if (req.in.size() < L.aptdSize || req.outSize < L.aptdSize)
        return req.Fail(kErrorInvalidParameter);
    if (Le16(in) != L.aptdSize) {
        req.rec->note = "Length is not the size of the structure";
        return req.Fail(kErrorInvalidParameter);
    }
    const uint16_t flags = Le16(in + 2);
    const uint32_t length = Le32(in + L.aptdDataTransferLength);
    uint8_t* buffer = ReadPointer(in + L.aptdDataBuffer, L.pointerSize);
    if (length && !buffer) return req.Fail(kErrorInvalidParameter);
    AtaRegisters r;
    std::memcpy(r.previous, in + L.aptdPreviousTaskFile, 8);
    std::memcpy(r.current, in + L.aptdCurrentTaskFile, 8);
    r.is48 = (flags & kAtaFlags48BitCommand) != 0;
    req.rec->ata.assign(r.previous, r.previous + 8);
    req.rec->ata.insert(req.rec->ata.end(), r.current, r.current + 8);
    const bool dataIn = (flags & kAtaFlagsDataIn) != 0;
    const bool dataOut = (flags & kAtaFlagsDataOut) != 0;
    if (dataOut && length) req.rec->data_out = std::vector<uint8_t>(buffer, buffer + length);
    if (Refused(m, req)) return false;
    AtaResult result;
    std::vector<uint8_t> fromDrive;
    if (req.fault && req.fault->action == Fault::Action::AtaStatus) {
        result = AtaResult{req.fault->status, 0x04};
        req.rec->note = "status by fault";
    } else if (!disk.sata) {
        result = AtaResult{kAtaStatusError, 0x04};
    } else {
        result = disk.sata->Execute(r, dataOut ? buffer : nullptr, dataOut ? length : 0,
                                    dataIn ? &fromDrive : nullptr, dataIn ? length : 0);
    }
    std::memcpy(req.out, in, std::min<size_t>(req.in.size(), req.outSize));
    req.out[L.aptdCurrentTaskFile + 0] = result.error;
    req.out[L.aptdCurrentTaskFile + 6] = result.status;
    req.rec->ata_status = result.status;
    if (dataIn && !(result.status & 0x09)) {
        if (BadReply(req)) Invert(fromDrive);
        if (length && !fromDrive.empty())
            std::memcpy(buffer, fromDrive.data(), std::min<size_t>(length, fromDrive.size()));
        req.rec->data_in = fromDrive;
    }
    return req.Succeed(L.aptdSize);
}

// ---- in-box NVMe driver ---------------------------------------------------------------------

bool ProtocolQuery(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorNotSupported);
    if (req.in.size() < sizeof(StorageProtocolQuery)) return req.Fail(kErrorInvalidParameter);
    const uint8_t* s = req.in.data() + 8; // STORAGE_PROTOCOL_SPECIFIC_DATA
    const uint32_t protocol = Le32(s), dataType = Le32(s + 4), value = Le32(s + 8),
                   subValue = Le32(s + 12);
    const uint32_t offset = Le32(s + 16), length = Le32(s + 20);
    if (protocol != kProtocolTypeNvme) return req.Fail(kErrorInvalidParameter);
    if (dataType != kNvmeDataTypeIdentify) return req.Fail(kErrorNotSupported);
    if (offset < sizeof(StorageProtocolSpecificData) || length == 0)
        return req.Fail(kErrorInvalidParameter);
    if (static_cast<uint64_t>(8) + offset + length > req.outSize)
        return req.Fail(kErrorInsufficientBuffer);
    std::vector<uint8_t> entry(64, 0);
    entry[0] = 0x06;
    Put32(&entry[4], subValue);
    Put32(&entry[40], value);
    req.rec->nvme = entry;
    if (Refused(m, req)) return false;
    if (!disk.nvme) return req.Fail(kErrorIoDevice);
    std::vector<uint8_t> data;
    NvmeCompletion done = disk.nvme->Execute(entry.data(), nullptr, 0, &data, length);
    if (done.status != 0) return req.Fail(kErrorIoDevice);
    if (BadReply(req)) Invert(data);
    std::memcpy(req.out, req.in.data(), std::min<size_t>(req.in.size(), req.outSize));
    Put32(req.out, sizeof(StorageProtocolDataDescriptor));
    Put32(req.out + 4, sizeof(StorageProtocolDataDescriptor));
    Put32(req.out + 8 + 24, done.dw0); // FixedProtocolReturnData
    std::memcpy(req.out + 8 + offset, data.data(), length);
    return req.Succeed(8 + offset + length);
}

bool DeviceDescriptor(Disk& disk, Request& req) {
    std::vector<uint8_t> d(40, 0);
    const char* strings = "SIM\0Disk\0"
                          "0100\0"
                          "SIM0\0";
    d.insert(d.end(), strings, strings + 20);
    Put32(&d[0], 40);
    Put32(&d[4], static_cast<uint32_t>(d.size()));
    Put32(&d[12], 40);
    Put32(&d[16], 44);
    Put32(&d[20], 49);
    Put32(&d[24], 54);
    Put32(&d[28], disk.busType);
    if (req.outSize < 8) return req.Fail(kErrorInsufficientBuffer);
    const uint32_t n = std::min<uint32_t>(req.outSize, static_cast<uint32_t>(d.size()));
    std::memcpy(req.out, d.data(), n);
    return req.Succeed(n);
}

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

bool FirmwareDownload(MachineImpl& m, Disk& disk, Request& req) {
    if (disk.kind != PathKind::InboxNvme) return req.Fail(kErrorInvalidFunction);
    const uint8_t* in = req.in.data();
    if (req.in.size() < 32 || Le32(in) != sizeof(StorageHwFirmwareDownload))
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
    if (req.in.size() < sizeof(StorageHwFirmwareActivate) ||
        Le32(in) != sizeof(StorageHwFirmwareActivate))
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

} // namespace

bool HandleDiskRequest(MachineImpl& m, Disk& disk, Request& req) {
    switch (req.code) {
    case kIoctlStorageGetDeviceNumber:
        if (req.outSize < sizeof(StorageDeviceNumber)) return req.Fail(kErrorInsufficientBuffer);
        Put32(req.out, kFileDeviceDisk);
        Put32(req.out + 4, static_cast<uint32_t>(disk.number));
        Put32(req.out + 8, 0);
        return req.Succeed(sizeof(StorageDeviceNumber));
    case kIoctlStorageQueryProperty: {
        if (req.in.size() < 8) return req.Fail(kErrorInvalidParameter);
        const uint32_t property = Le32(req.in.data()), query = Le32(req.in.data() + 4);
        if (query != kPropertyStandardQuery) return req.Fail(kErrorInvalidFunction);
        if (property == kStorageDeviceProperty) return DeviceDescriptor(disk, req);
        if (property == kStorageAdapterProtocolSpecificProperty ||
            property == kStorageDeviceProtocolSpecificProperty)
            return ProtocolQuery(m, disk, req);
        return req.Fail(kErrorNotSupported);
    }
    case kIoctlScsiGetAddress:
        if (!disk.scsi) return req.Fail(kErrorInvalidFunction);
        if (req.outSize < sizeof(ScsiAddress)) return req.Fail(kErrorInsufficientBuffer);
        Put32(req.out, sizeof(ScsiAddress));
        req.out[4] = disk.scsi->port;
        req.out[5] = disk.scsi->path;
        req.out[6] = disk.scsi->target;
        req.out[7] = disk.scsi->lun;
        return req.Succeed(sizeof(ScsiAddress));
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

namespace {

// "IntelFw " requests: a firmware request block at 32 and its payload at its data offset;
// function 2 downloads a piece, function 3 activates. Sent without an output buffer.
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

} // namespace

// The SCSI port device: the RST driver answers the "IntelNvm" and "IntelFw " miniport
// channels.
bool HandlePortRequest(MachineImpl& m, int port, Request& req) {
    if (req.code != kIoctlScsiMiniport) return req.Fail(kErrorInvalidFunction);
    if (m.scsiPorts[port] != "rst") return req.Fail(kErrorInvalidFunction);
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
