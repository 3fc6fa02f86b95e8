// The configuration record and the configurable image: CRC-32, the vendor firmware name, and
// the merge of a drive's record into an image, including images whose region table lies.
// zlib's crc32 and the simulator's own reading of images judge the results.
#include "sata/image_record.h"
#include "sim/firmware_image.h"
#include "support/debug_capture.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace {

uint32_t Le32At(const std::vector<uint8_t>& b, size_t at) {
    return b[at] | (b[at + 1] << 8) | (b[at + 2] << 16) | (static_cast<uint32_t>(b[at + 3]) << 24);
}
void Put32At(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + static_cast<size_t>(i)] = static_cast<uint8_t>(v >> (8 * i));
}

VendorConfigRecord PatternRecord(const char* name) {
    VendorConfigRecord r;
    for (size_t i = 0; i < sizeof(r.bytes); ++i)
        r.bytes[i] = static_cast<uint8_t>(i * 11 + 5);
    std::memset(r.bytes + 1064, 0, 8);
    std::memcpy(r.bytes + 1064, name, std::strlen(name));
    return r;
}

std::string NameOf(const uint8_t* record) {
    return std::string(reinterpret_cast<const char*>(record + 1064), 8);
}

TEST(Crc32, StandardValueChainingAndEmptyRange) {
    EXPECT_EQ(Crc32("abc", 3, 0), 0x352441C2u);
    EXPECT_EQ(Crc32("c", 1, Crc32("ab", 2, 0)), 0x352441C2u);
    EXPECT_EQ(Crc32("", 0, 0), 0u);
    EXPECT_EQ(Crc32("abc", 0, 0xDEADBEEFu), 0xDEADBEEFu);
    std::vector<uint8_t> bytes(70000);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 31 ^ (i >> 7));
    EXPECT_EQ(Crc32(bytes.data(), static_cast<uint32_t>(bytes.size()), 0),
              static_cast<uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size()))));
}

TEST(SetVendorFwName, NamesKeepAndRepeats) {
    struct Case {
        const char16_t* name;
        int32_t result;
        std::string field;
    } cases[] = {
        {u"KEEP", 0, std::string("OLDNAME1", 8)},
        {u"kEeP", 0, std::string("OLDNAME1", 8)},
        {u"ABC", 1, std::string("ABC\0\0\0\0\0", 8)},
        {u"NEWNAME1XYZW", 1, std::string("NEWNAME1", 8)},
        {u"", 1, std::string(8, '\0')},
        {u"OLDNAME1", 0, std::string("OLDNAME1", 8)},
        {u"OLDNAME1+", 0, std::string("OLDNAME1", 8)},
    };
    for (const Case& c : cases) {
        VendorConfigRecord record = PatternRecord("OLDNAME1");
        const VendorConfigRecord before = record;
        uint32_t crc = 0xA5A5A5A5;
        EXPECT_EQ(SetVendorFwName(&record, c.name, &crc), c.result);
        EXPECT_EQ(NameOf(record.bytes), c.field);
        // Nothing but the name field changes.
        EXPECT_EQ(std::memcmp(record.bytes, before.bytes, 1064), 0);
        EXPECT_EQ(std::memcmp(record.bytes + 1072, before.bytes + 1072, 4096 - 1072), 0);
        EXPECT_EQ(crc, c.result == 1 ? static_cast<uint32_t>(crc32(0L, record.bytes, 4096))
                                     : 0xA5A5A5A5u);
    }
}

TEST(SetVendorFwName, TheSameNameTwiceChangesOnceAndTheCrcPlaceIsOptional) {
    VendorConfigRecord record = PatternRecord("OLD");
    EXPECT_EQ(SetVendorFwName(&record, u"FW100002", nullptr), 1);
    uint32_t crc = 7;
    EXPECT_EQ(SetVendorFwName(&record, u"FW100002", &crc), 0);
    EXPECT_EQ(crc, 7u);
    EXPECT_EQ(NameOf(record.bytes), "FW100002");
}

// An image with regions 1-2, 3-3, 4-4 and the check page 5, built by the simulator.
std::vector<uint8_t> ExampleImage() {
    sim::FirmwareImageSpec spec;
    spec.internal_version = "1.2.A.3B";
    return sim::MakeFirmwareImage(spec);
}

