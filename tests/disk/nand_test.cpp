#include "disk/nand.h"

#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <cstring>
#include <iterator>
#include <string>
#include <vector>

namespace {

std::vector<uint8_t> Ids(const char* hex) {
    std::vector<uint8_t> ids;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        ids.push_back(static_cast<uint8_t>(std::stoul(std::string(hex + i, 2), nullptr, 16)));
    ids.resize(6);
    return ids;
}

std::u16string Name(uint32_t type) {
    char16_t name[64];
    name[0] = u'?';
    NandTypeName(type, name);
    return name;
}

// Every pattern of the NAND type table, in table order, with its row's code and name, and an id
// that the pattern matches: the pattern itself when it has twelve digits, else the pattern
// followed by a sixth byte.
struct Pattern {
    const char* pattern;
    const char* ids;
    uint32_t type;
    const char16_t* name;
};
const Pattern kPatterns[] = {
    {"89C40832A6", "89C40832A6FF", 0x8901, u"Intel-B17A"},
    {"89D48932A6", "89D48932A601", 0x8901, u"Intel-B17A"},
    {"89C48932A133", "89C48932A133", 0x8901, u"Intel-B17A"},
    {"89C48932A100", "89C48932A100", 0x8901, u"Intel-B17A"},
    {"89C41832A200", "89C41832A200", 0x8901, u"Intel-B17A"},
    {"89A40832A133", "89A40832A133", 0x8901, u"Intel-B17A"},
    {"89D49932A200", "89D49932A200", 0x8901, u"Intel-B17A"},
    {"2CD48932A6", "2CD48932A600", 0x2C01, u"Micron-B17A"},
    {"2CC41832A2", "2CC41832A200", 0x2C02, u"Micron-B27A"},
    {"2CC30832E604", "2CC30832E604", 0x2C05, u"Micron-B27C"},
    {"2CD38932E604", "2CD38932E604", 0x2C05, u"Micron-B27C"},
    {"2CE38A32E604", "2CE38A32E604", 0x2C05, u"Micron-B27C"},
    {"2CC30832E6", "2CC30832E608", 0x2C03, u"Micron-B27B"},
    {"2CD38932E6", "2CD38932E6A0", 0x2C03, u"Micron-B27B"},
    {"2CC30832EA", "2CC30832EA00", 0x2C04, u"Micron-B47R"},
    {"2CD38932EA", "2CD38932EA04", 0x2C04, u"Micron-B47R"},
    {"2CE38A32EA", "2CE38A32EA11", 0x2C04, u"Micron-B47R"},
    {"2CA40832A104", "2CA40832A104", 0x2C06, u"Micron-B16C"},
    {"983C98B376F2", "983C98B376F2", 0x9801, u"TSB-BiCS3"},
    {"983E99B37AF2", "983E99B37AF2", 0x9801, u"TSB-BiCS3"},
    {"983E98B376E3", "983E98B376E3", 0x9802, u"TSB-BiCS4"},
    {"98499AB37EE3", "98499AB37EE3", 0x9802, u"TSB-BiCS4"},
    {"984899037AE4", "984899037AE4", 0x9803, u"TSB-BiCS5"},
    {"453E98B37663", "453E98B37663", 0x4501, u"Sandisk-BiCS4"},
    {"453C98B3F663", "453C98B3F663", 0x4502, u"Sandisk-BiCS4.5"},
    {"453E98B37672", "453E98B37672", 0x4503, u"Sandisk-BiCS3"},
    {"AD89285300B0", "AD89285300B0", 0xAD01, u"Hynix-3DV6"},
    {"AD7E280B00C0", "AD7E280B00C0", 0xAD02, u"Hynix-3DV7"},
    {"AD7E290B00C0", "AD7E290B00C0", 0xAD02, u"Hynix-3DV7"},
    {"AD7E2A0B00C0", "AD7E2A0B00C0", 0xAD02, u"Hynix-3DV7"},
    {"9BC4284920", "9BC4284920A1", 0x9B02, u"YMTC-X2-9060"},
    {"9BC5294920", "9BC529492000", 0x9B02, u"YMTC-X2-9060"},
    {"9BC3482510", "9BC3482510FF", 0x9B01, u"YMTC-X1-9050"},
    {"9BC4492510", "9BC4492510AA", 0x9B01, u"YMTC-X1-9050"},
    {"EC5E98AF84CD", "EC5E98AF84CD", 0xEC01, u"Samsung-V6"},
};

TEST(NandType, EveryPatternGivesItsRowsCodeAndName) {
    ASSERT_EQ(std::size(kPatterns), 35u);
    for (const Pattern& p : kPatterns) {
        SCOPED_TRACE(p.ids);
        const std::string pattern(p.pattern);
        ASSERT_TRUE(pattern.size() == 12 || pattern.size() == 10);
        ASSERT_EQ(std::string(p.ids).compare(0, pattern.size(), pattern), 0);
        EXPECT_EQ(NandTypeFromIds(Ids(p.ids).data()), p.type);
        EXPECT_EQ(Name(p.type), std::u16string(p.name));
    }
}

TEST(NandType, ALongerPatternIsTriedBeforeEveryShorterOneOfAnotherRowThatItHolds) {
    // For each pair of patterns of different rows where the shorter one occurs in the longer
    // one, the longer one's id gives the longer one's row, and every other id that the
    // shorter one matches keeps the shorter one's row.
    int pairs = 0;
    for (const Pattern& longer : kPatterns) {
        for (const Pattern& shorter : kPatterns) {
            const std::string l(longer.pattern), s(shorter.pattern);
            if (longer.type == shorter.type || l.size() <= s.size() ||
                l.find(s) == std::string::npos)
                continue;
            ++pairs;
            SCOPED_TRACE(l + " / " + s);
            EXPECT_EQ(NandTypeFromIds(Ids(l.c_str()).data()), longer.type);
            for (const char* sixth : {"00", "03", "05", "FF"}) {
                const std::string other = s + sixth;
                if (other == l) continue;
                EXPECT_EQ(NandTypeFromIds(Ids(other.c_str()).data()), shorter.type) << other;
            }
        }
    }
    // 2CC30832E604 holds 2CC30832E6 and 2CD38932E604 holds 2CD38932E6 (Micron-B27C before
    // Micron-B27B).
    EXPECT_EQ(pairs, 2);
}

TEST(NandType, LaterPatternsOfARowMatchToo) {
    EXPECT_EQ(NandTypeFromIds(Ids("89D49932A200").data()), 0x8901u);
    EXPECT_EQ(NandTypeFromIds(Ids("2CE38A32E604").data()), 0x2C05u);
    EXPECT_EQ(NandTypeFromIds(Ids("2CE38A32EA11").data()), 0x2C04u);
    EXPECT_EQ(NandTypeFromIds(Ids("98499AB37EE3").data()), 0x9802u);
    EXPECT_EQ(NandTypeFromIds(Ids("AD7E2A0B00C0").data()), 0xAD02u);
    EXPECT_EQ(NandTypeFromIds(Ids("9BC4492510AA").data()), 0x9B01u);
}

TEST(NandType, TenDigitPatternsMatchAtCharacterZeroOneOrTwo) {
    // "9BC4284920" (YMTC-X2-9060) placed at characters 0, 1 and 2 of the id text.
    EXPECT_EQ(NandTypeFromIds(Ids("9BC4284920A1").data()), 0x9B02u);
    EXPECT_EQ(NandTypeFromIds(Ids("09BC42849201").data()), 0x9B02u);
    EXPECT_EQ(NandTypeFromIds(Ids("119BC4284920").data()), 0x9B02u);
    // A 12-digit pattern matches only the identical id.
    EXPECT_EQ(NandTypeFromIds(Ids("EC5E98AF84CE").data()), 0xFFFFu);
}

TEST(NandType, AnUnknownIdLogsItsTextAndGetsTheUnknownName) {
    DebugCapture capture;
    uint8_t zeros[6] = {};
    EXPECT_EQ(NandTypeFromIds(zeros), 0xFFFFu);
    EXPECT_EQ(NandTypeFromIds(Ids("0123456789AB").data()), 0xFFFFu);
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], u"[TX] NandDevidsString=000000000000");
    EXPECT_EQ(lines[1], u"[TX] NandDevidsString=0123456789AB");
    EXPECT_EQ(Name(0xFFFF), u"Unknow");
    // A code that is not in the table, 0 included, has no name.
    EXPECT_EQ(Name(0), u"");
    EXPECT_EQ(Name(0x2C07), u"");
}

