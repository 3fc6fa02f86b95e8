#include "base/log.h"

#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <string>

namespace {
class Log : public ::testing::Test {
protected:
    void TearDown() override { LogBindDetailSwitch(nullptr); }
    DebugCapture capture;
    int32_t detailSwitch = 0;
};

TEST_F(Log, LineHasItsPrefixAndNoTerminator) {
    LogLine(u"%s, %s", u"ModelA", u";ModelA;ModelB;");
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0], u"[TX] ModelA, ;ModelA;ModelB;");
}

TEST_F(Log, DetailFollowsTheSwitch) {
    LogDetail(u"Thread is Running");
    EXPECT_TRUE(capture.Lines().empty()) << "unbound switch reads as 0";

    LogBindDetailSwitch(&detailSwitch);
    LogDetail(u"Thread is Running");
    EXPECT_TRUE(capture.Lines().empty());

    detailSwitch = 2; // only exactly 1 turns it on
    LogDetail(u"Thread is Running");
    EXPECT_TRUE(capture.Lines().empty());

    detailSwitch = 1;
    LogDetail(u"Thread is Running");
    ASSERT_EQ(capture.Lines().size(), 1u);
    EXPECT_EQ(capture.Lines()[0], u"[TX]          [middle] Thread is Running");

    // A disabled detail line never reads its arguments: a format that would read a bad
    // pointer is harmless.
    detailSwitch = 0;
    LogDetail(u"%s %s %s", nullptr);
    EXPECT_EQ(capture.Lines().size(), 1u);
}

TEST_F(Log, LongMessagesAreCutAt1023Units) {
    std::u16string message(2000, u'm');
    LogLine(u"%s", message.c_str());
    LogBindDetailSwitch(&detailSwitch);
    detailSwitch = 1;
    LogDetail(u"%s", message.c_str());
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].size(), 1023u);
    EXPECT_EQ(lines[0], u"[TX] " + std::u16string(1018, u'm'));
    EXPECT_EQ(lines[1].size(), 1023u);
    EXPECT_EQ(lines[1], u"[TX]          [middle] " + std::u16string(1000, u'm'));
}

TEST_F(Log, NarrowArgumentsBecomeWideText) {
    LogLine(u"NandDevidsString=%S", "2C A4 64 32 AA 04");
    LogLine(u"%s - iCmdType = %d, iPort = %I64d", u"\\\\.\\PhysicalDrive1", 2,
            static_cast<long long>(10203));
    auto lines = capture.Lines();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], u"[TX] NandDevidsString=2C A4 64 32 AA 04");
    EXPECT_EQ(lines[1], u"[TX] \\\\.\\PhysicalDrive1 - iCmdType = 2, iPort = 10203");
}
} // namespace
