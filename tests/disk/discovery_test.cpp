// Enumeration, port location and re-discovery on simulated machines.
#include "base/log.h"
#include "disk/disk_queries.h"
#include "disk/enumerate.h"
#include "disk/port_location.h"
#include "disk/rediscover.h"
#include "disk/transport.h"
#include "platform/requests.h"
#include "platform/storage.h"
#include "sim/hotplug.h"
#include "sim/sim.h"
#include "sim/typical.h"
#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

namespace {

std::string MachineFile(const char* name) {
    const char* root = std::getenv("FW_TEST_SOURCE_DIR");
    return std::string(root ? root : ".") + "/../../examples/machines/" + name;
}

sim::Json MixedMachine() {
    std::ifstream file(MachineFile("mixed.json"));
    std::stringstream text;
    text << file.rdbuf();
    return sim::Json::parse(text.str());
}

std::u16string Text(const char* ascii) {
    return std::u16string(ascii, ascii + std::strlen(ascii));
}

const PlatWindow kMainWindow = reinterpret_cast<PlatWindow>(0x5A5A);

// Detailed log on, progress posts bound to a main window, a clean message list.
class Discovery : public ::testing::Test {
  protected:
    void SetUp() override {
        LogBindDetailSwitch(&detail_);
        DiskBindProgressWindow(&window_);
        sim::ClearMessages();
    }
    void TearDown() override {
        EXPECT_EQ(sim::Current().OpenHandleCount(), 0) << "a handle was left open";
        EXPECT_EQ(sim::Current().OpenDevInfoSetCount(), 0) << "a device set was left";
        sim::CancelDriveReturns();
        DiskBindProgressWindow(nullptr);
        LogBindDetailSwitch(nullptr);
    }
    static std::vector<intptr_t> ProgressPosts() {
        std::vector<intptr_t> values;
        for (const auto& m : sim::Messages()) {
            EXPECT_EQ(m.window, kMainWindow);
            EXPECT_EQ(m.message, 32816u);
            EXPECT_EQ(m.wParam, 0u);
            EXPECT_FALSE(m.sent) << "re-discovery must post, never send";
            values.push_back(m.lParam);
        }
        return values;
    }
    // The record of a drive from an enumeration of the mixed machine.
    static DriveInfo Enumerated(int32_t deviceNumber, bool sata = false) {
        DriveInfo list[26];
        int32_t n = sata ? EnumerateSataDrives(list, 26) : EnumerateNvmeDrives(list, 26);
        for (int32_t i = 0; i < n; ++i)
            if (list[i].iDeviceNumber == deviceNumber) return list[i];
        ADD_FAILURE() << "PhysicalDrive" << deviceNumber << " was not enumerated";
        return DriveInfo{};
    }

