// An NVMe drive of the supported controller family: Identify, the vendor commands 0xE6, 0xF2,
// 0xF1 and 0xE5 (with the maker's signature), Firmware Image Download and Firmware Commit.
#pragma once
#include "machine_json.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// Completion of one command: dword 0 and the status field (0 = success; otherwise status
// code type << 8 | status code).
struct NvmeCompletion {
    uint32_t dw0 = 0;
    uint16_t status = 0;
};

inline constexpr uint16_t kNvmeInvalidOpcode = 0x0001;
inline constexpr uint16_t kNvmeInvalidField = 0x0002;
// Command-specific status (status code type 1).
inline constexpr uint16_t kNvmeInvalidFirmwareSlot = 0x0106;
inline constexpr uint16_t kNvmeInvalidFirmwareImage = 0x0107;

// A command the drive rejects on demand with an NVMe error status (it transfers no data).
// dword12, when set, must match as well; nth counts matching commands (1 = the first), count
// how many times it fires (0 = every time from nth on).
struct NvmeReject {
    uint8_t opcode = 0;
    int64_t dword12 = -1; // -1: any
    uint32_t nth = 1;
    uint32_t count = 1;
    uint16_t status = kNvmeInvalidField;
    uint32_t seen = 0;
    uint32_t fired = 0;
};

class NvmeDrive {
  public:
    explicit NvmeDrive(const Json& desc);

    // Executes one admin command (64-byte submission entry). toDrive holds the bytes the host
    // sent (toLength of them); for a command that returns data, *fromDrive is filled with
    // exactly fromLength bytes (zero beyond what the command produces).
    NvmeCompletion Execute(const uint8_t* entry, const uint8_t* toDrive, uint32_t toLength,
                           std::vector<uint8_t>* fromDrive, uint32_t fromLength);

    // A controller reset: what is being downloaded is discarded, and a staged image becomes
    // the running one when it is whole (see docs/nvme-firmware.md); the drive then reports the
    // running image's version and the running record's name.
    void ControllerReset();

    // The name the drive reports as its firmware revision: the configuration record's
    // (1064-1071) for a drive with vendor information, else the geometry page's (88-95). A
    // write of either (0xE5, 0xF1) and an activation change the reported revision at once.
    std::string RecordedName() const;

    std::vector<std::vector<uint8_t>> executed; // submission entries, in order

    // State pages (4096 bytes each, identify pages too).
    std::vector<uint8_t> identifyController;
    std::vector<uint8_t> identifyNamespace;
    std::vector<uint8_t> vendorInfo;   // reply of 0xE6 with dword 12 = 3
    std::vector<uint8_t> geometry;     // reply of 0xF2; 0xF1 rewrites its first 144 bytes
    std::vector<uint8_t> configRecord; // 0xE6 / 0xE5 with dword 12 = 1

    // Firmware. download: the image being received, placed piece by piece; covered: the
    // byte ranges pieces filled (begin, end); staged: what a commit to slot 1 with action 1
    // took, activated at the next controller reset; running: the image the drive runs (empty
    // for the image it left the factory with).
    std::vector<uint8_t> download;
    std::vector<std::pair<uint64_t, uint64_t>> covered;
    std::vector<uint8_t> staged;
    bool activationPending = false;
    std::vector<uint8_t> running;
    int activations = 0;        // images that became the running one
    std::string lastActivation; // what the last reset made of a staged image
    std::string firmwareRevision;

    std::vector<NvmeReject> rejects;

    uint32_t signature14 = 0; // dword 14 of vendor commands
    uint32_t signature15 = 0; // dword 15
    bool vendorCommands = true;

  private:
    void BuildIdentify();
    NvmeCompletion FirmwareDownload(uint32_t nsid, uint32_t cdw10, uint32_t cdw11,
                                    const uint8_t* toDrive, uint32_t toLength);
    NvmeCompletion FirmwareCommit(uint32_t nsid, uint32_t cdw10);
    bool HasVendorInfo() const;
    std::string model_, serial_;
    uint16_t vid_ = 0, ssvid_ = 0;
};

} // namespace sim
