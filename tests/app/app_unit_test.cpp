// The application's small rules, without a dialog: progress mapping, the "<BR>" rewrite, the
// bounded list values, the initialisation-file reader, the image version and build number,
// the version comparison, the drive filter and the interface texts.
#include "app_support.h"

#include "platform/profile.h"

#include <fstream>

using namespace apptest;

namespace {

TEST(MapProgress, MapsPercentIntoTheCurrentBand) {
    struct Case {
        int16_t low, high;
        int32_t percent, expected;
        int16_t highAfter;
    } cases[] = {
        {30, 40, 0, 30, 40},  {30, 40, 50, 35, 40},  {80, 100, 33, 86, 100},
        {40, 60, 33, 46, 60}, {40, 60, 66, 53, 60},  {40, 60, 100, 60, 60},
        {0, 0, 50, 50, 100},  {20, 0, 0, 20, 0}, // upper end 0 reads as 100, only when used
    };
    for (const Case& c : cases) {
        g_App.nProgressLow = c.low;
        g_App.nProgressHigh = c.high;
        EXPECT_EQ(MapProgress(c.percent), c.expected) << c.low << ".." << c.high << " " << c.percent;
        EXPECT_EQ(g_App.nProgressHigh, c.highAfter);
    }
}

TEST(ReplaceAll, TurnsEveryBreakTagIntoALineBreakAndStaysInItsBuffer) {
    char16_t text[1024];
    WCopy(text, u"Warning ! <BR>If FW is not back compatible, The user data will be erased.<BR><br>");
    ReplaceAll(text, 1024, u"<BR>", u"\r\n");
    EXPECT_EQ(std::u16string(text),
              u"Warning ! \r\nIf FW is not back compatible, The user data will be erased.\r\n<br>");

    // A longer replacement in a small buffer is cut, never overrun.
    char16_t small[8];
    WCopy(small, u"a-b-c");
    ReplaceAll(small, 8, u"-", u"===");
    EXPECT_EQ(std::u16string(small), u"a===b==");
}

TEST(StoreList, EnclosesTheValueAndDropsAnIncompleteLastItem) {
    char16_t list[260];
    StoreList(list, u"");
    EXPECT_EQ(std::u16string(list), u"");
    StoreList(list, u"A;B");
    EXPECT_EQ(std::u16string(list), u";A;B;");

    // 32 items of 8 characters and a last one that does not fit whole.
    std::u16string value;
    for (int i = 0; i < 32; ++i)
        value += u"R1.0." + Wide(std::to_string(100 + i)) + u";";
    value += u"R1.0.23";
    ASSERT_GT(value.size(), 257u);
    StoreList(list, value.c_str());
    const std::u16string stored = list;
    EXPECT_LE(stored.size(), 259u);
    EXPECT_EQ(stored.find(u";R1.0;"), std::u16string::npos);
    // 28 items of 9 units fit in 257; the 29th would be cut inside.
    EXPECT_EQ(stored.substr(stored.size() - 10), u";R1.0.127;");
    EXPECT_EQ(stored.find(u"R1.0.128"), std::u16string::npos);
    // Every item kept is whole.
    EXPECT_NE(stored.find(u";R1.0.100;"), std::u16string::npos);
    EXPECT_EQ(stored.find(u";R1.0.2;"), std::u16string::npos);

    // A single item too long to keep admits nothing at all.
    std::u16string one(300, u'X');
    StoreList(list, one.c_str());
    EXPECT_EQ(std::u16string(list), u";;");
}

class ProfileFile : public ::testing::Test {
  protected:
    std::string path = (std::filesystem::temp_directory_path() /
                        ("fwrenew-profile-" + std::to_string(std::random_device{}()) + ".ini"))
                           .string();
    void Write(const std::vector<uint8_t>& bytes) {
        std::ofstream f(path, std::ios::binary);
        f.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    }
    std::u16string Text(const char16_t* key, const char16_t* fallback = u"dflt", uint32_t size = 64) {
        char16_t buffer[300];
        std::u16string p = Wide(path);
        PlatGetPrivateProfileString(u"UPDATEINFO", key, fallback, buffer, size, p.c_str());
        return buffer;
    }
    uint32_t Int(const char16_t* key, int32_t fallback = 77) {
        std::u16string p = Wide(path);
        return PlatGetPrivateProfileInt(u"UPDATEINFO", key, fallback, p.c_str());
    }
    void TearDown() override { std::filesystem::remove(path); }
};

TEST_F(ProfileFile, ReadsTextAndIntegersByTheWindowsRules) {
    Write(IniFile({{"TITLE", "  My Title  "},
                   {"Quoted", "\"  in quotes \""},
                   {"Single", "'x'"},
                   {"Half", "\"open"},
                   {"Long", std::string(100, 'L')},
                   {"PowerCtrl", "258"},
                   {"Neg", "-3"},
                   {"Junk", "12abc"},
                   {"Empty", ""},
                   {"NotNum", "abc"}}));
    EXPECT_EQ(Text(u"title"), u"My Title");
    EXPECT_EQ(Text(u"TITLE"), u"My Title");
    EXPECT_EQ(Text(u"Quoted"), u"  in quotes ");
    EXPECT_EQ(Text(u"Single"), u"x");
    EXPECT_EQ(Text(u"Half"), u"\"open");
    EXPECT_EQ(Text(u"Long", u"", 10), std::u16string(9, u'L'));
    EXPECT_EQ(Text(u"Missing", u"dflt  "), u"dflt");
    EXPECT_EQ(Int(u"powerctrl"), 258u);
    EXPECT_EQ(static_cast<int32_t>(Int(u"Neg")), -3);
    EXPECT_EQ(Int(u"Junk"), 12u);
    EXPECT_EQ(Int(u"Empty"), 77u);
    EXPECT_EQ(Int(u"NotNum"), 0u);
    EXPECT_EQ(Int(u"Missing"), 77u);
}

TEST_F(ProfileFile, OtherSectionsCommentsAndAMissingByteOrderMark) {
    std::vector<uint8_t> bytes = {0xFF, 0xFE};
    for (char c : std::string("[OTHER]\r\nTITLE=no\r\n; TITLE=comment\r\n[ updateinfo ]\r\nTITLE = yes\r\nTITLE=second\r\n")) {
        bytes.push_back(static_cast<uint8_t>(c));
        bytes.push_back(0);
    }
    Write(bytes);
    EXPECT_EQ(Text(u"TITLE"), u"yes");

    // UTF-16 text without its mark is read as ANSI bytes: nothing is found.
    Write(IniFile({{"TITLE", "T"}}, false));
    EXPECT_EQ(Text(u"TITLE"), u"dflt");
    // ANSI text without a mark is read as ANSI.
    const std::string ansi = "[UPDATEINFO]\r\nTITLE=Ansi\r\n";
    Write(std::vector<uint8_t>(ansi.begin(), ansi.end()));
    EXPECT_EQ(Text(u"TITLE"), u"Ansi");
    std::filesystem::remove(path);
    EXPECT_EQ(Text(u"TITLE"), u"dflt");
}

class ImageFile : public ProfileFile {
  protected:
    std::u16string P() const { return Wide(path); }
};

TEST_F(ImageFile, FindsTheVersionTextAndTheBuildNumber) {
    struct Case {
        std::string bytes;
        int found;
        std::u16string version;
    } cases[] = {
        {std::string("xx\0\0" "1.2.A.3B\0tail", 17), 1, u"1.2.A.3B"},
        {"1.2.A.3\0\0", 1, u"1.2.A.3"},         // ended at a NUL among the 8 bytes
        {"..a.b.c.d1.2.A.3Bzz", 1, u"c.d1.2.A"}, // a doubled dot ends a candidate
        {std::string("V1.02.03\0", 9), 0, u""},  // starts two bytes before its first dot
        {"1.2.3", 0, u""},                         // clipped at the end of the image
        {"ab.cd-ef.gh.ij.kl", 0, u""},             // any other byte ends it
        {".1.2.3", 0, u""},                        // the window starts before the image
        {"no dots at all", 0, u""},
    };
    for (const Case& c : cases) {
        Write(std::vector<uint8_t>(c.bytes.begin(), c.bytes.end()));
        char16_t version[33];
        EXPECT_EQ(ReadImageVersion(P().c_str(), version, 33), c.found) << c.bytes;
        EXPECT_EQ(std::u16string(version), c.version) << c.bytes;
    }

    sim::FirmwareImageSpec spec;
    spec.ftl_build = 0xA1B2C3D4;
    spec.size = 6 * 4096;
    Write(sim::MakeFirmwareImage(spec));
    EXPECT_EQ(ReadImageFtlBuildNum(P().c_str()), 0xA1B2C3D4u);
    spec.cmfg = false;
    Write(sim::MakeFirmwareImage(spec));
    EXPECT_EQ(ReadImageFtlBuildNum(P().c_str()), 0u);
    // A region table pointing past the image's end gives 0, not a read outside it.
    std::vector<uint8_t> image = sim::MakeFirmwareImage(sim::FirmwareImageSpec{});
    image[36] = 0xFF;
    image[37] = 0xFF;
    Write(image);
    EXPECT_EQ(ReadImageFtlBuildNum(P().c_str()), 0u);
    Write({});
    EXPECT_EQ(ReadImageFtlBuildNum(P().c_str()), 0u);
}

TEST_F(ImageFile, ComparesTheLeadingPartsOfTheInternalVersion) {
    const std::string image = std::string("hdr\0", 4) + "1.2.C.4D" + std::string("\0", 1);
    Write(std::vector<uint8_t>(image.begin(), image.end()));
    DebugCapture capture;
    struct Case {
        const char16_t* drive;
        int32_t parts, expected;
    } cases[] = {
        {u"1.2.A.3B", 2, 1}, {u"1.3.A.3B", 2, 0}, {u"1.2.A.3B", 3, 0}, {u"1.2.C.4D", 3, 1},
        {u"9.9.9.9Z", 0, 1}, {u".1.2.3AB", 0, 0}, {u"1.2.C.4D", 4, 1}, {u"1.2.C.4E", 4, 0},
        {u"1.2.C.4E", -1, 0},
    };
    for (const Case& c : cases)
        EXPECT_EQ(CheckInternalVersion(c.drive, c.parts, P().c_str()), c.expected)
            << Narrow(c.drive) << " parts " << c.parts;
    EXPECT_TRUE(Contains(LogLines(capture), "DrvInfoVersion = 1.3.A.3B, BinFWVersion = 1.2, iCheckPart = 2"));

    Write({'n', 'o', 'n', 'e'});
    capture.Clear();
    EXPECT_EQ(CheckInternalVersion(u"1.2.A.3B", 3, P().c_str()), 0);
    EXPECT_TRUE(Contains(LogLines(capture), "DrvInfoVersion = 1.2.A.3B, BinFWVersion = , iCheckPart = 3"));
}

TEST(IsDriveSupported, FiltersByModelListAndSocId) {
    DriveInfo d{};
    WCopy(d.DiskModel, u"ModelA");
    d.iVendorCode = 0x2259;
    struct Case {
        const char16_t* models;
        const char16_t* soc;
        uint32_t vendor;
        int32_t expected;
    } cases[] = {
        {u"", u"*", 0, 1},           {u"", u"TALVORIX", 0x2259, 1}, {u"", u"TALVORIX", 0, 0},
        {u"", u"talvorix", 0x2259, 0}, {u"", u"2259", 0x2259, 1},   {u"", u"2259", 0x2258, 0},
        {u"", u"", 0x2259, 0},        {u"", u"0AB1", 0xAB1, 1},     {u"", u"0ab1", 0xAB1, 0},
        {u";modela;ModelB;", u"*", 0, 1}, {u";Model;ModelB;", u"*", 0, 0},
        {u";ModelAB;", u"*", 0, 0},
    };
    for (const Case& c : cases) {
        d.iVendorCode = c.vendor;
        EXPECT_EQ(IsDriveSupported(&d, c.models, c.soc), c.expected)
            << Narrow(c.models) << " / " << Narrow(c.soc) << " / " << c.vendor;
    }
    DebugCapture capture;
    IsDriveSupported(&d, u";ModelA;ModelB;", u"*");
    EXPECT_EQ(LogLines(capture), std::vector<std::string>{"ModelA, ;ModelA;ModelB;"});
}

TEST(DriveTexts, LineAndInterfaceByTransport) {
    DriveInfo d{};
    WCopy(d.DiskModel, u"M");
    d.bRaw = 1;
    char16_t text[260];
    FormatDriveLine(&d, text, 260);
    EXPECT_EQ(std::u16string(text), u"M (RAW)");
    d.bRaw = 0;
    WCopy(d.DriveLetters, u"C: D: ");
    FormatDriveLine(&d, text, 260);
    EXPECT_EQ(std::u16string(text), u"M [C: D: ]");

    struct Case {
        int32_t type;
        uint64_t port;
        uint32_t speed, width;
        std::u16string expected;
    } cases[] = {
        {0, 1205, 0, 0, u"ASMedia Bridge NVME to USB-5"},
        {1, 1203, 0, 0, u"JMicron Bridge NVME to USB-3"},
        {2, 0, 3, 4, u"PCIE Gen3 Signaling Speed (8.0 Gbps) x 4"},
        {2, 0, 4, 2, u"PCIE Gen4 Signaling Speed (16.0 Gbps) x 2"},
        {2, 0, 7, 4, u" x 4"},
        {3, 0, 0, 0, u"Intel Rapid Storage Technology"},
        {16, 0, 3, 0, u"Serial ATA Gen3 Signaling Speed (6.0 Gbps)"},
        {17, 0, 1, 0, u"Serial ATA Gen1 Signaling Speed (1.5 Gbps)"},
        {18, 0, 4, 0, u""},
        {255, 0, 1, 0, u""},
    };
    for (const Case& c : cases) {
        d.iCmdType = c.type;
        d.iPort = c.port;
        d.iLinkSpeed = c.speed;
        d.iLinkWidth = c.width;
        FormatInterfaceText(&d, text, 260);
        EXPECT_EQ(std::u16string(text), c.expected) << c.type;
    }
}

} // namespace
