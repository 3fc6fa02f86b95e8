// A SATA drive really takes firmware: the update steps in the SATA worker's order on each of
// the three SATA paths, judged by what the simulated drive runs and reports afterwards; and the
// simulated drive's own rules for DOWNLOAD MICROCODE and the configuration record.
#include "sata_support.h"

#include "disk/enumerate.h"
#include "disk/rediscover.h"
#include "platform/clock.h"
#include "sata/ata_transport.h"
#include "sata/sata_firmware.h"
#include "sim/firmware_image.h"

#include <algorithm>

namespace {

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; *text; ++text)
        out.push_back(static_cast<char>(*text));
    return out;
}

// The SATA update worker's sequence (open, download, wait, name update, re-discovery), with the
// worker's early exits. Returns the update's result; *record is refreshed from the drive.
int32_t RunSataUpdate(DriveInfo* record, const std::vector<uint8_t>& image, const char16_t* name) {
    TransportContext context{kCmdNone, PLAT_INVALID_HANDLE, 0};
    const PlatHandle drive = ClassifySataTransport(record->DevicePath, &context);
    if (drive == PLAT_INVALID_HANDLE) return -1;
    int32_t r = DISKLIB_SATA_FwRenew(&context, drive, InPageMemory(image),
                                     static_cast<uint32_t>(image.size()));
    if (r == 1) {
        PlatSleep(3000);
        VendorConfigRecord block;
        if (std::u16string(name) != u"KEEP") {
            r = ReadSataConfigRecord(&context, drive, &block);
            if (r == 1 && SetVendorFwName(&block, name, nullptr) == 1)
                r = WriteSataConfigRecord(&context, drive, &block);
        }
    }
    if (r == 1) GetDiskInfoByPortID(record, 10, 1);
    CloseTransport(drive, &context);
    return r;
}

DriveInfo Probe() {
    DriveInfo record{};
    EXPECT_EQ(ProbeSataDrive(u"\\\\.\\PhysicalDrive1", &record), 1);
    return record;
}

std::vector<uint8_t> Record(const std::vector<uint8_t>& record, const std::string& name) {
    std::vector<uint8_t> out = record;
    const std::string field = Name8(name);
    std::copy(field.begin(), field.end(), out.begin() + 1064);
    return out;
}

class SataUpdate : public ::testing::TestWithParam<const char*> {
  protected:
    void SetUp() override {
        LoadSataDrive(GetParam());
        record_ = Probe();
        ASSERT_EQ(record_.iCmdType, GetParam() == std::string("sata")       ? 16
                                    : GetParam() == std::string("sata-usb") ? 17
                                                                            : 18);
        ASSERT_EQ(Narrow(record_.DiskFwVersion), "SF100000");
        ASSERT_EQ(Narrow(record_.DrvInfoVersion), "S1.00.00");
        oldRecord_ = sim::Current().DrivePage("ssd", "config_record");
    }
    void TearDown() override {
        EXPECT_EQ(sim::Current().PageAllocCount(), 0);
        EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
    }
    // The drive still runs its old firmware and reports its old name.
    void ExpectOldFirmware() {
        EXPECT_TRUE(TheDrive().runningImage.empty());
        const DriveInfo now = Probe();
        EXPECT_EQ(Narrow(now.DiskFwVersion), "SF100000");
        EXPECT_EQ(Narrow(now.DrvInfoVersion), "S1.00.00");
        EXPECT_EQ(now.iFtlBuildNum, 1234u);
        EXPECT_EQ(sim::Current().DrivePage("ssd", "config_record"), oldRecord_);
    }
    DriveInfo record_{};
    std::vector<uint8_t> oldRecord_;
};

TEST_P(SataUpdate, TheDriveRunsTheConfigurableImageAndReportsTheNewNameAndVersion) {
    sim::FirmwareImageSpec spec;
    spec.internal_version = "S1.00.07";
    spec.ftl_build = 1299;
    const std::vector<uint8_t> image = sim::MakeFirmwareImage(spec);
    ASSERT_EQ(RunSataUpdate(&record_, image, u"SF100002"), 1);
    EXPECT_EQ(TheDrive().runningImage, image);
    // The image's own record, with the new name written over it after activation.
    EXPECT_EQ(sim::Current().DrivePage("ssd", "config_record"),
              Record(sim::ReadFirmwareImage(image).config_record, "SF100002"));
    EXPECT_EQ(Narrow(record_.DiskFwVersion), "SF100002");
    EXPECT_EQ(Narrow(record_.DrvInfoVersion), "S1.00.07");
    EXPECT_EQ(record_.iFtlBuildNum, 1299u);
}

