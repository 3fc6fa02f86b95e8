// The JMicron USB-to-NVMe bridge: its vendor CDB A1 with sub-code 80 (command phase, a 512-byte
// block "NVME", 4 zero bytes, the 64-byte entry, power-control mode at byte 72), 81/82/83 (data
// phase: none / from drive / to drive; runs the command) and 8F (completion phase, 512 bytes with
// the completion entry at 8). A control block with an all-zero entry acts at its data phase.
#include "request_families.h"

#include "bytes.h"
#include "windows_abi.h"

#include <algorithm>
#include <cstring>

namespace sim {

namespace {

bool AllZero(const uint8_t* p, size_t from, size_t to) { // bytes from..to-1 are 0
    return std::all_of(p + from, p + to, [](uint8_t v) { return v == 0; });
}

// The transfer of a data-phase sub-code: 81 none, 82 from the drive, 83 to the drive.
int TransferOfSub(uint8_t sub) {
    return sub == 0x83 ? 1 : sub == 0x82 ? 2 : 0;
}

} // namespace

void JmicronTarget(MachineImpl& m, Disk& disk, Request& req, ScsiExchange& x) {
    const uint8_t* c = x.cdb;
    BridgeState& b = disk.bridge;
    if (c[0] == 0x12) return Inquiry(disk, x, "SIMUSB", "NVMe Bridge J");
    const uint8_t sub = c[1];
    if (c[0] != 0xA1 || (sub != 0x80 && sub != 0x81 && sub != 0x82 && sub != 0x83 && sub != 0x8F))
        return x.Reject("opcode not supported by the bridge");
    if (x.cdbLength != 16) return x.Reject("vendor CDB with CdbLength not 16");
    if (c[2] || !AllZero(c, 6, 16)) return x.Reject("reserved CDB bytes set");
    const uint32_t length = Be24(c + 3);
    const int transfer = TransferOf(x);
    if (sub == 0x80) { // command phase: 512-byte block "NVME", 4 zero bytes, the entry
        if (length != 512 || transfer != 1 || x.length != 512)
            return x.Reject("command phase is not 512 bytes out");
        if (std::memcmp(x.toDevice, "NVME", 4) != 0) {
            x.CheckCondition(0x05, 0x26, 0x00); // invalid field in parameter list
            x.note = "refused: command block without the NVME signature";
            return;
        }
        const bool control = AllZero(x.toDevice, 8, 72);
        // A command block carries nothing after its entry; a control block only its mode.
        if (!AllZero(x.toDevice, 4, 8) || !AllZero(x.toDevice, control ? 73 : 72, 512)) {
            x.CheckCondition(0x05, 0x26, 0x00);
            x.note = "refused: command block with reserved bytes set";
            return;
        }
        if (b.pending && !b.dataDone) {
            ++b.sequenceErrors;
            x.note = "command phase while another command was pending";
        }
        b.entry.assign(x.toDevice + 8, x.toDevice + 72);
        b.pending = true;
        b.dataDone = false;
        b.controlMode = x.toDevice[72];
        if (control) {
            x.note = "bridge control block";
        } else {
            req.rec->nvme = b.entry;
        }
        return;
    }
    if (sub == 0x81 || sub == 0x82 || sub == 0x83) { // data phase
        if (length != x.length || transfer != TransferOfSub(sub))
            return x.Reject("data phase length or direction disagrees with the CDB");
        if (!b.pending || b.dataDone) {
            ++b.sequenceErrors;
            x.note = "data phase without a command phase";
            return x.CheckCondition(0x05, 0x2C, 0x00);
        }
        const bool control = AllZero(b.entry.data(), 0, b.entry.size());
        const int expected = control ? 0 : NvmeOpcodeTransfer(b.entry[0]);
        if (TransferOfSub(sub) != expected)
            return x.Reject("data phase direction disagrees with the command");
        b.dataDone = true;
        if (control) {
            // A control block carries no command: its mode acts at the data phase.
            b.completion.assign(16, 0);
            x.note = "bridge power control";
            if (m.onBridgePowerControl) m.onBridgePowerControl(disk, b.controlMode);
            return;
        }
        NvmeCompletion done = RunNvme(disk, b.entry, TransferOfSub(sub), x, length);
        b.completion = Completion(done, b.entry.data());
        return;
    }
    // sub 8F, completion phase: 512 bytes, the completion entry at 8
    if (length != 512 || transfer != 2 || x.length != 512)
        return x.Reject("completion phase is not 512 bytes in");
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
}

} // namespace sim
