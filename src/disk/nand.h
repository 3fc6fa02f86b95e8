// NAND flash identification: the vendor information (reply A) and NAND geometry (reply B) of
// the drive, the six NAND id bytes, and their mapping to a NAND type code and name that select
// the firmware image.
#pragma once
#include "disk/drive_info.h"
#include "disk/transport.h"
#include "platform/types.h"

#include <cstddef>
#include <cstdint>

inline constexpr uint32_t kNandReplySize = 4096;

// Asks an NVMe drive for reply A (vendor opcode 0xE6) and reply B (0xF2) and fills the NAND
// fields of the record. Returns the result of the geometry command (1 = success).
int32_t IdentifyNvmeNand(const TransportContext* context, PlatHandle drive, DriveInfo* record);
// The same for a SATA drive with the ATA vendor command 0xC3 (features 3 and 4).
int32_t IdentifySataNand(const TransportContext* context, PlatHandle drive, DriveInfo* record);

// Maps six NAND id bytes to the type code; logs "NandDevidsString=%s" and returns 0xFFFF when
// no type matches.
uint32_t NandTypeFromIds(const uint8_t ids[6]);
// The NAND name of a type code into name (cap units); 0xFFFF gives "Unknow"; any other code
// that is not in the table (0 included) leaves name empty.
void NandTypeName(uint32_t nandType, char16_t* name, size_t cap);
template <size_t N> void NandTypeName(uint32_t nandType, char16_t (&name)[N]) {
    NandTypeName(nandType, name, N);
}

// The reply handling of both variants, on reply buffers of kNandReplySize bytes.
// Reply A: when byte 0 is 0x5A, fills iVendorCode, iFtlBuildNum, NandDevids, bVendorInfo and
// DrvInfoVersion and returns true.
bool ApplyVendorInfoReply(const uint8_t* replyA, DriveInfo* record);
// NVMe reply B: LUN count (when reply A was accepted or the reply has the alternate layout
// marked 1768), the geometry log line, the id-table walk when the record has no id yet, and
// the NAND type.
void ApplyNvmeGeometryReply(const uint8_t* replyB, bool replyAAccepted, DriveInfo* record);
// SATA reply B: only a reply marked 4096 carries the geometry: LUN count, the geometry line
// (detailed log) and the NAND type.
void ApplySataGeometryReply(const uint8_t* replyB, DriveInfo* record);
