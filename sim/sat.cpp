// SCSI / ATA translation (SAT) in front of a SATA drive: ATA PASS-THROUGH (12) A1 and (16) 85
// CDBs, reached through SCSI pass-through on a SATA port, behind a USB bridge or a SAS adapter.
#include "request_families.h"

#include "bytes.h"
#include "platform/requests.h"

#include <algorithm>
#include <cstring>

namespace sim {

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

} // namespace sim
