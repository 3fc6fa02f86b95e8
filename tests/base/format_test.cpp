#include "base/format.h"

#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {
std::u16string Fmt(const char16_t* format, ...) {
    char16_t buf[256];
    va_list args;
    va_start(args, format);
    FormatV(buf, 256, format, args);
    va_end(args);
    return buf;
}

struct Case {
    const char* what;
    std::u16string got;
    std::u16string want;
};

TEST(Format, EveryConversionTheProgramUses) {
    const Case cases[] = {
        {"plain text", Fmt(u"Thread is Running"), u"Thread is Running"},
        {"wide text", Fmt(u"%s, %s", u"ModelA", u";ModelA;ModelB;"), u"ModelA, ;ModelA;ModelB;"},
        {"narrow text", Fmt(u"[%S]", "IntelNvm"), u"[IntelNvm]"},
        {"narrow Latin-1", Fmt(u"%S", "caf\xE9"), u"caf\u00E9"},
        {"narrow 1252 high byte", Fmt(u"%S", "\x80"), u"\u20AC"},
        {"char", Fmt(u"%c: ", u'C'), u"C: "},
        {"signed", Fmt(u"%d", 42), u"42"},
        {"negative", Fmt(u"%d", -5), u"-5"},
        {"int32 min", Fmt(u"%d", INT32_MIN), u"-2147483648"},
        {"int64", Fmt(u"%I64d", static_cast<long long>(1234567890123456789LL)), u"1234567890123456789"},
        {"int64 negative", Fmt(u"%I64d", static_cast<long long>(-9000000000LL)), u"-9000000000"},
        {"int64 min", Fmt(u"%I64d", static_cast<long long>(INT64_MIN)), u"-9223372036854775808"},
        {"hex 02", Fmt(u"%02X", 0xAu), u"0A"},
        {"hex 02 wider value", Fmt(u"%02X", 0x1ABu), u"1AB"},
        {"hex 04", Fmt(u"No this fw, 0x%04X, %d", 0xFFFFu, 2), u"No this fw, 0xFFFF, 2"},
        {"hex 08", Fmt(u"0x%08X, 0x%08X", 0x1234u, 0xDEADBEEFu), u"0x00001234, 0xDEADBEEF"},
        {"percent 3d", Fmt(u"DownloadFW %3d%%", 7), u"DownloadFW   7%"},
        {"percent 3d full", Fmt(u"DownloadFW %3d%%", 100), u"DownloadFW 100%"},
        {"path with backslashes", Fmt(u"\\\\.\\PhysicalDrive%d", 3), u"\\\\.\\PhysicalDrive3"},
        {"null wide text", Fmt(u"%s", static_cast<const char16_t*>(nullptr)), u"(null)"},
        {"unknown conversion kept", Fmt(u"a%qb"), u"a%qb"},
        {"lone percent at end", Fmt(u"50%"), u"50%"},
    };
    for (const Case& c : cases) EXPECT_EQ(c.got, c.want) << c.what << ": " << Printable(c.got);
}

TEST(Format, SizePrefixesReadEachArgumentAtItsWidth) {
    // As the wide printf family of Windows reads them; the argument after each one must still
    // be read whole.
    const Case cases[] = {
        {"hs is narrow", Fmt(u"%hs|%d", "caf\xE9", 5), u"caf\u00E9|5"},
        {"hS is narrow", Fmt(u"%hS|%d", "IntelNvm", 6), u"IntelNvm|6"},
        {"ls is wide", Fmt(u"%ls|%d", u"Model", 7), u"Model|7"},
        {"lS is wide", Fmt(u"%lS|%d", u"Model", 8), u"Model|8"},
        {"ws is wide", Fmt(u"%ws|%d", u"Model", 9), u"Model|9"},
        {"hs with precision and width", Fmt(u"[%6.3hs]", "abcdef"), u"[   abc]"},
        {"null narrow", Fmt(u"%hs", static_cast<const char*>(nullptr)), u"(null)"},
        {"hc is a narrow character", Fmt(u"%hc%hc|%c", 'A', '\x80', u'z'), u"A\u20AC|z"},
        {"lc is a UTF-16 unit", Fmt(u"%lc", u'\u0416'), u"\u0416"},
        {"hd is a short", Fmt(u"%hd %hd", 70000, -1), u"4464 -1"},
        {"hu and hX are unsigned shorts", Fmt(u"%hu %04hX", 0x12345u, 0xABCDEFu), u"9029 CDEF"},
        {"ld is 32-bit", Fmt(u"%ld|%s", -7, u"x"), u"-7|x"},
        {"I32u is 32-bit", Fmt(u"%I32u|%s", 42u, u"y"), u"42|y"},
        {"ll is 64-bit", Fmt(u"%lld|%s", static_cast<long long>(1) << 40, u"z"),
         u"1099511627776|z"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.want) << c.what << ": " << Printable(c.got);
}

TEST(Format, AnUnknownConversionReadsNoFurtherArgument) {
    // Whatever argument such a conversion stands for, its width is unknown, so everything from
    // it on is written as it stands: the text argument after it is never read in its place.
    const Case cases[] = {
        {"size_t prefix", Fmt(u"%zd %s", static_cast<size_t>(3), u"x"), u"%zd %s"},
        {"unknown letter", Fmt(u"[%qd] %s", 1, u"x"), u"[%qd] %s"},
        {"64-bit text", Fmt(u"%I64s %d", u"x", 2), u"%I64s %d"},
        {"64-bit character", Fmt(u"%llc%d", 65, 2), u"%llc%d"},
        {"star width", Fmt(u"%*d|%s", 4, 5, u"x"), u"%*d|%s"},
        {"prefixed percent", Fmt(u"%h%%d", 3), u"%h%%d"},
        {"after known ones", Fmt(u"%d%k%d", 1, 2), u"1%k%d"},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.got, c.want) << c.what << ": " << Printable(c.got);
}

TEST(Format, LongMessageIsCutWithinCapacity) {
    char16_t guard1[4] = {u'G', u'G', u'G', u'G'};
    char16_t buf[16];
    char16_t guard2[4] = {u'G', u'G', u'G', u'G'};
    (void)guard1;
    EXPECT_EQ(Format(buf, 16, u"%s-%d", u"abcdefghijklmnopqrstuvwxyz", 12345), -1);
    EXPECT_EQ(std::u16string(buf), u"abcdefghijklmno");
    EXPECT_EQ(guard2[0], u'G');

    char16_t tiny[1] = {u'x'};
    EXPECT_EQ(Format(tiny, 1, u"abc"), -1);
    EXPECT_EQ(tiny[0], 0);

    char16_t exact[4];
    EXPECT_EQ(Format(exact, 4, u"abc"), 3);
    EXPECT_EQ(std::u16string(exact), u"abc");
    EXPECT_EQ(Format(exact, 4, u"%04X", 0x1u), -1);
    EXPECT_EQ(std::u16string(exact), u"000");
}
} // namespace
