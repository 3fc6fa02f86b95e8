// The NVMe command transports, checked through the bytes that reached the simulated drives.
#include "fixture.h"

#include "nvme/nvme_transport.h"

#include <algorithm>

namespace {

sim::DriveOnPath Drive(const char* path, int number = 1) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = number;
    d.name = path;
    if (std::string(path) == "rst") d.service = "iaStorAC";
    return d;
}

uint32_t Dword(const std::vector<uint8_t>& entry, int n) {
    return Le32At(entry, 4 * n);
}

class EveryNvmePath : public testing::TestWithParam<const char*> {};

TEST_P(EveryNvmePath, AVendorReadCarriesDword10Of1024AndReturnsTheDriveReply) {
    LoadDrives({Drive(GetParam())});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> reply(4096, 0xCC);
    ASSERT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xE6, 3, 0,
                           kVendorSigDword14, kVendorSigDword15, reply.data(), 4096),
              1);
    auto executed = sim::Current().ExecutedCommands(GetParam());
    ASSERT_EQ(executed.size(), 1u);
    const auto& e = executed[0];
    EXPECT_EQ(e[0], 0xE6);
    EXPECT_EQ(Dword(e, 1), 0xFFFFFFFFu);
    EXPECT_EQ(Dword(e, 10), 1024u);
    EXPECT_EQ(Dword(e, 12), 3u);
    EXPECT_EQ(Dword(e, 13), 0u);
    EXPECT_EQ(Dword(e, 14), kVendorSigDword14);
    EXPECT_EQ(Dword(e, 15), kVendorSigDword15);
    for (int d : {2, 3, 4, 5, 6, 7, 8, 9, 11})
        EXPECT_EQ(Dword(e, d), 0u) << "dword " << d;
    EXPECT_EQ(reply, sim::Current().DrivePage(GetParam(), "vendor_info"));
    EXPECT_EQ(reply[0], 0x5A);
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
}

TEST_P(EveryNvmePath, IdentifyControllerAndNamespaceReachTheDrive) {
    LoadDrives({Drive(GetParam())});
    OpenedDrive drive(1);
    std::vector<uint8_t> data(4096, 0xCC);
    uint8_t status = 0;
    ASSERT_EQ(NVMeIdentify(&drive.context, drive.handle, 1, 0, data.data(), 4096, &status), 1);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(data, sim::Current().DrivePage(GetParam(), "identify_controller"));
    ASSERT_EQ(NVMeIdentify(&drive.context, drive.handle, 0, 1, data.data(), 4096, &status), 1);
    EXPECT_EQ(data, sim::Current().DrivePage(GetParam(), "identify_namespace"));
    auto executed = sim::Current().ExecutedCommands(GetParam());
    ASSERT_EQ(executed.size(), 2u);
    EXPECT_EQ(executed[0][0], 0x06);
    EXPECT_EQ(Dword(executed[0], 10), 1u); // CNS
    EXPECT_EQ(Dword(executed[0], 1), 0u);  // NSID
    EXPECT_EQ(Dword(executed[1], 10), 0u);
    EXPECT_EQ(Dword(executed[1], 1), 1u);
}

TEST_P(EveryNvmePath, ARefusedRequestGivesMinus4AndNothingIsCopied) {
    sim::Json m = sim::TypicalMachine({Drive(GetParam())});
    sim::Load(m.dump());
    OpenedDrive drive(1);
    const uint32_t code = std::string(GetParam()) == "nvme"  ? kIoctlStorageProtocolCommand
                          : std::string(GetParam()) == "rst" ? kIoctlScsiMiniport
                                                             : kIoctlScsiPassThroughDirect;
    sim::Fault refuse;
    refuse.ioctl = code;
    sim::Current().AddFault(refuse);
    sim::Current().ClearTrace();
    std::vector<uint8_t> reply(4096, 0xCC);
    EXPECT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xF2, 0, 0,
                           kVendorSigDword14, kVendorSigDword15, reply.data(), 4096),
              -4);
    EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [](uint8_t b) { return b == 0xCC; }));
    EXPECT_EQ(sim::Current().Trace().size(), 1u); // no later phase
    EXPECT_TRUE(sim::Current().ExecutedCommands(GetParam()).empty());
}

