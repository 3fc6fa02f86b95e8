// The JMicron USB-to-NVMe bridge: its vendor CDB A1 with sub-code 80 (command phase, a 512-byte
// block "NVME", 4 zero bytes, the 64-byte entry, power-control mode at byte 72), 81/82/83 (data
// phase: none / from drive / to drive; runs the command) and 8F (completion phase, 512 bytes with
// the completion entry at 8). A control block with an all-zero entry acts at its data phase.
#include "request_families.h"

#include "bytes.h"
#include "platform/requests.h"

#include <algorithm>
#include <cstring>

namespace sim {

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

} // namespace sim
