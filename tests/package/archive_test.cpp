// The archive reader on archives built here field by field: opening, listing, names,
// attributes, times, extraction, and the damage it must report instead of writing.
#include "base/text.h"
#include "package/archive.h"
#include "platform/files.h"
#include "zip_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>

using namespace ziptest;

namespace {

struct Closer {
    void operator()(ArchiveHandle* h) const { CloseArchive(h); }
};
using Archive = std::unique_ptr<ArchiveHandle, Closer>;

class ArchiveTest : public ::testing::Test {
  protected:
    ArchiveTest() : scratch_(::testing::UnitTest::GetInstance()->current_test_info()->name()) {}

    // Writes the archive into the scratch folder and opens it with the extract folder "out".
    Archive Open(const std::vector<uint8_t>& bytes, const char* password = nullptr,
                 const char* name = "test.zip") {
        fs::path file = scratch_.path() / name;
        WriteBytes(file, bytes);
        Archive a(OpenArchive(P(file).c_str(), password));
        if (a) {
            fs::create_directories(Out());
            EXPECT_EQ(SetExtractFolder(a.get(), P(Out()).c_str()), ARC_OK);
        }
        return a;
    }
    fs::path Out() const { return scratch_.path() / "out"; }

    static int32_t Count(ArchiveHandle* a) {
        ArchiveItem item;
        EXPECT_EQ(GetArchiveItem(a, -1, &item), ARC_OK);
        return item.index;
    }
    static ArchiveItem Item(ArchiveHandle* a, int32_t i) {
        ArchiveItem item{};
        EXPECT_EQ(GetArchiveItem(a, i, &item), ARC_OK) << i;
        return item;
    }