INSTANTIATE_TEST_SUITE_P(Paths, EveryNvmePath,
                         testing::Values("asmedia", "jmicron", "nvme", "rst"));

TEST(NvmeDispatch, AnUnusableTypeGivesMinus5AndSendsNothing) {
    LoadDrives({Drive("nvme")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    for (int32_t type : {255, 4, 16, -1}) {
        TransportContext context = drive.context;
        context.iCmdType = type;
        uint8_t buffer[4096] = {};
        uint8_t status = 0;
        EXPECT_EQ(
            NVMeAdminCmd(&context, drive.handle, kDirFromDrive, 0xE6, 3, 0, 0, 0, buffer, 4096),
            -5);
        EXPECT_EQ(NVMeIdentify(&context, drive.handle, 1, 0, buffer, 4096, &status), -5);
    }
    EXPECT_TRUE(sim::Current().Trace().empty());
}

TEST(NvmeInbox, TheAdminCommandIsOne4240ByteProtocolCommand) {
    LoadDrives({Drive("nvme")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> reply(4096);
    ASSERT_EQ(IO_NVMe_AdminCmd(drive.handle, kDirFromDrive, 0xF2, 0, 0, kVendorSigDword14,
                               kVendorSigDword15, reply.data(), 4096),
              1);
    auto r = TraceOf(kIoctlStorageProtocolCommand);
    ASSERT_EQ(r.size(), 1u);
    const auto& in = r[0].in;
    ASSERT_EQ(in.size(), 4240u);
    const uint32_t expected[] = {1, 84, 3, 0x80000000u, 0, 0, 64, 0, 0, 4096, 10, 0, 144, 144, 1};
    for (size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(Le32At(in, 4 * i), expected[i]) << "field " << i;
    EXPECT_EQ(in[80], 0xF2);
    EXPECT_EQ(Le32At(in, 84), 0xFFFFFFFFu);
    EXPECT_EQ(Le32At(in, 120), 1024u);
    EXPECT_EQ(Le32At(in, 136), kVendorSigDword14);
    EXPECT_EQ(reply, sim::Current().DrivePage("nvme", "geometry"));
}

TEST(NvmeInbox, AWriteCarriesItsDataAndANoDataCommandIs144Bytes) {
    LoadDrives({Drive("nvme")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> page(4096, 0);
    for (size_t i = 0; i < 144; ++i)
        page[i] = static_cast<uint8_t>(i);
    ASSERT_EQ(IO_NVMe_AdminCmd(drive.handle, kDirToDrive, 0xF1, 0, 0, kVendorSigDword14,
                               kVendorSigDword15, page.data(), 4096),
              1);
    ASSERT_EQ(IO_NVMe_AdminCmd(drive.handle, kDirNone, 0xF1, 0, 0, kVendorSigDword14,
                               kVendorSigDword15, nullptr, 0),
              1);
    auto r = TraceOf(kIoctlStorageProtocolCommand);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].in.size(), 4240u);
    EXPECT_EQ(Le32At(r[0].in, 32), 4096u); // to the device
    EXPECT_EQ(Le32At(r[0].in, 36), 0u);
    EXPECT_TRUE(std::equal(page.begin(), page.end(), r[0].in.begin() + 144));
    EXPECT_EQ(r[1].in.size(), 144u);
    EXPECT_EQ(Le32At(r[1].in, 32) + Le32At(r[1].in, 36), 0u);
    auto geometry = sim::Current().DrivePage("nvme", "geometry");
    EXPECT_TRUE(std::equal(page.begin(), page.begin() + 144, geometry.begin()));
}

TEST(NvmeInbox, IdentifyIsAProtocolSpecificPropertyQuery) {
    LoadDrives({Drive("nvme")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(4096);
    ASSERT_EQ(IO_NVMe_Identify(drive.handle, 1, 0, data.data(), 4096), 1);
    auto r = TraceOf(kIoctlStorageQueryProperty);
    ASSERT_EQ(r.size(), 1u);
    ASSERT_EQ(r[0].in.size(), 4096u + 48);
    const uint32_t expected[] = {49, 0, 3, 1, 1, 0, 40, 4096, 0, 0, 0, 0};
    for (size_t i = 0; i < std::size(expected); ++i)
        EXPECT_EQ(Le32At(r[0].in, 4 * i), expected[i]) << "field " << i;
    EXPECT_EQ(data, sim::Current().DrivePage("nvme", "identify_controller"));
}

TEST(NvmeRequestBuffers, ABufferThatCannotBeHadGivesMinus4AndSendsNothing) {
    for (const char* path : {"nvme", "rst"}) {
        SCOPED_TRACE(path);
        LoadDrives({Drive(path)});
        OpenedDrive drive(1);
        sim::Current().ClearTrace();
        uint8_t data[4096] = {};
        uint8_t status = 0;
        sim::Current().FailPageAllocs(1);
        EXPECT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xE6, 3, 0,
                               kVendorSigDword14, kVendorSigDword15, data, 4096),
                  -4);
        sim::Current().FailPageAllocs(1);
        EXPECT_EQ(NVMeIdentify(&drive.context, drive.handle, 1, 0, data, 4096, &status), -4);
        EXPECT_TRUE(sim::Current().Trace().empty());
        EXPECT_EQ(sim::Current().PageAllocCount(), 0);
    }
    // The RST path takes two buffers: losing the second one frees the first.
    LoadDrives({Drive("rst")});
    OpenedDrive drive(1);
    uint8_t data[4096] = {};
    sim::Current().ClearTrace();
    sim::Current().FailPageAllocs(0);
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
    EXPECT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xE6, 3, 0,
                           kVendorSigDword14, kVendorSigDword15, data, 4096),
              1);
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
}

TEST(NvmeRst, TheMiniportRequestIs4263BytesOnThePortDevice) {
    sim::DriveOnPath first = Drive("nvme", 0);
    first.name = "other";
    LoadDrives({first, Drive("rst", 1)}); // port 2, path id 1
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> reply(4096);
    ASSERT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xE6, 3, 0,
                           kVendorSigDword14, kVendorSigDword15, reply.data(), 4096),
              1);
    auto r = TraceOf(kIoctlScsiMiniport);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].path, "\\\\.\\scsi2:");
    EXPECT_EQ(r[0].drive, "rst");
    const auto& in = r[0].in;
    ASSERT_EQ(in.size(), 4263u);
    EXPECT_EQ(Le32At(in, 0), 28u);
    EXPECT_EQ(std::string(in.begin() + 4, in.begin() + 12), "IntelNvm");
    EXPECT_EQ(Le32At(in, 12), 40u);
    EXPECT_EQ(Le32At(in, 16), 0xF0002808u);
    EXPECT_EQ(Le32At(in, 20), 0u);
    EXPECT_EQ(Le32At(in, 24), 4235u);
    EXPECT_EQ(in[28], 1);
    EXPECT_EQ(in[29], 1);
    EXPECT_EQ(in[32], 0xE6);
    EXPECT_EQ(Le32At(in, 32 + 40), 1024u);
    EXPECT_EQ(Le32At(in, 116), 164u);
    EXPECT_EQ(Le32At(in, 120), 4096u);
    EXPECT_TRUE(std::all_of(in.end() - 3, in.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(reply, sim::Current().DrivePage("rst", "vendor_info"));
}

TEST(NvmeRst, AWriteComesBackWithTheCallerBufferOverwrittenByTheReplyDataArea) {
    LoadDrives({Drive("rst")});
    OpenedDrive drive(1);
    std::vector<uint8_t> page(4096, 0x5C);
    ASSERT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirToDrive, 0xF1, 0, 0, kVendorSigDword14,
                           kVendorSigDword15, page.data(), 4096),
              1);
    auto geometry = sim::Current().DrivePage("rst", "geometry");
    EXPECT_EQ(geometry[0], 0x5C); // the drive got the page
    // The driver returned nothing in the data area of a write, and that came back.
    EXPECT_TRUE(std::all_of(page.begin(), page.end(), [](uint8_t b) { return b == 0; }));
}

