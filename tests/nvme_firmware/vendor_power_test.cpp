// The vendor configuration commands and bridge power control, checked through what the
// simulated drive received and what it does afterwards.
#include "firmware_fixture.h"

#include "nvme/power_ctrl.h"
#include "nvme/vendor_config.h"
#include "sim/hotplug.h"

#include <zlib.h>

#include <algorithm>

namespace {

uint32_t Crc(const std::vector<uint8_t>& bytes) {
    return static_cast<uint32_t>(crc32(0L, bytes.data(), static_cast<uInt>(bytes.size())));
}

// The 4096 data bytes of the last write command the program sent on the drive's path.
std::vector<uint8_t> LastWrittenData(const std::string& path) {
    if (path == "nvme") {
        const auto r = TraceOf(kIoctlStorageProtocolCommand).back();
        return std::vector<uint8_t>(r.in.begin() + 144, r.in.begin() + 144 + 4096);
    }
    if (path == "rst") {
        const auto r = TraceOf(kIoctlScsiMiniport).back();
        return std::vector<uint8_t>(r.in.begin() + 164, r.in.begin() + 164 + 4096);
    }
    const auto requests = TraceOf(kIoctlScsiPassThroughDirect);
    return *requests.at(requests.size() - 2).data_out; // the data phase before the completion
}

class VendorEveryPath : public FirmwareTest, public testing::WithParamInterface<const char*> {};

TEST_P(VendorEveryPath, TheNameGoesToBytes88To95OfThePageKeepingOnlyIts144FirstBytes) {
    struct Case {
        const char16_t* name;
        std::vector<uint8_t> field;
    };
    const Case cases[] = {
        {u"", {0, 0, 0, 0, 0, 0, 0, 0}},
        {u"ABC", {'A', 'B', 'C', 0, 0, 0, 0, 0}},
        {u"NEWFW123", {'N', 'E', 'W', 'F', 'W', '1', '2', '3'}},
        {u"NEWFW123ABCD", {'N', 'E', 'W', 'F', 'W', '1', '2', '3'}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(Printable(c.name));
        sim::Json noVendorInfo = sim::DefaultNvmeDrive();
        noVendorInfo["vendor_info"]["valid"] = false;
        Open(GetParam(), noVendorInfo);
        const std::vector<uint8_t> before = sim::Current().DrivePage(GetParam(), "geometry");
        ASSERT_EQ(WriteVendorFwName(Context(), Handle(), c.name), 1);
        const auto writes = Executed(0xF1);
        ASSERT_EQ(writes.size(), 1u);
        EXPECT_EQ(Le32At(writes[0], 48), 0u) << "dword 12";
        EXPECT_EQ(Le32At(writes[0], 56), kSignature14);
        EXPECT_EQ(Le32At(writes[0], 60), kSignature15);
        std::vector<uint8_t> expected(4096, 0);
        std::copy(before.begin(), before.begin() + 144, expected.begin());
        std::copy(c.field.begin(), c.field.end(), expected.begin() + 88);
        EXPECT_EQ(sim::Hex(LastWrittenData(GetParam())), sim::Hex(expected));
        EXPECT_EQ(
            sim::NvmeFirmware(GetParam()).recorded_name,
            std::string(c.field.begin(), std::find(c.field.begin(), c.field.end(), uint8_t{0})));
    }
}

TEST_P(VendorEveryPath, APageOrRecordTheDriveRejectedIsAFailedReadAndNothingIsWritten) {
    Open(GetParam());
    sim::RejectNvmeCommand(GetParam(), 0xF2);
    EXPECT_EQ(WriteVendorFwName(Context(), Handle(), u"NEWFW123"), -4);
    EXPECT_TRUE(Executed(0xF1).empty());

    const std::vector<uint8_t> drives = sim::Current().DrivePage(GetParam(), "config_record");
    std::vector<uint8_t> record(4096, 0xCC);
    ASSERT_EQ(ReadVendorConfigRecord(Context(), Handle(), record.data()), 1);
    EXPECT_EQ(record, drives);
    const auto reads = Executed(0xE6);
    ASSERT_EQ(reads.size(), 1u);
    EXPECT_EQ(Le32At(reads[0], 48), 1u);
    EXPECT_EQ(Le32At(reads[0], 56), kSignature14);
    sim::RejectNvmeCommand(GetParam(), 0xE6, 1);
    EXPECT_EQ(ReadVendorConfigRecord(Context(), Handle(), record.data()), -4);
    EXPECT_TRUE(std::all_of(record.begin(), record.end(), [](uint8_t b) { return b == 0; }));
}

TEST_P(VendorEveryPath, ARecordIsTakenOnlyWithTheCrcOfItsBytes) {
    Open(GetParam());
    std::vector<uint8_t> record = sim::Current().DrivePage(GetParam(), "config_record");
    const std::vector<uint8_t> original = record;
    std::memcpy(&record[1064], "NEWNAME1", 8);
    ASSERT_EQ(WriteVendorConfigRecord(Context(), Handle(), record.data(), Crc(record) ^ 1), 1)
        << "the NVMe status is not read";
    EXPECT_EQ(sim::Current().DrivePage(GetParam(), "config_record"), original);

    std::memcpy(&record[1064], "NEWNAME1", 8); // the RST path overwrote the buffer
    const std::vector<uint8_t> sent = record;
    ASSERT_EQ(WriteVendorConfigRecord(Context(), Handle(), record.data(), Crc(sent)), 1);
    EXPECT_EQ(sim::Current().DrivePage(GetParam(), "config_record"), sent);
    const auto writes = Executed(0xE5);
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(Le32At(writes[1], 48), 1u);
    EXPECT_EQ(Le32At(writes[1], 56), Crc(sent));
    EXPECT_EQ(Le32At(writes[1], 60), 0u) << "no signature in dword 15";
    EXPECT_EQ(sim::NvmeFirmware(GetParam()).recorded_name, "NEWNAME1");
}

INSTANTIATE_TEST_SUITE_P(Paths, VendorEveryPath, testing::ValuesIn(kNvmePaths));

using PowerControl = FirmwareTest;

TEST_F(PowerControl, AsmediaSendsEa5aModeWithNoData) {
    Open("asmedia");
    ASSERT_EQ(IO_USB_ASM_PowerCtrl(Handle(), 1), 1);
    const auto requests = TraceOf(kIoctlScsiPassThroughDirect);
    ASSERT_EQ(requests.size(), 1u);
    const SentSptd s = DecodeSptd(requests[0]);
    EXPECT_EQ(sim::Hex(s.cdb), "ea5a0100000000000000000000000000");
    EXPECT_EQ(s.dataIn, kScsiIoctlDataOut);
    EXPECT_EQ(s.transferLength, 0u);
    EXPECT_FALSE(requests[0].data_out.has_value());
    EXPECT_EQ(LogLines(), (std::vector<std::u16string>{u"IO_USB_ASM_PowerCtrl IN 1",
                                                       u"IO_USB_ASM_PowerCtrl Success OUT "}));
}

TEST_F(PowerControl, JmicronSendsTheControlBlockThenAnEmptyDataPhaseThenTheCompletionRead) {
    Open("jmicron");
    ASSERT_EQ(IO_USB_JMI_PowerCtrl(Handle(), 5), 1);
    const auto requests = TraceOf(kIoctlScsiPassThroughDirect);
    ASSERT_EQ(requests.size(), 3u);
    const char* cdbs[] = {"a1800000020000000000000000000000", "a1810000000000000000000000000000",
                          "a18f0000020000000000000000000000"};
    const uint8_t dataIn[] = {kScsiIoctlDataOut, kScsiIoctlDataIn, kScsiIoctlDataIn};
    const uint32_t lengths[] = {512, 0, 512};
    for (size_t i = 0; i < 3; ++i) {
        const SentSptd s = DecodeSptd(requests[i]);
        EXPECT_EQ(sim::Hex(s.cdb), cdbs[i]);
        EXPECT_EQ(s.dataIn, dataIn[i]);
        EXPECT_EQ(s.transferLength, lengths[i]);
    }
    std::vector<uint8_t> block(512, 0);
    std::memcpy(block.data(), "NVME", 4);
    block[72] = 5;
    EXPECT_EQ(sim::Hex(*requests[0].data_out), sim::Hex(block));
    EXPECT_EQ(LogLines(), (std::vector<std::u16string>{u"IO_USB_JMI_PowerCtrl IN 5",
                                                       u"IO_USB_JMI_PowerCtrl Success OUT"}));
}

TEST_F(PowerControl, ARefusedRequestLogsOnlyTheInLine) {
    const struct {
        const char* path;
        int32_t (*op)(PlatHandle, uint8_t);
        uint8_t mode;
        const char16_t* line;
    } cases[] = {{"asmedia", IO_USB_ASM_PowerCtrl, 1, u"IO_USB_ASM_PowerCtrl IN 1"},
                 {"jmicron", IO_USB_JMI_PowerCtrl, 5, u"IO_USB_JMI_PowerCtrl IN 5"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        Open(c.path);
        sim::Fault f;
        f.ioctl = kIoctlScsiPassThroughDirect;
        sim::Current().AddFault(f);
        EXPECT_EQ(c.op(Handle(), c.mode), -4);
        EXPECT_EQ(LogLines(), (std::vector<std::u16string>{c.line}));
        EXPECT_EQ(sim::DrivesAway(), 0);
    }
}

TEST_F(PowerControl, TheDriveLeavesUsbAndComesBackOnItsPortAfterTheDelay) {
    struct Case {
        const char* path;
        int32_t (*op)(PlatHandle, uint8_t);
        uint8_t mode;
        sim::PowerCycle cycle;
        int number; // after the return; -1: never back
    };
    const Case cases[] = {
        {"asmedia", IO_USB_ASM_PowerCtrl, 1, {}, 1},
        {"jmicron", IO_USB_JMI_PowerCtrl, 5, {2000, 7, true}, 7},
        {"asmedia", IO_USB_ASM_PowerCtrl, 1, {1500, -1, false}, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " back as " + std::to_string(c.number));
        Open(c.path);
        sim::SetPowerCycle(c.path, c.cycle);
        PlatWindow window = reinterpret_cast<PlatWindow>(0x5678);
        sim::SetDeviceChangeWindow(window);
        const uint64_t start = sim::ClockNow();
        ASSERT_EQ(c.op(Handle(), c.mode), 1);
        EXPECT_EQ(sim::Current().DriveNumber(c.path), -1) << "gone at once";
        sim::ClockAdvance(static_cast<uint64_t>(c.cycle.delay_ms) - 1);
        EXPECT_EQ(sim::Current().DriveNumber(c.path), -1);
        sim::ClockAdvance(10000);
        EXPECT_EQ(sim::Current().DriveNumber(c.path), c.number);
        const auto changes = sim::DeviceChanges();
        ASSERT_EQ(changes.size(), c.number < 0 ? 1u : 2u);
        EXPECT_FALSE(changes[0].arrival);
        EXPECT_EQ(changes[0].t_ms, start);
        if (c.number >= 0) {
            EXPECT_TRUE(changes[1].arrival);
            EXPECT_EQ(changes[1].number, c.number);
            EXPECT_EQ(changes[1].t_ms, start + c.cycle.delay_ms - 1 + 10000);
        }
        int notices = 0;
        for (const auto& m : sim::Messages())
            if (m.window == window && m.message == sim::kWmDeviceChange) ++notices;
        EXPECT_EQ(notices, static_cast<int>(changes.size()));
        sim::SetDeviceChangeWindow(nullptr);
        sim::ClearMessages();
        sim::CancelDriveReturns();
    }
}

} // namespace
