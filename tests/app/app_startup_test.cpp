// Start-up and closing of the application on simulated machines: the working folder and its
// refusals, broken packages, the configuration as the dialog shows it, the drive list, and the
// close rules.
#include "app_support.h"

#include "sim/hotplug.h"

#include <fstream>

using namespace apptest;
namespace fs = std::filesystem;

namespace {

sim::DriveOnPath Sata(int number, const std::string& name) {
    sim::DriveOnPath d;
    d.path = "sata";
    d.number = number;
    d.name = name;
    return d;
}

std::vector<uint8_t> GoodPackage(const std::vector<std::pair<std::string, std::string>>& extra = {}) {
    std::vector<std::pair<std::string, std::string>> keys = {
        {"TITLE", "FwRenew Test"}, {"SOCID", "*"}, {"bIsSATA", "1"}};
    keys.insert(keys.end(), extra.begin(), extra.end());
    return Zip({{"FwRenewInfo.ini", IniFile(keys)}, {"NAND_0.fw", {1, 2, 3}}});
}

class Startup : public ::testing::Test {
  protected:
    void SetUp() override { sim::Load(sim::TypicalMachine({Sata(1, "ssd")}).dump()); }
    AppHarness app;
};

TEST_F(Startup, ExtractsThePackageListsTheDriveAndClosesCleanly) {
    app.SetPackage(GoodPackage({{"BeforeMessage", "Warning ! <BR>Data may be erased."},
                                {"PowerCtrl", "258"},
                                {"ModelName", "FW SATA SSD 512GB;Other"}}));
    app.Start();
    EXPECT_EQ(sim::DialogTitle(), u"FwRenew Test");
    const std::string work = app.WorkDir();
    ASSERT_FALSE(work.empty());
    EXPECT_EQ(fs::path(work).parent_path(), fs::path(app.Base()));
    EXPECT_TRUE(fs::exists(work + "/FwRenewInfo.ini"));
    EXPECT_TRUE(fs::exists(work + "/NAND_0.fw"));
    // The archive lives in the working folder and is gone after extraction.
    EXPECT_FALSE(fs::exists(work + "/~ReleasePackage.a"));
    EXPECT_FALSE(fs::exists(app.Root() + "/~ReleasePackage.a"));
    if (kPosixPermissions) {
        EXPECT_EQ(fs::status(work).permissions() & fs::perms::all, fs::perms::owner_all);
    }

    EXPECT_EQ(std::u16string(g_App.szBeforeMessage), u"Warning ! \r\nData may be erased.");
    EXPECT_EQ(g_App.byPowerCtrl, 2);
    EXPECT_EQ(g_App.iInternalFWVersionCheckPart, 3);
    EXPECT_EQ(std::u16string(g_App.szModelList), u";FW SATA SSD 512GB;Other;");

    const sim::DialogControl list = sim::DialogItem(IDC_DRIVE_COMBO);
    ASSERT_EQ(list.lines.size(), 1u);
    EXPECT_EQ(list.lines[0], u"FW SATA SSD 512GB (RAW)");
    EXPECT_EQ(list.selection, 0);
    EXPECT_TRUE(sim::DialogItem(IDC_RUN).enabled);
    EXPECT_EQ(sim::DialogItem(IDC_SERIAL).text, u"SATA00000001");
    EXPECT_EQ(sim::DialogItem(IDC_FIRMWARE).text, u"SF100000");
    EXPECT_EQ(sim::DialogItem(IDC_INTERFACE).text, u"Serial ATA Gen3 Signaling Speed (6.0 Gbps)");
    EXPECT_EQ(sim::DialogItem(IDC_STATUS).text, u"");
    int iconSize = 0;
    EXPECT_EQ(sim::DialogIcon(&iconSize), IDI_APP);
    EXPECT_EQ(iconSize, 64);

    // Layout: the dialog ends one status-line height plus 5 pixels below the status line, the
    // bar runs along the bottom of the client area, and the dialog is centred on the screen.
    const PlatRect w = sim::DialogWindowRect();
    const sim::DialogControl status = sim::DialogItem(IDC_STATUS);
    const int statusBottomScreen = w.top + 3 + 23 + status.rect.bottom;
    const int statusTopScreen = w.top + 3 + 23 + status.rect.top;
    EXPECT_EQ(w.bottom - w.top, 2 * statusBottomScreen - statusTopScreen + 5 - w.top);
    const sim::DialogControl bar = sim::DialogItem(IDC_PROGRESS);
    EXPECT_EQ(bar.rect.bottom - bar.rect.top, 5);
    EXPECT_EQ(bar.rect.bottom, w.bottom - w.top - 2 * 3 - 23);
    EXPECT_EQ(bar.rect.left, 0);
    EXPECT_EQ(w.left, (1920 - (w.right - w.left)) / 2);
    EXPECT_EQ(w.top, (1080 - (w.bottom - w.top)) / 2);

    ASSERT_TRUE(app.Close());
    EXPECT_FALSE(fs::exists(work));
    EXPECT_TRUE(fs::is_directory(app.Base()));
    EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
    EXPECT_EQ(sim::Current().OpenDevInfoSetCount(), 0);
}

TEST_F(Startup, BrokenPackagesLeavePackageErrorAndAnEmptyList) {
    struct Case {
        const char* what;
        std::optional<std::vector<uint8_t>> resource;
    };
    std::vector<uint8_t> damaged = GoodPackage();
    for (size_t i = 40; i < damaged.size() / 2; ++i)
        damaged[i] ^= 0x5A;
    const Case cases[] = {
        {"no resource", std::nullopt},
        {"damaged archive", damaged},
        {"not an archive", std::vector<uint8_t>(100, 0x41)},
        {"no configuration file", Zip({{"other.txt", {'x'}}})},
        {"no byte-order mark",
         Zip({{"FwRenewInfo.ini", IniFile({{"TITLE", "T"}, {"SOCID", "*"}, {"bIsSATA", "1"}}, false)}})},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AppHarness local;
        if (c.resource) local.SetPackage(*c.resource);
        local.Start();
        EXPECT_EQ(sim::DialogTitle(), u"Package Error");
        EXPECT_TRUE(sim::DialogItem(IDC_DRIVE_COMBO).lines.empty());
        EXPECT_FALSE(sim::DialogItem(IDC_RUN).enabled);
        EXPECT_EQ(sim::DialogItem(IDC_MODEL).text, u"");
        // RUN can not be pressed; the program closes and removes what it made.
        EXPECT_FALSE(sim::DialogCommand(IDC_RUN));
        const std::string work = local.WorkDir();
        ASSERT_TRUE(local.Close());
        EXPECT_FALSE(fs::exists(work));
    }
}

TEST_F(Startup, AnImageWithABadCrcIsNeverExtractedAndSoNeverSent) {
    DriveInfo probed{};
    ASSERT_EQ(ProbeSataDrive(u"\\\\.\\PhysicalDrive1", &probed), 1);
    ziptest::Entry ini;
    ini.name = "FwRenewInfo.ini";
    ini.data = IniFile({{"TITLE", "FwRenew Test"}, {"SOCID", "*"}, {"bIsSATA", "1"}});
    ziptest::Entry image;
    image.name = ImageNameFor(probed);
    image.data = ImageFor(probed);
    image.overrideCrc = true;
    image.crc = ziptest::Crc(image.data) ^ 1;
    app.SetPackage(ziptest::BuildZip({ini, image}).bytes);
    app.Start();
    EXPECT_EQ(sim::DialogTitle(), u"FwRenew Test");
    const std::string work = app.WorkDir();
    EXPECT_FALSE(fs::exists(work + "/" + image.name));
    // Nothing of it is left under another name either: only the configuration file.
    size_t files = 0;
    for (const auto& e : fs::directory_iterator(work))
        if (e.is_regular_file()) ++files;
    EXPECT_EQ(files, 1u);
    DebugCapture capture;
    sim::Current().ClearTrace();
    ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
    const int box = sim::WaitForMessageBox();
    ASSERT_GE(box, 0);
    EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Do not need to update.");
    sim::AnswerMessageBox(PLAT_IDOK);
    ASSERT_TRUE(sim::WaitIdle());
    char line[64];
    snprintf(line, sizeof line, "No this fw, 0x%04X, %d", probed.iNandType, probed.iLunCount);
    EXPECT_TRUE(Contains(LogLines(capture), line));
    for (const auto& c : sim::Current().ExecutedCommands("ssd"))
        EXPECT_NE(c[14], 0x92) << "DOWNLOAD MICROCODE sent";
    ASSERT_TRUE(app.Close());
}

TEST_F(Startup, ARevisionListOverItsLimitAdmitsOnlyWholeItems) {
    // 25 items, then "SF1000009": cut at 257 units the value would end in ";SF100000", the
    // drive's own revision.
    std::string value = "XF100000";
    for (int i = 1; i < 25; ++i)
        value += ";XF" + std::to_string(1000000 + i);
    value += ";SF1000009";
    ASSERT_EQ(value.substr(0, 257).substr(248), ";SF100000");
    DriveInfo probed{};
    ASSERT_EQ(ProbeSataDrive(u"\\\\.\\PhysicalDrive1", &probed), 1);
    ASSERT_EQ(std::u16string(probed.DiskFwVersion), u"SF100000");
    app.SetPackage(Zip({{"FwRenewInfo.ini",
                         IniFile({{"TITLE", "FwRenew Test"}, {"SOCID", "*"}, {"bIsSATA", "1"},
                                  {"FWVersion", value}})},
                        {ImageNameFor(probed), ImageFor(probed)}}));
    app.Start();
    const std::u16string stored = g_App.szFwVersionList;
    EXPECT_EQ(stored.find(u";SF100000;"), std::u16string::npos);
    EXPECT_EQ(stored.substr(stored.size() - 11), u";XF1000024;");
    DebugCapture capture;
    ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
    const int box = sim::WaitForMessageBox();
    ASSERT_GE(box, 0);
    EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Do not need to update.");
    sim::AnswerMessageBox(PLAT_IDOK);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_TRUE(Contains(LogLines(capture), "Limit FW Versoin : " + Narrow(stored) + " (disk Version : ;SF100000;)"));
    ASSERT_TRUE(app.Close());
}

TEST_F(Startup, RefusesLinksAtTheBaseFolderAndNeverReusesAWorkingFolderName) {
    // A link planted where the base folder goes: nothing is created or extracted through it.
    const std::string elsewhere = app.Root() + "/elsewhere";
    fs::create_directory(elsewhere);
    std::string why;
    if (!PlantFolderLink(elsewhere, app.Base(), &why))
        GTEST_SKIP() << "this system cannot plant a folder link: " << why;
    app.SetPackage(GoodPackage());
    app.Start();
    EXPECT_EQ(sim::DialogTitle(), u"Package Error");
    EXPECT_EQ(app.WorkDir(), "");
    EXPECT_TRUE(sim::DialogItem(IDC_DRIVE_COMBO).lines.empty());
    EXPECT_TRUE(fs::is_empty(elsewhere));
    ASSERT_TRUE(app.Close());
    EXPECT_TRUE(fs::exists(elsewhere));
}

TEST_F(Startup, TakesTheNextFreeNameWhenTheTickNameIsTakenOrALink) {
    fs::create_directory(app.Base());
    // Plant the names of the next ticks: a folder with a file, and a link.
    const uint64_t now = sim::ClockNow();
    const std::string taken = app.Base() + "/" + std::to_string(now);
    fs::create_directory(taken);
    std::ofstream(taken + "/keep.txt") << "mine";
    const std::string target = app.Root() + "/target";
    fs::create_directory(target);
    std::string why;
    // Where no link can be planted, a plain folder still takes the name.
    if (!PlantFolderLink(target, app.Base() + "/" + std::to_string(now + 1), &why))
        fs::create_directory(app.Base() + "/" + std::to_string(now + 1));
    app.SetPackage(GoodPackage());
    app.Start();
    EXPECT_EQ(sim::DialogTitle(), u"FwRenew Test");
    const std::string work = app.WorkDir();
    EXPECT_EQ(work, app.Base() + "/" + std::to_string(now + 2));
    EXPECT_TRUE(fs::is_empty(target));
    ASSERT_TRUE(app.Close());
    EXPECT_TRUE(fs::exists(taken + "/keep.txt"));
    EXPECT_FALSE(fs::exists(work));
}

TEST_F(Startup, AnOverLongTemporaryPathStopsTheStartUp) {
    // The temporary folder fits, but the working folder's path would be cut.
    std::string deep = app.Root();
    while (deep.size() < 240)
        deep += "/dddddddddddddddddddd";
    std::error_code ec;
    fs::create_directories(deep, ec);
    if (ec) GTEST_SKIP() << "this system cannot make a folder path of 240 characters: " << ec.message();
    AppHarness::SetTemp(deep);
    app.SetPackage(GoodPackage());
    app.Start();
    EXPECT_EQ(sim::DialogTitle(), u"Package Error");
    EXPECT_EQ(app.WorkDir(), "");
    EXPECT_TRUE(sim::DialogItem(IDC_DRIVE_COMBO).lines.empty());
    ASSERT_TRUE(app.Close());
    // Nothing was emptied: the base folder, if made, and the temporary folder stay.
    EXPECT_TRUE(fs::is_directory(deep));
}

TEST_F(Startup, SelectingADriveShowsItAndResetsTheBar) {
    sim::Load(sim::TypicalMachine({Sata(1, "a"), Sata(2, "b")}).dump());
    app.SetPackage(GoodPackage());
    app.Start();
    ASSERT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).lines.size(), 2u);
    ASSERT_TRUE(sim::DialogSelectLine(1));
    ASSERT_TRUE(sim::WaitIdle());
    DriveInfo selected;
    SelDriveRead(&selected);
    EXPECT_EQ(std::u16string(selected.DevicePath), u"\\\\.\\PhysicalDrive2");
    EXPECT_EQ(sim::DialogItem(IDC_PROGRESS).position, 0);
    ASSERT_TRUE(app.Close());
}