    volatile int32_t detail_ = 1;
    PlatWindow volatile window_ = kMainWindow;
};

struct Expected {
    const char* path;
    int32_t iCmdType;
    uint64_t iPort;
    const char* model;
    const char* serial;
    uint32_t capacityGB;
    uint32_t sectorSize;
    uint64_t sectorCount;
    const char* letters;
    uint8_t bRaw, bSystemDisk;
    uint32_t linkSpeed, linkWidth, maxLinkSpeed, maxLinkWidth;
    uint32_t vendorCode;
    uint8_t bVendorInfo;
    const char* nandIds;
    uint32_t nandType, lunCount;
    const char* version;
    uint32_t build;
};

void ExpectRecord(const DriveInfo& d, const Expected& e, uint32_t vid) {
    SCOPED_TRACE(e.path);
    EXPECT_EQ(std::u16string(d.DevicePath), Text(e.path));
    EXPECT_EQ(d.iCmdType, e.iCmdType);
    EXPECT_EQ(d.iPort, e.iPort);
    EXPECT_EQ(std::u16string(d.DiskModel), Text(e.model));
    EXPECT_EQ(std::u16string(d.DiskSerial), Text(e.serial));
    EXPECT_EQ(std::u16string(d.DiskFwVersion), e.iCmdType >= 16 ? u"SF100000" : u"FW100000");
    EXPECT_EQ(d.iCapacityGB, e.capacityGB);
    EXPECT_EQ(d.iSectorSize, e.sectorSize);
    EXPECT_EQ(d.iSectorCount, e.sectorCount);
    EXPECT_EQ(std::u16string(d.DriveLetters), Text(e.letters));
    EXPECT_EQ(d.bRaw, e.bRaw);
    EXPECT_EQ(d.bSystemDisk, e.bSystemDisk);
    EXPECT_EQ(d.iPciVendorId, vid);
    EXPECT_EQ(d.iPciSubsysVendorId, vid);
    EXPECT_EQ(d.iLinkSpeed, e.linkSpeed);
    EXPECT_EQ(d.iLinkWidth, e.linkWidth);
    EXPECT_EQ(d.iMaxLinkSpeed, e.maxLinkSpeed);
    EXPECT_EQ(d.iMaxLinkWidth, e.maxLinkWidth);
    EXPECT_EQ(d.iVendorCode, e.vendorCode);
    EXPECT_EQ(d.bVendorInfo, e.bVendorInfo);
    char ids[13];
    std::snprintf(ids, sizeof ids, "%02X%02X%02X%02X%02X%02X", d.NandDevids[0], d.NandDevids[1],
                  d.NandDevids[2], d.NandDevids[3], d.NandDevids[4], d.NandDevids[5]);
    EXPECT_STREQ(ids, e.nandIds);
    EXPECT_EQ(d.iNandType, e.nandType);
    EXPECT_EQ(d.iLunCount, e.lunCount);
    EXPECT_EQ(std::u16string(d.DrvInfoVersion), Text(e.version));
    EXPECT_EQ(d.iFtlBuildNum, e.build);
}

TEST_F(Discovery, MixedMachineGivesExactlyTheNvmeRecords) {
    sim::Load(MixedMachine().dump());
    DebugCapture capture;
    DriveInfo list[26];
    std::memset(list, 0xA5, sizeof list);
    ASSERT_EQ(EnumerateNvmeDrives(list, 26), 5);

    // clang-format off
    const Expected want[] = {
        // The system disk: C: and D:, in-box driver, bus 2 under a root port on bus 0.
        {"\\\\.\\PhysicalDrive0", 2, 2, "FW NVMe SSD 500GB", "SYS0000000001       ", 500, 512,
         976773168, "C: D: ", 0, 1, 3, 4, 4, 4, 0x7A11, 1, "9BC4284920A1", 0x9B02, 2, "V1.02.03", 4321},
        // RST: bus 5 + 99 x bus 4; the NAND geometry read fails, so no type and no LUNs.
        {"\\\\.\\PhysicalDrive1", 3, 401, "FW NVMe SSD 1TB", "RST0000000002       ", 1024, 512,
         2000409264, "", 1, 0, 0, 0, 0, 0, 0x7A11, 1, "2CC30832E604", 0, 0, "V1.02.03", 4321},
        // ASMedia on root-hub port 3 of controller 1; reply A rejected, id from the id table.
        {"\\\\.\\PhysicalDrive2", 0, 103, "FW NVMe SSD 256GB", "ASM0000000003       ", 256, 512,
         500118192, "", 1, 0, 0, 0, 0, 0, 0, 0, "983E98B376E3", 0x9802, 0, "", 0},
        // JMicron on port 4 of a hub on root-hub port 2: raw chain 40201.
        {"\\\\.\\PhysicalDrive3", 1, 10204, "FW NVMe SSD 2TB", "ABC123              ", 2048, 512,
         4000797360, "F: ", 0, 0, 0, 0, 0, 0, 0x7A11, 1, "EC5E98AF84CD", 0xEC01, 4, "V2.00.01", 5000},
        // RAW: formatted with 4096-byte blocks but measured by LBA format 0 (512); the
        // alternate geometry layout gives SoC id, version and LUNs.
        {"\\\\.\\PhysicalDrive4", 2, 3, "FW NVMe SSD 128GB", "RAW0000000005       ", 128, 512,
         250069680, "", 1, 0, 3, 2, 3, 4, 0x7A12, 0, "AD7E290B00C0", 0xAD02, 4, "ALT-1.0.07", 0},
    };
    // clang-format on
    for (int i = 0; i < 5; ++i)
        ExpectRecord(list[i], want[i], 0xF0F0);
    DriveInfo cleared;
    ClearDriveInfo(&cleared);
    for (int i = 5; i < 26; ++i)
        EXPECT_EQ(0, std::memcmp(&list[i], &cleared, sizeof cleared)) << "record " << i;

    auto lines = capture.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         u"[TX]          [middle] \\\\.\\PhysicalDrive3 - iCmdType = 1, iPort = "
                         u"10204"),
              1);
    EXPECT_EQ(std::count(lines.begin(), lines.end(),
                         u"[TX] \\\\.\\PhysicalDrive0 = ch:4, ce:2, lun:2, pln:4, pg:1152"),
              1);
    // PhysicalDrive20 is never opened.
    for (const auto& r : sim::Current().Trace())
        EXPECT_NE(r.drive, "twenty") << r.path;
}