    Scratch scratch_;
};

Entry File(const std::string& name, const std::string& content, uint16_t method = 8) {
    Entry e;
    e.name = name;
    e.data = Bytes(content);
    e.method = method;
    return e;
}

TEST(ArchiveResultTextTest, EveryCodeHasItsText) {
    const std::pair<ArchiveResult, const char*> table[] = {
        {0x0, "Success"},
        {0x100, "Culdn't duplicate handle"},
        {0x200, "Couldn't create/open file"},
        {0x300, "Failed to allocate memory"},
        {0x400, "Error writing to file"},
        {0x500, "File not found in the zipfile"},
        {0x600, "Still more data to unzip"},
        {0x700, "Zipfile is corrupt or not a zipfile"},
        {0x800, "Error reading file"},
        {0x1000, "Correct password required"},
        {0x10000, "Caller: faulty arguments"},
        {0x20000, "Caller: can only get memory of a memory zipfile"},
        {0x30000, "Caller: not enough space allocated for memory zipfile"},
        {0x40000, "Caller: there was a previous error"},
        {0x50000, "Caller: additions to the zip have already been ended"},
        {0x60000, "Zip-bug: the anticipated size turned out wrong"},
        {0x70000, "Caller: the file had already been partially unzipped"},
        {0x80000, "Caller: mixing creation and opening of zip"},
        {0x1000000, "Zip-bug: internal initialisation not completed"},
        {0x2000000, "Zip-bug: trying to seek the unseekable"},
        {0x4000000, "Zip-bug: tried to change mind, but not allowed"},
        {0x5000000, "Zip-bug: an internal error during flation"},
        {0x900, "unknown zip result code"},
        {0x12345, "unknown zip result code"},
    };
    for (auto& [code, text] : table)
        EXPECT_EQ(Utf8(ArchiveResultText(code)), text) << code;
}

TEST_F(ArchiveTest, MissingOrForeignHandlesAreRefused) {
    ArchiveItem item;
    item.index = 77;
    EXPECT_EQ(GetArchiveItem(nullptr, -1, &item), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(item.index, 0); // a caller that ignores results sees a count of 0
    EXPECT_EQ(LastArchiveResult(), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(ExtractArchiveItem(nullptr, 0, u"x"), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(SetExtractFolder(nullptr, u"x"), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(CloseArchive(nullptr), ARC_BAD_ARGUMENTS);
    EXPECT_FALSE(IsArchiveReader(nullptr));

    Archive a = Open(BuildZip({File("a.txt", "A")}).bytes);
    ASSERT_TRUE(a);
    EXPECT_TRUE(IsArchiveReader(a.get()));
    ArchiveHandle other{2, a->reader};
    EXPECT_FALSE(IsArchiveReader(&other));
    EXPECT_EQ(GetArchiveItem(&other, 0, &item), ARC_WRONG_KIND);
    EXPECT_EQ(ExtractArchiveItem(&other, 0, u"a.txt"), ARC_WRONG_KIND);
    EXPECT_EQ(CloseArchive(&other), ARC_WRONG_KIND);
    EXPECT_EQ(LastArchiveResult(), ARC_WRONG_KIND);
}

TEST_F(ArchiveTest, FilesThatAreNoArchiveDoNotOpen) {
    std::vector<uint8_t> valid = BuildZip({File("a.txt", "A")}).bytes;
    std::vector<uint8_t> noEnd = valid;
    noEnd[noEnd.size() - 22] = 'X'; // the end record's signature
    std::vector<uint8_t> twoDisks = valid;
    twoDisks[twoDisks.size() - 22 + 4] = 1;
    std::vector<uint8_t> centralPastEnd = valid;
    centralPastEnd[centralPastEnd.size() - 22 + 16] += 100; // central directory offset
    const std::vector<uint8_t> cases[] = {{},
                                          Bytes("PK\x05\x06 short"),
                                          noEnd,
                                          twoDisks,
                                          centralPastEnd,
                                          Bytes(std::string(5000, 'x'))};
    for (const auto& bytes : cases) {
        Archive a = Open(bytes);
        EXPECT_FALSE(a) << bytes.size();
        EXPECT_EQ(LastArchiveResult(), ARC_NO_FILE);
    }
    EXPECT_EQ(OpenArchive(P(scratch_.path() / "missing.zip").c_str(), nullptr), nullptr);
    EXPECT_EQ(LastArchiveResult(), ARC_NO_FILE);
}

TEST_F(ArchiveTest, EmptyArchiveOpensWithNoItems) {
    Archive a = Open(BuildZip({}).bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(Count(a.get()), 0);
    ArchiveItem item;
    EXPECT_EQ(GetArchiveItem(a.get(), 0, &item), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"x"), ARC_BAD_ARGUMENTS);
}

TEST_F(ArchiveTest, LongCommentsAndStubsAreFound) {
    std::vector<Entry> entries = {File("a.txt", "alpha"), File("b/c.txt", "gamma", 0)};
    std::vector<uint8_t> stub(3000, 0x90);
    struct Case {
        std::string comment;
        std::vector<uint8_t> prefix;
    } cases[] = {{std::string(60000, 'c'), {}},
                 {std::string(65535, 'c'), {}},
                 {"", stub},
                 {std::string(1020, 'z'), stub}};
    for (const Case& c : cases) {
        Archive a = Open(BuildZip(entries, c.comment, c.prefix).bytes);
        ASSERT_TRUE(a) << c.comment.size() << " " << c.prefix.size();
        EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"a.txt"), ARC_OK);
        EXPECT_EQ(ExtractArchiveItem(a.get(), 1, u"b/c.txt"), ARC_OK);
        EXPECT_EQ(ReadBytes(Out() / "a.txt"), Bytes("alpha"));
        EXPECT_EQ(ReadBytes(Out() / "b" / "c.txt"), Bytes("gamma"));
    }
}

TEST_F(ArchiveTest, NamesAreDecodedAndCleaned) {
    const std::pair<std::string, std::string> table[] = {
        {"C:\\dir\\a.bin", "dir\\a.bin"},
        {"/dir/a.bin", "dir/a.bin"},
        {"a/../b.bin", "b.bin"},
        {"x\\..\\y\\../z/..\\w.bin", "w.bin"},
        {"//C:/a.bin", "a.bin"},
        {"../up.bin", "up.bin"},
        {"..\\..\\up.bin", "up.bin"},
        {"a/..\\..\\b.bin", "b.bin"},
        {"tab\there\x01.bin", "tab\there\x01.bin"}, // kept, and refused at extraction
        {"\xc3\x84\xc3\x96\xc3\x9c-\xe4\xb8\x96\xe7\x95\x8c.txt",
         "\xc3\x84\xc3\x96\xc3\x9c-\xe4\xb8\x96\xe7\x95\x8c.txt"},
    };
    std::vector<Entry> entries;
    for (auto& [stored, clean] : table)
        entries.push_back(File(stored, "x")); // UTF-8 flag clear
    Archive a = Open(BuildZip(entries).bytes);
    ASSERT_TRUE(a);
    for (int32_t i = 0; i < static_cast<int32_t>(std::size(table)); ++i)
        EXPECT_EQ(Utf8(Item(a.get(), i).name), table[i].second) << table[i].first;
}

// Names that still point upwards after cleaning, and targets that do, never write outside.
TEST_F(ArchiveTest, NothingLandsOutsideTheExtractFolder) {
    const char* names[] = {"../evil1.txt",
                           "..\\evil2.txt",
                           "a/../../evil3.txt",
                           "a/..\\..\\evil4.txt",
                           "sub/..",
                           ".. /evil5.txt",
                           "../../../../../../../../../tmp/evil6.txt"};
    std::vector<Entry> entries;
    for (const char* n : names)
        entries.push_back(File(n, "evil"));
    Archive a = Open(BuildZip(entries).bytes);
    ASSERT_TRUE(a);
    for (int32_t i = 0; i < static_cast<int32_t>(std::size(names)); ++i) {
        ArchiveItem item = Item(a.get(), i);
        ArchiveResult r = ExtractArchiveItem(a.get(), i, item.name);
        EXPECT_TRUE(r == ARC_OK || r == ARC_BAD_ARGUMENTS || r == ARC_NO_FILE) << names[i];
    }
    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"../outside.txt"), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"in/..\\../outside.txt"), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u""), ARC_BAD_ARGUMENTS);
    // The scratch folder holds the archive and the extract folder, nothing else.
    std::vector<std::string> top;
    for (auto& e : fs::directory_iterator(scratch_.path()))
        top.push_back(Str(e.path().filename().u8string()));
    std::sort(top.begin(), top.end());
    EXPECT_EQ(top, (std::vector<std::string>{"out", "test.zip"}));
    EXPECT_FALSE(fs::exists(fs::path(scratch_.path()).parent_path() / "evil1.txt"));
}

