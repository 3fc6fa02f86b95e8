// The simulated machine itself: descriptions, the trace, volumes, the clock and the dialog
// host. The transports' own suites cover the drive paths.
#include "fixture.h"

#include "platform/clock.h"
#include "platform/dialog_host.h"
#include "platform/storage.h"
#include "disk/scsi_request.h"
#include "nvme/power_ctrl.h"
#include "sim/machine_impl.h"
#include "sim/machine_json.h"
#include "sim/nvme_firmware.h"

#include <cstdlib>
#include <fstream>
#include <sstream>

namespace {

TEST(SimTrace, EachRequestIsAJsonLineWithItsBytes) {
    LoadDrives({DriveAt("jmicron", 3)});
    sim::ClockAdvance(250);
    const uint64_t start = sim::ClockNow();
    PlatHandle h = PlatDeviceOpen(u"\\\\.\\PhysicalDrive3");
    ASSERT_NE(h, PLAT_INVALID_HANDLE);
    StorageDeviceNumber number{};
    uint32_t returned = 0;
    ASSERT_EQ(PlatDeviceIoControl(h, kIoctlStorageGetDeviceNumber, nullptr, 0, &number,
                                  sizeof(number), &returned),
              1);
    uint8_t in[8] = {1, 2, 3, 0xAB};
    EXPECT_EQ(PlatDeviceIoControl(h, 0x123456, in, sizeof(in), nullptr, 0, &returned), 0);
    EXPECT_EQ(PlatGetLastError(), kErrorInvalidFunction);
    PlatDeviceClose(h);

    std::istringstream lines(sim::Current().TraceJsonLines());
    std::string line;
    std::vector<sim::Json> records;
    while (std::getline(lines, line))
        records.push_back(sim::Json::parse(line));
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["seq"], 1);
    EXPECT_EQ(records[0]["t_ms"], start);
    EXPECT_EQ(records[0]["path"], "\\\\.\\PhysicalDrive3");
    EXPECT_EQ(records[0]["ioctl"], kIoctlStorageGetDeviceNumber);
    EXPECT_EQ(records[0]["in"], "");
    EXPECT_EQ(records[0]["ok"], true);
    EXPECT_FALSE(records[0].contains("error"));
    EXPECT_EQ(records[1]["seq"], 2);
    EXPECT_EQ(records[1]["in"], "010203ab00000000");
    EXPECT_EQ(records[1]["ok"], false);
    EXPECT_EQ(records[1]["error"], kErrorInvalidFunction);
    EXPECT_FALSE(records[1].contains("data_in"));
}

TEST(SimTrace, PassThroughLinesCarryTheirDataAndDecodedFields) {
    LoadDrives({DriveAt("asmedia", 1)});
    OpenedDrive drive(1);
    std::istringstream lines(sim::Current().TraceJsonLines());
    std::string line;
    sim::Json inquiry;
    while (std::getline(lines, line) && !inquiry.contains("cdb"))
        inquiry = sim::Json::parse(line);
    EXPECT_EQ(inquiry["ioctl"], kIoctlScsiPassThroughDirect);
    EXPECT_EQ(inquiry["cdb"], "12000000260000000000000000000000");
    EXPECT_EQ(inquiry["data_in"].get<std::string>().size(), 38u * 2);
    EXPECT_EQ(inquiry["data_in"].get<std::string>().substr(72, 4), "6023");
    EXPECT_EQ(inquiry["scsi_status"], 0);
    EXPECT_EQ(inquiry["drive"], "PhysicalDrive1");
    EXPECT_FALSE(inquiry.contains("data_out"));
}

TEST(SimTrace, AFileGetsEveryLineAsItHappens) {
    const std::string file = "sim_trace_test.jsonl";
    std::remove(file.c_str());
    LoadDrives({DriveAt("nvme", 0)});
    sim::Current().SetTraceFile(file);
    { OpenedDrive drive(0); }
    sim::Current().SetTraceFile("");
    std::ifstream in(file);
    std::stringstream text;
    text << in.rdbuf();
    EXPECT_EQ(text.str(), sim::Current().TraceJsonLines());
    EXPECT_FALSE(text.str().empty());
    in.close();
    std::remove(file.c_str());
}