// Reply buffers laid out as the drive sends them.
struct Replies {
    uint8_t a[kNandReplySize] = {};
    uint8_t b[kNandReplySize] = {};
    void Put16(uint8_t* r, size_t at, uint16_t v) {
        r[at] = static_cast<uint8_t>(v);
        r[at + 1] = static_cast<uint8_t>(v >> 8);
    }
    void ValidA(uint16_t soc, const char* ids, const char* version, uint32_t build) {
        a[0] = 0x5A;
        Put16(a, 2, soc);
        auto id = Ids(ids);
        std::memcpy(a + 16, id.data(), 6);
        std::memcpy(a + 32, version, std::strlen(version));
        std::memcpy(a + 72, &build, 4);
    }
    void Geometry(uint16_t marker, uint8_t ch, uint8_t ce, uint8_t lun, uint8_t pln, uint16_t pg) {
        Put16(b, 280, marker);
        Put16(b, 288, pg);
        b[295] = ch;
        b[296] = ce;
        b[297] = lun;
        b[298] = pln;
    }
    void TableEntry(uint32_t index, const char* ids) {
        auto id = Ids(ids);
        std::memcpy(b + 1352 + index * 6, id.data(), 6);
    }
};

DriveInfo Record() {
    DriveInfo d;
    ClearDriveInfo(&d);
    std::u16string path = u"\\\\.\\PhysicalDrive3";
    std::copy(path.begin(), path.end(), d.DevicePath);
    return d;
}