// Windows will not replace a file that another program holds open without allowing its
// deletion (a virus scanner reading it): the item then fails with 0x400, the held file keeps
// its content and no temporary file stays. Where open files can be replaced (Linux), the item
// simply replaces it.
TEST_F(ArchiveTest, AFileThatCannotBeReplacedIsReported) {
    Archive a = Open(BuildZip({File("held.fw", "new image")}).bytes);
    ASSERT_TRUE(a);
    WriteBytes(scratch_.path() / "probe", Bytes("p"));
    PlatHandle probe = PlatFileOpenRead(P(scratch_.path() / "probe").c_str());
    ASSERT_NE(probe, PLAT_INVALID_HANDLE);
    const bool heldFilesStay = PlatDeleteFile(P(scratch_.path() / "probe").c_str()) == 0;
    PlatFileClose(probe);

    WriteBytes(Out() / "held.fw", Bytes("old image"));
    PlatHandle held = PlatFileOpenRead(P(Out() / "held.fw").c_str());
    ASSERT_NE(held, PLAT_INVALID_HANDLE);
    ArchiveResult r = ExtractArchiveItem(a.get(), 0, u"held.fw");
    PlatFileClose(held);
    if (heldFilesStay) {
        EXPECT_EQ(r, ARC_WRITE_FAILED);
        EXPECT_EQ(ReadBytes(Out() / "held.fw"), Bytes("old image"));
    } else {
        EXPECT_EQ(r, ARC_OK);
        EXPECT_EQ(ReadBytes(Out() / "held.fw"), Bytes("new image"));
    }
    EXPECT_EQ(Tree(Out()), (std::vector<std::string>{"held.fw"}));
}

// Names that Windows reads as a device, a stream or another name are refused on every build,
// with nothing written; their near neighbours extract.
TEST_F(ArchiveTest, NamesWindowsWouldMisreadAreRefused) {
    const char* refused[] = {"COM1",        "CON.txt",     "nul",         "nul.fw",
                             "Aux .txt",    "lpt9",        "com0.bin",    "com\xc2\xb9.fw",
                             "CONIN$",      "conout$.log", "prn  ",       "dir/PRN/x.bin",
                             "NuL/x.bin",   "ab:c",        "x.fw:stream", "trail.",
                             "trail ",      "dir./x",      "dir /x",      "a<b",
                             "a>b",         "a\"b",        "a|b",         "a?b",
                             "a*b",         "tab\tname",   "new\nline",   "esc\x1b",
                             "dir\\..\\..."};
    const char* accepted[] = {"console.txt", "com10",         "lpt",   "nul_",
                              "con_fig.ini", ".hidden",       "a.b.c", "COM1x.fw",
                              "auxx",        "d.d/e e/f.bin", "conin", " lead"};
    std::vector<Entry> entries;
    for (const char* n : refused)
        entries.push_back(File(n, "to a device"));
    for (const char* n : accepted)
        entries.push_back(File(n, "a file"));
    Archive a = Open(BuildZip(entries).bytes);
    ASSERT_TRUE(a);
    for (int32_t i = 0; i < static_cast<int32_t>(entries.size()); ++i) {
        ArchiveItem item = Item(a.get(), i);
        bool refuse = i < static_cast<int32_t>(std::size(refused));
        EXPECT_EQ(ExtractArchiveItem(a.get(), i, item.name), refuse ? ARC_BAD_ARGUMENTS : ARC_OK)
            << entries[static_cast<size_t>(i)].name;
    }
    EXPECT_EQ(Tree(Out()),
              (std::vector<std::string>{" lead", ".hidden", "COM1x.fw", "a.b.c", "auxx", "com10",
                                        "con_fig.ini", "conin", "console.txt", "d.d/", "d.d/e e/",
                                        "d.d/e e/f.bin", "lpt", "nul_"}));
    // A directory item with such a name is refused too.
    Entry dir = File("aux/", "");
    dir.external = (040755u << 16) | 0x10;
    Archive b = Open(BuildZip({dir}).bytes, nullptr, "dir.zip");
    ASSERT_TRUE(b);
    EXPECT_EQ(ExtractArchiveItem(b.get(), 0, u"aux/"), ARC_BAD_ARGUMENTS);
    EXPECT_FALSE(fs::exists(Out() / "aux"));
}

