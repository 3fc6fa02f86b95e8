// The files-and-folders seam the reader stands on: Windows-style paths on every build,
// attributes, times, listings and the calendar conversions.
#include "platform/files.h"
#include "zip_support.h"

#include <gtest/gtest.h>

using namespace ziptest;

namespace {

TEST(PlatFilesTest, CalendarTimesConvertExactly) {
    struct Case {
        PlatSystemTime time;
        int32_t ok;
        uint64_t fileTime;
    } table[] = {
        {{2021, 3, 0, 4, 5, 6, 8, 0}, 1, 132593079680000000ull},
        {{2000, 2, 0, 29, 23, 59, 58, 123}, 1, 125963423981230000ull},
        {{1601, 1, 0, 1, 0, 0, 0, 0}, 1, 0},
        {{1980, 0, 0, 0, 0, 0, 0, 0}, 0, 0}, // DOS date 0
        {{2021, 13, 0, 1, 0, 0, 0, 0}, 0, 0},
        {{2021, 1, 0, 1, 24, 0, 0, 0}, 0, 0},
        {{2021, 1, 0, 1, 0, 0, 62, 0}, 0, 0},
    };
    for (const Case& c : table) {
        uint64_t ft = 0;
        EXPECT_EQ(PlatSystemTimeToFileTime(&c.time, &ft), c.ok)
            << c.time.wYear << "-" << c.time.wMonth;
        if (c.ok) {
            EXPECT_EQ(ft, c.fileTime);
        }
    }
}

TEST(PlatFilesTest, Utf8NamesDecode) {
    const std::pair<std::string, std::u16string> table[] = {
        {"plain", u"plain"},
        {"\xc3\xa4\xe4\xb8\x96\xf0\x9f\x98\x80", u"\u00e4\u4e16\U0001F600"},
        {"a\xff"
         "b",
         u"a\uFFFDb"},
        {"\xe4\xb8", u"\uFFFD"},
    };
    for (auto& [in, want] : table) {
        char16_t out[16];
        int32_t n = PlatUtf8ToWide(in.data(), static_cast<int32_t>(in.size()), out, 16);
        EXPECT_EQ(std::u16string(out, static_cast<size_t>(n)), want) << in;
        EXPECT_EQ(out[n], 0);
    }
    char16_t small[4];
    EXPECT_EQ(PlatUtf8ToWide("abcdefgh", -1, small, 4), 3);
    EXPECT_EQ(std::u16string(small), u"abc");
}

TEST(PlatFilesTest, FilesFoldersAndAttributes) {
    Scratch scratch("files");
    // Windows-style separators work on every build.
    std::u16string folder = P(scratch.path()) + u"\\sub";
    EXPECT_EQ(PlatGetFileAttributes(folder.c_str()), PLAT_INVALID_ATTRIBUTES);
    EXPECT_EQ(PlatCreateFolder(folder.c_str()), 1);
    EXPECT_EQ(PlatCreateFolder(folder.c_str()), 0);
    EXPECT_EQ(PlatGetFileAttributes(folder.c_str()) & PLAT_ATTR_DIRECTORY, PLAT_ATTR_DIRECTORY);

    std::u16string file = folder + u"\\a.fw";
    PlatHandle h = PlatFileCreate(file.c_str(), PLAT_ATTR_NORMAL);
    ASSERT_NE(h, PLAT_INVALID_HANDLE);
    uint32_t done = 0;
    EXPECT_EQ(PlatFileWrite(h, "0123456789", 10, &done), 1);
    EXPECT_EQ(done, 10u);
    const uint64_t when = 132593079680000000ull;
    EXPECT_EQ(PlatFileSetTimes(h, &when, &when, &when), 1);
    PlatFileClose(h);

    h = PlatFileOpenRead(file.c_str());
    ASSERT_NE(h, PLAT_INVALID_HANDLE);
    EXPECT_EQ(PlatFileSize(h), 10);
    EXPECT_EQ(PlatFileSeek(h, 4, PLAT_SEEK_BEGIN), 4);
    EXPECT_EQ(PlatFileSeek(h, 0, PLAT_SEEK_CURRENT), 4);
    char buf[16] = {};
    EXPECT_EQ(PlatFileRead(h, buf, 16, &done), 1);
    EXPECT_EQ(done, 6u);
    EXPECT_EQ(std::string(buf), "456789");
    EXPECT_EQ(PlatFileSeek(h, -3, PLAT_SEEK_END), 7);
    PlatFileClose(h);

    PlatHandle ro = PlatFileCreate((folder + u"\\b.fw").c_str(), PLAT_ATTR_READONLY);
    ASSERT_NE(ro, PLAT_INVALID_HANDLE);
    PlatFileClose(ro);
    EXPECT_EQ(PlatGetFileAttributes((folder + u"\\b.fw").c_str()) & PLAT_ATTR_READONLY,
              PLAT_ATTR_READONLY);
    EXPECT_EQ(PlatSetFileAttributes((folder + u"\\b.fw").c_str(), PLAT_ATTR_NORMAL), 1);
    EXPECT_EQ(PlatGetFileAttributes((folder + u"\\b.fw").c_str()) & PLAT_ATTR_READONLY, 0u);
    PlatFileClose(PlatFileCreate((folder + u"\\c.ini").c_str(), PLAT_ATTR_NORMAL));

    PlatFindData found{};
    std::vector<std::string> names;
    PlatHandle s = PlatFindFirst((folder + u"\\*.fw").c_str(), &found);
    ASSERT_NE(s, PLAT_INVALID_HANDLE);
    do {
        names.push_back(Utf8(found.name));
        if (names.back() == "a.fw") {
            EXPECT_EQ(found.size, 10u);
            EXPECT_EQ(found.lastWriteTime, when);
        }
    } while (PlatFindNext(s, &found));
    PlatFindClose(s);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(names, (std::vector<std::string>{"a.fw", "b.fw"}));
    EXPECT_EQ(PlatFindFirst((folder + u"\\*.none").c_str(), &found), PLAT_INVALID_HANDLE);

    EXPECT_EQ(PlatRemoveFolder(folder.c_str()), 0); // not empty
    for (const char16_t* n : {u"\\a.fw", u"\\b.fw", u"\\c.ini"})
        EXPECT_EQ(PlatDeleteFile((folder + n).c_str()), 1);
    EXPECT_EQ(PlatDeleteFile((folder + u"\\a.fw").c_str()), 0);
    EXPECT_EQ(PlatRemoveFolder(folder.c_str()), 1);
}

TEST(PlatFilesTest, CurrentAndTemporaryFolders) {
    char16_t temp[260];
    uint32_t n = PlatGetTempFolder(temp, 260);
    ASSERT_GT(n, 0u);
    ASSERT_LT(n, 260u);
    EXPECT_TRUE(temp[n - 1] == u'\\' || temp[n - 1] == u'/');
    EXPECT_EQ(PlatGetFileAttributes(temp) & PLAT_ATTR_DIRECTORY, PLAT_ATTR_DIRECTORY);

    char16_t cwd[260];
    n = PlatGetCurrentFolder(cwd, 260);
    ASSERT_GT(n, 0u);
    char16_t tiny[2];
    EXPECT_GT(PlatGetCurrentFolder(tiny, 2), 2u); // the size needed
    Scratch scratch("cwd");
    ASSERT_EQ(PlatSetCurrentFolder(P(scratch.path()).c_str()), 1);
    char16_t now[260];
    PlatGetCurrentFolder(now, 260);
    EXPECT_EQ(fs::path(Utf8(now)), scratch.path());
    ASSERT_EQ(PlatSetCurrentFolder(cwd), 1);
}

} // namespace
