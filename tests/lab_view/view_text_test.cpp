// The terminal view's text: what comes from packages and drives is decoded leniently, never
// reaches the terminal as a control sequence, and is cut and wrapped by terminal columns.
#include "view_text.h"

#include <gtest/gtest.h>

#include <clocale>
#include <string>
#include <vector>

namespace {

using namespace lab::term;

TEST(ViewText, BrokenUtf8BecomesReplacementCharacters) {
    const struct {
        std::string in;
        std::wstring out;
    } cases[] = {
        {"FW NVMe", L"FW NVMe"},
        {"\xC3\xA9\xE2\x82\xAC\xF0\x9F\x98\x80", L"\u00E9\u20AC\U0001F600"},
        {"\xC3", L"\uFFFD"}, // cut short at the end
        {"a\xE2\x82"
         "b",
         L"a\uFFFD\uFFFDb"},                               // cut short before a letter
        {"\xC0\xAF", L"\uFFFD\uFFFD"},                     // overlong '/'
        {"\xED\xA0\x80", L"\uFFFD\uFFFD\uFFFD"},           // a surrogate
        {"\xF4\x90\x80\x80", L"\uFFFD\uFFFD\uFFFD\uFFFD"}, // past U+10FFFF
        {"\xFF\x80", L"\uFFFD\uFFFD"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.in);
        EXPECT_EQ(Decode(c.in), c.out);
    }
}

TEST(ViewText, NoControlCharacterReachesTheTerminal) {
    // Escape sequences a package title could carry (clear screen, set the window title, the
    // one-byte CSI of C1), a bell, DEL, a line separator; a tab is a blank.
    EXPECT_EQ(Show("T\x1b[2Ji\x1b]0;x\x07t\tl\x7f\xC2\x9B"
                   "e\xE2\x80\xA8"),
              L"T?[2Ji?]0;x?t l??e?");
    for (const std::wstring& line : Wrap("a\x1b[31mb\nc\x9b", 40))
        for (wchar_t c : line)
            EXPECT_FALSE(c < 0x20 || (c >= 0x7F && c < 0xA0)) << static_cast<int>(c);
}

TEST(ViewText, TextIsCutAndPaddedByColumns) {
    if (std::setlocale(LC_CTYPE, "C.UTF-8") == nullptr) GTEST_SKIP() << "no C.UTF-8 locale";
    EXPECT_EQ(Fit(L"Update complete.", 16), L"Update complete.");
    EXPECT_EQ(Fit(L"Update complete.", 7), L"Update~");
    EXPECT_EQ(Fit(L"abc", 0), L"");
    EXPECT_EQ(Fit(L"abc", -3), L"");
    // Wide characters take two columns and are never split.
    EXPECT_EQ(Width(L"\u65E5\u672C\u8A9E"), 6);
    EXPECT_EQ(Fit(L"\u65E5\u672C\u8A9E", 4), L"\u65E5~");
    EXPECT_EQ(Pad(L"\u65E5\u672C\u8A9E", 5), L"\u65E5\u672C~");
    EXPECT_EQ(Pad(L"\u65E5\u672C\u8A9E", 4), L"\u65E5~ ");
    EXPECT_EQ(Pad(L"ok", 4), L"ok  ");
    std::setlocale(LC_CTYPE, "C");
}

TEST(ViewText, MessagesWrapAtWordsAndLineBreaks) {
    const struct {
        std::string text;
        int width;
        std::vector<std::wstring> lines;
    } cases[] = {
        {"Warning ! \nIf FW is not back compatible, The user data will be erased.",
         30,
         {L"Warning !", L"If FW is not back compatible,", L"The user data will be erased."}},
        {"Update FW Now!\r\nCan't Exit Program.", 40, {L"Update FW Now!", L"Can't Exit Program."}},
        {"abcdefghij k", 5, {L"abcd~", L"k"}},
        {"a  b", 10, {L"a b"}},
        {"", 10, {L""}},
        {"one\n\ntwo", 10, {L"one", L"", L"two"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(Wrap(c.text, c.width), c.lines);
    }
}

} // namespace