TEST_F(Discovery, MixedMachineGivesExactlyTheSataRecords) {
    sim::Load(MixedMachine().dump());
    DebugCapture capture;
    DriveInfo list[26];
    ASSERT_EQ(EnumerateSataDrives(list, 26), 3);
    // clang-format off
    const Expected want[] = {
        // SATA port: path id 1, G:, generation 3 link.
        {"\\\\.\\PhysicalDrive7", 16, 1, "FW SATA SSD 500GB", "SA1234", 500, 512, 976773168,
         "G: ", 0, 0, 3, 0, 0, 0, 0x2259, 1, "2CC30832E608", 0x2C03, 1, "S1.00.00", 1234},
        // Behind USB on root-hub port 2 of the second controller; geometry not marked 4096.
        {"\\\\.\\PhysicalDrive8", 17, 202, "FW SATA SSD 1TB", "SU5678", 1000, 512, 1953525168,
         "", 1, 0, 3, 0, 0, 0, 0x2259, 1, "453E98B37663", 0, 0, "S1.00.01", 1300},
        // Behind SAS, path id 3; reply A rejected: an all-zero id, type 0xFFFF.
        {"\\\\.\\PhysicalDrive9", 18, 3, "FW SATA SSD 256GB", "SS9012", 256, 512, 500118192,
         "", 1, 0, 3, 0, 0, 0, 0, 0, "000000000000", 0xFFFF, 1, "", 0},
    };
    // clang-format on
    for (int i = 0; i < 3; ++i)
        ExpectRecord(list[i], want[i], 0);
    auto lines = capture.Lines();
    EXPECT_EQ(std::count(lines.begin(), lines.end(), u"[TX] NandDevidsString=000000000000"), 1);
    // The SATA geometry line goes to the detailed log.
    EXPECT_EQ(
        std::count(lines.begin(), lines.end(),
                   u"[TX]          [middle] \\\\.\\PhysicalDrive7 = ch:4, ce:1, lun:1, pln:2, "
                   u"pg:2304"),
        1);
}

TEST_F(Discovery, AListWithLessRoomStopsScanningWhenFull) {
    sim::Load(MixedMachine().dump());
    DriveInfo list[2];
    ASSERT_EQ(EnumerateNvmeDrives(list, 2), 2);
    EXPECT_EQ(list[0].iDeviceNumber, 0);
    EXPECT_EQ(list[1].iDeviceNumber, 1);
    EXPECT_EQ(std::u16string(list[0].DriveLetters), u"C: D: ");
    for (const auto& r : sim::Current().Trace())
        EXPECT_NE(r.drive, "asmedia");
}

