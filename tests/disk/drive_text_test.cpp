#include "disk/drive_text.h"
#include "disk/port_location.h"

#include <gtest/gtest.h>

#include <string>

namespace {

TEST(CapacityToGB, FollowsTheLbaCountRuleForBothBlockSizes) {
    struct {
        uint32_t blockSize;
        uint64_t blocks;
        uint32_t want;
    } cases[] = {
        {512, 29323728, 15}, // 15 GB by the rule: rejected by the probes
        {512, 31277232, 16}, // the smallest drive that is listed
        {512, 31277231, 15}, // one block short of 16
        {512, 976773168, 500},  {4096, 29323728 / 8, 15}, {4096, 31277232 / 8, 16},
        {4096, 122096646, 500}, {4096, 122096645, 499},
    };
    for (const auto& c : cases)
        EXPECT_EQ(CapacityToGB(c.blockSize, c.blocks * c.blockSize), c.want)
            << c.blocks << " blocks of " << c.blockSize;
}

TEST(CapacityToGB, OtherBlockSizesAreMeasuredOnTheirBytes) {
    // The same bytes give the same gigabytes whatever the block size.
    const uint64_t bytes500 = 976773168ull * 512;
    for (uint32_t blockSize : {520u, 1024u, 2048u, 8192u, 16384u, 65536u, 0u, 1u})
        EXPECT_EQ(CapacityToGB(blockSize, bytes500), 500u) << blockSize;
    EXPECT_EQ(CapacityToGB(1024, 31277232ull * 512), 16u);
    // Totals under 10^9 bytes are 0 for every block size.
    for (uint32_t blockSize : {512u, 4096u, 2048u, 0u})
        EXPECT_EQ(CapacityToGB(blockSize, 999999999), 0u) << blockSize;
    EXPECT_EQ(CapacityToGB(512, 1000000000), 0u); // 1953125 blocks: 0 GB, no wrap-around
    // The largest total does not overflow and is truncated to 32 bits.
    EXPECT_EQ(CapacityToGB(512, ~0ull), static_cast<uint32_t>((~0ull / 512 - 21168) / 1953504));
}

TEST(TrimBlanks, CutsBlanksAndTabsAtBothEnds) {
    struct {
        const char16_t* in;
        const char16_t* want;
    } cases[] = {
        {u"  Model X  ", u"Model X"},
        {u"\t\tSN123\t ", u"SN123"},
        {u"inner  blanks stay", u"inner  blanks stay"},
        {u"      ", u""},
        {u"", u""},
        {u"A", u"A"},
        {u"\r\nA\n", u"\r\nA\n"}, // only blanks and tabs are cut
    };
    for (const auto& c : cases) {
        char16_t buf[64] = {};
        std::u16string in(c.in);
        std::copy(in.begin(), in.end(), buf);
        TrimBlanks(buf);
        EXPECT_EQ(std::u16string(buf), std::u16string(c.want));
    }
}

TEST(PortLocation, DigitReversalPutsTheDevicePortLast) {
    struct {
        uint64_t raw;
        uint64_t want;
    } cases[] = {
        {301, 103},     // root-hub port 3 of controller 1
        {30201, 10203}, // port 3 of a hub on root-hub port 2
        {40201, 10204}, {1, 1},
        {0, 0},         {100, 0}, // a raw value of exactly 100 is not split
        {101, 101},     {1020304050607080ull, 8070605040302010ull},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ReversePortDigits(c.raw), c.want) << c.raw;
}

TEST(PortLocation, LocationTextsGiveTheirPortNumber) {
    struct {
        const char16_t* text;
        uint64_t want;
    } cases[] = {
        {u"Port_#0003.Hub_#0001", 3},
        {u"Port_#0012.Hub_#0004", 12},
        {u"Port_#0007", 7}, // the hub part is not needed
        {u"PCI bus 2, device 0, function 0", 0},
        {u"port_#0003.Hub_#0001", 0}, // the pattern's letters are exact
        {u"Port_#.Hub_#0001", 0},
        {u"", 0},
        // The pattern starts at the first character: blanks before it are not skipped, blanks
        // before the number are (as the decimal conversion reads it).
        {u" Port_#0003.Hub_#0001", 0},
        {u"\tPort_#0003.Hub_#0001", 0},
        {u"Port_# 0003.Hub_#0001", 3},
        {u"Port_#0003 .Hub_#0001", 3},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseUsbPortNumber(c.text), c.want)
            << std::string(c.text, c.text + std::char_traits<char16_t>::length(c.text));
}

TEST(PortLocation, RootHubsAreToldByCharactersFiveToTwelve) {
    EXPECT_TRUE(IsRootHubId(u"USB\\ROOT_HUB30\\4&1A2B3C4D&0"));
    EXPECT_TRUE(IsRootHubId(u"USB\\ROOT_HUB\\5&0"));
    EXPECT_FALSE(IsRootHubId(u"USB\\VID_AA10&PID_0610\\6&2"));
    EXPECT_FALSE(IsRootHubId(u"USB\\ROOT_HU"));
    EXPECT_FALSE(IsRootHubId(u"USBX\\ROOT_HUB30")); // shifted by one character
    EXPECT_FALSE(IsRootHubId(u""));
}

} // namespace
