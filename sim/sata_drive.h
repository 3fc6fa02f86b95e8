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

    // The firmware revision IDENTIFY DEVICE reports: the running record's vendor firmware name
    // once an image was activated or a record written (see docs/drive-firmware-model.md).
    std::string firmwareRevision;

    // Firmware download (DOWNLOAD MICROCODE, offsets mode 3): the segments of the download in
    // progress, in order from block offset 0; the image running since the last activation
    // (empty: the firmware the drive was described with).
    std::vector<uint8_t> pending;
    uint32_t segmentsReceived = 0;
    std::vector<uint8_t> runningImage;
    // What the drive did with downloads and records ("activated ...", "download discarded: ...").
    std::vector<std::string> events;

    // Fault on demand: the drive aborts the nth segment of a download (1 = the first) for the
    // next `commands` commands that bring it (0 = every time), whichever route they take. On
    // the ATA pass-through route a failing AtaCmd is two commands: the pass-through and its SAT
    // fallback.
    struct SegmentFault {
        uint32_t nth = 0;
        uint32_t commands = 0;
        uint32_t fired = 0;
    };
    SegmentFault segmentFault;

  private:
    AtaResult DownloadMicrocode(const AtaRegisters& regs, const uint8_t* toDrive,
                                uint32_t toLength);
    void Discard(const std::string& why);
    // Shows the running record's name as the IDENTIFY firmware revision.
    void ShowRecordName();
};

} // namespace sim