TEST_F(Discovery, CapacityDecidesWhichDrivesAreListed) {
    struct {
        const char* path;
        uint64_t blocks;
        std::vector<int> lbaFormats;
        int flbas;
        int32_t wantProbe;
        uint32_t wantGB;
    } cases[] = {
        {"nvme", 29323728, {9}, 0, kFwNoTransport, 0}, // 15 GB
        {"nvme", 31277232, {9}, 0, kFwOk, 16},         // 16 GB
        {"nvme", 31277232 / 8, {12}, 0, kFwOk, 16},    // 4096-byte blocks
        {"nvme", 29323728 / 8, {12}, 0, kFwNoTransport, 0},
        {"nvme", 1953124, {9}, 0, kFwNoTransport, 0}, // under 10^9 bytes
        {"nvme", 122096646, {9, 12}, 1, kFwOk, 62},   // formatted 4096, measured 512
        {"sata", 29323728, {}, 0, kFwNoTransport, 0},
        {"sata", 31277232, {}, 0, kFwOk, 16},
        {"sata", 976773168, {}, 0, kFwOk, 500},
        {"sata", 21167, {}, 0, kFwNoTransport, 0},        // below the offset: negative
        {"nvme", 2000409264, {64}, 0, kFwNoTransport, 0}, // no block size at all
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.path) + " " + std::to_string(c.blocks));
        sim::DriveOnPath d;
        d.path = c.path;
        d.number = 0;
        const bool sata = std::string(c.path) == "sata";
        d.drive = sata ? sim::DefaultSataDrive() : sim::DefaultNvmeDrive();
        if (sata) {
            d.drive["lba48"] = c.blocks;
        } else {
            d.drive["nsze"] = c.blocks;
            d.drive["lba_formats"] = c.lbaFormats;
            d.drive["flbas"] = c.flbas;
        }
        sim::Load(sim::TypicalMachine({d}).dump());
        DriveInfo record;
        std::memset(&record, 0x5A, sizeof record);
        int32_t r = sata ? ProbeSataDrive(u"\\\\.\\PhysicalDrive0", &record)
                         : ProbeNvmeDrive(u"\\\\.\\PhysicalDrive0", &record);
        EXPECT_EQ(r, c.wantProbe);
        EXPECT_EQ(record.iCapacityGB, c.wantGB);
        if (r != kFwOk) {
            DriveInfo cleared;
            ClearDriveInfo(&cleared);
            EXPECT_EQ(0, std::memcmp(&record, &cleared, sizeof record)) << "not cleared";
        }
    }
}

TEST_F(Discovery, ProbeFailuresLeaveTheRecordCleared) {
    sim::Load(MixedMachine().dump());
    DriveInfo record;
    DriveInfo cleared;
    ClearDriveInfo(&cleared);

    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(ProbeNvmeDrive(u"\\\\.\\PhysicalDrive11", &record), kFwOpenFailed);
    EXPECT_EQ(0, std::memcmp(&record, &cleared, sizeof record));

    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(ProbeNvmeDrive(u"\\\\.\\PhysicalDrive6", &record), kFwNoTransport); // other bridge
    EXPECT_EQ(0, std::memcmp(&record, &cleared, sizeof record));

    // A bridge that answers Identify (its first command phase) with a check condition.
    sim::Fault identify;
    identify.drive = "jmicron";
    identify.cdb_prefix = {0xA1, 0x80};
    identify.action = sim::Fault::Action::CheckCondition;
    sim::Current().AddFault(identify);
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(ProbeNvmeDrive(u"\\\\.\\PhysicalDrive3", &record), kFwNoTransport);
    EXPECT_EQ(0, std::memcmp(&record, &cleared, sizeof record));

    // A refused Identify is passed through with its own code.
    sim::Fault refuse;
    refuse.drive = "asmedia";
    refuse.cdb_prefix = {0xE6};
    sim::Current().AddFault(refuse);
    std::memset(&record, 0x5A, sizeof record);
    EXPECT_EQ(ProbeNvmeDrive(u"\\\\.\\PhysicalDrive2", &record), kFwRequestFailed);
    EXPECT_EQ(0, std::memcmp(&record, &cleared, sizeof record));
}