TEST(MergeVendorConfigIntoImage, PutsTheRecordAndNameInRegionTwoAndRecomputesTheCheckValue) {
    std::vector<uint8_t> image = ExampleImage();
    const std::vector<uint8_t> original = image;
    image[20488] = 0x77; // the merge clears check page bytes 8-11
    const VendorConfigRecord record = PatternRecord("SF100000");
    ASSERT_EQ(MergeVendorConfigIntoImage(image.data(), static_cast<uint32_t>(image.size()), &record,
                                         u"SF100002"),
              1);
    VendorConfigRecord expected = record;
    std::memcpy(expected.bytes + 1064, "SF100002", 8);
    EXPECT_EQ(std::memcmp(image.data() + 16384, expected.bytes, 4096), 0);
    EXPECT_EQ(Le32At(image, 20488), 0u);
    uLong crc = crc32(0L, image.data(), 80);
    const std::vector<uint8_t> zeros(4016, 0);
    crc = crc32(crc, zeros.data(), 4016);
    crc = crc32(crc, image.data() + 4096, 20480 - 4096);
    EXPECT_EQ(Le32At(image, 20492), static_cast<uint32_t>(crc));
    // Only the record page and the check value changed.
    EXPECT_TRUE(std::equal(image.begin(), image.begin() + 16384, original.begin()));
    EXPECT_TRUE(std::equal(image.begin() + 20496, image.end(), original.begin() + 20496));
    // The drive takes the merged image and runs with the merged record.
    const sim::FirmwareImageFacts facts = sim::ReadFirmwareImage(image);
    ASSERT_TRUE(facts.whole) << facts.refusal;
    EXPECT_EQ(facts.config_record, std::vector<uint8_t>(expected.bytes, expected.bytes + 4096));
}

TEST(MergeVendorConfigIntoImage, KeepLeavesTheDrivesNameAndPlainImagesAreUntouched) {
    std::vector<uint8_t> image = ExampleImage();
    const VendorConfigRecord record = PatternRecord("SF100000");
    ASSERT_EQ(MergeVendorConfigIntoImage(image.data(), static_cast<uint32_t>(image.size()), &record,
                                         u"keep"),
              1);
    EXPECT_EQ(std::memcmp(image.data() + 16384, record.bytes, 4096), 0);
    EXPECT_TRUE(sim::ReadFirmwareImage(image).whole);

    sim::FirmwareImageSpec plainSpec;
    plainSpec.cmfg = false;
    plainSpec.size = 9216;
    std::vector<uint8_t> plain = sim::MakeFirmwareImage(plainSpec);
    const std::vector<uint8_t> before = plain;
    DebugCapture log;
    EXPECT_EQ(MergeVendorConfigIntoImage(plain.data(), static_cast<uint32_t>(plain.size()), &record,
                                         u"SF100002"),
              1);
    EXPECT_EQ(plain, before);
    uint8_t tiny[2] = {'C', 'M'};
    EXPECT_EQ(MergeVendorConfigIntoImage(tiny, 2, &record, u"SF100002"), 1);
}

TEST(MergeVendorConfigIntoImage, RefusesImagesWhoseLayoutItCannotMergeSafely) {
    using Image = std::vector<uint8_t>;
    struct Case {
        const char* what;
        std::function<void(Image&)> damage;
    } cases[] = {
        {"shorter than the header", [](Image& i) { i.resize(79); }},
        {"region 0 outside", [](Image& i) { Put32At(i, 20, 6); }},
        {"region 1 outside",
         [](Image& i) {
             Put32At(i, 24, 9);
             Put32At(i, 28, 9);
         }},
        {"region 2 outside",
         [](Image& i) {
             Put32At(i, 32, 6);
             Put32At(i, 36, 6);
         }},
        {"check page outside (cut image)", [](Image& i) { i.resize(20480 + 4095); }},
        {"check page outside (region 2 at the last page)",
         [](Image& i) {
             Put32At(i, 32, 5);
             Put32At(i, 36, 5);
         }},
        {"region 0 first after last", [](Image& i) { Put32At(i, 16, 3); }},
        {"region 2 first after last", [](Image& i) { Put32At(i, 32, 5); }},
        {"region 2 on the header page",
         [](Image& i) {
             Put32At(i, 32, 0);
             Put32At(i, 36, 0);
         }},
        {"region 2 over region 0",
         [](Image& i) {
             Put32At(i, 32, 2);
             Put32At(i, 36, 2);
         }},
        {"region 2 over region 1",
         [](Image& i) {
             Put32At(i, 32, 3);
             Put32At(i, 36, 4);
         }},
        {"check page on region 0",
         [](Image& i) {
             Put32At(i, 16, 2), Put32At(i, 20, 3), Put32At(i, 24, 4), Put32At(i, 28, 4);
             Put32At(i, 32, 1), Put32At(i, 36, 1);
         }},
        {"first page 2^20: 32-bit page arithmetic would wrap to 0",
         [](Image& i) {
             Put32At(i, 32, 0x100000);
             Put32At(i, 36, 0x100000);
         }},
        {"last page 2^32-1", [](Image& i) { Put32At(i, 36, 0xFFFFFFFF); }},
    };
    for (const Case& c : cases) {
        Image image = ExampleImage();
        c.damage(image);
        const Image before = image;
        const VendorConfigRecord record = PatternRecord("SF100000");
        DebugCapture log;
        EXPECT_EQ(MergeVendorConfigIntoImage(image.data(), static_cast<uint32_t>(image.size()),
                                             &record, u"SF100002"),
                  -4)
            << c.what;
        EXPECT_EQ(image, before) << c.what;
        bool logged = false;
        for (const std::u16string& line : log.Lines())
            logged = logged || line.find(u"Config FW refused : ") != std::u16string::npos;
        EXPECT_TRUE(logged) << c.what;
    }
}

} // namespace