TEST(SimVolumes, VolumesAnswerTheirDiskNumber) {
    sim::Json m = sim::TypicalMachine({DriveAt("nvme", 2, "system"), DriveAt("nvme", 5, "data")});
    m["volumes"] = {{{"letter", "C"}, {"disk", "system"}, {"partition", 3}},
                    {{"letter", "E"}, {"disk", 5}},
                    {{"letter", "F"}, {"disk", nullptr}},
                    {{"letter", "G"}, {"disk", "data"}, {"device_type", 2}}};
    sim::Load(m.dump());
    struct Case {
        const char16_t* path;
        bool opens, ok;
        uint32_t type, number, partition;
    } cases[] = {{u"\\\\.\\C:", true, true, 7, 2, 3},
                 {u"\\\\.\\e:", true, true, 7, 5, 1},
                 {u"\\\\.\\F:", true, false, 0, 0, 0},
                 {u"\\\\.\\G:", true, true, 2, 5, 1},
                 {u"\\\\.\\D:", false, false, 0, 0, 0}};
    for (const auto& c : cases) {
        PlatHandle h = PlatDeviceOpen(c.path);
        ASSERT_EQ(h != PLAT_INVALID_HANDLE, c.opens);
        if (!c.opens) {
            EXPECT_EQ(PlatGetLastError(), kErrorFileNotFound);
            continue;
        }
        StorageDeviceNumber n{};
        uint32_t returned = 0;
        EXPECT_EQ(PlatDeviceIoControl(h, kIoctlStorageGetDeviceNumber, nullptr, 0, &n, sizeof(n),
                                      &returned) == 1,
                  c.ok);
        if (c.ok) {
            EXPECT_EQ(n.DeviceType, c.type);
            EXPECT_EQ(n.DeviceNumber, c.number);
            EXPECT_EQ(n.PartitionNumber, c.partition);
            EXPECT_EQ(returned, 12u);
        }
        PlatDeviceClose(h);
    }
}

TEST(SimDescription, AMalformedDescriptionIsRejected) {
    EXPECT_ANY_THROW(sim::Load("{ nodes: }"));
    EXPECT_ANY_THROW(sim::Load(R"({"nodes":[{"id":"a","parent":"missing"}]})"));
    EXPECT_ANY_THROW(sim::Load(R"({"nodes":[{"id":"a","disk":{"path":"floppy"}}]})"));
    EXPECT_ANY_THROW(sim::Load(R"({"nodes":[{"id":"a"},{"id":"a"}]})"));
    EXPECT_ANY_THROW(sim::Load(R"({"faults":[{"action":"explode"}]})"));
    for (const char* cycle : {R"({"delay_ms": -1})", R"({"delay_ms": 86400001})",
                              R"({"return_number": -2})", R"("never")"}) {
        SCOPED_TRACE(cycle);
        EXPECT_ANY_THROW(sim::Load(std::string(R"({"nodes":[{"id":"a","disk":{"path":"asmedia",)") +
                                   R"("power_cycle":)" + cycle + "}}]}"));
    }
}

// "power_cycle" on a disk decides what a bridge's power-control command does to the drive
// behind it: back on its port after the delay, under another number, or not until the machine
// restarts.
TEST(SimDescription, ThePowerCycleKeyDecidesWhetherAndHowTheDriveComesBack) {
    struct Case {
        const char* path;
        const char* cycle; // the key's value
        int32_t (*op)(PlatHandle, uint8_t);
        uint8_t mode;
        uint64_t delay; // when it is due back
        int number;     // then (-1: never)
    };
    const Case cases[] = {
        {"asmedia", R"({})", IO_USB_ASM_PowerCtrl, 1, 1500, 2},
        {"jmicron", R"({"delay_ms": 250, "return_number": 9})", IO_USB_JMI_PowerCtrl, 5, 250, 9},
        {"asmedia", R"({"comes_back": false})", IO_USB_ASM_PowerCtrl, 1, 1500, -1},
        {"jmicron", R"({"comes_back": false, "delay_ms": 10})", IO_USB_JMI_PowerCtrl, 5, 10, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + c.cycle);
        sim::Json machine = sim::TypicalMachine({DriveAt(c.path, 2, "usb")});
        for (auto& node : machine["nodes"])
            if (node.contains("disk")) node["disk"]["power_cycle"] = sim::Json::parse(c.cycle);
        sim::Load(machine.dump());
        PlatHandle h = PlatDeviceOpen(DrivePath(2).c_str());
        ASSERT_NE(h, PLAT_INVALID_HANDLE);
        EXPECT_EQ(c.op(h, c.mode), 1);
        PlatDeviceClose(h);
        EXPECT_EQ(sim::Current().DriveNumber("usb"), -1) << "gone at once";
        sim::ClockAdvance(c.delay - 1);
        EXPECT_EQ(sim::Current().DriveNumber("usb"), -1);
        sim::ClockAdvance(1);
        EXPECT_EQ(sim::Current().DriveNumber("usb"), c.number);
        sim::ClockAdvance(24 * 60 * 60 * 1000);
        EXPECT_EQ(sim::Current().DriveNumber("usb"), c.number);
        const auto changes = sim::DeviceChanges();
        EXPECT_EQ(changes.size(), c.number < 0 ? 1u : 2u);
        sim::RestartMachine();
        EXPECT_EQ(sim::Current().DriveNumber("usb"), c.number < 0 ? 2 : c.number)
            << "a restart brings every drive back";
    }
}