TEST_F(Discovery, NandCommandsCarryTheVendorSignatureAndAFailedReplyBLeavesNoType) {
    sim::Load(MixedMachine().dump());
    DriveInfo record;
    ASSERT_EQ(ProbeNvmeDrive(u"\\\\.\\PhysicalDrive0", &record), kFwOk);
    std::vector<std::vector<uint8_t>> vendor;
    for (const auto& e : sim::Current().ExecutedCommands("system"))
        if (e[0] == 0xE6 || e[0] == 0xF2) vendor.push_back(e);
    ASSERT_EQ(vendor.size(), 2u);
    auto dword = [](const std::vector<uint8_t>& e, int i) {
        uint32_t v;
        std::memcpy(&v, e.data() + 4 * i, 4);
        return v;
    };
    EXPECT_EQ(vendor[0][0], 0xE6);
    EXPECT_EQ(dword(vendor[0], 12), 3u);
    EXPECT_EQ(vendor[1][0], 0xF2);
    EXPECT_EQ(dword(vendor[1], 12), 0u);
    for (const auto& e : vendor) {
        EXPECT_EQ(dword(e, 10), 1024u);
        EXPECT_EQ(dword(e, 13), 0u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(e.data()) + 56, 8), "ORIXTALV");
    }

    // SATA: the second 0xC3 read (the geometry) fails on both routes.
    sim::Fault geometry;
    geometry.drive = "sata";
    geometry.ata_command = 0xC3;
    geometry.nth = 2;
    geometry.count = 0;
    sim::Current().AddFault(geometry);
    ASSERT_EQ(ProbeSataDrive(u"\\\\.\\PhysicalDrive7", &record), kFwOk);
    EXPECT_EQ(record.bVendorInfo, 1);
    EXPECT_EQ(record.iVendorCode, 0x2259u);
    EXPECT_EQ(record.iNandType, 0u);
    EXPECT_EQ(record.iLunCount, 0u);
}

TEST_F(Discovery, VolumeLettersFillWholeEntriesOnly) {
    sim::Json machine = sim::TypicalMachine({[] {
        sim::DriveOnPath d;
        d.path = "nvme";
        d.number = 0;
        d.name = "big";
        return d;
    }()});
    for (char letter = 'C'; letter <= 'Z'; ++letter)
        machine["volumes"].push_back({{"letter", std::string(1, letter)}, {"disk", "big"}});
    sim::Load(machine.dump());
    DriveInfo list[1];
    ASSERT_EQ(EnumerateNvmeDrives(list, 1), 1);
    // 21 letters C to W fill 63 units; X, Y and Z find no room.
    EXPECT_EQ(std::u16string(list[0].DriveLetters),
              u"C: D: E: F: G: H: I: J: K: L: M: N: O: P: Q: R: S: T: U: V: W: ");
    EXPECT_EQ(list[0].bRaw, 0);
    EXPECT_EQ(list[0].bSystemDisk, 1);
}

TEST_F(Discovery, UsbChainsAreReadFromTheDeviceTree) {
    sim::Load(MixedMachine().dump());
    EXPECT_EQ(GetUsbLocation(u"USB\\VID_AA02&PID_0002\\MSFT30JMI0000004"), 40201u);
    EXPECT_EQ(GetUsbLocation(u"USB\\VID_AA01&PID_0001\\MSFT30ASM0000003"), 301u);
    EXPECT_EQ(GetUsbLocation(u"USB\\VID_AA02&PID_0003\\MSFT30SAT0000008"), 202u);
    EXPECT_EQ(GetUsbLocation(u"USB\\VID_0000&PID_0000\\NONE"), 0u);
    EXPECT_EQ(WalkUsbHubs(u"USB\\VID_AA10&PID_0626\\6&3C1D5E7F&0&2", 4), 40201u);
    EXPECT_EQ(
        GetHostControllerIndex(u"PCI\\VEN_AA21&DEV_2142&SUBSYS_87561043&REV_00\\4&3A2B1C0D&0&00E4"),
        2u);
    EXPECT_EQ(GetHostControllerIndex(u"PCI\\VEN_0000"), 3u); // not there: count + 1
    // Device ids compare case-sensitively.
    EXPECT_EQ(GetUsbLocation(u"usb\\vid_aa02&pid_0002\\msft30jmi0000004"), 0u);

    EXPECT_EQ(GetPortLocation(kCmdJmicron, 3), 10204u);
    EXPECT_EQ(GetPortLocation(kCmdAsmedia, 2), 103u);
    EXPECT_EQ(GetPortLocation(kCmdSataUsb, 8), 202u);
    EXPECT_EQ(GetPortLocation(kCmdRst, 1), 401u);
    EXPECT_EQ(GetPortLocation(kCmdInboxNvme, 11), 0u); // no such disk
    // A location text that is missing counts as port 0: controller 1, port 0.
    sim::Json machine = MixedMachine();
    for (auto& n : machine["nodes"])
        if (n["id"] == "usb-asm") n.erase("location");
    sim::Load(machine.dump());
    EXPECT_EQ(GetPortLocation(kCmdAsmedia, 2), 1u);
}

