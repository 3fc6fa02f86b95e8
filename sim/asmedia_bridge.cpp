// The ASMedia USB-to-NVMe bridge: its vendor CDBs reach it through SCSI pass-through.
// E6 runs Identify (opcode in byte 1, CNS in byte 3, NSID low byte in 7); EA/EB 5A carry an NVMe
// command in three phases (80 command: the 64-byte entry out; 81 data: runs it; 82 completion:
// 16 bytes in); EB 5A 02 answers the bridge information; EA 5A <mode> is power control.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

bool Zero(const uint8_t* c, int from, int to) { // bytes from..to (inclusive) are 0
    for (int i = from; i <= to; ++i)
        if (c[i]) return false;
    return true;
}

// The bridge's direction code (CDB byte 4): 0 none, 1 from the drive, 2 to the drive.
int TransferOfCode(uint8_t dc) {
    return dc == 1 ? 2 : dc == 2 ? 1 : 0;
}

} // namespace

void AsmediaTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x) {
    const uint8_t* c = x.cdb;
    BridgeState& b = disk.bridge;
    if (c[0] == 0x12) return Inquiry(disk, x, "SIMUSB", "NVMe Bridge A");
    if (c[0] != 0xE6 && c[0] != 0xEA && c[0] != 0xEB)
        return x.Reject("opcode not supported by the bridge");
    if (x.cdbLength != 16) return x.Reject("vendor CDB with CdbLength not 16");
    const int transfer = TransferOf(x);
    if (c[0] == 0xE6) { // Identify: opcode in byte 1, CNS in byte 3, NSID low byte in 7
        if (c[1] != 0x06 || !Zero(c, 2, 2) || !Zero(c, 4, 6) || !Zero(c, 8, 15))
            return x.Reject("E6 with bytes other than opcode, CNS and NSID set");
        // An Identify with NSID 7F (all namespaces) answers 512 bytes, any other 4096.
        if (transfer != 2 || x.length != (c[7] == 0x7F ? 512u : 4096u))
            return x.Reject("E6 transfer is not a data-in of the Identify length");
        std::vector<uint8_t> entry(64, 0);
        entry[0] = c[1];
        Put32(&entry[4], c[7] == 0x7F ? 0xFFFFFFFFu : c[7]);
        Put32(&entry[40], c[3]);
        req.rec->nvme = entry;
        RunNvme(disk, entry, 2, x, x.length);
        return;
    }
    if (c[1] != 0x5A) return x.Reject("byte 1 is not 5A");
    const uint8_t phase = c[2];
    const uint8_t dc = c[4];
    if (c[0] == 0xEB && phase == 0x02) { // bridge information
        if (!Zero(c, 3, 9) || Be32(c + 10) != 16 || !Zero(c, 14, 15) || transfer != 2 ||
            x.length != 16)
            return x.Reject("information read is not 16 bytes in");
        x.fromDevice.assign(16, 0);
        PutPadded(x.fromDevice.data(), 8, "SIMBRA01");
        return;
    }
    if (phase == 0x80 || phase == 0x81 || phase == 0x82) {
        if (c[3] || dc > 2 || !Zero(c, 5, 9) || !Zero(c, 14, 15))
            return x.Reject("reserved bytes set or direction code over 2");
    }
    if (phase == 0x80) { // command phase: the 64-byte submission entry
        if (c[0] != 0xEA || Be32(c + 10) != 64 || transfer != 1 || x.length != 64)
            return x.Reject("command phase is not EA with 64 bytes out");
        if (NvmeOpcodeTransfer(x.toDevice[0]) != TransferOfCode(dc))
            return x.Reject("direction code disagrees with the NVMe opcode");
        if (b.pending && !b.dataDone) {
            ++b.sequenceErrors;
            x.note = "command phase while another command was pending";
        }
        b.entry.assign(x.toDevice, x.toDevice + 64);
        b.pending = true;
        b.dataDone = false;
        b.directionCode = dc;
        req.rec->nvme = b.entry;
        return;
    }
    if (phase == 0x81) { // data phase: runs the command
        if ((c[0] == 0xEA) != (dc == 2)) return x.Reject("EA/EB disagrees with the direction");
        if (Be32(c + 10) != x.length || transfer != TransferOfCode(dc))
            return x.Reject("data phase length or direction disagrees with the CDB");
        if (!b.pending || b.dataDone) {
            ++b.sequenceErrors;
            x.note = "data phase without a command phase";
            return x.CheckCondition(0x05, 0x2C, 0x00); // command sequence error
        }
        if (dc != b.directionCode) return x.Reject("direction code differs from the command phase");
        const int dir = TransferOfCode(dc);
        NvmeCompletion done = RunNvme(disk, b.entry, dir, x, x.length);
        b.completion = Completion(done, b.entry.data());
        b.dataDone = true;
        return;
    }
    if (phase == 0x82) { // completion phase
        if (c[0] != 0xEB || Be32(c + 10) != 16 || transfer != 2 || x.length != 16)
            return x.Reject("completion phase is not EB with 16 bytes in");
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
        if (!Zero(c, 3, 15) || x.length != 0)
            return x.Reject("power control with data or further bytes set");
        x.note = "bridge power control";
        if (m.onBridgePowerControl) m.onBridgePowerControl(disk, c[2]);
        return;
    }
    x.Reject("vendor CDB not modelled");
}

} // namespace sim