// A link below the extract folder is never followed: an item whose path meets one fails with
// 0x200 and writes nothing, neither outside nor inside.
TEST_F(ArchiveTest, LinksBelowTheExtractFolderAreNotFollowed) {
    fs::path outside = scratch_.path() / "outside";
    fs::create_directories(outside);
    WriteBytes(outside / "target.txt", Bytes("precious"));
    Entry dirItem = File("sym/", "");
    dirItem.external = (040755u << 16) | 0x10;
    Archive a = Open(BuildZip({File("sym/pwn.txt", "pwned"), File("a/sym/b/pwn.txt", "pwned"),
                               File("file.txt", "pwned"), dirItem, File("a/ok.txt", "fine")})
                         .bytes);
    ASSERT_TRUE(a);
    std::error_code ec;
    fs::create_directory_symlink(outside, Out() / "sym", ec);
    if (ec) GTEST_SKIP() << "this system cannot make symbolic links: " << ec.message();
    fs::create_directories(Out() / "a");
    fs::create_directory_symlink(outside, Out() / "a" / "sym", ec);
    ASSERT_FALSE(ec);
    fs::create_symlink(outside / "target.txt", Out() / "file.txt", ec);
    ASSERT_FALSE(ec);

    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"sym/pwn.txt"), ARC_NO_FILE);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 1, u"a/sym/b/pwn.txt"), ARC_NO_FILE);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 2, u"file.txt"), ARC_NO_FILE);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 3, u"sym/"), ARC_NO_FILE);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 4, u"a/ok.txt"), ARC_OK);
    EXPECT_EQ(Tree(outside), (std::vector<std::string>{"target.txt"}));
    EXPECT_EQ(ReadBytes(outside / "target.txt"), Bytes("precious"));
    EXPECT_TRUE(fs::is_symlink(Out() / "file.txt"));
    EXPECT_EQ(Tree(Out()),
              (std::vector<std::string>{"a/", "a/ok.txt", "a/sym", "file.txt", "sym"}));
}

// Items whose data is not their own: a local header that a lower item already uses, data that
// runs into the next local header, into the central directory or past the archive's end.
TEST_F(ArchiveTest, OverlappingItemsAreRefused) {
    // 16 central records share one local header of 1 MiB of zeros (a few KiB compressed).
    ZipLayout one = BuildZip({File("zero.bin", std::string(1 << 20, '\0'))});
    std::vector<uint8_t> record(one.bytes.begin() + one.centralOffset,
                                one.bytes.begin() + one.centralOffset + one.centralSize);
    std::vector<uint8_t> shared(one.bytes.begin(), one.bytes.begin() + one.centralOffset);
    for (int i = 0; i < 16; ++i)
        shared.insert(shared.end(), record.begin(), record.end());
    Put32(shared, 0x06054B50);
    Put32(shared, 0);
    Put16(shared, 16);
    Put16(shared, 16);
    Put32(shared, one.centralSize * 16);
    Put32(shared, one.centralOffset);
    Put16(shared, 0);
    {
        Archive a = Open(shared, nullptr, "shared.zip");
        ASSERT_TRUE(a);
        ASSERT_EQ(Count(a.get()), 16);
        EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"zero0.bin"), ARC_OK);
        ArchiveItem item;
        for (int32_t i = 1; i < 16; ++i) {
            EXPECT_EQ(GetArchiveItem(a.get(), i, &item), ARC_CORRUPT) << i;
            EXPECT_EQ(ExtractArchiveItem(a.get(), i, u"zero.bin"), ARC_CORRUPT) << i;
            EXPECT_EQ(TestArchiveItem(a.get(), i), ARC_CORRUPT) << i;
        }
        EXPECT_EQ(Tree(Out()), (std::vector<std::string>{"zero0.bin"}));
        EXPECT_EQ(fs::file_size(Out() / "zero0.bin"), 1u << 20);
    }

    // Compressed sizes grown by 8 in both headers: the data of "a" runs into the local header
    // of "b", the data of "c" into the central directory; "b" is untouched. Then the last item's
    // local header offset is moved into the central directory.
    auto grow = [](ZipLayout& z, size_t item, uint32_t by) {
        size_t local = z.localOffsets[item] + 18;
        size_t central = z.centralOffset;
        for (size_t k = 0; k < item; ++k)
            central += 46 + z.bytes[central + 28];
        central += 20;
        for (size_t at : {local, central}) {
            uint32_t v = z.bytes[at] | z.bytes[at + 1] << 8;
            v += by;
            z.bytes[at] = static_cast<uint8_t>(v);
            z.bytes[at + 1] = static_cast<uint8_t>(v >> 8);
        }
    };
    ZipLayout z = BuildZip({File("a", "alpha alpha"), File("b", "beta beta"), File("c", "gamma")});
    grow(z, 0, 8);
    grow(z, 2, 8);
    {
        Archive a = Open(z.bytes, nullptr, "grown.zip");
        ASSERT_TRUE(a);
        EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"a"), ARC_CORRUPT);
        EXPECT_EQ(ExtractArchiveItem(a.get(), 1, u"b"), ARC_OK);
        EXPECT_EQ(ExtractArchiveItem(a.get(), 2, u"c"), ARC_CORRUPT);
    }
    ZipLayout past = BuildZip({File("a", "alpha"), File("b", "beta")});
    size_t lastOffset = past.centralOffset + 46 + 1 + 42;
    past.bytes[lastOffset] = static_cast<uint8_t>(past.centralOffset);
    past.bytes[lastOffset + 1] = static_cast<uint8_t>(past.centralOffset >> 8);
    {
        Archive a = Open(past.bytes, nullptr, "past.zip");
        ASSERT_TRUE(a);
        EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"a"), ARC_OK);
        EXPECT_EQ(ExtractArchiveItem(a.get(), 1, u"b"), ARC_CORRUPT);
    }
    EXPECT_EQ(Tree(Out()), (std::vector<std::string>{"a", "b", "zero0.bin"}));
}

