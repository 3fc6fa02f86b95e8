#include "disk/nand.h"

#include "base/bytes.h"
#include "base/format.h"
#include "base/log.h"
#include "base/text.h"
#include "nvme/nvme_transport.h"
#include "sata/ata_transport.h"

#include <cstring>

namespace {

// One row of the NAND type table. The rows are tried in order and the first row with a
// pattern anywhere in the twelve-digit id text wins, so a 12-digit pattern matches only the
// identical id and a 10-digit one the id's digits at character 0, 1 or 2. Row order matters:
// "2CC30832E604" (B27C) must be tried before its prefix "2CC30832E6" (B27B).
struct NandRow {
    const char16_t* patterns[8]; // nullptr-terminated
    uint32_t type;
    const char16_t* name;
};

const NandRow kNandTable[] = {
    {{u"89C40832A6", u"89D48932A6", u"89C48932A133", u"89C48932A100", u"89C41832A200",
      u"89A40832A133", u"89D49932A200", nullptr},
     0x8901,
     u"Intel-B17A"},
    {{u"2CD48932A6", nullptr}, 0x2C01, u"Micron-B17A"},
    {{u"2CC41832A2", nullptr}, 0x2C02, u"Micron-B27A"},
    {{u"2CC30832E604", u"2CD38932E604", u"2CE38A32E604", nullptr}, 0x2C05, u"Micron-B27C"},
    {{u"2CC30832E6", u"2CD38932E6", nullptr}, 0x2C03, u"Micron-B27B"},
    {{u"2CC30832EA", u"2CD38932EA", u"2CE38A32EA", nullptr}, 0x2C04, u"Micron-B47R"},
    {{u"2CA40832A104", nullptr}, 0x2C06, u"Micron-B16C"},
    {{u"983C98B376F2", u"983E99B37AF2", nullptr}, 0x9801, u"TSB-BiCS3"},
    {{u"983E98B376E3", u"98499AB37EE3", nullptr}, 0x9802, u"TSB-BiCS4"},
    {{u"984899037AE4", nullptr}, 0x9803, u"TSB-BiCS5"},
    {{u"453E98B37663", nullptr}, 0x4501, u"Sandisk-BiCS4"},
    {{u"453C98B3F663", nullptr}, 0x4502, u"Sandisk-BiCS4.5"},
    {{u"453E98B37672", nullptr}, 0x4503, u"Sandisk-BiCS3"},
    {{u"AD89285300B0", nullptr}, 0xAD01, u"Hynix-3DV6"},
    {{u"AD7E280B00C0", u"AD7E290B00C0", u"AD7E2A0B00C0", nullptr}, 0xAD02, u"Hynix-3DV7"},
    {{u"9BC4284920", u"9BC5294920", nullptr}, 0x9B02, u"YMTC-X2-9060"},
    {{u"9BC3482510", u"9BC4492510", nullptr}, 0x9B01, u"YMTC-X1-9050"},
    {{u"EC5E98AF84CD", nullptr}, 0xEC01, u"Samsung-V6"},
};

const char16_t kUnknownNandName[] = u"Unknow";


// Copies count ANSI characters into a zero-filled buffer, so that they end at the first zero
// byte or after count, and converts them into the 64-unit field.
void AnsiField(const uint8_t* bytes, size_t count, char16_t (&field)[kDriveText]) {
    char text[16] = {};
    std::memcpy(text, bytes, count < sizeof text - 1 ? count : sizeof text - 1);
    AnsiToWide(text, -1, field);
}

// Reply offsets.
constexpr size_t kReplyValidByte = 0;
constexpr uint8_t kReplyValidMark = 0x5A;
constexpr size_t kSocIdOffset = 2;
constexpr size_t kNandIdOffset = 16;
constexpr size_t kVersionOffset = 32;
constexpr size_t kBuildNumOffset = 72;
constexpr size_t kLayoutMarkerOffset = 280;
constexpr size_t kPageCountOffset = 288;
constexpr size_t kChannelOffset = 295;
constexpr size_t kChipEnableOffset = 296;
constexpr size_t kLunOffset = 297;
constexpr size_t kPlaneOffset = 298;
constexpr size_t kIdTableOffset = 1352;
constexpr uint32_t kIdTableMaxBytes = 192;
constexpr uint16_t kAlternateLayout = 1768;
constexpr size_t kAltSocIdOffset = 1582;
constexpr size_t kAltVersionOffset = 1606;
constexpr uint16_t kSataGeometryLayout = 4096;

struct Geometry {
    int32_t ch, ce, lun, pln, pg;
};

Geometry ReadGeometry(const uint8_t* reply) {
    return {reply[kChannelOffset], reply[kChipEnableOffset], reply[kLunOffset], reply[kPlaneOffset],
            Le16(reply + kPageCountOffset)};
}

constexpr const char16_t kGeometryLine[] = u"%s = ch:%d, ce:%d, lun:%d, pln:%d, pg:%d";

} // namespace