TEST(SimDescription, EveryExampleMachineLoadsAndClassifiesAsItSays) {
    const char* root = std::getenv("FW_TEST_SOURCE_DIR");
    ASSERT_NE(root, nullptr);
    const std::string dir = std::string(root) + "/../../examples/machines/";
    std::ifstream index(dir + "index.json");
    ASSERT_TRUE(index.good()) << dir;
    sim::Json list = sim::Json::parse(index);
    ASSERT_GE(list.size(), 9u);
    for (const auto& entry : list) {
        const std::string file = entry["file"].get<std::string>();
        SCOPED_TRACE(file);
        sim::LoadFile(dir + file);
        for (const auto& expect : entry["drives"]) {
            const int number = expect["number"].get<int>();
            EXPECT_EQ(OpenedDrive(number).context.iCmdType, expect["nvme"].get<int>()) << number;
            EXPECT_EQ(OpenedDrive(number, true).context.iCmdType, expect["sata"].get<int>())
                << number;
        }
    }
}

TEST(SimClock, SleepAdvancesTheVirtualClockAtOnce) {
    const uint64_t before = PlatGetTickCount64();
    std::vector<uint64_t> seen;
    int id = sim::ClockSubscribe([&](uint64_t now) { seen.push_back(now); });
    PlatSleep(3000);
    PlatSleep(1000);
    sim::ClockUnsubscribe(id);
    PlatSleep(5);
    EXPECT_EQ(PlatGetTickCount64(), before + 4005);
    EXPECT_EQ(seen, (std::vector<uint64_t>{before + 3000, before + 4000}));
}

TEST(SimDialogHost, PostsAreRecordedAndSendsReachTheHandler) {
    sim::ClearMessages();
    int dialog = 0;
    PlatWindow window = &dialog;
    sim::SetMessageHandler(
        [](const sim::WindowMessage& m) { return static_cast<intptr_t>(m.lParam * 2); });
    EXPECT_EQ(PlatPostMessage(window, 32816, 0, 40), 1);
    EXPECT_EQ(PlatSendMessage(window, 32805, 1, 21), 42);
    sim::SetMessageHandler(nullptr);
    auto messages = sim::Messages();
    ASSERT_EQ(messages.size(), 2u);
    EXPECT_EQ(messages[0].window, window);
    EXPECT_EQ(messages[0].message, 32816u);
    EXPECT_EQ(messages[0].lParam, 40);
    EXPECT_FALSE(messages[0].sent);
    EXPECT_TRUE(messages[1].sent);
    sim::ClearMessages();
}

TEST(SimFaults, TheNthMatchingRequestIsRefusedOnce) {
    LoadDrives({DriveAt("nvme", 0)});
    sim::Fault f;
    f.ioctl = kIoctlStorageGetDeviceNumber;
    f.nth = 2;
    f.error = 31;
    sim::Current().AddFault(f);
    PlatHandle h = PlatDeviceOpen(u"\\\\.\\PhysicalDrive0");
    StorageDeviceNumber n{};
    uint32_t returned = 0;
    std::vector<int> results;
    for (int i = 0; i < 4; ++i)
        results.push_back(PlatDeviceIoControl(h, kIoctlStorageGetDeviceNumber, nullptr, 0, &n,
                                              sizeof(n), &returned));
    EXPECT_EQ(results, (std::vector<int>{1, 0, 1, 1}));
    PlatDeviceClose(h);
    auto trace = sim::Current().Trace();
    EXPECT_EQ(trace[1].error, 31u);
    EXPECT_EQ(trace[1].note, "refused by fault");
}

