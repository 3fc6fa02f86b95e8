// Transport classification and the device-tree queries, against typical machines.
#include "fixture.h"

#include "platform/storage.h"

namespace {

struct ClassifyCase {
    const char* name;
    sim::DriveOnPath drive;
    sim::Json fault; // null: none
    int32_t nvmeType;
    int32_t sataType;
};

sim::DriveOnPath On(const char* path, const char* service = "", sim::Json drive = nullptr) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = 1;
    d.service = service;
    d.drive = drive;
    return d;
}

class Classify : public testing::TestWithParam<ClassifyCase> {};

TEST_P(Classify, PicksTheTransportOfTheDrivePath) {
    const ClassifyCase& c = GetParam();
    sim::Json machine = sim::TypicalMachine({c.drive});
    if (!c.fault.is_null()) machine["faults"] = sim::Json::array({c.fault});
    sim::Load(machine.dump());
    {
        OpenedDrive nvme(1);
        ASSERT_NE(nvme.handle, PLAT_INVALID_HANDLE);
        EXPECT_EQ(nvme.context.iCmdType, c.nvmeType);
    }
    sim::Current().ClearFaults();
    {
        OpenedDrive sata(1, true);
        ASSERT_NE(sata.handle, PLAT_INVALID_HANDLE);
        EXPECT_EQ(sata.context.iCmdType, c.sataType);
        EXPECT_EQ(sata.context.hScsiPort, PLAT_INVALID_HANDLE);
    }
    EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
    EXPECT_EQ(sim::Current().OpenDevInfoSetCount(), 0);
}

const sim::Json kInquiryCheckCondition = {{"cdb", "12"}, {"action", "check_condition"}};
const sim::Json kInquiryRefused = {{"cdb", "12"}, {"action", "refuse"}};
const sim::Json kQueryRefused = {
    {"ioctl", kIoctlStorageQueryProperty}, {"action", "refuse"}, {"count", 0}};

INSTANTIATE_TEST_SUITE_P(
    BusTypesServicesAndBridges, Classify,
    testing::Values(
        ClassifyCase{"InboxNvme", On("nvme"), nullptr, 2, 255},
        ClassifyCase{"RstService", On("rst", "iaStorAC"), nullptr, 3, 255},
        ClassifyCase{"RstServiceAnyCase", On("rst", "IASTORVD"), nullptr, 3, 255},
        ClassifyCase{"RstServiceInsideName", On("nvme", "xyziastorabc"), nullptr, 3, 255},
        ClassifyCase{"NvmeWithOtherService", On("rst", "stornvme"), nullptr, 2, 255},
        ClassifyCase{"RaidWithIaStor", On("raid", "iaStorAVC"), nullptr, 3, 255},
        ClassifyCase{"RaidWithoutIaStor", On("raid", "megasas"), nullptr, 255, 255},
        ClassifyCase{"Asmedia", On("asmedia"), nullptr, 0, 17},
        ClassifyCase{"Jmicron", On("jmicron"), nullptr, 1, 17},
        ClassifyCase{"InquiryCheckCondition", On("asmedia"), kInquiryCheckCondition, 255, 17},
        ClassifyCase{"InquiryRefused", On("jmicron"), kInquiryRefused, 255, 17},
        ClassifyCase{"SataPort", On("sata"), nullptr, 255, 16},
        ClassifyCase{"SataBehindUsb", On("sata-usb"), nullptr, 255, 17},
        ClassifyCase{"SataBehindSas", On("sata-scsi"), nullptr, 255, 18},
        ClassifyCase{"OtherBusType", On("other"), nullptr, 255, 255},
        ClassifyCase{"DescriptorRefused", On("nvme"), kQueryRefused, 255, 255}),
    [](const testing::TestParamInfo<ClassifyCase>& info) { return std::string(info.param.name); });

// Bus types the typical paths do not use by default.
TEST(ClassifyBusType, ScsiClassAdaptersAndUnknownUsbBridges) {
    struct Case {
        const char* path;
        int busType;
        const char* inquiry;
        int32_t nvme, sata;
    } cases[] = {{"sata-scsi", 1, "", 255, 18},      {"sata-scsi", 9, "", 255, 18},
                 {"sata-scsi", 10, "", 255, 18},     {"usb-bridge", 7, "6024", 255, 17},
                 {"usb-bridge", 7, "3035", 1, 17},   {"usb-bridge", 7, "6023", 0, 17},
                 {"usb-bridge", 7, "2360", 255, 17}, {"other", 3, "", 255, 255}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " bus " + std::to_string(c.busType) + " inquiry " +
                     c.inquiry);
        sim::Json m = sim::TypicalMachine({On(c.path)});
        for (auto& node : m["nodes"]) {
            if (!node.contains("disk")) continue;
            node["disk"]["bus_type"] = c.busType;
            if (*c.inquiry) node["disk"]["inquiry_vendor"] = c.inquiry;
        }
        sim::Load(m.dump());
        EXPECT_EQ(OpenedDrive(1).context.iCmdType, c.nvme);
        EXPECT_EQ(OpenedDrive(1, true).context.iCmdType, c.sata);
    }
}

