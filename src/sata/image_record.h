// The drive's vendor configuration record and the configurable firmware image that carries a
// copy of it, with the CRC-32 both use.
//
// A configurable image starts with "CMFG" and a table of eight page ranges (4096-byte pages,
// first and last page inclusive, u32 each, from byte 16). Region 2's first page holds the
// image's configuration record; the page after region 2 is the check page, whose bytes 12-15
// hold the CRC-32 of the header page (bytes 0-79, the rest counted as zeros) followed by the
// pages of regions 0, 1 and 2, and whose bytes 8-11 are zero.
#pragma once
#include <cstdint>

inline constexpr uint32_t kVendorRecordBytes = 4096;
inline constexpr uint32_t kVendorFwNameOffset = 1064;
inline constexpr uint32_t kVendorFwNameBytes = 8;

// The drive's 4096-byte vendor configuration record; only the vendor firmware name (bytes
// 1064-1071, ANSI, zero-padded, no terminator when 8 long) is interpreted.
struct VendorConfigRecord {
    uint8_t bytes[kVendorRecordBytes];
};

// The CRC-32 of ZIP and zlib. previous continues an earlier value (0 to start); an empty range
// returns previous.
uint32_t Crc32(const void* data, uint32_t length, uint32_t previous);

// Puts the first 8 ANSI bytes of name (zero-padded) into the record's vendor firmware name.
// Returns 0 and leaves the record alone when name is "KEEP" (any letter case) or the name is
// already there; else 1, and *crc (when given) receives the CRC-32 of the whole changed record.
int32_t SetVendorFwName(VendorConfigRecord* record, const char16_t* name, uint32_t* crc);

// Copies record over the first page of region 2 of a "CMFG" image of size bytes, applies name
// there unless it is "KEEP", and recomputes the image's check value. An image without "CMFG"
// is left unchanged ("Not Config FW") and 1 is returned. An image whose layout cannot be
// merged safely (shorter than its region table, a region or the check page outside the image,
// a region whose first page is after its last, region 2 or the check page on the header page
// or on regions 0-1) is left unchanged, logged, and refused with -4, so that the update fails
// before anything is sent to the drive.
int32_t MergeVendorConfigIntoImage(uint8_t* image, uint32_t size, const VendorConfigRecord* record,
                                   const char16_t* name);