TEST_F(Startup, ABurstOfDeviceChangesGivesOneRefreshTwoSecondsAfterTheLast) {
    app.SetPackage(GoodPackage());
    app.Start();
    const int before = sim::DialogItem(IDC_DRIVE_COMBO).resets;
    for (int i = 0; i < 5; ++i) {
        sim::NotifyDeviceChange(sim::kDeviceArrival);
        ASSERT_TRUE(sim::WaitIdle());
        sim::ClockAdvance(1500);
        ASSERT_TRUE(sim::WaitIdle());
    }
    EXPECT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).resets, before);
    sim::ClockAdvance(499);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).resets, before);
    sim::ClockAdvance(1);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).resets, before + 1);
    // One-shot: no further refresh.
    sim::ClockAdvance(10000);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).resets, before + 1);
    ASSERT_TRUE(app.Close());
}

TEST_F(Startup, DrivesLeavingAndComingBackReachTheDialogAsNotices) {
    app.SetPackage(GoodPackage());
    app.Start();
    const PlatWindow dialog = sim::DialogWindow();
    EXPECT_EQ(sim::DeviceChangeWindow(), dialog);
    sim::ClearMessages();
    sim::DriveLeaves("ssd", 500);
    ASSERT_TRUE(sim::WaitIdle());
    sim::ClockAdvance(500);
    ASSERT_TRUE(sim::WaitIdle());
    std::vector<uintptr_t> notices;
    for (const auto& m : sim::Messages())
        if (m.window == dialog && m.message == sim::kWmDeviceChange && !m.sent) notices.push_back(m.wParam);
    EXPECT_EQ(notices, (std::vector<uintptr_t>{sim::kDbtDeviceRemoveComplete, sim::kDbtDeviceArrival}));
    const auto changes = sim::DeviceChanges();
    ASSERT_EQ(changes.size(), 2u);
    EXPECT_FALSE(changes[0].arrival);
    EXPECT_TRUE(changes[1].arrival);
    EXPECT_EQ(changes[1].drive, "ssd");
    EXPECT_EQ(changes[1].number, 1);
    // One refresh, 2 s after the arrival, finds the drive again.
    const int before = sim::DialogItem(IDC_DRIVE_COMBO).resets;
    sim::ClockAdvance(2000);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).resets, before + 1);
    EXPECT_EQ(sim::DialogItem(IDC_DRIVE_COMBO).lines.size(), 1u);
    ASSERT_TRUE(app.Close());
    // The ended dialog is no longer told.
    EXPECT_EQ(sim::DeviceChangeWindow(), nullptr);
    sim::ClearMessages();
    sim::DriveLeaves("ssd", 0);
    sim::ClockAdvance(1);
    EXPECT_TRUE(sim::Messages().empty());
    EXPECT_EQ(sim::DeviceChanges().size(), 4u);
}

TEST_F(Startup, RunWithoutASelectedLineDoesNothing) {
    app.SetPackage(GoodPackage());
    app.Start();
    // No line selected (as after a refresh that found the list empty and a new drive).
    PlatListSetSelection(sim::DialogWindow(), IDC_DRIVE_COMBO, -1);
    sim::Current().ClearTrace();
    ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_TRUE(sim::MessageBoxes().empty());
    EXPECT_TRUE(sim::Current().Trace().empty());
    ASSERT_TRUE(app.Close());
}

} // namespace