TEST(SimFaults, ABadReplyInvertsTheReplyData) {
    LoadDrives({DriveAt("nvme", 0, "d")});
    sim::Fault f;
    f.nvme_opcode = 0x06;
    f.action = sim::Fault::Action::BadReply;
    sim::Current().AddFault(f);
    OpenedDrive drive(0);
    std::vector<uint8_t> query(4096 + 48);
    // Identify through the protocol query, by hand.
    uint32_t* q = reinterpret_cast<uint32_t*>(query.data());
    q[0] = 49;
    q[2] = 3;
    q[3] = 1;
    q[4] = 1;
    q[6] = 40;
    q[7] = 4096;
    uint32_t returned = 0;
    ASSERT_EQ(PlatDeviceIoControl(drive.handle, kIoctlStorageQueryProperty, query.data(), 4144,
                                  query.data(), 4144, &returned),
              1);
    auto page = sim::Current().DrivePage("d", "identify_controller");
    EXPECT_EQ(query[48], static_cast<uint8_t>(~page[0]));
    EXPECT_EQ(query[48 + 30], static_cast<uint8_t>(~page[30]));
}

} // namespace

namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// An "IntelFw " request as the firmware operations lay it out.
std::vector<uint8_t> RstFirmwareRequest(uint32_t function, uint8_t pathId,
                                        const std::vector<uint8_t>& chunk, uint64_t offset) {
    const bool download = function == 2;
    std::vector<uint8_t> r(download ? chunk.size() + 88 : 4184, 0);
    Put32(r, 0, 28);
    std::memcpy(&r[4], "IntelFw ", 8);
    Put32(r, 12, 200);
    Put32(r, 16, 0xF0000040u);
    Put32(r, 24, static_cast<uint32_t>(r.size() - 28));
    r[28] = 1;
    r[29] = pathId;
    const uint32_t block[6] = {1, 24, function,
                               1, 56, download ? static_cast<uint32_t>(chunk.size() + 32) : 12};
    for (int i = 0; i < 6; ++i)
        Put32(r, 32 + 4 * i, block[i]);
    if (download) {
        Put32(r, 56, 2);
        Put32(r, 60, 32);
        Put32(r, 64, static_cast<uint32_t>(offset));
        Put32(r, 72, static_cast<uint32_t>(chunk.size()));
        r[80] = 0xFF;
        std::copy(chunk.begin(), chunk.end(), r.begin() + 88);
    } else {
        Put32(r, 56, 1);
        Put32(r, 60, 12);
        r[64] = 1;
        Put32(r, 68, 5);
        Put32(r, 72, 7);
    }
    return r;
}

TEST(SimRst, TheFirmwareChannelDownloadsAndActivates) {
    sim::DriveOnPath d = DriveAt("rst", 1, "rst");
    d.service = "iaStorAC";
    LoadDrives({d}); // port 1, path id 0
    PlatHandle port = PlatDeviceOpen(u"\\\\.\\scsi1:");
    ASSERT_NE(port, PLAT_INVALID_HANDLE);
    std::vector<uint8_t> chunk(4096, 0x42);
    for (uint64_t offset : {0, 4096}) {
        auto request = RstFirmwareRequest(2, 0, chunk, offset);
        uint32_t returned = 0;
        EXPECT_EQ(PlatDeviceIoControl(port, kIoctlScsiMiniport, request.data(),
                                      static_cast<uint32_t>(request.size()), nullptr, 0, &returned),
                  1);
    }
    auto activate = RstFirmwareRequest(3, 0, {}, 0);
    uint32_t returned = 0;
    EXPECT_EQ(
        PlatDeviceIoControl(port, kIoctlScsiMiniport, activate.data(), 4184, nullptr, 0, &returned),
        1);
    PlatDeviceClose(port);
    auto executed = sim::Current().ExecutedCommands("rst");
    ASSERT_EQ(executed.size(), 3u);
    EXPECT_EQ(executed[0][0], 0x11);
    EXPECT_EQ(Le32At(executed[0], 40), 1023u);
    EXPECT_EQ(Le32At(executed[1], 44), 1024u);
    EXPECT_EQ(executed[2][0], 0x10);
    EXPECT_EQ(Le32At(executed[2], 40), 9u);
}

