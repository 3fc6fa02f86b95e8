// The ASMedia USB-to-NVMe bridge: its vendor CDBs reach it through SCSI pass-through.
// E6 runs Identify (opcode in byte 1, CNS in byte 3, NSID low byte in 7); EA/EB 5A carry an NVMe
// command in three phases (80 command: the 64-byte entry out; 81 data: runs it; 82 completion:
// 16 bytes in); EB 5A 02 answers the bridge information; EA 5A <mode> is power control.
#include "request_families.h"

#include "bytes.h"
#include "platform/requests.h"

#include <algorithm>
#include <cstring>

namespace sim {

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

} // namespace sim
