// NVMe updates from RUN to the completion message on each of the four paths: the bridges
// activate at their power cycle and the list shows the new revision after the worker's final
// refresh; in-box and RST drives activate at the next reset, shown after a restart of the
// simulated machine and a new start-up. Then a failure at each step of the NVMe worker, the
// steps that cannot fail an update, and the name rule.
#include "app_support.h"

#include "sim/hotplug.h"
#include "sim/nvme_firmware.h"

#include <functional>
#include <set>

using namespace apptest;

namespace {

sim::DriveOnPath NvmeOn(const std::string& path) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = 1;
    d.name = path;
    if (path == "rst") d.service = "iaStorAC";
    d.drive = sim::DefaultNvmeDrive();
    // A version text with one character before its first dot, as images carry it.
    d.drive["vendor_info"]["version"] = "1.2.A.3B";
    return d;
}

TEST(NvmeUpdate, EachPathUpdatesEndToEnd) {
    for (const char* path : {"asmedia", "jmicron", "nvme", "rst"}) {
        SCOPED_TRACE(path);
        sim::Load(sim::TypicalMachine({NvmeOn(path)}).dump());
        DriveInfo probed{};
        ASSERT_EQ(ProbeNvmeDrive(u"\\\\.\\PhysicalDrive1", &probed), 1);
        const std::u16string before = probed.DiskFwVersion;
        const auto package = Zip({{"FwRenewInfo.ini", IniFile({{"TITLE", "T"},
                                                                {"SOCID", "*"},
                                                                {"NEWVERSION", "NV200000"},
                                                                {"AfterMessage", "Done"}})},
                                  {ImageNameFor(probed), ImageFor(probed, 8 * 4096)}});
        const bool bridge = std::string(path) == "asmedia" || std::string(path) == "jmicron";
        {
            AppHarness app;
            app.SetPackage(package);
            app.Start();
            sim::ClearMessages();
            ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
            const int box = sim::WaitForMessageBox();
            ASSERT_GE(box, 0);
            EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Done");
            sim::AnswerMessageBox(PLAT_IDOK);
            ASSERT_TRUE(sim::WaitIdle());
            EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
            EXPECT_EQ(sim::DialogItem(IDC_PROGRESS).position, 100);
            EXPECT_TRUE(sim::WaitFor([] { return IsWorkerRunning() == 0; }));
            EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
            EXPECT_EQ(sim::Current().PageAllocCount(), 0);
            const std::string revision = sim::NvmeFirmware(path).revision;
            if (bridge) {
                EXPECT_EQ(sim::NvmeFirmware(path).last_activation, "activated");
                // The refresh armed by the completion shows the drive as it came back.
                sim::ClockAdvance(2000);
                ASSERT_TRUE(sim::WaitIdle());
                EXPECT_EQ(Narrow(sim::DialogItem(IDC_FIRMWARE).text), revision);
                EXPECT_NE(sim::DialogItem(IDC_FIRMWARE).text, before);
                ASSERT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).lines.size(), 1u);
            } else {
                EXPECT_FALSE(sim::NvmeFirmware(path).staged.empty());
            }
            ASSERT_TRUE(app.Close());
        }
        if (!bridge) {
            sim::RestartMachine();
            AppHarness again;
            again.SetPackage(package);
            again.Start();
            EXPECT_EQ(sim::NvmeFirmware(path).last_activation, "activated");
            EXPECT_EQ(Narrow(sim::DialogItem(IDC_FIRMWARE).text), sim::NvmeFirmware(path).revision);
            EXPECT_NE(sim::DialogItem(IDC_FIRMWARE).text, before);
            ASSERT_TRUE(again.Close());
        }
    }
}

constexpr uint8_t kDownload = 0x11, kCommit = 0x10, kRecordRead = 0xE6, kRecordWrite = 0xE5,
                  kPageWrite = 0xF1;

std::vector<std::pair<std::string, std::string>> NvmeKeys(const std::string& newVersion = "NV200000") {
    return {{"TITLE", "T"},
            {"SOCID", "*"},
            {"NEWVERSION", newVersion},
            {"BeforeMessage", "Sure?"},
            {"AfterMessage", "Done"}};
}

// The firmware-changing commands (download, commit, record and page writes) a drive executed
// from the from-th on.
std::set<uint8_t> WritesFrom(const std::string& drive, size_t from) {
    const auto executed = sim::Current().ExecutedCommands(drive);
    std::set<uint8_t> out;
    for (size_t i = from; i < executed.size(); ++i) {
        const uint8_t op = executed[i][0];
        if (op == kDownload || op == kCommit || op == kRecordWrite || op == kPageWrite) out.insert(op);
    }
    return out;
}

size_t CountOf(const std::string& drive, uint8_t opcode) {
    size_t n = 0;
    for (const auto& c : sim::Current().ExecutedCommands(drive))
        if (c[0] == opcode) ++n;
    return n;
}