TEST(ClassifyOpen, AnAbsentDriveGivesTheInvalidHandleAndLeavesTheTypeUnset) {
    LoadDrives({On("nvme")});
    TransportContext context{77, nullptr, 5};
    const std::u16string path = DrivePath(7);
    EXPECT_EQ(ClassifyNvmeTransport(path.c_str(), &context), PLAT_INVALID_HANDLE);
    EXPECT_EQ(context.iCmdType, 77);
    EXPECT_EQ(context.hScsiPort, PLAT_INVALID_HANDLE);
    context.hScsiPort = nullptr;
    EXPECT_EQ(ClassifySataTransport(path.c_str(), &context), PLAT_INVALID_HANDLE);
    EXPECT_EQ(context.iCmdType, 77);
    EXPECT_EQ(context.hScsiPort, PLAT_INVALID_HANDLE);
    EXPECT_TRUE(sim::Current().Trace().empty());
}

TEST(ClassifyRst, OpensThePortDeviceOfTheDriveAndKeepsItsPathId) {
    sim::DriveOnPath other = On("nvme");
    sim::DriveOnPath rst = On("rst", "iaStorAC");
    rst.number = 4;
    LoadDrives({other, rst}); // the RST drive is the second: port 2, path id 1
    OpenedDrive drive(4);
    EXPECT_EQ(drive.context.iCmdType, 3);
    EXPECT_NE(drive.context.hScsiPort, PLAT_INVALID_HANDLE);
    EXPECT_EQ(drive.context.iPathId, 1u);
    auto address = TraceOf(kIoctlScsiGetAddress);
    ASSERT_EQ(address.size(), 1u);
    ASSERT_EQ(address[0].in.size(), 8u);
    EXPECT_EQ(Le32At(address[0].in, 0), 8u);
}

TEST(ClassifyRst, APortDeviceThatCannotBeOpenedStillClassifiesTheDrive) {
    sim::Json m = sim::TypicalMachine({On("rst", "iaStorAC")});
    m["scsi_ports"] = {{{"number", 1}, {"present", false}}};
    sim::Load(m.dump());
    OpenedDrive drive(1);
    EXPECT_EQ(drive.context.iCmdType, 3);
    EXPECT_EQ(drive.context.hScsiPort, PLAT_INVALID_HANDLE);
}

TEST(ProbeUsbBridge, SendsTheInquiryAndTheAsmediaInformationReadInTheNativeLayout) {
    LoadDrives({On("asmedia")});
    OpenedDrive drive(1);
    ASSERT_EQ(drive.context.iCmdType, 0);
    auto requests = TraceOf(kIoctlScsiPassThroughDirect);
    ASSERT_EQ(requests.size(), 2u);
    for (const auto& r : requests) {
        ASSERT_EQ(r.in.size(), kSptdRequestSize);
        SentSptd s = DecodeSptd(r);
        EXPECT_EQ(s.length, kPassThroughLayoutNative.sptdSize);
        EXPECT_EQ(s.cdbLength, 16);
        EXPECT_EQ(s.senseLength, 24);
        EXPECT_EQ(s.senseOffset, kSptdSenseOffset);
        EXPECT_EQ(s.dataIn, kScsiIoctlDataIn);
        EXPECT_EQ(Le32At(r.in, 16), 10u); // TimeOutValue
    }
    EXPECT_EQ(sim::Hex(DecodeSptd(requests[0]).cdb), "12000000260000000000000000000000");
    EXPECT_EQ(DecodeSptd(requests[0]).transferLength, 4096u);
    ASSERT_TRUE(requests[0].data_in.has_value());
    EXPECT_EQ(requests[0].data_in->size(), 38u); // the allocation length
    EXPECT_EQ(sim::Hex(DecodeSptd(requests[1]).cdb), "eb5a0200000000000000000000100000");
    EXPECT_EQ(DecodeSptd(requests[1]).transferLength, 16u);
}

TEST(ProbeUsbBridge, AJmicronBridgeIsAskedNothingButTheInquiry) {
    LoadDrives({On("jmicron")});
    OpenedDrive drive(1);
    EXPECT_EQ(drive.context.iCmdType, 1);
    EXPECT_EQ(TraceOf(kIoctlScsiPassThroughDirect).size(), 1u);
}

