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
