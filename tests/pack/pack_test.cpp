// fwrenew-pack: a good package passes; each broken one is named by exactly one problem; built
// archives extract through the updater's own reader to the same files and are byte-for-byte
// reproducible.
#include "package_check.h"

#include "package/archive.h"
#include "platform/files.h"
#include "disk/transport.h"
#include "sata/image_record.h"

#include <gtest/gtest.h>
#include <zip.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <string>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace {

constexpr size_t kPage = 4096;

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

uint32_t Crc(const uint8_t* p, size_t n, uint32_t prev) {
    uint32_t c = ~prev;
    for (size_t i = 0; i < n; ++i) {
        c ^= p[i];
        for (int k = 0; k < 8; ++k)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

// A whole "CMFG" image of `pages` pages: header (length, version text), region 0 = 1..n-4,
// region 1 = n-3, region 2 = n-2, check page n-1 with the check value and the build number.
std::vector<uint8_t> Image(const std::string& version = "2.10.A.1", uint32_t build = 4321,
                           size_t pages = 6) {
    std::vector<uint8_t> b(pages * kPage);
    for (size_t i = 0; i < b.size(); ++i)
        b[i] = static_cast<uint8_t>('a' + i % 26);
    std::memcpy(b.data(), "CMFG", 4);
    Put32(b, 4, static_cast<uint32_t>(b.size()));
    std::memset(&b[8], 0, 72);
    std::memcpy(&b[8], version.data(), std::min<size_t>(version.size(), 8));
    const uint32_t n = static_cast<uint32_t>(pages);
    const uint32_t regions[3][2] = {{1, n - 4}, {n - 3, n - 3}, {n - 2, n - 2}};
    for (int r = 0; r < 3; ++r) {
        Put32(b, 16 + 8 * r, regions[r][0]);
        Put32(b, 20 + 8 * r, regions[r][1]);
    }
    std::vector<uint8_t> head(b.begin(), b.begin() + 80);
    head.resize(kPage);
    uint32_t crc = Crc(head.data(), head.size(), 0);
    crc = Crc(&b[kPage], (n - 2) * kPage, crc); // pages 1..n-2: regions 0, 1 and 2
    Put32(b, (n - 1) * kPage + 8, 0);
    Put32(b, (n - 1) * kPage + 12, crc);
    Put32(b, (n - 1) * kPage + 4088, build);
    return b;
}

std::map<std::string, std::string> GoodIni(bool sata = false) {
    return {{"TITLE", "Example"},
            {"SOCID", "7A11"},
            {"FWVersion", "FW100000;FW100001"},
            {"NEWVERSION", "FW100002"},
            {"bIsSATA", sata ? "1" : "0"},
            {"PowerCtrl", "2"},
            {"BeforeMessage", "Warning ! <BR>Sure?"}};
}

std::vector<uint8_t> IniBytes(const std::map<std::string, std::string>& keys,
                              const std::string& section = "UPDATEINFO") {
    std::string text = "[" + section + "]\r\n";
    for (const auto& [k, v] : keys)
        text += k + "=" + v + "\r\n";
    std::vector<uint8_t> b = {0xFF, 0xFE};
    for (char c : text) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(0);
    }
    return b;
}

void Write(const fs::path& p, const std::vector<uint8_t>& bytes) {
    std::ofstream(p, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()),
               static_cast<std::streamsize>(bytes.size()));
}

