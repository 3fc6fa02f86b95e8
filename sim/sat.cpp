// SCSI / ATA translation (SAT) in front of a SATA drive: ATA PASS-THROUGH (12) A1 and (16) 85
// CDBs, reached through SCSI pass-through on a SATA port, behind a USB bridge or a SAS adapter.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

// Bytes 1 and 2 of an ATA PASS-THROUGH CDB against the transfer the request carries: the
// PROTOCOL against the direction, OFF_LINE 0, T_TYPE 0 (512-byte blocks), T_DIR against the
// direction, and for a transfer BYTE_BLOCK 1 with T_LENGTH 2 (the count field), for none
// T_LENGTH 0. "" when they agree.
std::string ProtocolFault(uint8_t byte1, uint8_t byte2, bool dataIn, bool dataOut) {
    const uint8_t protocol = (byte1 >> 1) & 0x0F;
    if (byte1 & 0xE0) return "MULTIPLE_COUNT set";
    if (byte2 & 0xC0) return "OFF_LINE set";
    if (byte2 & 0x10) return "T_TYPE set";
    const uint8_t tDir = (byte2 >> 3) & 1, byteBlock = (byte2 >> 2) & 1, tLength = byte2 & 3;
    if (dataIn) {
        if (protocol != 4 && protocol != 6 && protocol != 10)
            return "PROTOCOL is not a data-in protocol";
        if (tDir != 1 || byteBlock != 1 || tLength != 2) return "byte 2 does not describe data in";
    } else if (dataOut) {
        if (protocol != 5 && protocol != 6 && protocol != 11)
            return "PROTOCOL is not a data-out protocol";
        if (tDir != 0 || byteBlock != 1 || tLength != 2) return "byte 2 does not describe data out";
    } else {
        if (protocol != 3) return "PROTOCOL is not non-data";
        if (tLength != 0 || tDir != 0) return "byte 2 describes a transfer";
    }
    return "";
}

} // namespace

void SatTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x) {
    const uint8_t* c = x.cdb;
    if (c[0] == 0x12) return Inquiry(disk, x, "SIMATA", "SATA Bridge");
    if (c[0] != 0xA1 && c[0] != 0x85) return x.Reject("opcode not supported by the SAT layer");
    AtaRegisters r;
    if (c[0] == 0xA1) {
        if (x.cdbLength != 12) return x.Reject("ATA PASS-THROUGH (12) with CdbLength not 12");
        if (c[1] & 1) return x.Reject("reserved bit 0 of byte 1 set in a 12-byte CDB");
        if (c[10] || c[11]) return x.Reject("reserved or control byte set");
        r.current[0] = c[3];
        r.current[1] = c[4];
        r.current[2] = c[5];
        r.current[3] = c[6];
        r.current[4] = c[7];
        r.current[5] = c[8];
        r.current[6] = c[9];
    } else {
        if (x.cdbLength != 16) return x.Reject("ATA PASS-THROUGH (16) with CdbLength not 16");
        if (c[15]) return x.Reject("control byte set");
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
    const bool in = x.length != 0 && x.dataIn == kScsiIoctlDataIn;
    const bool out = x.length != 0 && x.dataIn == kScsiIoctlDataOut;
    if (std::string why = ProtocolFault(c[1], c[2], in, out); !why.empty()) return x.Reject(why);
    if (std::string why = AtaRegisterFault(r, in, out, x.length); !why.empty())
        return x.Reject(why);
    if (Refused(m, req)) return;
    const Fault* f = req.fault;
    if (f && f->action == Fault::Action::CheckCondition) return x.CheckCondition(0x0B, 0x00, 0x1D);
    if (!disk.sata) return x.CheckCondition(0x05, 0x20, 0x00);
    AtaResult result;
    if (f && f->action == Fault::Action::AtaStatus) {
        result = AtaResult{f->status, 0x04};
    } else {
        result = disk.sata->Execute(r, out ? x.toDevice : nullptr, out ? x.length : 0,
                                    in ? &x.fromDevice : nullptr, in ? x.length : 0);
    }
    req.rec->ata_status = result.status;
    if (result.status & 0x09) {
        x.fromDevice.clear();
        x.CheckCondition(0x0B, 0x00, 0x1D); // ATA pass-through information available
    }
}

} // namespace sim