TEST_F(Discovery, RenumberedNvmeDriveIsFoundAgainByItsBusNumbers) {
    sim::Load(MixedMachine().dump());
    DriveInfo record = Enumerated(0);
    ASSERT_EQ(record.iPort, 2u);
    DebugCapture capture;
    sim::DriveReturn how;
    how.number = 12;
    sim::DriveLeaves("system", 2500, how);
    ASSERT_EQ(GetDiskInfoByPortID(&record, 30, 0), 1);
    EXPECT_EQ(std::u16string(record.DevicePath), u"\\\\.\\PhysicalDrive12");
    EXPECT_EQ(record.iDeviceNumber, 12);
    EXPECT_EQ(record.iPort, 2u);
    EXPECT_EQ(std::u16string(record.DiskModel), u"FW NVMe SSD 500GB");
    // Volumes are not attached by a re-probe.
    EXPECT_EQ(record.bRaw, 1);
    EXPECT_EQ(ProgressPosts(), (std::vector<intptr_t>{3, 6, 10}));
    auto lines = capture.Lines();
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.front(),
              u"[TX]          [middle] GetDiskInfoByPortID IN, iCmdType = 2, iPort=2");
    EXPECT_EQ(lines.back(), u"[TX]          [middle] GetDiskInfoByPortID Success OUT");
}

TEST_F(Discovery, RstDriveIsFoundAgainByTheSameBusFormula) {
    sim::Load(MixedMachine().dump());
    DriveInfo record = Enumerated(1);
    ASSERT_EQ(record.iPort, 401u);
    sim::DriveReturn how;
    how.number = 15;
    sim::DriveLeaves("rst", 1000, how);
    ASSERT_EQ(GetDiskInfoByPortID(&record, 30, 0), 1);
    EXPECT_EQ(record.iDeviceNumber, 15);
    EXPECT_EQ(record.iCmdType, kCmdRst);
    EXPECT_EQ(ProgressPosts(), (std::vector<intptr_t>{3}));
}

TEST_F(Discovery, UsbDriveBackOnTheSamePortUnderAnotherNumberIsFound) {
    sim::Load(MixedMachine().dump());
    DriveInfo record = Enumerated(3);
    sim::DriveReturn how;
    how.number = 13;
    sim::DriveLeaves("jmicron", 3000, how);
    ASSERT_EQ(GetDiskInfoByPortID(&record, 10, 0), 1);
    EXPECT_EQ(std::u16string(record.DevicePath), u"\\\\.\\PhysicalDrive13");
    EXPECT_EQ(record.iPort, 10204u);
    EXPECT_EQ(record.iCmdType, kCmdJmicron);
    EXPECT_EQ(ProgressPosts(), (std::vector<intptr_t>{10, 20, 30}));
}

TEST_F(Discovery, UsbDriveBackOnAnotherPortIsNotFound) {
    sim::Load(MixedMachine().dump());
    const DriveInfo before = Enumerated(3);
    ASSERT_EQ(before.iPort, 10204u);
    sim::DriveReturn how;
    how.location = "Port_#0001.Hub_#0003";
    how.number = 5;
    sim::DriveLeaves("jmicron", 500, how);
    DriveInfo record = before;
    const uint64_t start = sim::ClockNow();
    EXPECT_EQ(GetDiskInfoByPortID(&record, 10, 0), 0);
    EXPECT_EQ(ProgressPosts(), (std::vector<intptr_t>{10, 20, 30, 40, 50, 60, 70, 80, 90, 100}));
    EXPECT_EQ(sim::ClockNow() - start, 10000u);
    EXPECT_EQ(0, std::memcmp(&record, &before, sizeof record)) << "a search that finds nothing "
                                                                  "leaves the record untouched";
    // It is there all the same, on port 1 of the hub.
    EXPECT_EQ(GetPortLocation(kCmdJmicron, 5), 10201u);
}