std::vector<uint8_t> Read(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class Pack : public ::testing::Test {
  protected:
    void SetUp() override {
        char t[] = "/tmp/pack-test-XXXXXX";
        root = mkdtemp(t);
        dir = root / "pkg";
        Fill();
    }
    // A good package folder: the configuration and two images.
    void Fill() {
        fs::remove_all(dir);
        fs::create_directory(dir);
        Write(dir / "FwRenewInfo.ini", IniBytes(GoodIni()));
        Write(dir / "YMTC-X2-9060_2.fw", Image());
        Write(dir / "Samsung-V6_0.fw", Image("2.10.B.1", 5000, 8));
    }
    void TearDown() override { fs::remove_all(root); }

    static std::string Lines(const std::vector<pack::Problem>& problems) {
        std::string out;
        for (const auto& p : problems)
            out += pack::ProblemLine(p) + "\n";
        return out;
    }

    fs::path root, dir;
};

TEST_F(Pack, AGoodFolderAndItsArchiveHaveNoProblem) {
    EXPECT_EQ(Lines(pack::CheckFolder(dir)), "");
    const fs::path zip = root / "p.zip";
    ASSERT_EQ(Lines(pack::BuildArchive(dir, zip)), "");
    EXPECT_EQ(Lines(pack::CheckArchive(zip)), "");
}

// Each broken package is named by exactly one problem, in the right file, with its severity.
TEST_F(Pack, EachBrokenFolderIsNamedOnce) {
    struct Case {
        const char* name;
        std::function<void(const fs::path&)> breakIt;
        const char* file;
        const char* what;
        bool error;
    };
    auto ini = [](std::function<void(std::map<std::string, std::string>&)> edit,
                  bool sata = false) {
        return [=](const fs::path& d) {
            auto keys = GoodIni(sata);
            edit(keys);
            Write(d / "FwRenewInfo.ini", IniBytes(keys));
        };
    };
    auto image = [](const char* name, std::vector<uint8_t> bytes) {
        return [=](const fs::path& d) { Write(d / name, bytes); };
    };
    std::vector<uint8_t> pastEnd = Image();
    Put32(pastEnd, 36, 9); // region 2 ends at page 9 of a 6-page image
    std::vector<uint8_t> reversed = Image();
    Put32(reversed, 16, 3); // region 0: pages 3..2
    std::vector<uint8_t> corrupt = Image();
    corrupt[kPage + 7] ^= 1;
    std::vector<uint8_t> plain(6 * kPage, 0x41);
    std::vector<uint8_t> odd = Image();
    odd.resize(odd.size() + 100);
    const std::string longList = [] {
        std::string s = "FW100000";
        while (s.size() < 258)
            s += ";FW100000";
        return s;
    }();
    const std::vector<Case> cases = {
        {"no configuration", [](const fs::path& d) { fs::remove(d / "FwRenewInfo.ini"); },
         "FwRenewInfo.ini", "missing", true},
        {"UTF-8 configuration",
         [](const fs::path& d) {
             std::string t = "[UPDATEINFO]\r\nTITLE=x\r\nSOCID=*\r\n";
             Write(d / "FwRenewInfo.ini", std::vector<uint8_t>(t.begin(), t.end()));
         },
         "FwRenewInfo.ini", "not UTF-16LE with a byte-order mark", true},
        {"other section",
         [](const fs::path& d) { Write(d / "FwRenewInfo.ini", IniBytes(GoodIni(), "UPDATE")); },
         "FwRenewInfo.ini", "no section [UPDATEINFO]", true},
        {"no title", ini([](auto& k) { k.erase("TITLE"); }), "FwRenewInfo.ini", "TITLE missing",
         true},
        {"lower-case SOCID", ini([](auto& k) { k["SOCID"] = "7a11"; }), "FwRenewInfo.ini",
         "SOCID \"7a11\" is not", true},
        {"FWVersion too long", ini([&](auto& k) { k["FWVersion"] = longList; }), "FwRenewInfo.ini",
         "FWVersion is", true},
        {"BeforeMessage too long",
         ini([](auto& k) { k["BeforeMessage"] = std::string(1000, 'x'); }), "FwRenewInfo.ini",
         "BeforeMessage is 1000 characters", true},
        {"PowerCtrl 3", ini([](auto& k) { k["PowerCtrl"] = "3"; }), "FwRenewInfo.ini",
         "PowerCtrl is 3", false},
        {"PowerCtrl text", ini([](auto& k) { k["PowerCtrl"] = "two"; }), "FwRenewInfo.ini",
         "PowerCtrl \"two\" is not a decimal number", true},
        {"bIsSATA 2", ini([](auto& k) { k["bIsSATA"] = "2"; }), "FwRenewInfo.ini", "bIsSATA is 2",
         true},
        {"short revision", ini([](auto& k) { k["FWVersion"] = "FW1000;FW100001"; }),
         "FwRenewInfo.ini", "FWVersion entry \"FW1000\"", false},
        {"empty NEWVERSION", ini([](auto& k) { k["NEWVERSION"] = ""; }), "FwRenewInfo.ini",
         "NEWVERSION missing or empty", false},
        {"unknown NAND", image("Foo-NAND_2.fw", Image()), "Foo-NAND_2.fw",
         "\"Foo-NAND\" is not a NAND name", true},
        {"LUN not decimal", image("YMTC-X2-9060_x.fw", Image()), "YMTC-X2-9060_x.fw",
         "LUN count \"x\" is not", true},
        {"LUN with a leading zero", image("YMTC-X2-9060_02.fw", Image()), "YMTC-X2-9060_02.fw",
         "leading zero", false},
        {"no magic", image("YMTC-X2-9060_2.fw", plain), "YMTC-X2-9060_2.fw", "no \"CMFG\" magic",
         true},
        {"region past the end", image("YMTC-X2-9060_2.fw", pastEnd), "YMTC-X2-9060_2.fw",
         "region 2 ends at page 9, past the image's end", true},
        {"region reversed", image("YMTC-X2-9060_2.fw", reversed), "YMTC-X2-9060_2.fw",
         "region 0 starts at page 3, after its last page 2", true},
        {"check value", image("YMTC-X2-9060_2.fw", corrupt), "YMTC-X2-9060_2.fw", "check value",
         true},
        {"no build number", image("YMTC-X2-9060_2.fw", Image("2.10.A.1", 0)), "YMTC-X2-9060_2.fw",
         "no build number", true},
        {"no version", image("YMTC-X2-9060_2.fw", Image("V1020304")), "YMTC-X2-9060_2.fw",
         "no version text", true},
        {"short version", image("YMTC-X2-9060_2.fw", Image("1.2.3.4")), "YMTC-X2-9060_2.fw",
         "version text \"1.2.3.4\" is not 8 characters", true},
        {"SATA image not whole blocks",
         [&](const fs::path& d) {
             Write(d / "FwRenewInfo.ini", IniBytes(GoodIni(true)));
             Write(d / "YMTC-X2-9060_2.fw", odd);
         },
         "YMTC-X2-9060_2.fw", "not a whole number of 512-byte blocks", true},
        {"subfolder", [](const fs::path& d) { fs::create_directory(d / "more"); }, "more",
         "is a folder", true},
        {"stray file", image("notes.txt", {1, 2}), "notes.txt", "not an image", false},
        {"names differing in case", image("ymtc-x2-9060_2.fw", Image()), "ymtc-x2-9060_2.fw",
         "same name as YMTC-X2-9060_2.fw", true},
        {"no image",
         [](const fs::path& d) {
             fs::remove(d / "YMTC-X2-9060_2.fw");
             fs::remove(d / "Samsung-V6_0.fw");
         },
         "", "no image", true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Fill();
        c.breakIt(dir);
        const auto problems = pack::CheckFolder(dir);
        ASSERT_EQ(problems.size(), 1u) << Lines(problems);
        if (*c.file) {
            EXPECT_EQ(problems[0].file, c.file);
        }
        EXPECT_NE(problems[0].what.find(c.what), std::string::npos) << Lines(problems);
        EXPECT_EQ(problems[0].error, c.error) << Lines(problems);
        EXPECT_EQ(pack::HasError(problems), c.error);
    }
}

// An archive written by another tool, with items the updater would not extract as named.
TEST_F(Pack, ArchiveItemsTheUpdaterWouldChangeAreNamedOnce) {
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"sub/Samsung-V6_4.fw", "is in a folder"},
        {"../Samsung-V6_4.fw", "is in a folder"},
        // The reader renames or refuses such a name, depending on its rules: either is one error.
        {"Samsung-V6\x01_4.fw", ""},
        {"samsung-v6_0.fw", "a second item named like Samsung-V6_0.fw"},
    };
    for (const auto& [name, what] : cases) {
        SCOPED_TRACE(name);
        const fs::path zip = root / "other.zip";
        fs::remove(zip);
        int err = 0;
        zip_t* z = zip_open(zip.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &err);
        ASSERT_NE(z, nullptr);
        std::vector<std::vector<uint8_t>> keep;
        for (const char* n : {"FwRenewInfo.ini", "YMTC-X2-9060_2.fw", "Samsung-V6_0.fw"})
            keep.push_back(Read(dir / n));
        keep.push_back(Image());
        const char* names[] = {"FwRenewInfo.ini", "YMTC-X2-9060_2.fw", "Samsung-V6_0.fw",
                               name.c_str()};
        for (size_t i = 0; i < keep.size(); ++i) {
            zip_source_t* s = zip_source_buffer(z, keep[i].data(), keep[i].size(), 0);
            ASSERT_GE(zip_file_add(z, names[i], s, ZIP_FL_ENC_RAW), 0);
        }
        ASSERT_EQ(zip_close(z), 0);
        const auto problems = pack::CheckArchive(zip);
        ASSERT_EQ(problems.size(), 1u) << Lines(problems);
        EXPECT_TRUE(problems[0].error);
        EXPECT_EQ(problems[0].file, name);
        EXPECT_NE(problems[0].what.find(what), std::string::npos) << Lines(problems);
    }
}