class DeviceTree : public testing::Test {
  protected:
    void SetUp() override {
        sim::DriveOnPath nvme = On("nvme");
        nvme.number = 3;
        nvme.busNumber = 5;
        sim::DriveOnPath usb = On("jmicron");
        usb.number = 1;
        LoadDrives({nvme, usb});
    }
    std::u16string Id(PlatDevInst node) {
        char16_t id[260];
        if (!PlatDevGetDeviceId(node, id, 260)) return u"";
        return id;
    }
};

TEST_F(DeviceTree, GetDevNodeOfDriveWalksUpFromTheDisk) {
    const std::u16string path = DrivePath(3);
    EXPECT_EQ(Id(GetDevNodeOfDrive(path.c_str(), 0)),
              u"SCSI\\DISK&VEN_SIM&PROD_DISK3\\5&1A2B3C4D&0&000003");
    EXPECT_EQ(Id(GetDevNodeOfDrive(path.c_str(), 1)),
              u"PCI\\VEN_F0F0&DEV_1202&SUBSYS_1202F0F0&REV_01\\4&2B5C7D1E&0&003");
    EXPECT_EQ(Id(GetDevNodeOfDrive(path.c_str(), 2)),
              u"PCI\\VEN_8086&DEV_A340&SUBSYS_00000000&REV_F0\\3&11583659&0&E3");
    EXPECT_EQ(Id(GetDevNodeOfDrive(u"\\\\.\\PHYSICALDRIVE3", 1)),
              Id(GetDevNodeOfDrive(path.c_str(), 1)));
    EXPECT_EQ(GetDevNodeOfDrive(DrivePath(2).c_str(), 0), 0u);
    EXPECT_EQ(GetDevNodeOfDrive(u"\\\\.\\PhysicalDrive", 0), 0u);
    EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
    EXPECT_EQ(sim::Current().OpenDevInfoSetCount(), 0);
}

TEST_F(DeviceTree, ParentServiceAndPcieLinkOfTheController) {
    char16_t service[kServiceText];
    GetParentService(DrivePath(3).c_str(), service);
    EXPECT_EQ(std::u16string(service), u"stornvme");
    GetParentService(DrivePath(1).c_str(), service);
    EXPECT_EQ(std::u16string(service), u"UASPStor");
    GetParentService(DrivePath(9).c_str(), service);
    EXPECT_EQ(std::u16string(service), u"");

    uint32_t speed = 9, width = 9, maxSpeed = 9, maxWidth = 9;
    GetPcieLinkInfo(DrivePath(3).c_str(), &speed, &width, &maxSpeed, &maxWidth);
    EXPECT_EQ(speed, 3u);
    EXPECT_EQ(width, 4u);
    EXPECT_EQ(maxSpeed, 4u);
    EXPECT_EQ(maxWidth, 4u);
    // A parent without link properties reads as zeros.
    GetPcieLinkInfo(DrivePath(1).c_str(), &speed, &width, &maxSpeed, &maxWidth);
    EXPECT_EQ(speed + width + maxSpeed + maxWidth, 0u);
    EXPECT_EQ(sim::Current().OpenDevInfoSetCount(), 0);
}

TEST_F(DeviceTree, AServiceNameLongerThanTheBufferIsNotRead) {
    sim::DriveOnPath nvme = On("nvme", "");
    nvme.service = std::string(140, 's');
    LoadDrives({nvme});
    char16_t service[kServiceText];
    service[0] = u'x';
    GetParentService(DrivePath(1).c_str(), service);
    EXPECT_EQ(service[0], 0);
}

TEST_F(DeviceTree, OpenDiskInterfaceOpensTheMemberAtTheIndex) {
    PlatHandle first = OpenDiskInterface(&kGuidDevInterfaceDisk, 0);
    ASSERT_NE(first, PLAT_INVALID_HANDLE);
    StorageDeviceNumber number{};
    uint32_t returned = 0;
    ASSERT_EQ(PlatDeviceIoControl(first, kIoctlStorageGetDeviceNumber, nullptr, 0, &number,
                                  sizeof(number), &returned),
              1);
    EXPECT_EQ(number.DeviceNumber, 3u);
    EXPECT_EQ(number.DeviceType, kFileDeviceDisk);
    PlatDeviceClose(first);
    EXPECT_EQ(OpenDiskInterface(&kGuidDevInterfaceDisk, 2), PLAT_INVALID_HANDLE);
    EXPECT_EQ(OpenDiskInterface(&kGuidDevInterfaceUsbHub, 0),
              PLAT_INVALID_HANDLE); // a hub is no disk
    EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
    EXPECT_EQ(sim::Current().OpenDevInfoSetCount(), 0);
}

} // namespace