TEST(NandReplies, ReplyAFillsTheVendorFieldsOnlyWhenMarkedValid) {
    Replies r;
    r.ValidA(0x7A11, "9BC4284920A1", "FWV1.2.3", 0x01020304);
    DriveInfo d = Record();
    ASSERT_TRUE(ApplyVendorInfoReply(r.a, &d));
    EXPECT_EQ(d.iVendorCode, 0x7A11u);
    EXPECT_EQ(d.iFtlBuildNum, 0x01020304u);
    EXPECT_EQ(d.bVendorInfo, 1);
    EXPECT_EQ(std::u16string(d.DrvInfoVersion), u"FWV1.2.3");
    EXPECT_EQ(0, std::memcmp(d.NandDevids, Ids("9BC4284920A1").data(), 6));

    r.a[0] = 0x5B;
    DriveInfo rejected = Record();
    EXPECT_FALSE(ApplyVendorInfoReply(r.a, &rejected));
    EXPECT_EQ(rejected.iVendorCode, 0u);
    EXPECT_EQ(rejected.bVendorInfo, 0);
    EXPECT_EQ(rejected.DrvInfoVersion[0], 0);
}

TEST(NandReplies, NvmeGeometryGivesLunsAndLogsTheLine) {
    DebugCapture capture;
    Replies r;
    r.ValidA(0x7A11, "2CC30832E604", "V1", 7);
    r.Geometry(0, 4, 2, 2, 4, 2304);
    DriveInfo d = Record();
    ApplyVendorInfoReply(r.a, &d);
    ApplyNvmeGeometryReply(r.b, true, &d);
    EXPECT_EQ(d.iLunCount, 2u);
    EXPECT_EQ(d.iNandType, 0x2C05u);
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0], u"[TX] \\\\.\\PhysicalDrive3 = ch:4, ce:2, lun:2, pln:4, pg:2304");
}

TEST(NandReplies, IdTableIsWalkedOnlyWhileItFitsItsArea) {
    struct {
        uint8_t ch, ce;
        uint32_t entry; // where the first populated entry is
        uint32_t wantType;
    } cases[] = {
        {8, 4, 0, 0x9802},  // 192 bytes: walked
        {8, 4, 31, 0x9802}, // its last entry is still inside
        {8, 5, 0, 0xFFFF},  // 240 bytes: not walked, the id stays zero
        {1, 1, 1, 0xFFFF},  // only entry 0 belongs to a 1 x 1 geometry
        {0, 4, 0, 0xFFFF},
    };
    for (const auto& c : cases) {
        Replies r;
        r.Geometry(0, c.ch, c.ce, 1, 2, 1000);
        r.TableEntry(c.entry, "983E98B376E3");
        r.TableEntry(c.entry + 1, "EC5E98AF84CD"); // never reached: the first entry wins
        DriveInfo d = Record();
        ApplyNvmeGeometryReply(r.b, false, &d);
        EXPECT_EQ(d.iNandType, c.wantType) << int(c.ch) << "x" << int(c.ce) << " @" << c.entry;
        // Reply A was rejected and the layout is not the alternate one: no LUN count.
        EXPECT_EQ(d.iLunCount, 0u);
    }
}