TEST_F(Pack, ADamagedItemIsNamedOnce) {
    const fs::path zip = root / "p.zip";
    ASSERT_EQ(Lines(pack::BuildArchive(dir, zip)), "");
    std::vector<uint8_t> bytes = Read(zip);
    // Damage the compressed data of the last item (the archive is sorted:
    // YMTC-X2-9060_2.fw); its local header name is the first place that name appears.
    const std::string last = "YMTC-X2-9060_2.fw";
    auto at = std::search(bytes.begin(), bytes.end(), last.begin(), last.end());
    ASSERT_NE(at, bytes.end());
    const size_t dataStart = static_cast<size_t>(at - bytes.begin()) + last.size();
    bytes[dataStart + 30] ^= 0x55;
    Write(zip, bytes);
    const auto problems = pack::CheckArchive(zip);
    ASSERT_EQ(problems.size(), 1u) << Lines(problems);
    EXPECT_EQ(problems[0].file, last) << Lines(problems);
    EXPECT_EQ(problems[0].what, "cannot be extracted");
}

TEST_F(Pack, BuildThenTheUpdatersReaderGivesTheSameFiles) {
    const fs::path zip = root / "p.zip";
    ASSERT_EQ(Lines(pack::BuildArchive(dir, zip)), "");
    char16_t wzip[1024], wout[1024];
    const fs::path out = root / "out";
    fs::create_directory(out);
    ASSERT_GT(PlatUtf8ToWide(zip.c_str(), -1, wzip, 1024), 0);
    ASSERT_GT(PlatUtf8ToWide(out.c_str(), -1, wout, 1024), 0);
    ArchiveHandle* h = OpenArchive(wzip, nullptr);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(SetExtractFolder(h, wout), ARC_OK);
    ArchiveItem item = {};
    ASSERT_EQ(GetArchiveItem(h, -1, &item), ARC_OK);
    ASSERT_EQ(item.index, 3);
    std::vector<std::string> names;
    for (int32_t i = 0; i < item.index; ++i) {
        ArchiveItem it = {};
        ASSERT_EQ(GetArchiveItem(h, i, &it), ARC_OK);
        EXPECT_EQ(it.attributes, 0x20u);
        ASSERT_EQ(ExtractArchiveItem(h, i, it.name), ARC_OK);
        std::string n;
        for (const char16_t* p = it.name; *p; ++p)
            n.push_back(static_cast<char>(*p));
        names.push_back(n);
    }
    CloseArchive(h);
    EXPECT_EQ(names, (std::vector<std::string>{"FwRenewInfo.ini", "Samsung-V6_0.fw",
                                               "YMTC-X2-9060_2.fw"}));
    for (const std::string& n : names)
        EXPECT_EQ(Read(out / n), Read(dir / n)) << n;
}

