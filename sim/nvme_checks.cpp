// What a drive of the family refuses in a submission entry, whichever path carried it: the
// transfer against the opcode's direction bits, the vendor commands' dword 10 (their transfer
// length in dwords) and NSID, Identify's CNS and NSID, Firmware Image Download's NUMD.
#include "request_families.h"

#include "bytes.h"

namespace sim {

std::string NvmeEntryFault(const uint8_t* entry, int transfer, uint32_t length) {
    const uint8_t opcode = entry[0];
    const uint32_t nsid = Le32(entry + 4);
    const uint32_t cdw10 = Le32(entry + 40);
    if (entry[1] != 0) return "FUSE or PSDT bits set";
    const int implied = NvmeOpcodeTransfer(opcode);
    if (implied == 3) return "bidirectional opcode";
    if (implied != transfer) return "transfer direction disagrees with the opcode";
    if (opcode >= 0xC0) { // the family's vendor commands
        if (length == 0 || (length & 3) || cdw10 != length / 4)
            return "dword 10 is not the transfer length in dwords";
        if (nsid != 0xFFFFFFFFu) return "vendor command without NSID FFFFFFFF";
        return "";
    }
    switch (opcode) {
    case 0x06: { // Identify
        const uint32_t cns = cdw10 & 0xFF;
        if (cdw10 >> 8) return "Identify with CNTID set";
        if (cns == 1 && nsid != 0) return "Identify Controller with an NSID";
        if (cns == 0 && nsid != 1 && nsid != 0xFFFFFFFFu)
            return "Identify Namespace of a namespace that does not exist";
        return "";
    }
    case 0x11: // Firmware Image Download: NUMD is 0's-based
        if (length == 0 || cdw10 != (length - 1) / 4)
            return "NUMD does not match the transfer length";
        return "";
    default:
        return "";
    }
}

} // namespace sim