TEST_F(ArchiveTest, AttributesFollowTheHostSystem) {
    struct Case {
        uint16_t madeBy;
        uint32_t external;
        uint32_t attributes;
    } table[] = {
        {0x0314, 0100644u << 16, 0x20},         // Unix file
        {0x0314, 0100444u << 16, 0x21},         // Unix read-only file
        {0x0314, (040755u << 16) | 0x10, 0x30}, // Unix folder
        {0x0014, 0x27, 0x27},                   // MS-DOS: all bits
        {0x0014, 0x10, 0x10},                   // MS-DOS folder, no archive bit
        {0x0B14, 0x01, 0x01},                   // NTFS host 11
        {0x0E14, 0x22, 0x22},                   // VFAT host 14
        {0x1314, 0x00000000, 0x21},             // macOS host, no mode: read-only
    };
    std::vector<Entry> entries;
    for (auto& c : table) {
        Entry e = File("f", "x");
        e.madeBy = c.madeBy;
        e.external = c.external;
        entries.push_back(e);
    }
    Archive a = Open(BuildZip(entries).bytes);
    ASSERT_TRUE(a);
    for (int32_t i = 0; i < static_cast<int32_t>(std::size(table)); ++i)
        EXPECT_EQ(Item(a.get(), i).attributes, table[i].attributes) << i;
}

uint64_t LocalToUtc(uint16_t y, uint16_t mo, uint16_t d, uint16_t h, uint16_t mi, uint16_t s) {
    PlatSystemTime st{y, mo, 0, d, h, mi, s, 0};
    uint64_t local = 0, utc = 0;
    EXPECT_TRUE(PlatSystemTimeToFileTime(&st, &local));
    EXPECT_TRUE(PlatLocalFileTimeToFileTime(local, &utc));
    return utc;
}

TEST_F(ArchiveTest, TimesComeFromDosFieldsAndTheExtendedTimestamp) {
    Entry dosOnly = File("dos.txt", "d");
    Entry writeOnly = File("ut1.txt", "u");
    // "UT", 5 bytes: flags 1 (last write), 2010-09-05 02:12:01 UTC.
    writeOnly.localExtra = {'U', 'T', 5, 0, 1, 0x21, 0x7C, 0x83, 0x4C};
    Entry allThree = File("ut3.txt", "u");
    allThree.localExtra = {0x99, 0x99, 2,  0, 0,   0, // an unknown block first
                           'U',  'T',  13, 0, 7,   0x21, 0x7C, 0x83, 0x4C,
                           100,  0,    0,  0, 200, 0,    0,    0};
    Entry cutShort = File("cut.txt", "u");
    cutShort.localExtra = {'U', 'T', 13, 0, 7, 0x21, 0x7C}; // claims more than the field holds
    Entry longExtra = File("long.txt", "u"); // an extra field longer than one header read
    longExtra.localExtra = {0x99, 0x99, 0x2C, 0x01};
    longExtra.localExtra.resize(4 + 300, 0xEE);
    const std::vector<uint8_t> ut1 = {'U', 'T', 5, 0, 1, 0x21, 0x7C, 0x83, 0x4C};
    longExtra.localExtra.insert(longExtra.localExtra.end(), ut1.begin(), ut1.end());
    Archive a = Open(BuildZip({dosOnly, writeOnly, allThree, cutShort, longExtra}).bytes);
    ASSERT_TRUE(a);
    const uint64_t dos = LocalToUtc(2021, 3, 4, 5, 6, 8);
    const uint64_t ut = 0x4C837C21ull * 10000000 + 116444736000000000ull;
    ArchiveItem i0 = Item(a.get(), 0), i1 = Item(a.get(), 1), i2 = Item(a.get(), 2),
                i3 = Item(a.get(), 3);
    EXPECT_EQ(i0.lastWriteTime, dos);
    EXPECT_EQ(i0.lastAccessTime, dos);
    EXPECT_EQ(i0.creationTime, dos);
    EXPECT_EQ(i1.lastWriteTime, ut);
    EXPECT_EQ(i1.lastAccessTime, dos);
    EXPECT_EQ(i1.creationTime, dos);
    EXPECT_EQ(i2.lastWriteTime, ut);
    EXPECT_EQ(i2.lastAccessTime, 100ull * 10000000 + 116444736000000000ull);
    EXPECT_EQ(i2.creationTime, 200ull * 10000000 + 116444736000000000ull);
    EXPECT_EQ(i3.lastWriteTime, dos);
    EXPECT_EQ(Item(a.get(), 4).lastWriteTime, ut);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 4, u"long.txt"), ARC_OK);

    // Extraction sets the last write time of the file.
    ASSERT_EQ(ExtractArchiveItem(a.get(), 1, i1.name), ARC_OK);
    PlatFindData found{};
    PlatHandle h = PlatFindFirst(P(Out() / "ut1.txt").c_str(), &found);
    ASSERT_NE(h, PLAT_INVALID_HANDLE);
    PlatFindClose(h);
    EXPECT_EQ(found.lastWriteTime / 10000000, ut / 10000000);
}

