// The drive record: one per drive the updater can talk to. A plain record of fixed-size fields,
// copied by value; it never holds a handle. Discovery clears it entirely before a probe fills
// it, so a failed probe leaves it cleared.
#pragma once
#include <cstdint>
#include <cstring>
#include <type_traits>

inline constexpr int32_t kDriveText = 64; // units of every text field, terminator included

struct DriveInfo {
    char16_t DevicePath[kDriveText]; // "\\.\PhysicalDrive%d", as the scan formatted it
    int32_t iCmdType;                // transport selector; never 255 in an accepted record
    uint64_t iPort;                  // port location, survives a reset
    uint32_t iCapacityGB;            // decimal gigabytes
    uint32_t iSectorSize;            // logical block size in bytes
    uint64_t iSectorCount;           // number of logical blocks
    char16_t DiskModel[kDriveText];
    char16_t DiskFwVersion[kDriveText];
    char16_t DiskSerial[kDriveText];
    char16_t DriveLetters[kDriveText]; // "C: D: " - each letter as "%c: ", in letter order
    int32_t iDeviceNumber;             // N of PhysicalDriveN
    uint8_t bRaw;                      // 1 until a volume letter maps to the drive
    uint8_t bSystemDisk;               // 1 when C: is on the drive
    uint32_t iPciVendorId;             // NVMe VID, 0 for SATA
    uint32_t iPciSubsysVendorId;       // NVMe SSVID, 0 for SATA
    uint32_t iVendorCode;              // controller SoC id from the vendor information
    uint32_t iLinkSpeed;               // PCIe link speed code (in-box NVMe) or SATA generation
    uint32_t iLinkWidth;
    uint32_t iMaxLinkSpeed;
    uint32_t iMaxLinkWidth;
    uint8_t bVendorInfo;   // the vendor information reply was accepted
    uint8_t NandDevids[6]; // NAND flash id bytes
    uint32_t iNandType;    // 0xFFFF not recognised, 0 not determined
    uint32_t iLunCount;
    char16_t DrvInfoVersion[kDriveText]; // internal firmware version text
    uint32_t iFtlBuildNum;
};

static_assert(std::is_trivially_copyable_v<DriveInfo> && std::is_standard_layout_v<DriveInfo>,
              "DriveInfo is copied by value and cleared with memset");

inline void ClearDriveInfo(DriveInfo* record) {
    std::memset(record, 0, sizeof *record);
}

// NAND type codes that mean "no type".
inline constexpr uint32_t kNandTypeUnknown = 0xFFFF; // the id matched no known NAND
inline constexpr uint32_t kNandTypeNone = 0;         // identification did not get that far
