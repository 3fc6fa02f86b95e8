// The update workers step by step, holding the worker at each of its sleeps: the progress bar
// in each band, and device changes in each phase of an update on a bridge, on the in-box driver
// and on SATA (a refresh then runs between two steps of the worker; the update must still
// complete, reach only its drive, and leave the drive on the new firmware).
#include "app_support.h"

#include "sim/hotplug.h"
#include "sim/nvme_firmware.h"

#include <map>
#include <set>

using namespace apptest;

namespace {

sim::DriveOnPath DriveOn(const std::string& path, int number, const std::string& name) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = number;
    d.name = name;
    const bool sata = path.rfind("sata", 0) == 0;
    d.drive = sata ? sim::DefaultSataDrive() : sim::DefaultNvmeDrive();
    // A version text with one character before its first dot, as images carry it.
    d.drive["vendor_info"]["version"] = "1.2.A.3B";
    d.drive["serial"] = "SER-" + name;
    return d;
}

bool IsSata(const std::string& path) {
    return path.rfind("sata", 0) == 0;
}

// Starts the program on a machine with the drive under test ("dut", PhysicalDrive1) and
// another drive of the same family ("spare", PhysicalDrive2), presses RUN on the drive under
// test and confirms.
void StartAndConfirm(AppHarness& app, const std::string& path) {
    const bool sata = IsSata(path);
    sim::Load(sim::TypicalMachine({DriveOn(path, 1, "dut"), DriveOn(sata ? "sata" : "nvme", 2, "spare")})
                  .dump());
    DriveInfo probed{};
    ASSERT_EQ(sata ? ProbeSataDrive(u"\\\\.\\PhysicalDrive1", &probed)
                   : ProbeNvmeDrive(u"\\\\.\\PhysicalDrive1", &probed),
              1);
    std::vector<std::pair<std::string, std::string>> keys = {
        {"TITLE", "T"}, {"SOCID", "*"}, {"NEWVERSION", "NV200000"}, {"BeforeMessage", "Sure?"}};
    if (sata) keys.push_back({"bIsSATA", "1"});
    app.SetPackage(Zip({{"FwRenewInfo.ini", IniFile(keys)}, {ImageNameFor(probed), ImageFor(probed, 8 * 4096)}}));
    app.Start();
    ASSERT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).lines.size(), 2u);
    ASSERT_EQ(sim::DialogItem(IDC_SERIAL).text.rfind(u"SER-dut", 0), 0u);
    sim::ClearMessages();
    sim::ClearMessageBoxes();
    ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
    ASSERT_GE(sim::WaitForMessageBox(), 0);
    ASSERT_TRUE(sim::AnswerMessageBox(PLAT_IDYES));
}