TEST_P(SataUpdate, APlainImageKeepsTheDrivesRecordAndReportsBuildZero) {
    sim::FirmwareImageSpec spec;
    spec.cmfg = false;
    spec.size = 9216;
    spec.internal_version = "S1.00.08";
    const std::vector<uint8_t> image = sim::MakeFirmwareImage(spec);
    ASSERT_EQ(RunSataUpdate(&record_, image, u"SF100003"), 1);
    EXPECT_EQ(TheDrive().runningImage, image);
    EXPECT_EQ(sim::Current().DrivePage("ssd", "config_record"), Record(oldRecord_, "SF100003"));
    EXPECT_EQ(Narrow(record_.DiskFwVersion), "SF100003");
    EXPECT_EQ(Narrow(record_.DrvInfoVersion), "S1.00.08");
    EXPECT_EQ(record_.iFtlBuildNum, 0u);
}

TEST_P(SataUpdate, KeepLeavesTheImagesOwnRecordAndSendsNoRecordCommand) {
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    sim::Current().ClearTrace();
    ASSERT_EQ(RunSataUpdate(&record_, image, u"KEEP"), 1);
    for (const sim::TraceRecord& r : sim::Current().Trace())
        EXPECT_FALSE(r.ata.size() == 16 &&
                     (r.ata[14] == 0xC2 || (r.ata[14] == 0xC3 && r.ata[8] == 2)));
    EXPECT_EQ(Narrow(record_.DiskFwVersion), "IMAGEREC");
    EXPECT_EQ(Narrow(record_.DrvInfoVersion), "R1.2.3.4");
}

TEST_P(SataUpdate, AnImageWithoutItsLastSegmentIsNeverActivated) {
    // What a program that dropped the last segment would send: the drive waits for the rest.
    std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    image.erase(image.end() - 4096, image.end());
    ASSERT_EQ(RunSataUpdate(&record_, image, u"KEEP"), 1);
    ExpectOldFirmware();
    EXPECT_EQ(TheDrive().pending.size(), image.size());
}

TEST_P(SataUpdate, ACorruptedImageIsRefusedAtActivationAndTheUpdateFails) {
    std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    image[12288 + 100] ^= 0x01; // region 1
    ASSERT_EQ(RunSataUpdate(&record_, image, u"SF100002"), -4);
    ExpectOldFirmware();
    const std::vector<std::string>& events = TheDrive().events;
    EXPECT_NE(std::find_if(events.begin(), events.end(),
                           [](const std::string& e) {
                               return e.find("refused at activation: check value") !=
                                      std::string::npos;
                           }),
              events.end());
}

TEST_P(SataUpdate, ANameWrittenBeforeTheDownloadIsLostAtActivation) {
    // A program that renames first and downloads afterwards: the image's own record replaces the
    // one written, so the drive does not report the new name.
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    {
        SataHandle drive;
        VendorConfigRecord block;
        ASSERT_EQ(ReadSataConfigRecord(&drive.context, drive.handle, &block), 1);
        ASSERT_EQ(SetVendorFwName(&block, u"SF100002", nullptr), 1);
        ASSERT_EQ(WriteSataConfigRecord(&drive.context, drive.handle, &block), 1);
        EXPECT_EQ(Narrow(Probe().DiskFwVersion), "SF100002");
    }
    ASSERT_EQ(RunSataUpdate(&record_, image, u"KEEP"), 1);
    EXPECT_EQ(TheDrive().runningImage, image);
    EXPECT_EQ(Narrow(record_.DiskFwVersion), "IMAGEREC");
}

TEST_P(SataUpdate, ARecordThatReadsBackAllZeroIsNeverWrittenBack) {
    sim::FirmwareImageSpec spec;
    spec.cmfg = false;
    spec.size = 4096;
    const std::vector<uint8_t> image = sim::MakeFirmwareImage(spec);
    // A drive that answers the record read with zeros (a rejected read looks the same).
    sim::Fault zeros;
    zeros.drive = "ssd";
    zeros.ata_command = 0xC3;
    zeros.action = sim::Fault::Action::BadReply;
    zeros.count = 0;
    std::fill(TheDrive().configRecord.begin(), TheDrive().configRecord.end(), 0xFF);
    oldRecord_ = TheDrive().configRecord;
    sim::Current().AddFault(zeros);
    sim::Current().ClearTrace();
    EXPECT_EQ(RunSataUpdate(&record_, image, u"SF100002"), 0);
    for (const sim::TraceRecord& r : sim::Current().Trace())
        EXPECT_FALSE(r.ata.size() == 16 && r.ata[14] == 0xC2);
    EXPECT_EQ(TheDrive().configRecord, oldRecord_);
}

INSTANTIATE_TEST_SUITE_P(Paths, SataUpdate, ::testing::Values("sata", "sata-usb", "sata-scsi"),
                         [](const ::testing::TestParamInfo<const char*>& info) {
                             std::string name = info.param;
                             name.erase(std::remove(name.begin(), name.end(), '-'), name.end());
                             return name;
                         });

