#include "base/text.h"

#include <gtest/gtest.h>

#include <string>

namespace {
TEST(ContainsNoCase, MatchesIgnoringLetterCase) {
    struct {
        const char16_t* text;
        const char16_t* pattern;
        int32_t want;
    } cases[] = {
        {u"iaStorAC", u"iaStor", 1},
        {u"IASTORAVC", u"iaStor", 1},
        {u"stornvme", u"iaStor", 0},
        {u";MODEL A;Model B;", u";model b;", 1},
        {u"Model", u"Model B", 0},
        {u"anything", u"", 1},
        {u"", u"", 1},
        {u"", u"a", 0},
        {u"\u00C9COLE", u"\u00E9cole", 1},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ContainsNoCase(c.text, c.pattern), c.want)
            << std::string(c.text, c.text + WLen(c.text)) << " / "
            << std::string(c.pattern, c.pattern + WLen(c.pattern));
}

TEST(ContainsNoCase, LongInputsAreBoundedToTheWorkingCopies) {
    // The text is worked on as its first 1023 units, the pattern as its first 511.
    std::u16string text(1023, u'a');
    text += u"XYZ";
    EXPECT_EQ(ContainsNoCase(text.c_str(), u"xyz"), 0);
    text.replace(1020, 3, u"xyz");
    EXPECT_EQ(ContainsNoCase(text.c_str(), u"XYZ"), 1);

    std::u16string pattern(511, u'b');
    pattern += u"never";
    std::u16string haystack(600, u'B');
    EXPECT_EQ(ContainsNoCase(haystack.c_str(), pattern.c_str()), 1);

    std::u16string huge(100000, u'q');
    EXPECT_EQ(ContainsNoCase(huge.c_str(), huge.c_str()), 1);
}

TEST(Text, CopyAndAppendNeverPassTheCapacity) {
    char16_t buf[6] = {u'z', u'z', u'z', u'z', u'z', u'z'};
    EXPECT_EQ(WCopy(buf, 4, u"abcdef"), 3u);
    EXPECT_EQ(std::u16string(buf), u"abc");
    EXPECT_EQ(buf[4], u'z');
    EXPECT_EQ(WAppend(buf, 6, u"XYZ"), 5u);
    EXPECT_EQ(std::u16string(buf), u"abcXY");
    EXPECT_EQ(WAppend(buf, 6, u"more"), 5u);

    char16_t letters[64] = {};
    for (char16_t c = u'C'; c <= u'Z'; ++c) {
        char16_t item[4] = {c, u':', u' ', 0};
        WAppend(letters, item);
    }
    EXPECT_EQ(WLen(letters), 63u);
}

TEST(Text, AnsiConversionsAgreeOnEveryBuild) {
    char16_t wide[16];
    EXPECT_EQ(AnsiToWide("Samsung \xA9\xE9\x80", -1, wide), 11);
    EXPECT_EQ(std::u16string(wide), u"Samsung \u00A9\u00E9\u20AC");

    // Exactly n bytes are taken; the destination is cut at its capacity.
    EXPECT_EQ(AnsiToWide("SERIAL  ", 6, wide), 6);
    EXPECT_EQ(std::u16string(wide), u"SERIAL");
    char16_t small[4];
    EXPECT_EQ(AnsiToWide("ABCDEFGH", -1, small), 3);
    EXPECT_EQ(std::u16string(small), u"ABC");

    char narrow[8];
    EXPECT_EQ(WideToAnsi(u"\u00E9t\u00E9", -1, narrow, sizeof narrow), 3);
    EXPECT_EQ(std::string(narrow), "\xE9t\xE9");
    EXPECT_EQ(WideToAnsi(u"abcdefghij", -1, narrow, sizeof narrow), 7);

    char16_t lower[] = u"MiXeD \u00C0\u00DE\u00D7";
    WLower(lower);
    EXPECT_EQ(std::u16string(lower), u"mixed \u00E0\u00FE\u00D7");
}

TEST(Text, AnsiConversionsIntoNoRoomOrRoomForTheTerminatorOnly) {
    // Capacity 0 writes nothing; capacity 1 writes the terminator alone. The units after the
    // capacity must stay as they were, whatever the text and its length.
    struct {
        const char* narrow;
        const char16_t* wide;
        int32_t length; // -1: up to the terminator
    } texts[] = {{"ABC", u"ABC", -1},
                 {"x", u"x", -1},
                 {"SERIAL  ", u"SERIAL  ", 6},
                 {"", u"", -1},
                 {"\xE9t\xE9", u"\u00E9t\u00E9", -1}};
    for (const auto& t : texts) {
        SCOPED_TRACE(t.narrow);
        for (size_t cap : {size_t{0}, size_t{1}}) {
            char16_t wide[4] = {u'#', u'#', u'#', u'#'};
            EXPECT_EQ(AnsiToWide(t.narrow, t.length, wide, cap), 0);
            EXPECT_EQ(wide[0], cap == 0 ? u'#' : 0);
            EXPECT_EQ(wide[1], u'#');
            char narrow[4] = {'#', '#', '#', '#'};
            EXPECT_EQ(WideToAnsi(t.wide, t.length, narrow, cap), 0);
            EXPECT_EQ(narrow[0], cap == 0 ? '#' : 0);
            EXPECT_EQ(narrow[1], '#');
        }
        // Room for one character and the terminator.
        const int32_t one = t.narrow[0] != 0 ? 1 : 0;
        char16_t wide[4] = {u'#', u'#', u'#', u'#'};
        EXPECT_EQ(AnsiToWide(t.narrow, t.length, wide, 2), one);
        EXPECT_EQ(wide[0], t.wide[0]);
        EXPECT_EQ(wide[one], 0);
        EXPECT_EQ(wide[one + 1], u'#');
        char narrow[4] = {'#', '#', '#', '#'};
        EXPECT_EQ(WideToAnsi(t.wide, t.length, narrow, 2), one);
        EXPECT_EQ(narrow[0], t.narrow[0]);
        EXPECT_EQ(narrow[one], 0);
        EXPECT_EQ(narrow[one + 1], '#');
    }
}
} // namespace