TEST(WorkerSteps, TheBarMovesThroughTheBandsOfEachPath) {
    struct Case {
        const char* path;
        // The bar at each of the worker's sleeps, by band (lower end); the SATA download's
        // band is checked by its range only.
        std::map<int, std::vector<int>> positions;
    } cases[] = {
        {"asmedia", {{30, {30, 33, 36}}, {40, {40, 46, 53}}, {60, {60, 66, 73}}}},
        {"jmicron", {{30, {30, 33, 36}}, {40, {40, 46, 53}}, {60, {60, 66, 73}}}},
        // No power control: the bar stays at 60 until the band 80..100 begins.
        {"nvme", {{30, {30, 33, 36}}, {40, {40, 46, 53}}}},
        {"rst", {{30, {30, 33, 36}}, {40, {40, 46, 53}}}},
        {"sata", {{0, {}}, {40, {40, 46, 53}}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        AppHarness app;
        WorkerSteps steps;
        StartAndConfirm(app, c.path);
        if (HasFatalFailure()) return;
        std::map<int, std::vector<int>> seen;
        int low = 0;
        while (steps.Next(&low)) {
            seen[low].push_back(sim::DialogItem(IDC_PROGRESS).position);
            steps.Go();
        }
        if (IsSata(c.path)) {
            // The download's pauses: the bar climbs inside 0..40.
            ASSERT_FALSE(seen[0].empty());
            EXPECT_TRUE(std::is_sorted(seen[0].begin(), seen[0].end()));
            EXPECT_EQ(seen[0].front(), 0);
            EXPECT_LE(seen[0].back(), 40);
            seen[0].clear();
        }
        EXPECT_EQ(seen, c.positions);
        ASSERT_TRUE(sim::WaitFor([] { return !UpdateResults().empty(); }));
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
        EXPECT_EQ(sim::DialogItem(IDC_PROGRESS).position, 100);
        // No AfterMessage: the completion shows nothing, and RUN and close work right away.
        EXPECT_EQ(sim::MessageBoxes().size(), 1u);
        ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
        const int box = sim::WaitForMessageBox();
        ASSERT_GE(box, 0);
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Sure?");
        sim::AnswerMessageBox(PLAT_IDNO);
        ASSERT_TRUE(sim::WaitIdle());
        ASSERT_TRUE(app.Close());
    }
}

// A drive of the same family leaves and comes back while the worker is held in one phase; the
// refresh that follows runs between two steps of the update.
int SpareLeavesAndReturns() {
    const int before = sim::DialogItem(IDC_DRIVE_COMBO).resets;
    sim::DriveLeaves("spare", 500);
    EXPECT_TRUE(sim::WaitIdle());
    sim::ClockAdvance(500);
    EXPECT_TRUE(sim::WaitIdle());
    sim::ClockAdvance(2000);
    EXPECT_TRUE(sim::WaitIdle());
    return sim::DialogItem(IDC_DRIVE_COMBO).resets - before;
}

std::set<uint8_t> FirmwareCommands(const std::string& drive, bool sata) {
    std::set<uint8_t> out;
    for (const auto& c : sim::Current().ExecutedCommands(drive)) {
        const uint8_t op = sata ? c[14] : c[0];
        if (sata ? (op == 0x92 || op == 0xC2) : (op == 0x11 || op == 0x10 || op == 0xE5 || op == 0xF1))
            out.insert(op);
    }
    return out;
}

TEST(WorkerSteps, DeviceChangesInEachPhaseLeaveTheUpdateWhole) {
    struct Case {
        const char* path;
        std::set<int> phases; // bands in which the worker sleeps
    } cases[] = {
        // The bridge drive comes back 10 s after its power cycle: the re-discovery waits too.
        {"asmedia", {30, 40, 60, 80}},
        {"nvme", {30, 40}},
        {"sata", {0, 40}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const bool sata = IsSata(c.path);
        const bool bridge = std::string(c.path) == "asmedia";
        AppHarness app;
        WorkerSteps steps;
        StartAndConfirm(app, c.path);
        if (HasFatalFailure()) return;
        if (bridge) sim::SetPowerCycle("dut", {10000, -1, true});
        const std::u16string line = SelectedLine();
        std::set<int> phases;
        std::map<int, std::u16string> shown;
        int low = 0;
        while (steps.Next(&low)) {
            if (phases.insert(low).second) {
                EXPECT_EQ(SpareLeavesAndReturns(), 1) << "band " << low;
                shown[low] = SelectedLine();
                EXPECT_FALSE(sim::DialogItem(IDC_RUN).enabled);
                EXPECT_FALSE(sim::DialogItem(IDC_DRIVE_COMBO).enabled);
            }
            steps.Go();
        }
        EXPECT_EQ(phases, c.phases);
        ASSERT_TRUE(sim::WaitFor([] { return !UpdateResults().empty(); }));
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
        // The refreshes kept the drive selected; while the bridge drive was away they marked it.
        for (const auto& [band, text] : shown)
            EXPECT_EQ(text, bridge && band >= 60 ? line + u" - Disconnect" : line) << "band " << band;
        // Back, and selected again by its port.
        sim::ClockAdvance(2000);
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_EQ(SelectedLine(), line);
        EXPECT_EQ(sim::DialogItem(IDC_SERIAL).text.rfind(u"SER-dut", 0), 0u);
        // The trace: every firmware command went to the drive under test, none to the other,
        // and no bridge sequence was broken by the refreshes.
        const std::set<uint8_t> expected =
            sata ? std::set<uint8_t>{0x92, 0xC2} : std::set<uint8_t>{0x11, 0x10, 0xE5};
        EXPECT_EQ(FirmwareCommands("dut", sata), expected);
        EXPECT_TRUE(FirmwareCommands("spare", sata).empty());
        EXPECT_EQ(sim::Current().BridgeSequenceErrors("dut"), 0);
        ASSERT_TRUE(app.Close());
        // The drive runs the new firmware (in-box: after the next reset).
        if (sata) {
            DriveInfo after{};
            ASSERT_EQ(ProbeSataDrive(u"\\\\.\\PhysicalDrive1", &after), 1);
            EXPECT_EQ(std::u16string(after.DiskFwVersion), u"NV200000");
        } else {
            if (!bridge) sim::RestartMachine();
            EXPECT_EQ(sim::NvmeFirmware("dut").last_activation, "activated");
            EXPECT_EQ(sim::NvmeFirmware("dut").revision, "NV200000");
        }
        sim::CancelDriveReturns();
    }
}

} // namespace