// Starts the program on the machine's PhysicalDrive1 with an image made for it, presses RUN
// and waits for the confirmation. The probed record comes back in probed.
void StartAndConfirmOpen(AppHarness& app, DriveInfo* probed,
                         const std::vector<std::pair<std::string, std::string>>& keys,
                         const std::function<void(std::vector<uint8_t>&)>& damage = nullptr) {
    ASSERT_EQ(ProbeNvmeDrive(u"\\\\.\\PhysicalDrive1", probed), 1);
    std::vector<uint8_t> image = ImageFor(*probed, 8 * 4096);
    if (damage) damage(image);
    app.SetPackage(Zip({{"FwRenewInfo.ini", IniFile(keys)}, {ImageNameFor(*probed), image}}));
    app.Start();
    sim::ClearMessages();
    sim::ClearMessageBoxes();
    ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
    const int box = sim::WaitForMessageBox();
    ASSERT_GE(box, 0);
    ASSERT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Sure?");
}

void ExpectNothingLeft() {
    EXPECT_TRUE(sim::WaitFor([] { return IsWorkerRunning() == 0; }));
    EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
    EXPECT_EQ(sim::Current().OpenDevInfoSetCount(), 0);
    EXPECT_EQ(sim::Current().PageAllocCount(), 0);
    EXPECT_FALSE(sim::DialogWatchdogFired());
}