class Bridge : public testing::Test {
  protected:
    std::vector<SentSptd> Phases() {
        std::vector<SentSptd> out;
        for (const auto& r : TraceOf(kIoctlScsiPassThroughDirect))
            out.push_back(DecodeSptd(r));
        return out;
    }
};

TEST_F(Bridge, AsmediaAdminCommandIsThreePhases) {
    LoadDrives({Drive("asmedia")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    uint8_t entry[64];
    BuildAdminEntry(entry, 0xE6, 4096, 3, 0, kVendorSigDword14, kVendorSigDword15);
    std::vector<uint8_t> reply(4096);
    ASSERT_EQ(IO_USB_ASM_NVMeCmd(drive.handle, kDirFromDrive, entry, reply.data(), 4096, nullptr),
              1);
    auto p = Phases();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(sim::Hex(p[0].cdb), "ea5a8000010000000000000000400000");
    EXPECT_EQ(p[0].dataIn, kScsiIoctlDataOut);
    EXPECT_EQ(p[0].transferLength, 64u);
    EXPECT_EQ(sim::Hex(p[1].cdb), "eb5a8100010000000000000010000000");
    EXPECT_EQ(p[1].dataIn, kScsiIoctlDataIn);
    EXPECT_EQ(p[1].transferLength, 4096u);
    EXPECT_EQ(sim::Hex(p[2].cdb), "eb5a8200010000000000000000100000");
    EXPECT_EQ(p[2].dataIn, kScsiIoctlDataIn);
    EXPECT_EQ(p[2].transferLength, 16u);
    auto trace = TraceOf(kIoctlScsiPassThroughDirect);
    EXPECT_EQ(trace[0].data_out->at(0), 0xE6);
    EXPECT_EQ(reply, sim::Current().DrivePage("asmedia", "vendor_info"));
    // The completion entry came back over the first 16 bytes of the submission entry.
    EXPECT_EQ(std::vector<uint8_t>(entry, entry + 16), *trace[2].data_in);
}

TEST_F(Bridge, AsmediaWriteUsesEaForItsDataPhase) {
    LoadDrives({Drive("asmedia")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    uint8_t entry[64];
    BuildAdminEntry(entry, 0xF1, 4096, 0, 0, kVendorSigDword14, kVendorSigDword15);
    std::vector<uint8_t> page(4096, 0x11);
    ASSERT_EQ(IO_USB_ASM_NVMeCmd(drive.handle, kDirToDrive, entry, page.data(), 4096, nullptr), 1);
    auto p = Phases();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(sim::Hex(p[0].cdb), "ea5a8000020000000000000000400000");
    EXPECT_EQ(sim::Hex(p[1].cdb), "ea5a8100020000000000000010000000");
    EXPECT_EQ(p[1].dataIn, kScsiIoctlDataOut);
    EXPECT_EQ(sim::Hex(p[2].cdb), "eb5a8200020000000000000000100000");
    EXPECT_EQ(sim::Current().DrivePage("asmedia", "geometry")[0], 0x11);
}

TEST_F(Bridge, AsmediaCommandWithoutDataStillSendsItsDataPhase) {
    LoadDrives({Drive("asmedia")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    uint8_t entry[64] = {0x10};
    ASSERT_EQ(IO_USB_ASM_NVMeCmd(drive.handle, kDirNone, entry, nullptr, 0, nullptr), 1);
    auto p = Phases();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(sim::Hex(p[1].cdb), "eb5a8100000000000000000000000000");
    EXPECT_EQ(p[1].dataIn, kScsiIoctlDataUnspecified);
    EXPECT_EQ(p[1].transferLength, 0u);
    EXPECT_EQ(sim::Current().ExecutedCommands("asmedia").size(), 1u);
}

TEST_F(Bridge, AsmediaIdentifyOfAllNamespacesSends7FAndTransfers512Bytes) {
    LoadDrives({Drive("asmedia")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(4096, 0xCC);
    uint8_t status = 0;
    ASSERT_EQ(NVMeIdentify(&drive.context, drive.handle, 0, 0xFFFFFFFF, data.data(), 4096, &status),
              1);
    auto p = Phases();
    ASSERT_EQ(p.size(), 1u);
    EXPECT_EQ(sim::Hex(p[0].cdb), "e60600000000007f0000000000000000");
    EXPECT_EQ(p[0].dataIn, kScsiIoctlDataIn);
    EXPECT_EQ(p[0].transferLength, 512u);
    EXPECT_EQ(TraceOf(kIoctlScsiPassThroughDirect)[0].data_in->size(), 512u);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(std::all_of(data.begin() + 512, data.end(), [](uint8_t b) { return b == 0xCC; }));
    // A caller holding less than 512 bytes never gets more than it holds.
    std::vector<uint8_t> small(100, 0xCC);
    ASSERT_EQ(NVMeIdentify(&drive.context, drive.handle, 0, 0xFFFFFFFF, small.data(), 100, &status),
              1);
    EXPECT_EQ(Phases().back().transferLength, 100u);
}

TEST_F(Bridge, AsmediaIdentifyPutsTheCnsAndNamespaceInTheCdb) {
    LoadDrives({Drive("asmedia")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> data(4096);
    ASSERT_EQ(NVMeIdentify(&drive.context, drive.handle, 1, 0, data.data(), 4096, nullptr), 1);
    ASSERT_EQ(NVMeIdentify(&drive.context, drive.handle, 0, 1, data.data(), 4096, nullptr), 1);
    auto p = Phases();
    ASSERT_EQ(p.size(), 2u);
    EXPECT_EQ(sim::Hex(p[0].cdb), "e6060001000000000000000000000000");
    EXPECT_EQ(p[0].transferLength, 4096u);
    EXPECT_EQ(sim::Hex(p[1].cdb), "e6060000000000010000000000000000");
    EXPECT_EQ(data, sim::Current().DrivePage("asmedia", "identify_namespace"));
}

TEST_F(Bridge, JmicronCommandIsThreePhasesAroundA512ByteBlock) {
    LoadDrives({Drive("jmicron")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> reply(4096);
    ASSERT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xF2, 0, 0,
                           kVendorSigDword14, kVendorSigDword15, reply.data(), 4096),
              1);
    auto trace = TraceOf(kIoctlScsiPassThroughDirect);
    auto p = Phases();
    ASSERT_EQ(p.size(), 3u);
    EXPECT_EQ(sim::Hex(p[0].cdb), "a1800000020000000000000000000000");
    EXPECT_EQ(p[0].dataIn, kScsiIoctlDataOut);
    EXPECT_EQ(p[0].transferLength, 512u);
    const auto& block = *trace[0].data_out;
    ASSERT_EQ(block.size(), 512u);
    EXPECT_EQ(std::string(block.begin(), block.begin() + 4), "NVME");
    EXPECT_EQ(Le32At(block, 4), 0u);
    EXPECT_EQ(block[8], 0xF2);
    EXPECT_EQ(Le32At(block, 8 + 40), 1024u);
    EXPECT_TRUE(std::all_of(block.begin() + 72, block.end(), [](uint8_t b) { return b == 0; }));
    EXPECT_EQ(sim::Hex(p[1].cdb), "a1820000100000000000000000000000");
    EXPECT_EQ(p[1].dataIn, kScsiIoctlDataIn);
    EXPECT_EQ(p[1].transferLength, 4096u);
    EXPECT_EQ(sim::Hex(p[2].cdb), "a18f0000020000000000000000000000");
    EXPECT_EQ(p[2].dataIn, kScsiIoctlDataIn);
    EXPECT_EQ(p[2].transferLength, 512u);
    EXPECT_EQ(reply, sim::Current().DrivePage("jmicron", "geometry"));
}

TEST_F(Bridge, JmicronWriteAndNoDataSubcodes) {
    LoadDrives({Drive("jmicron")});
    OpenedDrive drive(1);
    sim::Current().ClearTrace();
    std::vector<uint8_t> page(4096, 0x22);
    uint8_t entry[64];
    BuildAdminEntry(entry, 0xF1, 4096, 0, 0, kVendorSigDword14, kVendorSigDword15);
    ASSERT_EQ(IO_USB_JMI_NVMeCmd(drive.handle, kDirToDrive, entry, page.data(), 4096, nullptr), 1);
    uint8_t commit[64] = {0x10};
    ASSERT_EQ(IO_USB_JMI_NVMeCmd(drive.handle, kDirNone, commit, nullptr, 0, nullptr), 1);
    auto p = Phases();
    ASSERT_EQ(p.size(), 6u);
    EXPECT_EQ(sim::Hex(p[1].cdb), "a1830000100000000000000000000000");
    EXPECT_EQ(p[1].dataIn, kScsiIoctlDataOut);
    EXPECT_EQ(sim::Hex(p[4].cdb), "a1810000000000000000000000000000");
    EXPECT_EQ(p[4].dataIn, kScsiIoctlDataUnspecified);
    EXPECT_EQ(p[4].transferLength, 0u);
    EXPECT_TRUE(std::all_of(page.begin(), page.end(),
                            [](uint8_t b) { return b == 0x22; })); // a write keeps its data
    EXPECT_EQ(sim::Current().DrivePage("jmicron", "geometry")[0], 0x22);
}

TEST_F(Bridge, JmicronReadZeroFillsTheBufferBeforeItsDataPhase) {
    LoadDrives({Drive("jmicron"), Drive("asmedia", 2)});
    // A command the drive rejects transfers no data: what the caller then holds shows whether
    // the buffer was cleared before the data phase.
    for (int number : {1, 2}) {
        OpenedDrive drive(number);
        std::vector<uint8_t> reply(4096, 0xCC);
        ASSERT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xE6, 3, 0, 0, 0,
                               reply.data(), 4096),
                  1);
        const uint8_t expected = number == 1 ? 0x00 : 0xCC;
        EXPECT_TRUE(std::all_of(reply.begin(), reply.end(), [&](uint8_t b) {
            return b == expected;
        })) << number;
    }
}

TEST_F(Bridge, ACheckConditionSetsTheStatusFlagAndStopsTheSequence) {
    struct Case {
        const char* path;
        const char* cdb; // the phase that answers with a check condition
        size_t sent;     // requests the sequence sends
    } cases[] = {{"jmicron", "a180", 1},   {"jmicron", "a182", 2},   {"jmicron", "a18f", 3},
                 {"asmedia", "ea5a80", 1}, {"asmedia", "eb5a81", 2}, {"asmedia", "eb5a82", 3}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.cdb);
        LoadDrives({Drive(c.path)});
        OpenedDrive drive(1);
        sim::Fault f;
        f.cdb_prefix = sim::FromHex(c.cdb);
        f.action = sim::Fault::Action::CheckCondition;
        sim::Current().AddFault(f);
        sim::Current().ClearTrace();
        uint8_t entry[64];
        BuildAdminEntry(entry, 0xE6, 4096, 3, 0, kVendorSigDword14, kVendorSigDword15);
        std::vector<uint8_t> reply(4096);
        uint8_t status = 0;
        const int32_t result = std::string(c.path) == "jmicron"
                                   ? IO_USB_JMI_NVMeCmd(drive.handle, kDirFromDrive, entry,
                                                        reply.data(), 4096, &status)
                                   : IO_USB_ASM_NVMeCmd(drive.handle, kDirFromDrive, entry,
                                                        reply.data(), 4096, &status);
        EXPECT_EQ(result, 1);
        EXPECT_EQ(status, 2);
        EXPECT_EQ(Phases().size(), c.sent);
    }
}

TEST_F(Bridge, WithoutAStatusFlagACheckConditionDoesNotStopTheSequence) {
    LoadDrives({Drive("jmicron")});
    OpenedDrive drive(1);
    sim::Fault f;
    f.cdb_prefix = {0xA1, 0x80};
    f.action = sim::Fault::Action::CheckCondition;
    sim::Current().AddFault(f);
    sim::Current().ClearTrace();
    std::vector<uint8_t> reply(4096);
    EXPECT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xE6, 3, 0,
                           kVendorSigDword14, kVendorSigDword15, reply.data(), 4096),
              1);
    EXPECT_EQ(Phases().size(), 3u);
}

TEST_F(Bridge, AFailedDataPhaseGivesMinus4WithoutTheCompletionPhase) {
    for (const char* path : {"asmedia", "jmicron"}) {
        SCOPED_TRACE(path);
        LoadDrives({Drive(path)});
        OpenedDrive drive(1);
        sim::Fault f;
        f.cdb_prefix = std::string(path) == "asmedia" ? std::vector<uint8_t>{0xEB, 0x5A, 0x81}
                                                      : std::vector<uint8_t>{0xA1, 0x82};
        sim::Current().AddFault(f);
        sim::Current().ClearTrace();
        std::vector<uint8_t> reply(4096);
        uint8_t status = 0;
        EXPECT_EQ(NVMeIdentify(&drive.context, drive.handle, 1, 0, reply.data(), 4096, &status),
                  std::string(path) == "asmedia" ? 1 : -4);
        // ASMedia Identify is a single request and never meets the fault.
        if (std::string(path) == "jmicron") {
            EXPECT_EQ(Phases().size(), 2u);
        }
        EXPECT_EQ(status, 0);
    }
}

TEST_F(Bridge, IdentifyAnsweredWithACheckConditionSetsTheFlag) {
    for (const char* path : {"asmedia", "jmicron"}) {
        SCOPED_TRACE(path);
        LoadDrives({Drive(path)});
        OpenedDrive drive(1);
        sim::Fault f;
        f.cdb_prefix = std::string(path) == "asmedia" ? std::vector<uint8_t>{0xE6}
                                                      : std::vector<uint8_t>{0xA1, 0x80};
        f.action = sim::Fault::Action::CheckCondition;
        sim::Current().AddFault(f);
        std::vector<uint8_t> data(4096);
        uint8_t status = 0;
        EXPECT_EQ(NVMeIdentify(&drive.context, drive.handle, 1, 0, data.data(), 4096, &status), 1);
        EXPECT_EQ(status, 2);
    }
}

} // namespace

namespace {

// A bridge whose adapter wants 8-byte aligned data buffers still takes a caller's buffer at any
// address, for reads and writes, and the entry and block the transport builds itself.
TEST_F(Bridge, AnUnalignedCallerBufferStillWorksOnBothBridges) {
    sim::Json machine = sim::TypicalMachine({Drive("asmedia"), Drive("jmicron", 2)});
    for (auto& node : machine["nodes"])
        if (node.contains("disk")) node["disk"]["alignment"] = 8;
    sim::Load(machine.dump());
    std::vector<uint8_t> storage(4096 + 16);
    for (int number : {1, 2}) {
        const char* name = number == 1 ? "asmedia" : "jmicron";
        SCOPED_TRACE(name);
        OpenedDrive drive(number);
        sim::Current().ClearTrace();
        uint8_t* data = storage.data() + 3;
        std::fill(data, data + 4096, 0xCC);
        ASSERT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirFromDrive, 0xE6, 3, 0,
                               kVendorSigDword14, kVendorSigDword15, data, 4096),
                  1);
        EXPECT_EQ(std::vector<uint8_t>(data, data + 4096),
                  sim::Current().DrivePage(name, "vendor_info"));
        std::fill(data, data + 4096, 0x5D);
        ASSERT_EQ(NVMeAdminCmd(&drive.context, drive.handle, kDirToDrive, 0xF1, 0, 0,
                               kVendorSigDword14, kVendorSigDword15, data, 4096),
                  1);
        EXPECT_EQ(sim::Current().DrivePage(name, "geometry")[0], 0x5D);
        for (const auto& r : TraceOf(kIoctlScsiPassThroughDirect)) {
            EXPECT_TRUE(r.ok) << r.note;
            EXPECT_EQ(r.scsi_status, 0) << r.note;
        }
        EXPECT_EQ(sim::Current().ExecutedCommands(name).size(), 2u);
    }
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
}

} // namespace
