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

class NvmeDrive {
  public:
    explicit NvmeDrive(const Json& desc);

    // Executes one admin command (64-byte submission entry). toDrive holds the bytes the host
    // sent (toLength of them); for a command that returns data, *fromDrive is filled with
    // exactly fromLength bytes (zero beyond what the command produces).
    NvmeCompletion Execute(const uint8_t* entry, const uint8_t* toDrive, uint32_t toLength,
                           std::vector<uint8_t>* fromDrive, uint32_t fromLength);

    // A controller reset: a committed image becomes the running one.
    void ControllerReset();

    std::vector<std::vector<uint8_t>> executed; // submission entries, in order

    // State pages (4096 bytes each, identify pages too).
    std::vector<uint8_t> identifyController;
    std::vector<uint8_t> identifyNamespace;
    std::vector<uint8_t> vendorInfo;   // reply of 0xE6 with dword 12 = 3
    std::vector<uint8_t> geometry;     // reply of 0xF2; 0xF1 rewrites its first 144 bytes
    std::vector<uint8_t> configRecord; // 0xE6 / 0xE5 with dword 12 = 1

    // Firmware: bytes received by Firmware Image Download, and the commit.
    std::vector<uint8_t> download;
    std::vector<uint8_t> committedImage;
    int committedSlot = 0;
    int commitAction = 0;
    bool activationPending = false;
    std::string firmwareRevision;
    std::string pendingRevision; // revision the committed image reports once running

    uint32_t signature14 = 0; // dword 14 of vendor commands
    uint32_t signature15 = 0; // dword 15
    bool vendorCommands = true;

  private:
    void BuildIdentify();
    std::string model_, serial_;
    uint16_t vid_ = 0, ssvid_ = 0;
};

} // namespace sim