// The simulated drive's rules, with commands sent directly.
class SimSataFirmware : public ::testing::Test {
  protected:
    void SetUp() override { LoadSataDrive("sata"); }
    void TearDown() override { EXPECT_EQ(sim::Current().PageAllocCount(), 0); }
    // One DOWNLOAD MICROCODE command on the ATA route only.
    int32_t Segment(const std::vector<uint8_t>& image, uint32_t blockOffset, uint32_t bytes) {
        SataHandle drive;
        std::vector<uint8_t> data(image.begin() + blockOffset * 512,
                                  image.begin() + blockOffset * 512 + bytes);
        return IO_ATA_PassThrough(drive.handle, 0x92, 3, kAtaDrdyRequired | kAtaDataOut,
                                  blockOffset << 8, 0, data.data(), bytes);
    }
};

TEST_F(SimSataFirmware, AnOutOfSequenceSegmentAbortsAndDiscardsTheDownload) {
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({}); // 48 blocks
    EXPECT_EQ(Segment(image, 0, 4096), 1);
    EXPECT_EQ(Segment(image, 16, 4096), 0); // block 8 was due
    EXPECT_TRUE(TheDrive().pending.empty());
    EXPECT_EQ(Segment(image, 8, 4096), 0); // nothing to continue any more
    // A new download from offset 0 is taken whole.
    for (uint32_t block = 0; block < 48; block += 8)
        EXPECT_EQ(Segment(image, block, 4096), 1) << block;
    EXPECT_EQ(TheDrive().runningImage, image);
}

TEST_F(SimSataFirmware, ARestartAtOffsetZeroDropsWhatCameBefore) {
    const std::vector<uint8_t> other = sim::MakeFirmwareImage({true, 24576, "R9.9.9.9", 1, {}});
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    for (uint32_t block = 0; block < 24; block += 8)
        EXPECT_EQ(Segment(other, block, 4096), 1);
    for (uint32_t block = 0; block < 48; block += 8)
        EXPECT_EQ(Segment(image, block, 4096), 1) << block;
    EXPECT_EQ(TheDrive().runningImage, image);
}

TEST_F(SimSataFirmware, ABlockCountThatDisagreesWithTheTransferIsRefused) {
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    SataHandle drive;
    // AtaCmd derives the count from the length: send 4096 bytes with count 8 but LBA Low 1
    // (block count bits 15-8), which claims 264 blocks.
    std::vector<uint8_t> data(image.begin(), image.begin() + 4096);
    EXPECT_EQ(IO_ATA_PassThrough(drive.handle, 0x92, 3, kAtaDrdyRequired | kAtaDataOut, 1, 0,
                                 data.data(), 4096),
              0);
    // Other modes of DOWNLOAD MICROCODE are not taken.
    EXPECT_EQ(IO_ATA_PassThrough(drive.handle, 0x92, 7, kAtaDrdyRequired | kAtaDataOut, 0, 0,
                                 data.data(), 4096),
              0);
    EXPECT_TRUE(TheDrive().pending.empty());
}

TEST_F(SimSataFirmware, AnImageLongerThanItsLengthFieldIsDiscarded) {
    sim::FirmwareImageSpec spec;
    spec.cmfg = false;
    spec.size = 4096;
    std::vector<uint8_t> image = sim::MakeFirmwareImage(spec);
    image.resize(8192, 0);
    EXPECT_EQ(Segment(image, 0, 8192), 0);
    EXPECT_TRUE(TheDrive().runningImage.empty());
    EXPECT_TRUE(TheDrive().pending.empty());
}

TEST_F(SimSataFirmware, ARecordWriteTakesEffectAtOnceAndNeedsItsExactRegisters) {
    SataHandle drive;
    std::vector<uint8_t> record = sim::Current().DrivePage("ssd", "config_record");
    std::copy_n("SF777777", 8, record.begin() + 1064);
    // 512 bytes, or the record at LBA 1, are not a record write.
    EXPECT_EQ(IO_ATA_PassThrough(drive.handle, 0xC2, 1, kAtaDrdyRequired | kAtaDataOut, 0, 0,
                                 record.data(), 512),
              0);
    EXPECT_EQ(IO_ATA_PassThrough(drive.handle, 0xC2, 1, kAtaDrdyRequired | kAtaDataOut, 1, 0,
                                 record.data(), 4096),
              0);
    EXPECT_EQ(TheDrive().firmwareRevision, "SF100000");
    EXPECT_EQ(IO_ATA_PassThrough(drive.handle, 0xC2, 1, kAtaDrdyRequired | kAtaDataOut, 0, 0,
                                 record.data(), 4096),
              1);
    EXPECT_EQ(sim::Current().DrivePage("ssd", "config_record"), record);
    const std::vector<uint8_t> identify = sim::Current().DrivePage("ssd", "identify_device");
    EXPECT_EQ(std::string(identify.begin() + 46, identify.begin() + 54), "FS777777"); // ATA order
    uint8_t sum = 0;
    for (uint8_t b : identify)
        sum = static_cast<uint8_t>(sum + b);
    EXPECT_EQ(sum, 0);
}

} // namespace
