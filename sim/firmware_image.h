// The simulated drives' own reading of a firmware image: whether it is whole, and what a drive
// running it reports. This is the drive's view, written independently of the program (its own
// CRC-32 code and its own offsets); docs/drive-firmware-model.md describes the model.
//
// Every image starts with a 16-byte header the drive reads:
//   bytes 0-3   "CMFG" for a configurable image, anything else for a plain image
//   bytes 4-7   the image's whole length in bytes (u32, little-endian)
//   bytes 8-15  the internal version text, zero-padded
// A "CMFG" image carries the region table at bytes 16-79 and the check page after region 2
// (check value at bytes 12-15, zero at 8-11, FTL build number at 4088-4091). A plain image ends
// with the CRC-32 of all its bytes before the last four, and runs with FTL build number 0.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// What a drive of the family learns from an image it is asked to activate.
struct FirmwareImageFacts {
    bool whole = false;           // the image's own length and check value agree with its bytes
    std::string refusal;          // why it is not whole (for the trace and test messages)
    std::string internal_version; // version text the drive reports while running this image
    uint32_t ftl_build = 0;       // FTL build number the drive reports while running it
    std::vector<uint8_t>
        config_record; // "CMFG" image: its region-2 first page (4096 bytes); else empty
};
FirmwareImageFacts ReadFirmwareImage(const std::vector<uint8_t>& image);

// Helper for tests and examples: builds a whole image of `size` bytes (CMFG with a region table,
// valid check value, version text and build number, or a plain image by the simulator's own
// length rule), so a test can make images that a drive will accept.
//
// A "CMFG" image needs a whole number of pages, at least 5 (n pages): page 0 is the header,
// region 0 = pages 1..n-4, region 1 = page n-3, region 2 = page n-2 (the record), and the
// check page is the last page, n-1. An empty
// config_record gives a record of the simulator's own pattern named "IMAGEREC"; otherwise it
// must be 4096 bytes. A plain image needs at least 20 bytes and ignores ftl_build and
// config_record. The version text has at most 8 characters. Throws std::invalid_argument.
struct FirmwareImageSpec {
    bool cmfg = true;
    size_t size = 24576;
    std::string internal_version = "R1.2.3.4";
    uint32_t ftl_build = 0x1234;
    std::vector<uint8_t> config_record;
};
std::vector<uint8_t> MakeFirmwareImage(const FirmwareImageSpec& spec);

// The simulator's own CRC-32 (reflected polynomial 0xEDB88320, preset and final inversion),
// bit by bit; `previous` continues an earlier value.
uint32_t SimCrc32(const uint8_t* data, size_t length, uint32_t previous = 0);

} // namespace sim
