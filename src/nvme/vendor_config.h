// The vendor configuration commands of the supported family: the drive's 4096-byte
// configuration record (read with 0xE6, written with 0xE5 carrying the record's CRC-32) and the
// vendor firmware name in the NAND geometry page (read with 0xF2, written with 0xF1). Each is
// one NVMeAdminCmd, so it travels over whichever NVMe path the drive uses.
//
// The drive's NVMe status is never read, and a rejected read leaves the zero-filled buffer as
// it was: a record or page that comes back all zero is therefore taken as a failed read (-4),
// and nothing is written from it.
#pragma once
#include "disk/transport.h"

#include <cstdint>

inline constexpr uint32_t kVendorRecordSize = 4096;
// Bytes of the geometry page that 0xF1 writes back, and the name field inside them.
inline constexpr uint32_t kVendorPageKeptBytes = 144;
inline constexpr uint32_t kVendorPageNameOffset = 88;
inline constexpr uint32_t kVendorPageNameSize = 8;

// Reads the drive's configuration record (opcode 0xE6, dword 12 = 1, the signature) into
// record (kVendorRecordSize bytes, zeroed first). 1, -4 (also for a record of zeros), -5.
int32_t ReadVendorConfigRecord(const TransportContext* context, PlatHandle drive, uint8_t* record);
// Writes the record (opcode 0xE5, dword 12 = 1, dword 14 = crc, the CRC-32 of its 4096 bytes,
// dword 15 = 0). On the RST path the record comes back overwritten by the reply's data area.
int32_t WriteVendorConfigRecord(const TransportContext* context, PlatHandle drive, uint8_t* record,
                                uint32_t crc);
// Rewrites the vendor firmware name of a drive without vendor information: reads the geometry
// page (0xF2), keeps its first 144 bytes with the name's first 8 ANSI bytes (zero-padded) at
// 88-95, zeroes the rest and writes it (0xF1). Nothing is written when the read fails or comes
// back all zero. 1, -4, -5.
int32_t WriteVendorFwName(const TransportContext* context, PlatHandle drive, const char16_t* name);