TEST(SimBridges, PowerControlReachesTheHook) {
    LoadDrives({DriveAt("asmedia", 1, "a"), DriveAt("jmicron", 2, "j")});
    std::vector<std::pair<std::string, int>> seen;
    sim::Impl().onBridgePowerControl = [&](sim::Disk& disk, uint8_t mode) {
        seen.push_back({disk.name, mode});
    };
    {
        OpenedDrive a(1);
        const uint8_t cdb[16] = {0xEA, 0x5A, 0x01};
        EXPECT_EQ(
            SendScsiPassThrough(a.handle, cdb, 16, kScsiIoctlDataOut, nullptr, 0, 24, 10, nullptr),
            1);
    }
    {
        OpenedDrive j(2);
        uint8_t block[512] = {'N', 'V', 'M', 'E'};
        block[72] = 5;
        const uint8_t command[16] = {0xA1, 0x80, 0, 0, 0x02, 0};
        const uint8_t data[16] = {0xA1, 0x81};
        EXPECT_EQ(SendScsiPassThrough(j.handle, command, 16, kScsiIoctlDataOut, block, 512, 24, 10,
                                      nullptr),
                  1);
        EXPECT_TRUE(seen.size() == 1);
        EXPECT_EQ(
            SendScsiPassThrough(j.handle, data, 16, kScsiIoctlDataIn, block, 0, 24, 10, nullptr),
            1);
    }
    EXPECT_EQ(seen, (std::vector<std::pair<std::string, int>>{{"a", 1}, {"j", 5}}));
    EXPECT_TRUE(sim::Current().ExecutedCommands("j").empty());
}

} // namespace

namespace {

// The simulated drivers refuse request blocks laid out for another pointer width or with a
// sense area outside the buffer, as the real ones do: a layout mistake cannot pass unseen.
TEST(SimRequests, MisLaidPassThroughRequestsAreRefused) {
    LoadDrives({DriveAt("sata", 1)});
    OpenedDrive drive(1, true);
    const PassThroughLayout& other =
        sizeof(void*) == 8 ? kPassThroughLayout32 : kPassThroughLayout64;
    uint8_t data[512];
    struct Case {
        const char* name;
        uint32_t code;
        uint16_t length;
        uint32_t senseOffset;
        uint8_t senseLength;
    } cases[] = {
        {"sptd other width", kIoctlScsiPassThroughDirect, static_cast<uint16_t>(other.sptdSize),
         kSptdSenseOffset, 24},
        {"sense outside", kIoctlScsiPassThroughDirect,
         static_cast<uint16_t>(sizeof(ScsiPassThroughDirect)), kSptdRequestSize - 8, 24},
        {"sense inside the structure", kIoctlScsiPassThroughDirect,
         static_cast<uint16_t>(sizeof(ScsiPassThroughDirect)), 8, 24},
        {"aptd other width", kIoctlAtaPassThroughDirect, static_cast<uint16_t>(other.aptdSize), 0,
         0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        alignas(8) uint8_t request[kSptdRequestSize] = {};
        uint32_t size = kSptdRequestSize;
        if (c.code == kIoctlScsiPassThroughDirect) {
            ScsiPassThroughDirect s{};
            s.Length = c.length;
            s.CdbLength = 12;
            s.SenseInfoLength = c.senseLength;
            s.DataIn = kScsiIoctlDataIn;
            s.DataTransferLength = 512;
            s.DataBuffer = data;
            s.SenseInfoOffset = c.senseOffset;
            s.Cdb[0] = 0xA1;
            s.Cdb[9] = 0xEC;
            std::memcpy(request, &s, sizeof(s));
        } else {
            AtaPassThroughDirect a{};
            a.Length = c.length;
            a.AtaFlags = 0x3;
            a.DataTransferLength = 512;
            a.DataBuffer = data;
            a.CurrentTaskFile[6] = 0xEC;
            std::memcpy(request, &a, sizeof(a));
            size = sizeof(a);
        }
        uint32_t returned = 0;
        EXPECT_EQ(
            PlatDeviceIoControl(drive.handle, c.code, request, size, request, size, &returned), 0);
        EXPECT_EQ(PlatGetLastError(), kErrorInvalidParameter);
    }
    EXPECT_TRUE(sim::Current().ExecutedCommands("PhysicalDrive1").empty());
}

} // namespace
