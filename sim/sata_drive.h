// A SATA drive of the supported controller family: IDENTIFY DEVICE, the vendor commands 0xC3
// (reads) and 0xC2 (configuration record write) and DOWNLOAD MICROCODE.
#pragma once
#include "machine_json.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The ATA registers of one command: previous (48-bit high bytes) and current task file, in
// the order of ATA_PASS_THROUGH_DIRECT: features, count, LBA low, mid, high, device, command.
struct AtaRegisters {
    uint8_t previous[8] = {};
    uint8_t current[8] = {};
    bool is48 = false;
    uint8_t Command() const { return current[6]; }
    uint8_t Features() const { return current[0]; }
    uint32_t Count() const { return current[1] | (is48 ? previous[1] << 8 : 0); }
    uint64_t Lba() const;
};

struct AtaResult {
    uint8_t status = 0x50; // DRDY, DSC
    uint8_t error = 0;
};

inline constexpr uint8_t kAtaStatusError = 0x51;

class SataDrive {
  public:
    explicit SataDrive(const Json& desc);

    // Executes one command. toDrive holds the bytes the host sent; a command that returns data
    // fills *fromDrive with exactly fromLength bytes.
    AtaResult Execute(const AtaRegisters& regs, const uint8_t* toDrive, uint32_t toLength,
                      std::vector<uint8_t>* fromDrive, uint32_t fromLength);

    std::vector<std::vector<uint8_t>> executed; // previous[8] + current[8] per command

    std::vector<uint8_t> identifyDevice; // 512 bytes
    std::vector<uint8_t> vendorInfo;     // 0xC3 feature 3
    std::vector<uint8_t> geometry;       // 0xC3 feature 4
    std::vector<uint8_t> configRecord;   // 0xC3 feature 2 / 0xC2 feature 1

    // DOWNLOAD MICROCODE segments received (by block offset) and the image once complete.
    std::vector<uint8_t> download;
    std::string firmwareRevision;
};

} // namespace sim
