// DISKLIB_SATA_FwRenew: segments, registers, progress, retries and refusals, judged by the
// simulator's trace and the simulated drive; the image memory is released exactly once.
#include "sata_support.h"

#include "base/log.h"
#include "sata/sata_firmware.h"
#include "sim/firmware_image.h"
#include "support/debug_capture.h"

namespace {

class SataDownload : public ::testing::Test {
  protected:
    void SetUp() override {
        LoadSataDrive("sata");
        SataBindProgressWindow(&window_);
        LogBindDetailSwitch(&detail_);
        sim::ClearMessages();
    }
    void TearDown() override {
        SataBindProgressWindow(nullptr);
        LogBindDetailSwitch(nullptr);
        EXPECT_EQ(sim::Current().PageAllocCount(), 0) << "image or buffers not released once";
        EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
    }
    // Runs the download of image on the drive; the trace then holds only its requests.
    int32_t Download(const std::vector<uint8_t>& image) {
        SataHandle drive;
        EXPECT_EQ(drive.context.iCmdType, 16);
        sim::Current().ClearTrace();
        sim::ClearMessages();
        log_.Clear();
        return DISKLIB_SATA_FwRenew(&drive.context, drive.handle, InPageMemory(image),
                                    static_cast<uint32_t>(image.size()));
    }
    std::vector<intptr_t> Posts() const {
        std::vector<intptr_t> out;
        for (const sim::WindowMessage& m : sim::Messages()) {
            EXPECT_EQ(m.window, window_);
            EXPECT_EQ(m.message, 32816u);
            EXPECT_EQ(m.wParam, 0u);
            EXPECT_FALSE(m.sent);
            out.push_back(m.lParam);
        }
        return out;
    }
    std::vector<std::string> LogLines() const {
        std::vector<std::string> out;
        for (const std::u16string& line : log_.Lines())
            out.push_back(Printable(line));
        return out;
    }

    PlatWindow window_ = reinterpret_cast<PlatWindow>(0x1234);
    volatile int32_t detail_ = 1;
    DebugCapture log_;
};

std::vector<uint8_t> PlainImage(size_t size, const std::string& version = "5.0.0.1") {
    sim::FirmwareImageSpec spec;
    spec.cmfg = false;
    spec.size = size;
    spec.internal_version = version;
    return sim::MakeFirmwareImage(spec);
}

TEST_F(SataDownload, A512ByteImageIsOneSegmentAtOffsetZeroWithoutProgress) {
    const std::vector<uint8_t> image = PlainImage(512);
    ASSERT_EQ(Download(image), 1);
    const std::vector<SentSegment> sent = SentSegments();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].feature, 3);
    EXPECT_EQ(sent[0].count, 1);
    EXPECT_EQ(sent[0].lbaLow, 0);
    EXPECT_EQ(sent[0].lbaMid, 0);
    EXPECT_EQ(sent[0].lbaHigh, 0);
    EXPECT_EQ(sent[0].device, 0x40);
    EXPECT_EQ(sent[0].data, image);
    EXPECT_TRUE(Posts().empty());
    EXPECT_EQ(TheDrive().runningImage, image);
}

TEST_F(SataDownload, A9216ByteImageGoesAsThreeSegmentsWithProgressFortyAndEighty) {
    const std::vector<uint8_t> image = PlainImage(9216);
    ASSERT_EQ(Download(image), 1);
    const std::vector<SentSegment> sent = SentSegments();
    ASSERT_EQ(sent.size(), 3u);
    const uint8_t counts[] = {8, 8, 2};
    const uint8_t mids[] = {0, 8, 16}; // lba values 0, 2048 and 4096
    for (size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(sent[i].count, counts[i]) << i;
        EXPECT_EQ(sent[i].lbaLow, 0) << i;
        EXPECT_EQ(sent[i].lbaMid, mids[i]) << i;
        EXPECT_EQ(sent[i].lbaHigh, 0) << i;
        EXPECT_EQ(sent[i].data,
                  std::vector<uint8_t>(image.begin() + static_cast<long>(i * 4096),
                                       image.begin() + static_cast<long>(std::min<size_t>(
                                                           (i + 1) * 4096, image.size()))))
            << i;
    }
    EXPECT_EQ(Posts(), (std::vector<intptr_t>{40, 80}));
    EXPECT_EQ(LogLines(), (std::vector<std::string>{"[TX]          [middle] DownloadFW  40%",
                                                    "[TX]          [middle] DownloadFW  80%"}));
    EXPECT_EQ(TheDrive().runningImage, image);
}