TEST_F(Discovery, SataPathIdThatIsAbsentNeverFindsAnotherDisk) {
    // Another SATA-class disk (behind USB) carries the same path id as the SATA-port drive,
    // and so does the RST drive.
    sim::Json machine = MixedMachine();
    for (auto& n : machine["nodes"])
        if (n["id"] == "disk-sata-usb") n["disk"]["scsi_address"]["path"] = 1;
    sim::Load(machine.dump());
    const DriveInfo before = Enumerated(7, true);
    ASSERT_EQ(before.iPort, 1u);
    sim::DriveLeaves("sata", -1);
    EXPECT_EQ(FindDiskByPort(kCmdSata, 1), PLAT_INVALID_HANDLE);
    DriveInfo record = before;
    EXPECT_EQ(GetDiskInfoByPortID(&record, 4, 1), 0);
    EXPECT_EQ(ProgressPosts(), (std::vector<intptr_t>{25, 50, 75, 100}));
    EXPECT_EQ(0, std::memcmp(&record, &before, sizeof record));

    // Back on its port, it is found again.
    sim::ReturnAllDrives();
    PlatHandle h = FindDiskByPort(kCmdSata, 1);
    ASSERT_NE(h, PLAT_INVALID_HANDLE);
    PlatDeviceClose(h);
}

// Two drives of one kind at an equal location: the RST drive's bus numbers give 1 + 99 x 1 =
// 100, the system drive's 100 + 99 x 0 = 100; or two SATA adapters each with a drive at path
// id 1, the other one listed first.
sim::Json ClashingMachine(bool sata) {
    sim::Json machine = MixedMachine();
    auto& nodes = machine["nodes"];
    if (!sata) {
        for (auto& n : nodes) {
            if (n["id"] == "nvme-ctrl-a") n["bus_number"] = 100;
            if (n["id"] == "switch-port" || n["id"] == "rst-ctrl") n["bus_number"] = 1;
        }
        return machine;
    }
    sim::Json adapter, disk;
    for (const auto& n : nodes) {
        if (n["id"] == "ahci") adapter = n;
        if (n["id"] == "disk-sata") disk = n;
    }
    adapter["id"] = "ahci-2";
    adapter["device_id"] = "PCI\\VEN_AA30&DEV_0612&SUBSYS_06121B21&REV_02\\4&5E5E5E5E&0&00E7";
    adapter["bus_number"] = 11;
    disk["id"] = "disk-sata-2";
    disk["parent"] = "ahci-2";
    disk["device_id"] = "SCSI\\DISK&VEN_&PROD_FW_SATA_SSD_256G\\5&6F6F6F6F&0&010000";
    disk["disk"]["name"] = "sata-2";
    disk["disk"]["number"] = 10;
    disk["disk"]["scsi_address"]["port"] = 11;
    disk["disk"]["drive"]["serial"] = "SB4321";
    nodes.insert(nodes.begin() + 1, disk);
    nodes.insert(nodes.begin() + 1, adapter);
    return machine;
}