uint32_t NandTypeFromIds(const uint8_t ids[6]) {
    char16_t text[kDriveText];
    FormatInto(text, u"%02X%02X%02X%02X%02X%02X", ids[0], ids[1], ids[2], ids[3], ids[4], ids[5]);
    for (const NandRow& row : kNandTable)
        for (const char16_t* const* p = row.patterns; *p != nullptr; ++p)
            if (ContainsNoCase(text, *p)) return row.type;
    LogLine(u"NandDevidsString=%s", text);
    return kNandTypeUnknown;
}

void NandTypeName(uint32_t nandType, char16_t* name, size_t cap) {
    if (cap == 0) return;
    name[0] = 0;
    if (nandType == kNandTypeUnknown) {
        WCopy(name, cap, kUnknownNandName);
        return;
    }
    for (const NandRow& row : kNandTable)
        if (row.type == nandType) {
            WCopy(name, cap, row.name);
            return;
        }
}

bool ApplyVendorInfoReply(const uint8_t* replyA, DriveInfo* record) {
    if (replyA[kReplyValidByte] != kReplyValidMark) return false;
    record->iVendorCode = Le16(replyA + kSocIdOffset);
    record->iFtlBuildNum = Le32(replyA + kBuildNumOffset);
    std::memcpy(record->NandDevids, replyA + kNandIdOffset, sizeof record->NandDevids);
    record->bVendorInfo = 1;
    AnsiField(replyA + kVersionOffset, 8, record->DrvInfoVersion);
    return true;
}

void ApplyNvmeGeometryReply(const uint8_t* replyB, bool replyAAccepted, DriveInfo* record) {
    Geometry g = ReadGeometry(replyB);
    if (replyAAccepted) {
        record->iLunCount = static_cast<uint32_t>(g.lun);
        LogLine(kGeometryLine, record->DevicePath, g.ch, g.ce, g.lun, g.pln, g.pg);
    } else if (Le16(replyB + kLayoutMarkerOffset) == kAlternateLayout) {
        // The alternate layout carries the SoC id and version in the geometry page itself.
        record->iVendorCode = Le16(replyB + kAltSocIdOffset);
        record->iLunCount = static_cast<uint32_t>(g.lun);
        LogLine(kGeometryLine, record->DevicePath, g.ch, g.ce, g.lun, g.pln, g.pg);
        AnsiField(replyB + kAltVersionOffset, 10, record->DrvInfoVersion);
    }
    if (record->NandDevids[0] == 0) {
        // No id from reply A: take the first populated entry of the per-channel, per-chip
        // table, which is only trusted while it fits its 192-byte area.
        uint32_t n = static_cast<uint32_t>(g.ch) * static_cast<uint32_t>(g.ce) * 6;
        if (n <= kIdTableMaxBytes) {
            for (uint32_t off = 0; off < n; off += 6) {
                const uint8_t* entry = replyB + kIdTableOffset + off;
                if (entry[0] != 0) {
                    std::memcpy(record->NandDevids, entry, sizeof record->NandDevids);
                    break;
                }
            }
        }
    }
    record->iNandType = NandTypeFromIds(record->NandDevids);
}

void ApplySataGeometryReply(const uint8_t* replyB, DriveInfo* record) {
    if (Le16(replyB + kLayoutMarkerOffset) != kSataGeometryLayout) return;
    Geometry g = ReadGeometry(replyB);
    record->iLunCount = static_cast<uint32_t>(g.lun);
    LogDetail(kGeometryLine, record->DevicePath, g.ch, g.ce, g.lun, g.pln, g.pg);
    record->iNandType = NandTypeFromIds(record->NandDevids);
}

int32_t IdentifyNvmeNand(const TransportContext* context, PlatHandle drive, DriveInfo* record) {
    uint8_t reply[kNandReplySize] = {};
    int32_t result = NVMeAdminCmd(context, drive, kDirFromDrive, 0xE6, 3, 0, kVendorSigDword14,
                                  kVendorSigDword15, reply, kNandReplySize);
    bool accepted = result == 1 && ApplyVendorInfoReply(reply, record);

    std::memset(reply, 0, sizeof reply);
    result = NVMeAdminCmd(context, drive, kDirFromDrive, 0xF2, 0, 0, kVendorSigDword14,
                          kVendorSigDword15, reply, kNandReplySize);
    if (result != 1) return result;
    ApplyNvmeGeometryReply(reply, accepted, record);
    return 1;
}

int32_t IdentifySataNand(const TransportContext* context, PlatHandle drive, DriveInfo* record) {
    uint8_t reply[kNandReplySize] = {};
    if (AtaCmd(context->iCmdType, drive, 0xC3, 3, kAtaDrdyRequired | kAtaDataIn, 0, 0, reply,
               kNandReplySize) == 1)
        ApplyVendorInfoReply(reply, record);

    std::memset(reply, 0, sizeof reply);
    int32_t result = AtaCmd(context->iCmdType, drive, 0xC3, 4, kAtaDrdyRequired | kAtaDataIn, 0, 0,
                            reply, kNandReplySize);
    if (result != 1) return result;
    ApplySataGeometryReply(reply, record);
    return 1;
}