TEST_F(Pack, BuildTwiceGivesTheSameBytesWhateverTheFileTimes) {
    const fs::path a = root / "a.zip", b = root / "b.zip";
    ASSERT_EQ(Lines(pack::BuildArchive(dir, a)), "");
    fs::last_write_time(dir / "Samsung-V6_0.fw",
                        fs::file_time_type::clock::now() - std::chrono::hours(50));
    ASSERT_EQ(Lines(pack::BuildArchive(dir, b)), "");
    EXPECT_EQ(Read(a), Read(b));
}

TEST_F(Pack, BuildRefusesWhatCheckRejectsAndWritesNothing) {
    Write(dir / "Foo-NAND_2.fw", Image());
    const fs::path zip = root / "p.zip";
    const auto problems = pack::BuildArchive(dir, zip);
    EXPECT_TRUE(pack::HasError(problems));
    EXPECT_FALSE(fs::exists(zip));
    fs::remove(dir / "Foo-NAND_2.fw");
    // An archive written into the folder would be packed into the next build.
    EXPECT_TRUE(pack::HasError(pack::BuildArchive(dir, dir / "p.zip")));
    EXPECT_FALSE(fs::exists(dir / "p.zip"));
}

// The tool refuses exactly the layouts the update's merge refuses, so that a package that passes
// check never fails in the merge (and a layout the merge takes is not rejected).
TEST(PackImageRules, LayoutErrorsAgreeWithTheUpdatersMerge) {
    struct Layout {
        const char* name;
        uint32_t table[6]; // first and last page of regions 0, 1, 2
    };
    const Layout layouts[] = {
        {"good", {1, 2, 3, 3, 4, 4}},
        {"region 2 past the end", {1, 2, 3, 3, 4, 9}},
        {"check page past the end", {1, 2, 3, 3, 5, 5}},
        {"region 0 reversed", {2, 1, 3, 3, 4, 4}},
        {"region 2 on the header page", {1, 2, 3, 3, 0, 0}},
        {"region 2 inside region 0", {1, 4, 3, 3, 2, 2}},
        {"check page on region 1", {1, 1, 3, 3, 2, 2}},
        {"regions 0 and 1 overlap", {1, 3, 2, 2, 4, 4}},
        {"huge page numbers", {1, 2, 3, 3, 0xFFFFFFF0u, 0xFFFFFFF0u}},
    };
    for (const Layout& l : layouts) {
        SCOPED_TRACE(l.name);
        std::vector<uint8_t> image = Image(); // 6 pages
        for (int i = 0; i < 6; ++i)
            Put32(image, 16 + 4 * static_cast<size_t>(i), l.table[i]);
        std::vector<pack::Problem> problems;
        pack::CheckImage("x.fw", image, false, problems);
        bool layoutRefused = false;
        for (const auto& p : problems)
            if (p.why == "the update's merge refuses such a layout" ||
                p.what.find("check page") != std::string::npos)
                layoutRefused = true;
        VendorConfigRecord record = {};
        const int32_t merged = MergeVendorConfigIntoImage(
            image.data(), static_cast<uint32_t>(image.size()), &record, u"KEEP");
        EXPECT_EQ(merged == kFwRequestFailed, layoutRefused) << merged;
        EXPECT_TRUE(merged == kFwRequestFailed || merged == 1) << merged;
    }
}

} // namespace
