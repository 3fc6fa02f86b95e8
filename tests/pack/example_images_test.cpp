// Every image the build generated for the example packages is whole to a simulated drive and
// makes it report the version text and build number that images.txt gives it.
#include "sim/firmware_image.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace {

TEST(ExampleImages, ADriveTakesEveryImageAndReportsItsVersionAndBuild) {
    const char* source = std::getenv("FW_TEST_SOURCE_DIR");
    const char* built = std::getenv("FW_EXAMPLES_BUILD_DIR");
    ASSERT_NE(source, nullptr);
    ASSERT_NE(built, nullptr);
    int images = 0;
    for (const char* package : {"nvme", "sata"}) {
        std::ifstream listing(std::string(source) + "/../../examples/" + package + "/images.txt");
        ASSERT_TRUE(listing.good()) << package;
        std::string line;
        while (std::getline(listing, line)) {
            std::istringstream fields(line);
            std::string name, version, build, pages, record;
            if (!(fields >> name >> version >> build >> pages >> record) || name[0] == '#')
                continue;
            SCOPED_TRACE(name);
            std::ifstream in(std::string(built) + "/" + package + "/" + name, std::ios::binary);
            ASSERT_TRUE(in.good());
            const std::vector<uint8_t> image{std::istreambuf_iterator<char>(in),
                                             std::istreambuf_iterator<char>()};
            const sim::FirmwareImageFacts facts = sim::ReadFirmwareImage(image);
            EXPECT_TRUE(facts.whole) << facts.refusal;
            EXPECT_EQ(facts.internal_version, version);
            EXPECT_EQ(facts.ftl_build, std::stoul(build));
            ASSERT_EQ(facts.config_record.size(), 4096u);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(&facts.config_record[1064]), 8),
                      record);
            ++images;
        }
    }
    EXPECT_EQ(images, 7);
}

} // namespace