TEST(NvmeUpdate, AFailureAtEachStepReportsOnceSendsNothingAfterItAndLeavesNothingOpen) {
    // Reject: the drive completes the command with an error status. Refuse: the path refuses
    // the request that carries it, so the drive never executes it.
    enum class Act { None, DriveGone, RemoveImage, EmptyImage, Reject, Refuse };
    struct Case {
        const char* what;
        const char* path;
        Act act;
        uint8_t opcode = 0;     // Reject, Refuse: the command
        int64_t dword12 = -1;   // Reject: only with this dword 12
        uint32_t nth = 1;       // Reject: from the nth such command on
        bool zeroRecord = false; // the drive's configuration record is all zero
        bool vendorInfo = true;  // the drive answers the vendor information request
        bool badLayout = false;  // the image's region table cannot be merged
        std::set<uint8_t> writes; // firmware-changing commands the drive executed meanwhile
    };
    const Case cases[] = {
        {"open", "nvme", Act::DriveGone, 0, -1, 1, false, true, false, {}},
        {"image missing", "nvme", Act::RemoveImage, 0, -1, 1, false, true, false, {}},
        {"image empty", "nvme", Act::EmptyImage, 0, -1, 1, false, true, false, {}},
        {"record read", "nvme", Act::Reject, kRecordRead, 1, 1, false, true, false, {}},
        {"all-zero record", "nvme", Act::None, 0, -1, 1, true, true, false, {}},
        {"merge refused", "nvme", Act::None, 0, -1, 1, false, true, true, {}},
        {"download", "nvme", Act::Reject, kDownload, -1, 1, false, true, false, {kDownload}},
        {"commit", "nvme", Act::Reject, kCommit, -1, 1, false, true, false, {kDownload, kCommit}},
        {"commit behind a bridge", "asmedia", Act::Refuse, kCommit, -1, 1, false, true, false,
         {kDownload}},
        {"record re-read", "nvme", Act::Reject, kRecordRead, 1, 2, false, true, false,
         {kDownload, kCommit}},
        {"record write", "nvme", Act::Refuse, kRecordWrite, -1, 1, false, true, false,
         {kDownload, kCommit}},
        {"record write behind a bridge", "jmicron", Act::Refuse, kRecordWrite, -1, 1, false, true,
         false, {kDownload, kCommit}},
        {"name write", "rst", Act::Refuse, kPageWrite, -1, 1, false, false, false,
         {kDownload, kCommit}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::DriveOnPath d = NvmeOn(c.path);
        if (c.zeroRecord) d.drive["config_record"] = {{"hex", std::string(8192, '0')}};
        if (!c.vendorInfo) d.drive.erase("vendor_info");
        sim::Load(sim::TypicalMachine({d}).dump());
        AppHarness app;
        DriveInfo probed{};
        StartAndConfirmOpen(app, &probed, NvmeKeys(), [&](std::vector<uint8_t>& image) {
            // Region 0 made to end on region 2's first page: the record cannot be merged.
            if (c.badLayout) std::copy(image.begin() + 32, image.begin() + 36, image.begin() + 20);
        });
        if (HasFatalFailure()) return;
        ASSERT_EQ(probed.bVendorInfo != 0, c.vendorInfo);
        // The checks are done; what follows hits the worker only.
        const size_t before = sim::Current().ExecutedCommands(c.path).size();
        const std::string image = app.WorkDir() + "/" + ImageNameFor(probed);
        switch (c.act) {
        case Act::DriveGone:
            sim::DriveLeaves(c.path, 1000000);
            break;
        case Act::RemoveImage:
            std::filesystem::remove(image);
            break;
        case Act::EmptyImage:
            std::filesystem::resize_file(image, 0);
            break;
        case Act::Reject:
            sim::RejectNvmeCommand(c.path, c.opcode, c.dword12, c.nth, 0);
            break;
        case Act::Refuse: {
            sim::Fault f;
            f.drive = c.path;
            f.nvme_opcode = c.opcode;
            f.count = 0;
            sim::Current().AddFault(f);
            break;
        }
        case Act::None:
            break;
        }
        sim::AnswerMessageBox(PLAT_IDYES);
        const int box = sim::WaitForMessageBox();
        ASSERT_GE(box, 0);
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Update FW Fail !");
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        const auto results = UpdateResults();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_NE(results[0], 1);
        if (c.act == Act::DriveGone) {
            EXPECT_EQ(results[0], -1);
        }
        EXPECT_EQ(WritesFrom(c.path, before), c.writes);
        // A failed update never power-cycles the bridge.
        EXPECT_TRUE(sim::DeviceChanges().empty() || c.act == Act::DriveGone);
        EXPECT_TRUE(sim::DialogItem(IDC_RUN).enabled);
        EXPECT_TRUE(sim::DialogItem(IDC_DRIVE_COMBO).enabled);
        ExpectNothingLeft();
        sim::Current().ClearFaults();
        sim::CancelDriveReturns();
        ASSERT_TRUE(app.Close());
    }
}

TEST(NvmeUpdate, APowerControlThatFailsOrADriveThatStaysAwayStillSucceeds) {
    struct Case {
        const char* what;
        const char* path;
        bool refusePowerControl;
        bool comesBack;
    } cases[] = {
        {"power control refused", "asmedia", true, true},
        {"drive that never comes back", "jmicron", false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        sim::Load(sim::TypicalMachine({NvmeOn(c.path)}).dump());
        if (!c.comesBack) sim::SetPowerCycle(c.path, {1500, -1, false});
        AppHarness app;
        DriveInfo probed{};
        StartAndConfirmOpen(app, &probed, NvmeKeys());
        if (HasFatalFailure()) return;
        const std::u16string line = SelectedLine();
        if (c.refusePowerControl) {
            sim::Fault f; // the bridge refuses the power-control command (EA 5A 01)
            f.drive = c.path;
            f.cdb_prefix = {0xEA, 0x5A, 0x01};
            f.count = 0;
            sim::Current().AddFault(f);
        }
        sim::AnswerMessageBox(PLAT_IDYES);
        const int box = sim::WaitForMessageBox();
        ASSERT_GE(box, 0);
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Done");
        EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
        // (Whether the list then shows the drive marked " - Disconnect" or already empty
        // depends on when the refresh armed by its removal runs; both are right.)
        if (c.comesBack) {
            EXPECT_TRUE(sim::DeviceChanges().empty()) << "the refused command cycled the drive";
            EXPECT_EQ(SelectedLine(), line);
        }
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        ExpectNothingLeft();
        // The refresh armed by the completion shows the machine as it is now.
        sim::ClockAdvance(2000);
        ASSERT_TRUE(sim::WaitIdle());
        if (c.comesBack) {
            EXPECT_EQ(SelectedLine(), line);
            EXPECT_TRUE(sim::DialogItem(IDC_RUN).enabled);
        } else {
            EXPECT_TRUE(sim::DialogItem(IDC_DRIVE_COMBO).lines.empty());
            EXPECT_FALSE(sim::DialogItem(IDC_RUN).enabled);
            EXPECT_EQ(sim::DialogItem(IDC_MODEL).text, u"");
        }
        sim::Current().ClearFaults();
        sim::CancelDriveReturns();
        ASSERT_TRUE(app.Close());
    }
}

TEST(NvmeUpdate, TheNameIsWrittenUnlessNewVersionIsKeepInAnyCase) {
    struct Case {
        const char* newVersion;
        bool vendorInfo;
        bool written;
    } cases[] = {
        {"KEEP", true, false}, {"keep", true, false}, {"", true, true}, {"NV300000", true, true},
        {"Keep", false, false}, {"", false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("\"") + c.newVersion + (c.vendorInfo ? "\", record" : "\", page"));
        sim::DriveOnPath d = NvmeOn("nvme");
        if (!c.vendorInfo) d.drive.erase("vendor_info");
        sim::Load(sim::TypicalMachine({d}).dump());
        AppHarness app;
        DriveInfo probed{};
        StartAndConfirmOpen(app, &probed, NvmeKeys(c.newVersion));
        if (HasFatalFailure()) return;
        const std::string before = sim::NvmeFirmware("nvme").recorded_name;
        sim::AnswerMessageBox(PLAT_IDYES);
        ASSERT_GE(sim::WaitForMessageBox(), 0);
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
        EXPECT_EQ(CountOf("nvme", c.vendorInfo ? kRecordWrite : kPageWrite) > 0, c.written);
        const std::string name = sim::NvmeFirmware("nvme").recorded_name;
        EXPECT_EQ(name, c.written ? std::string(c.newVersion) : before);
        ASSERT_TRUE(app.Close());
    }
}

} // namespace
