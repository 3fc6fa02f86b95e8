// The simulated drives' reading of firmware images: which images a drive takes, and what it
// reports while running them. zlib's crc32 is the independent judge of the check values.
#include "sim/firmware_image.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <functional>
#include <stdexcept>

namespace {

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
void Put32At(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

TEST(SimFirmwareImage, OwnCrc32MatchesTheStandardOne) {
    const uint8_t abc[] = {'a', 'b', 'c'};
    EXPECT_EQ(sim::SimCrc32(abc, 3), 0x352441C2u);
    EXPECT_EQ(sim::SimCrc32(abc + 1, 2, sim::SimCrc32(abc, 1)), 0x352441C2u);
    EXPECT_EQ(sim::SimCrc32(abc, 0, 0x12345678u), 0x12345678u);
}

TEST(SimFirmwareImage, MadeCmfgImageHasTheDocumentedLayoutAndIsWhole) {
    std::vector<uint8_t> record(4096);
    for (size_t i = 0; i < record.size(); ++i)
        record[i] = static_cast<uint8_t>(i * 13 + 1);
    sim::FirmwareImageSpec spec;
    spec.internal_version = "1.2.A.3B";
    spec.ftl_build = 0xCAFE0042;
    spec.config_record = record;
    const std::vector<uint8_t> image = sim::MakeFirmwareImage(spec);
    ASSERT_EQ(image.size(), 24576u);
    EXPECT_EQ(std::string(image.begin(), image.begin() + 4), "CMFG");
    EXPECT_EQ(Le32At(image, 4), 24576u);
    EXPECT_EQ(std::string(image.begin() + 8, image.begin() + 16), "1.2.A.3B");
    // Regions 1-2, 3-3, 4-4: record at 16384, check page at 20480.
    const uint32_t table[] = {1, 2, 3, 3, 4, 4};
    for (size_t i = 0; i < 6; ++i)
        EXPECT_EQ(Le32At(image, 16 + 4 * i), table[i]) << i;
    EXPECT_TRUE(std::equal(record.begin(), record.end(), image.begin() + 16384));
    EXPECT_EQ(Le32At(image, 20488), 0u);
    uLong crc = crc32(0L, image.data(), 80);
    const std::vector<uint8_t> zeros(4016, 0);
    crc = crc32(crc, zeros.data(), 4016);
    crc = crc32(crc, image.data() + 4096, 20480 - 4096);
    EXPECT_EQ(Le32At(image, 20492), static_cast<uint32_t>(crc));
    EXPECT_EQ(Le32At(image, 24576 - 8), 0xCAFE0042u);

    const sim::FirmwareImageFacts facts = sim::ReadFirmwareImage(image);
    ASSERT_TRUE(facts.whole) << facts.refusal;
    EXPECT_EQ(facts.internal_version, "1.2.A.3B");
    EXPECT_EQ(facts.ftl_build, 0xCAFE0042u);
    EXPECT_EQ(facts.config_record, record);
}

TEST(SimFirmwareImage, MadeImagesOfOtherShapesAreWhole) {
    struct Case {
        bool cmfg;
        size_t size;
        std::string version;
    } cases[] = {{true, 5 * 4096, "R1.2.3.4"},
                 {true, 64 * 4096, "9.9.Z.9Z"},
                 {false, 20, "A.B.C.D"},
                 {false, 9216, "1.0.0.1"},
                 {false, 512, ""},
                 {false, 1000, "2.2.2.2"}};
    for (const Case& c : cases) {
        sim::FirmwareImageSpec spec;
        spec.cmfg = c.cmfg;
        spec.size = c.size;
        spec.internal_version = c.version;
        const sim::FirmwareImageFacts facts = sim::ReadFirmwareImage(sim::MakeFirmwareImage(spec));
        EXPECT_TRUE(facts.whole) << c.size << ": " << facts.refusal;
        EXPECT_EQ(facts.internal_version, c.version);
        EXPECT_EQ(facts.ftl_build, c.cmfg ? 0x1234u : 0u);
        EXPECT_EQ(facts.config_record.size(), c.cmfg ? 4096u : 0u);
        if (c.cmfg) {
            EXPECT_EQ(
                std::string(facts.config_record.begin() + 1064, facts.config_record.begin() + 1072),
                "IMAGEREC");
        }
    }
    sim::FirmwareImageSpec one, other;
    other.internal_version = "R1.2.3.5";
    EXPECT_NE(sim::MakeFirmwareImage(one), sim::MakeFirmwareImage(other));
}

TEST(SimFirmwareImage, DamagedImagesAreRefused) {
    using Image = std::vector<uint8_t>;
    const Image cmfg = sim::MakeFirmwareImage({});
    sim::FirmwareImageSpec plainSpec;
    plainSpec.cmfg = false;
    plainSpec.size = 9216;
    const Image plain = sim::MakeFirmwareImage(plainSpec);
    struct Case {
        const char* what;
        const Image* base;
        std::function<void(Image&)> damage;
    } cases[] = {
        {"empty", &cmfg, [](Image& i) { i.clear(); }},
        {"header only", &cmfg, [](Image& i) { i.resize(15); }},
        {"last page missing", &cmfg, [](Image& i) { i.erase(i.end() - 4096, i.end()); }},
        {"last segment missing", &cmfg, [](Image& i) { i.erase(i.end() - 512, i.end()); }},
        {"one byte appended", &cmfg, [](Image& i) { i.push_back(0); }},
        {"length field says otherwise, image cut to it", &cmfg,
         [](Image& i) {
             i.resize(20480);
             Put32At(i, 4, 20480);
         }},
        {"byte of region 0 flipped", &cmfg, [](Image& i) { i[4096 + 77] ^= 1; }},
        {"byte of region 1 flipped", &cmfg, [](Image& i) { i[12288 + 4095] ^= 0x80; }},
        {"record byte flipped", &cmfg, [](Image& i) { i[16384 + 1064] ^= 0x20; }},
        {"version text changed", &cmfg, [](Image& i) { i[15] = '5'; }},
        {"check value changed", &cmfg, [](Image& i) { i[20492] ^= 1; }},
        {"check page bytes 8-11 not zero", &cmfg, [](Image& i) { i[20488] = 1; }},
        {"pages of region 0 swapped", &cmfg,
         [](Image& i) { std::swap_ranges(i.begin() + 4096, i.begin() + 8192, i.begin() + 8192); }},
        {"a page of zeros in place of region 1", &cmfg,
         [](Image& i) { std::fill(i.begin() + 12288, i.begin() + 16384, 0); }},
        {"region 2 beyond the end", &cmfg, [](Image& i) { Put32At(i, 36, 0xFFFFFFFF); }},
        {"region 0 first after last", &cmfg, [](Image& i) { Put32At(i, 16, 3); }},
        {"region 1 on the header page", &cmfg, [](Image& i) { Put32At(i, 24, 0); }},
        {"region 2 huge first page", &cmfg,
         [](Image& i) {
             Put32At(i, 32, 0xFFFFFFFF);
             Put32At(i, 36, 0xFFFFFFFF);
         }},
        {"check page outside", &cmfg,
         [](Image& i) {
             Put32At(i, 32, 5);
             Put32At(i, 36, 5);
         }},
        {"plain: byte flipped", &plain, [](Image& i) { i[5000] ^= 4; }},
        {"plain: cut by 512", &plain, [](Image& i) { i.erase(i.end() - 512, i.end()); }},
        {"plain: check value changed", &plain, [](Image& i) { i.back() ^= 1; }},
        {"plain: too short for a check value", &plain,
         [](Image& i) {
             i.resize(19);
             Put32At(i, 4, 19);
         }},
    };
    for (const Case& c : cases) {
        Image image = *c.base;
        c.damage(image);
        const sim::FirmwareImageFacts facts = sim::ReadFirmwareImage(image);
        EXPECT_FALSE(facts.whole) << c.what;
        EXPECT_FALSE(facts.refusal.empty()) << c.what;
        EXPECT_TRUE(facts.internal_version.empty() && facts.ftl_build == 0 &&
                    facts.config_record.empty())
            << c.what;
    }
}

TEST(SimFirmwareImage, BytesOutsideTheCheckValueDoNotMatter) {
    // The header page past the region table counts as zeros, and the check page itself is not
    // covered: the build number there decides what the drive reports.
    std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    image[100] ^= 0xFF;
    image[4095] ^= 0xFF;
    Put32At(image, 24576 - 8, 77);
    const sim::FirmwareImageFacts facts = sim::ReadFirmwareImage(image);
    ASSERT_TRUE(facts.whole) << facts.refusal;
    EXPECT_EQ(facts.ftl_build, 77u);
}

TEST(SimFirmwareImage, ImpossibleSpecsAreRejected) {
    auto make = [](bool cmfg, size_t size, std::string version, size_t recordSize) {
        sim::FirmwareImageSpec spec;
        spec.cmfg = cmfg;
        spec.size = size;
        spec.internal_version = std::move(version);
        spec.config_record.resize(recordSize);
        return sim::MakeFirmwareImage(spec);
    };
    EXPECT_THROW(make(true, 4 * 4096, "1.2.3.4", 0), std::invalid_argument);
    EXPECT_THROW(make(true, 5 * 4096 + 512, "1.2.3.4", 0), std::invalid_argument);
    EXPECT_THROW(make(true, 5 * 4096, "1.2.3.4.5", 0), std::invalid_argument);
    EXPECT_THROW(make(true, 5 * 4096, "1.2.3.4", 100), std::invalid_argument);
    EXPECT_THROW(make(false, 19, "1.2.3.4", 0), std::invalid_argument);
}

} // namespace