TEST_F(ArchiveTest, ExtractionMakesFoldersAndFiles) {
    Entry dir = File("d/e/", "");
    dir.external = (040755u << 16) | 0x10;
    Entry ro = File("ro.txt", "read only");
    ro.external = 0100444u << 16;
    std::string big(200000, '\0');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>("firmware"[i % 8] + i / 4096);
    Archive a = Open(BuildZip({File("a/b/c.txt", "nested"), File("empty.bin", ""), dir, ro,
                               File("big.bin", big), File("big0.bin", big, 0)})
                         .bytes);
    ASSERT_TRUE(a);
    ASSERT_EQ(Count(a.get()), 6);
    for (int32_t i = 0; i < 6; ++i)
        EXPECT_EQ(ExtractArchiveItem(a.get(), i, Item(a.get(), i).name), ARC_OK) << i;
    EXPECT_EQ(Tree(Out()),
              (std::vector<std::string>{"a/", "a/b/", "a/b/c.txt", "big.bin", "big0.bin", "d/",
                                        "d/e/", "empty.bin", "ro.txt"}));
    EXPECT_EQ(ReadBytes(Out() / "a" / "b" / "c.txt"), Bytes("nested"));
    EXPECT_TRUE(ReadBytes(Out() / "empty.bin").empty());
    EXPECT_EQ(ReadBytes(Out() / "big.bin"), Bytes(big));
    EXPECT_EQ(ReadBytes(Out() / "big0.bin"), Bytes(big));
    EXPECT_EQ(PlatGetFileAttributes(P(Out() / "ro.txt").c_str()) & PLAT_ATTR_READONLY,
              PLAT_ATTR_READONLY);

    // An absolute target does not use the extract folder.
    fs::path elsewhere = scratch_.path() / "abs" / "x.txt";
    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, P(elsewhere).c_str()), ARC_OK);
    EXPECT_EQ(ReadBytes(elsewhere), Bytes("nested"));
}