TEST(NandReplies, TableEntriesWithAZeroFirstByteAreSkippedAndAReplyAIdWins) {
    Replies r;
    r.Geometry(0, 2, 2, 1, 1, 1);
    r.TableEntry(0, "00FFFFFFFFFF");
    r.TableEntry(1, "453E98B37672");
    DriveInfo d = Record();
    ApplyNvmeGeometryReply(r.b, false, &d);
    EXPECT_EQ(d.iNandType, 0x4503u);

    r.ValidA(1, "EC5E98AF84CD", "V", 1);
    DriveInfo withA = Record();
    ApplyVendorInfoReply(r.a, &withA);
    ApplyNvmeGeometryReply(r.b, true, &withA);
    EXPECT_EQ(withA.iNandType, 0xEC01u);
}

TEST(NandReplies, AlternateLayoutCarriesSocIdAndVersionInTheGeometryPage) {
    DebugCapture capture;
    Replies r;
    r.Geometry(1768, 2, 2, 4, 2, 1536);
    r.Put16(r.b, 1582, 0x7A12);
    std::memcpy(r.b + 1606, "ALT-VER-10XYZ", 13); // only ten characters belong to it
    r.TableEntry(0, "AD7E290B00C0");
    DriveInfo d = Record();
    ApplyNvmeGeometryReply(r.b, false, &d);
    EXPECT_EQ(d.iVendorCode, 0x7A12u);
    EXPECT_EQ(std::u16string(d.DrvInfoVersion), u"ALT-VER-10");
    EXPECT_EQ(d.iLunCount, 4u);
    EXPECT_EQ(d.bVendorInfo, 0);
    EXPECT_EQ(d.iFtlBuildNum, 0u);
    EXPECT_EQ(d.iNandType, 0xAD02u);
    ASSERT_EQ(capture.Lines().size(), 1u);

    // With reply A accepted, the marker is not looked at.
    Replies both;
    both.ValidA(0x1111, "AD7E290B00C0", "FROM-A", 9);
    both.Geometry(1768, 2, 2, 4, 2, 1536);
    both.Put16(both.b, 1582, 0x7A12);
    DriveInfo a = Record();
    ApplyVendorInfoReply(both.a, &a);
    ApplyNvmeGeometryReply(both.b, true, &a);
    EXPECT_EQ(a.iVendorCode, 0x1111u);
    EXPECT_EQ(std::u16string(a.DrvInfoVersion), u"FROM-A");
}

TEST(NandReplies, SataGeometryNeedsItsMarkerAndHasNoIdTable) {
    Replies r;
    r.ValidA(0x7A11, "9BC5294920A1", "S1", 3);
    r.Geometry(4096, 4, 4, 2, 2, 1000);
    DriveInfo d = Record();
    ApplyVendorInfoReply(r.a, &d);
    ApplySataGeometryReply(r.b, &d);
    EXPECT_EQ(d.iLunCount, 2u);
    EXPECT_EQ(d.iNandType, 0x9B02u);

    for (uint16_t marker : {1768, 0, 4095}) {
        Replies m;
        m.Geometry(marker, 4, 4, 2, 2, 1000);
        m.TableEntry(0, "9BC5294920A1");
        DriveInfo s = Record();
        ApplySataGeometryReply(m.b, &s);
        EXPECT_EQ(s.iLunCount, 0u) << marker;
        EXPECT_EQ(s.iNandType, 0u) << marker;
    }
    // With the marker but no id anywhere, the type is 0xFFFF: the table is not walked.
    Replies t;
    t.Geometry(4096, 1, 1, 1, 1, 1);
    t.TableEntry(0, "9BC5294920A1");
    DriveInfo s = Record();
    ApplySataGeometryReply(t.b, &s);
    EXPECT_EQ(s.iNandType, 0xFFFFu);
}

} // namespace