TEST_F(Discovery, AnotherDriveAtAnEqualLocationIsPassedOver) {
    struct {
        const char* what;
        bool sata;
        int32_t number; // the drive searched for
        const char* drive;
        const char* serial;
        int32_t other; // PhysicalDrive number of the drive of the same kind at the same
                       // location, which the search finds first
        int64_t back;  // when the drive comes back (ms), under PhysicalDrive12; -1 never
        std::vector<intptr_t> posts;
    } cases[] = {
        {"RST drive, bus formula", false, 1, "rst", "RST0000000002       ", 0, 2500, {3, 6, 10}},
        {"RST drive that stays away", false, 1, "rst", "", 0, -1, {50, 100}},
        {"SATA drive, path id", true, 7, "sata", "SA1234", 10, 1000, {3}},
        {"SATA drive that stays away", true, 7, "sata", "", 10, -1, {50, 100}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Load(ClashingMachine(c.sata).dump());
        sim::ClearMessages();
        const DriveInfo before = Enumerated(c.number, c.sata);
        ASSERT_EQ(before.iPort, c.sata ? 1u : 100u);
        // The other drive is where the search looks first.
        PlatHandle first = FindDiskByPort(before.iCmdType, before.iPort);
        ASSERT_NE(first, PLAT_INVALID_HANDLE);
        uint32_t type = 0, number = 0;
        ASSERT_TRUE(QueryDeviceNumber(first, &type, &number));
        PlatDeviceClose(first);
        ASSERT_EQ(static_cast<int32_t>(number), c.other) << "the clash is not built";

        sim::DriveReturn how;
        how.number = 12;
        sim::DriveLeaves(c.drive, c.back, how);
        DriveInfo record = before;
        const int32_t attempts = c.back < 0 ? 2 : 30;
        if (c.back < 0) {
            EXPECT_EQ(GetDiskInfoByPortID(&record, attempts, c.sata), 0);
            EXPECT_EQ(0, std::memcmp(&record, &before, sizeof record))
                << "another drive's record was taken";
        } else {
            ASSERT_EQ(GetDiskInfoByPortID(&record, attempts, c.sata), 1);
            EXPECT_EQ(std::u16string(record.DiskSerial), Text(c.serial));
            EXPECT_EQ(record.iDeviceNumber, 12);
            EXPECT_EQ(std::u16string(record.DevicePath), u"\\\\.\\PhysicalDrive12");
        }
        EXPECT_EQ(ProgressPosts(), c.posts);
        sim::CancelDriveReturns();
    }
}

TEST_F(Discovery, AnNvmeDriveWithoutBusNumbersIsNeverTakenForAUsbDrive) {
    // Without bus numbers the RAW drive's location is 0, which is also what the bus formula
    // gives the USB disks.
    sim::Json machine = MixedMachine();
    for (auto& n : machine["nodes"])
        if (n["id"] == "nvme-ctrl-c") n.erase("bus_number");
    sim::Load(machine.dump());
    const DriveInfo before = Enumerated(4);
    ASSERT_EQ(before.iPort, 0u);
    sim::DriveLeaves("raw", -1);
    EXPECT_EQ(FindDiskByPort(kCmdInboxNvme, 0), PLAT_INVALID_HANDLE);
    DriveInfo record = before;
    EXPECT_EQ(GetDiskInfoByPortID(&record, 2, 0), 0);
    EXPECT_EQ(0, std::memcmp(&record, &before, sizeof record));
}

TEST_F(Discovery, ADiskWhoseNumberCannotBeReadIsSearchedAgain) {
    sim::Load(MixedMachine().dump());
    DriveInfo record = Enumerated(1);
    // The found disk refuses its device-number request once: it must not be probed under a
    // number it did not give (PhysicalDrive0 is the system disk).
    sim::Fault number;
    number.drive = "rst";
    number.ioctl = kIoctlStorageGetDeviceNumber;
    sim::Current().AddFault(number);
    ASSERT_EQ(GetDiskInfoByPortID(&record, 30, 0), 1);
    EXPECT_EQ(record.iDeviceNumber, 1);
    EXPECT_EQ(std::u16string(record.DiskSerial), u"RST0000000002       ");
    EXPECT_EQ(ProgressPosts(), (std::vector<intptr_t>{3}));
}

TEST_F(Discovery, FailedReprobeLeavesTheRecordClearedAtOnce) {
    sim::Load(MixedMachine().dump());
    DriveInfo record = Enumerated(3);
    sim::Fault identify;
    identify.drive = "jmicron";
    identify.cdb_prefix = {0xA1, 0x80};
    identify.action = sim::Fault::Action::CheckCondition;
    identify.count = 0;
    sim::Current().AddFault(identify);
    EXPECT_EQ(GetDiskInfoByPortID(&record, 30, 0), 0);
    DriveInfo cleared;
    ClearDriveInfo(&cleared);
    EXPECT_EQ(0, std::memcmp(&record, &cleared, sizeof record));
    EXPECT_TRUE(ProgressPosts().empty()) << "no further attempts after a rejecting probe";
}

TEST_F(Discovery, NoProgressIsPostedWithoutAMainWindow) {
    sim::Load(MixedMachine().dump());
    DriveInfo record = Enumerated(2);
    DiskBindProgressWindow(nullptr);
    sim::DriveLeaves("asmedia", -1);
    EXPECT_EQ(GetDiskInfoByPortID(&record, 3, 0), 0);
    EXPECT_TRUE(sim::Messages().empty());
}

} // namespace