TEST_F(ArchiveTest, ItemsAreCachedAndTheWalkRestarts) {
    std::vector<Entry> entries;
    for (int i = 0; i < 8; ++i)
        entries.push_back(File("item" + std::to_string(i), std::string(i, 'x')));
    Archive a = Open(BuildZip(entries).bytes);
    ASSERT_TRUE(a);
    ArchiveItem five = Item(a.get(), 5);
    ArchiveItem three = Item(a.get(), 3); // lower: starts again from the first item
    ArchiveItem threeAgain = Item(a.get(), 3);
    EXPECT_EQ(Utf8(five.name), "item5");
    EXPECT_EQ(five.index, 5);
    EXPECT_EQ(Utf8(three.name), "item3");
    EXPECT_EQ(three.uncompressedSize, 3);
    EXPECT_EQ(0, std::memcmp(&three, &threeAgain, sizeof three));
    EXPECT_EQ(ExtractArchiveItem(a.get(), 7, u"seven"), ARC_OK);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 1, u"one"), ARC_OK);
    EXPECT_EQ(ReadBytes(Out() / "seven"), Bytes("xxxxxxx"));
    EXPECT_EQ(ReadBytes(Out() / "one"), Bytes("x"));
    ArchiveItem bad;
    EXPECT_EQ(GetArchiveItem(a.get(), 8, &bad), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(GetArchiveItem(a.get(), -2, &bad), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(ExtractArchiveItem(a.get(), -1, u"x"), ARC_BAD_ARGUMENTS);
}

// Damaged items are reported and leave no file with wrong content under their names.
TEST_F(ArchiveTest, DamagedItemsFailAndLeaveNoFile) {
    std::string text(50000, 'q');
    for (size_t i = 0; i < text.size(); i += 7)
        text[i] = static_cast<char>('a' + i % 26);
    std::vector<Entry> entries;
    Entry e = File("crc-stored", text, 0);
    e.overrideCrc = true;
    e.crc = Crc(Bytes(text)) ^ 1;
    entries.push_back(e);
    e = File("crc-deflated", text);
    e.overrideCrc = true;
    e.crc = Crc(Bytes(text)) ^ 0x80000000u;
    entries.push_back(e);
    e = File("broken-deflate", text);
    e.replaceCompressed = RawDeflate(Bytes(text));
    e.replaceCompressed[0] = 0x07; // a final block of the reserved type
    e.useReplace = true;
    entries.push_back(e);
    e = File("short-deflate", text); // the stream ends before the declared size
    e.overrideUncompressed = true;
    e.uncompressed = static_cast<uint32_t>(text.size() + 10);
    entries.push_back(e);
    e = File("truncated-deflate", text); // the compressed data is cut
    e.replaceCompressed = RawDeflate(Bytes(text));
    e.replaceCompressed.resize(e.replaceCompressed.size() / 2);
    e.useReplace = true;
    entries.push_back(e);
    e = File("stored-sizes-differ", text, 0);
    e.overrideUncompressed = true;
    e.uncompressed = 100;
    entries.push_back(e);
    Archive a = Open(BuildZip(entries).bytes);
    ASSERT_TRUE(a);
    const ArchiveResult expected[] = {ARC_CORRUPT, ARC_CORRUPT, ARC_FLATE,
                                      ARC_CORRUPT, ARC_FLATE,   ARC_CORRUPT};
    for (int32_t i = 0; i < static_cast<int32_t>(entries.size()); ++i) {
        EXPECT_EQ(ExtractArchiveItem(a.get(), i, U16(entries[i].name).c_str()), expected[i])
            << entries[i].name;
        EXPECT_FALSE(fs::exists(Out() / entries[i].name)) << entries[i].name;
    }
    // Nothing is left behind: no partial file, no temporary one.
    EXPECT_TRUE(Tree(Out()).empty());
    // A good file already at the name stays as it was when the item fails, also where the
    // damage shows only after data was written (CRC-32, broken or cut deflate data).
    for (int32_t i = 0; i < static_cast<int32_t>(entries.size()); ++i) {
        WriteBytes(Out() / entries[i].name, Bytes("good " + entries[i].name));
        EXPECT_EQ(ExtractArchiveItem(a.get(), i, U16(entries[i].name).c_str()), expected[i]);
        EXPECT_EQ(ReadBytes(Out() / entries[i].name), Bytes("good " + entries[i].name));
    }
    EXPECT_EQ(Tree(Out()).size(), entries.size());
}

// A sound item replaces a file of its name whole; a read-only file there stays, as Windows
// will not replace it; a folder there is not replaced either.
TEST_F(ArchiveTest, ExistingFilesAreReplacedWholeOrKept) {
    Archive a = Open(
        BuildZip({File("f.txt", "new content"), File("ro.txt", "new"), File("dir", "new")}).bytes);
    ASSERT_TRUE(a);
    WriteBytes(Out() / "f.txt", Bytes(std::string(5000, 'o')));
    WriteBytes(Out() / "ro.txt", Bytes("kept"));
    fs::permissions(Out() / "ro.txt",
                    fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write,
                    fs::perm_options::remove);
    fs::create_directories(Out() / "dir");
    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"f.txt"), ARC_OK);
    EXPECT_EQ(ReadBytes(Out() / "f.txt"), Bytes("new content"));
    EXPECT_EQ(ExtractArchiveItem(a.get(), 1, u"ro.txt"), ARC_NO_FILE);
    EXPECT_EQ(ReadBytes(Out() / "ro.txt"), Bytes("kept"));
    EXPECT_EQ(ExtractArchiveItem(a.get(), 2, u"dir"), ARC_NO_FILE);
    EXPECT_EQ(Tree(Out()), (std::vector<std::string>{"dir/", "f.txt", "ro.txt"}));
}