TEST_F(SataDownload, ASegmentThatFailsOnceIsSentAgainAfterOneRetryLine) {
    const std::vector<uint8_t> image = PlainImage(9216);
    // Two drive commands: the ATA pass-through and its SAT fallback, one failed AtaCmd.
    TheDrive().segmentFault = {2, 2, 0};
    ASSERT_EQ(Download(image), 1);
    const std::vector<SentSegment> sent = SentSegments();
    ASSERT_EQ(sent.size(), 5u);
    const uint8_t mids[] = {0, 8, 8, 8, 16};
    const bool ok[] = {true, false, false, true, true};
    for (size_t i = 0; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].lbaMid, mids[i]) << i;
        EXPECT_EQ(sent[i].ok, ok[i]) << i;
    }
    std::vector<std::string> lines = LogLines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[TX]          [middle] DISKLIB_SATA_FwRenew Error, Retry 1"),
              1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         "[TX]          [middle] DISKLIB_SATA_FwRenew Error, Retry 2"),
              0);
    EXPECT_EQ(TheDrive().runningImage, image);
}

TEST_F(SataDownload, ThreeFailuresEndTheDownloadWithoutLaterSegments) {
    const std::string before = TheDrive().firmwareRevision;
    TheDrive().segmentFault = {2, 0, 0};
    ASSERT_EQ(Download(PlainImage(9216)), -4);
    const std::vector<SentSegment> sent = SentSegments();
    ASSERT_EQ(sent.size(), 7u); // segment 1, then segment 2 three times over two routes
    for (size_t i = 1; i < sent.size(); ++i) {
        EXPECT_EQ(sent[i].lbaMid, 8) << i;
        EXPECT_FALSE(sent[i].ok) << i;
    }
    const std::vector<std::string> lines = LogLines();
    ASSERT_GE(lines.size(), 2u);
    EXPECT_EQ(lines[lines.size() - 2],
              "[TX]          [middle] DISKLIB_SATA_FwRenew Error, Retry 1");
    EXPECT_EQ(lines.back(), "[TX]          [middle] DISKLIB_SATA_FwRenew Error, Retry 2");
    EXPECT_TRUE(TheDrive().runningImage.empty());
    EXPECT_EQ(TheDrive().firmwareRevision, before);
}

TEST_F(SataDownload, ImagesTheBlockRegistersCannotCarryAreRefusedBeforeAnySegment) {
    struct Case {
        size_t size;
        const char* line;
    } cases[] = {
        {32 * 1024 * 1024 + 512,
         "[TX] DISKLIB_SATA_FwRenew Error, image of 33554944 bytes is over 33554432 bytes"},
        {1000, "[TX] DISKLIB_SATA_FwRenew Error, image of 1000 bytes is not whole 512-byte blocks"},
        {9216 + 1, "[TX] DISKLIB_SATA_FwRenew Error, image of 9217 bytes is not whole 512-byte "
                   "blocks"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Download(std::vector<uint8_t>(c.size, 0x5A)), -4) << c.size;
        EXPECT_TRUE(sim::Current().Trace().empty()) << c.size;
        EXPECT_TRUE(Posts().empty());
        EXPECT_EQ(LogLines(), std::vector<std::string>{c.line});
        EXPECT_EQ(sim::Current().PageAllocCount(), 0) << c.size;
    }
}

TEST_F(SataDownload, A32MiBImageReachesTheLastBlockOffsetTheRegistersCanHold) {
    const std::vector<uint8_t> image = PlainImage(32 * 1024 * 1024, "3.2.M.1B");
    ASSERT_EQ(Download(image), 1);
    const std::vector<SentSegment> sent = SentSegments();
    ASSERT_EQ(sent.size(), 8192u);
    EXPECT_EQ(sent.back().lbaMid, 0xF8); // block offset 65528
    EXPECT_EQ(sent.back().lbaHigh, 0xFF);
    EXPECT_EQ(Posts(), (std::vector<intptr_t>{10, 20, 30, 40, 50, 60, 70, 80, 90}));
    EXPECT_EQ(TheDrive().runningImage, image);
    sim::Current().ClearTrace();
}

TEST_F(SataDownload, SizeZeroAndAMissingContextSendNothingAndStillReleaseTheImage) {
    SataHandle drive;
    sim::Current().ClearTrace();
    EXPECT_EQ(DISKLIB_SATA_FwRenew(&drive.context, drive.handle, InPageMemory({}), 0), 1);
    EXPECT_EQ(DISKLIB_SATA_FwRenew(nullptr, drive.handle, InPageMemory(PlainImage(512)), 512), -5);
    EXPECT_TRUE(sim::Current().Trace().empty());
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
}

} // namespace