TEST_F(ArchiveTest, LocalHeaderMustAgreeWithTheCentralRecord) {
    Entry methodDiffers = File("m", "data");
    methodDiffers.localMethod = 0;
    Entry unsupported = File("u", "data");
    unsupported.method = 12;
    unsupported.localMethod = 12;
    ZipLayout z = BuildZip({File("ok", "fine"), methodDiffers, unsupported, File("sig", "x")});
    z.bytes[z.localOffsets[3]] = 'Q'; // local signature
    Archive a = Open(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, u"ok"), ARC_OK);
    ArchiveItem item;
    for (int32_t i = 1; i < 4; ++i) {
        EXPECT_EQ(GetArchiveItem(a.get(), i, &item), ARC_CORRUPT) << i;
        EXPECT_EQ(ExtractArchiveItem(a.get(), i, u"x"), ARC_CORRUPT) << i;
    }
    EXPECT_FALSE(fs::exists(Out() / "x"));
}

// A central directory that says it has more records than it holds ends the walk.
TEST_F(ArchiveTest, UnreadableCentralRecordEndsTheWalk) {
    ZipLayout z = BuildZip({File("a", "1"), File("b", "2"), File("c", "3")});
    size_t end = z.bytes.size() - 22;
    z.bytes[z.centralOffset + 46 + 1] = 'X'; // signature of the second central record
    Archive a = Open(z.bytes);
    ASSERT_TRUE(a);
    EXPECT_EQ(Utf8(Item(a.get(), 0).name), "a");
    ArchiveItem item;
    EXPECT_EQ(GetArchiveItem(a.get(), 1, &item), ARC_CORRUPT);
    EXPECT_EQ(GetArchiveItem(a.get(), 2, &item), ARC_CORRUPT);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 2, u"c"), ARC_CORRUPT);

    ZipLayout many = BuildZip({File("a", "1")});
    end = many.bytes.size() - 22;
    many.bytes[end + 8] = many.bytes[end + 10] = 200;  // 200 items, one record
    many.bytes[end + 16] = 0;                          // keep the directory inside the file
    Archive b = Open(many.bytes, nullptr, "many.zip"); // test.zip is still open
    ASSERT_TRUE(b);
    EXPECT_EQ(Count(b.get()), 200);
    EXPECT_EQ(GetArchiveItem(b.get(), 150, &item), ARC_CORRUPT);
}

// Every prefix of a valid archive either fails to open or fails its items: never a crash and
// never a success with wrong content.
TEST_F(ArchiveTest, TruncatedArchivesNeverYieldWrongData) {
    std::string text(3000, 't');
    for (size_t i = 0; i < text.size(); i += 5)
        text[i] = static_cast<char>('0' + i % 10);
    std::vector<uint8_t> full = BuildZip({File("one.txt", text), File("two.txt", "two", 0)}).bytes;
    for (size_t len = 0; len < full.size(); len += 3) {
        std::vector<uint8_t> cut(full.begin(), full.begin() + static_cast<std::ptrdiff_t>(len));
        Archive a = Open(cut);
        if (!a) continue;
        for (int32_t i = 0; i < 2; ++i) {
            const char16_t* name = i == 0 ? u"one.txt" : u"two.txt";
            if (ExtractArchiveItem(a.get(), i, name) == ARC_OK) {
                EXPECT_EQ(ReadBytes(Out() / (i == 0 ? "one.txt" : "two.txt")),
                          Bytes(i == 0 ? text : "two"))
                    << len;
            }
        }
        a.reset();
        scratch_.Clear();
        fs::create_directories(scratch_.path());
    }
}

// Names, folders and paths beyond the fixed 260-unit buffers are refused, never overrun.
TEST_F(ArchiveTest, OverlongNamesAndPathsAreRefused) {
    std::string name259(259, 'n');
    std::string name260(260, 'n');
    std::string name400 = std::string(300, 'd') + "/" + std::string(99, 'f');
    Archive a = Open(
        BuildZip({File(name259, "a"), File(name260, "b"), File(name400, "c"), File("ok.txt", "ok")})
            .bytes);
    ASSERT_TRUE(a);
    ArchiveItem item;
    EXPECT_EQ(GetArchiveItem(a.get(), 0, &item), ARC_OK);
    EXPECT_EQ(WLen(item.name), 259u);
    // The extract folder plus 259 units no longer fits a path.
    EXPECT_EQ(ExtractArchiveItem(a.get(), 0, item.name), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(GetArchiveItem(a.get(), 1, &item), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 1, u"b"), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(GetArchiveItem(a.get(), 2, &item), ARC_BAD_ARGUMENTS);

    std::u16string longFolder = P(Out()) + u"/" + std::u16string(300, u'L');
    EXPECT_EQ(SetExtractFolder(a.get(), longFolder.c_str()), ARC_BAD_ARGUMENTS);
    std::u16string target = std::u16string(150, u'x') + u"/" + std::u16string(150, u'y');
    EXPECT_EQ(ExtractArchiveItem(a.get(), 3, target.c_str()), ARC_BAD_ARGUMENTS);
    EXPECT_EQ(ExtractArchiveItem(a.get(), 3, u"ok.txt"), ARC_OK);
    EXPECT_EQ(Tree(Out()), (std::vector<std::string>{"ok.txt"}));
}

} // namespace
