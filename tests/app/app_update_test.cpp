// Updates from RUN to the completion message on simulated machines, with the headless dialog
// host: each SATA path end to end, the refusals, the confirmation, the name rule, the power
// offer, a failure at each step, the close rules while updating, and a drive replaced while
// the confirmation is open.
#include "app_support.h"

#include "disk/enumerate.h"
#include "platform/clock.h"
#include "sim/hotplug.h"

#include <condition_variable>
#include <memory>
#include <mutex>

using namespace apptest;
namespace fs = std::filesystem;

namespace {

constexpr uint8_t kDownloadMicrocode = 0x92;

sim::DriveOnPath OnPath(const std::string& path, int number, const std::string& name) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = number;
    d.name = name;
    // A version text with one character before its first dot, as images carry it.
    d.drive = sim::DefaultSataDrive();
    d.drive["vendor_info"]["version"] = "1.2.A.3B";
    d.drive["serial"] = "SER-" + name;
    return d;
}

int CommandsSent(const std::string& drive, uint8_t ataCommand) {
    int n = 0;
    for (const auto& r : sim::Current().TraceFor(drive))
        if (r.ata.size() == 16 && r.ata[14] == ataCommand) ++n;
    return n;
}

class SataUpdate : public ::testing::Test {
  protected:
    DriveInfo probed{};
    std::vector<std::pair<std::string, std::string>> keys = {
        {"TITLE", "FwRenew Test"}, {"SOCID", "*"},          {"bIsSATA", "1"},
        {"NEWVERSION", "SF200000"}, {"BeforeMessage", "Sure?"},
        {"AfterMessage", "Update FW OK !<BR>Done"}};
    AppHarness app;

    void LoadMachine(const std::vector<sim::DriveOnPath>& drives) {
        sim::Load(sim::TypicalMachine(drives).dump());
        ASSERT_EQ(ProbeSataDrive(u"\\\\.\\PhysicalDrive1", &probed), 1);
    }
    void StartWithPackage(std::vector<std::pair<std::string, std::vector<uint8_t>>> extra = {}) {
        std::vector<std::pair<std::string, std::vector<uint8_t>>> items = {
            {"FwRenewInfo.ini", IniFile(keys)}, {ImageNameFor(probed), ImageFor(probed)}};
        items.insert(items.end(), extra.begin(), extra.end());
        app.SetPackage(Zip(items));
        app.Start();
        sim::ClearMessages();
        sim::ClearMessageBoxes();
    }
    // Presses RUN and answers the confirmation; returns the index of the next box.
    int RunAndConfirm(int answer = PLAT_IDYES) {
        EXPECT_TRUE(sim::DialogCommand(IDC_RUN));
        int box = sim::WaitForMessageBox();
        EXPECT_GE(box, 0);
        if (box < 0) return -1;
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Sure?");
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].type, PLAT_MB_YESNO | PLAT_MB_ICONWARNING);
        sim::AnswerMessageBox(answer);
        if (answer != PLAT_IDYES) return -1;
        return sim::WaitForMessageBox();
    }
    void ExpectNothingLeft() {
        EXPECT_TRUE(sim::WaitFor([] { return IsWorkerRunning() == 0; }));
        EXPECT_EQ(sim::Current().OpenHandleCount(), 0);
        EXPECT_EQ(sim::Current().OpenDevInfoSetCount(), 0);
        EXPECT_EQ(sim::Current().PageAllocCount(), 0);
        EXPECT_FALSE(sim::DialogWatchdogFired());
    }
};

TEST_F(SataUpdate, EachPathUpdatesEndToEndAndShowsTheNewRevision) {
    for (const char* path : {"sata", "sata-usb", "sata-scsi"}) {
        SCOPED_TRACE(path);
        AppHarness local;
        LoadMachine({OnPath(path, 1, "ssd")});
        local.SetPackage(Zip({{"FwRenewInfo.ini", IniFile(keys)}, {ImageNameFor(probed), ImageFor(probed)}}));
        local.Start();
        sim::ClearMessages();
        sim::ClearMessageBoxes();
        EXPECT_EQ(sim::DialogItem(IDC_FIRMWARE).text, u"SF100000");
        const int box = RunAndConfirm();
        ASSERT_GE(box, 0);
        const auto done = sim::MessageBoxes()[static_cast<size_t>(box)];
        EXPECT_EQ(done.text, u"Update FW OK !\r\nDone");
        EXPECT_EQ(done.caption, u"FwRenew Test");
        EXPECT_EQ(done.type, PLAT_MB_OK);
        EXPECT_FALSE(sim::DialogItem(IDC_RUN).enabled); // until the box is answered
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
        EXPECT_EQ(sim::DialogItem(IDC_FIRMWARE).text, u"SF200000");
        EXPECT_EQ(sim::DialogItem(IDC_PROGRESS).position, 100);
        EXPECT_TRUE(sim::DialogItem(IDC_RUN).enabled);
        EXPECT_TRUE(sim::DialogItem(IDC_DRIVE_COMBO).enabled);
        EXPECT_GT(CommandsSent("ssd", kDownloadMicrocode), 0);
        ExpectNothingLeft();

        // The progress bar passed through the bands of the SATA worker in order.
        std::vector<int> seen;
        int16_t low = 0;
        for (const auto& m : sim::Messages())
            if (m.message == WM_UPDATE_PROGRESS && m.sent && m.lParam == 0) seen.push_back(0);
        (void)low;
        EXPECT_GE(seen.size(), 4u);
        ASSERT_TRUE(local.Close());
    }
}

TEST_F(SataUpdate, RefusalsLogTheirReasonAndSendNothing) {
    struct Case {
        const char* what;
        std::vector<std::pair<std::string, std::string>> extra;
        bool noImage;
        bool badVersion;
        bool badBuild;
        std::string log;
    };
    LoadMachine({OnPath("sata", 1, "ssd")});
    const std::string version = Narrow(probed.DrvInfoVersion);
    const std::string fw = Narrow(probed.DiskFwVersion);
    char build[64];
    snprintf(build, sizeof build, "Limit iFtlBuildNum : 0x%08X, 0x%08X", probed.iFtlBuildNum, 0x5555u);
    char nofw[64];
    snprintf(nofw, sizeof nofw, "No this fw, 0x%04X, %d", probed.iNandType, probed.iLunCount);
    const Case cases[] = {
        {"revision not listed", {{"FWVersion", "XX1;XX2"}}, false, false, false,
         "Limit FW Versoin : ;XX1;XX2; (disk Version : ;" + fw + ";)"},
        {"no image", {}, true, false, false, nofw},
        {"internal version", {}, false, true, false, "Limit Drv FW Version : " + version},
        {"build number", {}, false, false, true, build},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AppHarness local;
        sim::Load(sim::TypicalMachine({OnPath("sata", 1, "ssd")}).dump());
        auto k = keys;
        k.insert(k.end(), c.extra.begin(), c.extra.end());
        sim::FirmwareImageSpec spec;
        spec.internal_version = c.badVersion ? "Z9.9.9.9" : version;
        spec.ftl_build = c.badBuild ? 0x5555 : probed.iFtlBuildNum;
        std::vector<std::pair<std::string, std::vector<uint8_t>>> items = {{"FwRenewInfo.ini", IniFile(k)}};
        if (!c.noImage) items.push_back({ImageNameFor(probed), sim::MakeFirmwareImage(spec)});
        local.SetPackage(Zip(items));
        local.Start();
        sim::ClearMessageBoxes();
        sim::Current().ClearTrace();
        DebugCapture capture;
        ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
        const int box = sim::WaitForMessageBox();
        ASSERT_GE(box, 0);
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Do not need to update.");
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_TRUE(Contains(LogLines(capture), c.log)) << c.log;
        EXPECT_EQ(CommandsSent("ssd", kDownloadMicrocode), 0);
        EXPECT_TRUE(sim::DialogItem(IDC_RUN).enabled);
        EXPECT_EQ(sim::MessageBoxes().size(), 1u);
        ASSERT_TRUE(local.Close());
    }
}

TEST_F(SataUpdate, AnsweringNoChangesNothing) {
    LoadMachine({OnPath("sata", 1, "ssd")});
    StartWithPackage();
    sim::Current().ClearTrace();
    RunAndConfirm(PLAT_IDNO);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_EQ(sim::MessageBoxes().size(), 1u);
    EXPECT_TRUE(sim::DialogItem(IDC_RUN).enabled);
    EXPECT_TRUE(UpdateResults().empty());
    EXPECT_EQ(CommandsSent("ssd", kDownloadMicrocode), 0);
    ASSERT_TRUE(app.Close());
}

TEST_F(SataUpdate, TheNameIsKeptOnlyForKeepInAnyCase) {
    struct Case {
        const char* name;
        bool written;
    } cases[] = {{"KEEP", false}, {"keep", false}, {"", true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        AppHarness local;
        LoadMachine({OnPath("sata", 1, "ssd")});
        auto k = keys;
        k[3].second = c.name;
        local.SetPackage(Zip({{"FwRenewInfo.ini", IniFile(k)}, {ImageNameFor(probed), ImageFor(probed)}}));
        local.Start();
        sim::ClearMessages();
        sim::ClearMessageBoxes();
        const int box = RunAndConfirm();
        ASSERT_GE(box, 0);
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
        EXPECT_EQ(CommandsSent("ssd", 0xC2) > 0, c.written);
        ASSERT_TRUE(local.Close());
    }
}

TEST_F(SataUpdate, PowerCtrlDecidesTheClosingOffer) {
    struct Case {
        const char* value;
        bool box;
        uint32_t type;
        int answer;
        std::vector<uint32_t> shutdowns;
    } cases[] = {
        {"0", true, PLAT_MB_OK, PLAT_IDOK, {}},
        {"1", true, PLAT_MB_OKCANCEL | PLAT_MB_ICONINFORMATION, PLAT_IDOK, {8}},
        {"1", true, PLAT_MB_OKCANCEL | PLAT_MB_ICONINFORMATION, PLAT_IDCANCEL, {}},
        {"2", true, PLAT_MB_OKCANCEL | PLAT_MB_ICONINFORMATION, PLAT_IDOK, {2}},
        {"3", false, 0, 0, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.value) + " answer " + std::to_string(c.answer));
        AppHarness local;
        LoadMachine({OnPath("sata", 1, "ssd")});
        auto k = keys;
        k.push_back({"PowerCtrl", c.value});
        local.SetPackage(Zip({{"FwRenewInfo.ini", IniFile(k)}, {ImageNameFor(probed), ImageFor(probed)}}));
        local.Start();
        sim::ClearMessages();
        sim::ClearMessageBoxes();
        if (c.box) {
            const int box = RunAndConfirm();
            ASSERT_GE(box, 0);
            EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].type, c.type);
            sim::AnswerMessageBox(c.answer);
        } else {
            ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
            ASSERT_GE(sim::WaitForMessageBox(), 0);
            sim::AnswerMessageBox(PLAT_IDYES);
            ASSERT_TRUE(sim::WaitFor([] { return !UpdateResults().empty(); }));
        }
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
        EXPECT_EQ(sim::ShutdownRequests(), c.shutdowns);
        EXPECT_EQ(sim::MessageBoxes().size(), c.box ? 2u : 1u);
        // RUN and close work right after a completion that showed no message.
        EXPECT_TRUE(sim::DialogItem(IDC_RUN).enabled);
        ASSERT_TRUE(local.Close());
    }
}

TEST_F(SataUpdate, AFailureAtEachStepReportsOnceAndLeavesNothingOpen) {
    struct Case {
        const char* what;
        std::optional<uint8_t> ataCommand; // refused every time from the worker's start
        bool removeImage;
        bool emptyImage;
        bool downloadSent;
    } cases[] = {
        {"identify", 0xEC, false, false, false},
        {"image missing", std::nullopt, true, false, false},
        {"image empty", std::nullopt, false, true, false},
        {"download", kDownloadMicrocode, false, false, true},
        {"record read", 0xC3, false, false, true},
        {"record write", 0xC2, false, false, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        AppHarness local;
        LoadMachine({OnPath("sata", 1, "ssd")});
        local.SetPackage(Zip({{"FwRenewInfo.ini", IniFile(keys)}, {ImageNameFor(probed), ImageFor(probed)}}));
        local.Start();
        sim::ClearMessages();
        sim::ClearMessageBoxes();
        ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
        ASSERT_GE(sim::WaitForMessageBox(), 0);
        // The checks are done; the fault hits the worker only.
        sim::Current().ClearTrace();
        if (c.ataCommand) {
            sim::Fault f;
            f.ata_command = *c.ataCommand;
            f.count = 0;
            sim::Current().AddFault(f);
        }
        const std::string image = local.WorkDir() + "/" + ImageNameFor(probed);
        if (c.removeImage) fs::remove(image);
        if (c.emptyImage) fs::resize_file(image, 0);
        sim::AnswerMessageBox(PLAT_IDYES);
        const int box = sim::WaitForMessageBox();
        ASSERT_GE(box, 0);
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Update FW Fail !");
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        const auto results = UpdateResults();
        ASSERT_EQ(results.size(), 1u);
        EXPECT_NE(results[0], 1);
        EXPECT_EQ(CommandsSent("ssd", kDownloadMicrocode) > 0, c.downloadSent);
        EXPECT_TRUE(sim::DialogItem(IDC_RUN).enabled);
        ExpectNothingLeft();
        sim::Current().ClearFaults();
        ASSERT_TRUE(local.Close());
    }
}

TEST_F(SataUpdate, AnotherDiskTakingTheNumberDuringTheConfirmationGetsNothing) {
    LoadMachine({OnPath("sata", 1, "a"), OnPath("sata", 2, "b")});
    StartWithPackage();
    ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
    ASSERT_GE(sim::WaitForMessageBox(), 0);
    // While the box is open, drive a goes away and drive b comes back as PhysicalDrive1.
    sim::DriveLeaves("a", 1000000);
    sim::DriveLeaves("b", 0, sim::DriveReturn{1, "", std::nullopt});
    sim::ClockAdvance(1);
    ASSERT_EQ(sim::Current().DriveNumber("b"), 1);
    sim::Current().ClearTrace();
    sim::AnswerMessageBox(PLAT_IDYES);
    const int box = sim::WaitForMessageBox();
    ASSERT_GE(box, 0);
    EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Update FW Fail !");
    sim::AnswerMessageBox(PLAT_IDOK);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{-1});
    EXPECT_EQ(CommandsSent("b", kDownloadMicrocode), 0);
    EXPECT_EQ(CommandsSent("b", 0xC2), 0);
    ExpectNothingLeft();
    sim::CancelDriveReturns();
    ASSERT_TRUE(app.Close());
}

// Holds the worker at its first wait, so that a test can act while an update runs. The state
// is shared with the clock listener, which may still run once after the gate is gone.
class WorkerGate {
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        bool held = false, released = false;
        std::thread::id testThread = std::this_thread::get_id();
    };

  public:
    WorkerGate() {
        id_ = sim::ClockSubscribe([s = state_](uint64_t) {
            std::unique_lock<std::mutex> guard(s->lock);
            if (s->released || std::this_thread::get_id() == s->testThread) return;
            s->held = true;
            s->changed.notify_all();
            // Short slices: a wake-up lost by the thread library (seen with the cross build
            // under wine) then costs milliseconds, not the whole bound.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (!s->released && std::chrono::steady_clock::now() < deadline)
                s->changed.wait_for(guard, std::chrono::milliseconds(5));
        });
    }
    ~WorkerGate() {
        Release();
        sim::ClockUnsubscribe(id_);
    }
    bool WaitHeld() {
        std::unique_lock<std::mutex> guard(state_->lock);
        return state_->changed.wait_for(guard, std::chrono::seconds(20), [&] { return state_->held; });
    }
    void Release() {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->released = true;
        state_->changed.notify_all();
    }

  private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
    int id_ = 0;
};

TEST_F(SataUpdate, CloseIsRefusedWhileUpdatingAndAllowedAfterwards) {
    LoadMachine({OnPath("sata", 1, "ssd")});
    StartWithPackage();
    ASSERT_TRUE(sim::DialogCommand(IDC_RUN));
    ASSERT_GE(sim::WaitForMessageBox(), 0);
    int box = -1;
    {
        WorkerGate gate; // armed after the checks: the dialog's own sleeps are done
        sim::AnswerMessageBox(PLAT_IDYES);
        ASSERT_TRUE(gate.WaitHeld());
        EXPECT_TRUE(IsWorkerRunning());
        EXPECT_FALSE(sim::DialogItem(IDC_RUN).enabled);
        EXPECT_FALSE(sim::DialogItem(IDC_DRIVE_COMBO).enabled);
        ASSERT_TRUE(sim::DialogCommand(PLAT_IDCANCEL));
        box = sim::WaitForMessageBox();
        ASSERT_GE(box, 0);
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Update FW Now!\nCan't Exit Program.");
        EXPECT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].caption, u"FwRenew Test");
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        EXPECT_TRUE(sim::DialogRunning());
    }
    box = sim::WaitForMessageBox();
    ASSERT_GE(box, 0);
    sim::AnswerMessageBox(PLAT_IDOK);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
    const std::string work = app.WorkDir();
    ASSERT_TRUE(app.Close());
    EXPECT_FALSE(fs::exists(work));
}

TEST_F(SataUpdate, AWorkerWhoseOpenFailsTwoHundredTimesLeavesTheDialogUsable) {
    LoadMachine({OnPath("sata", 1, "ssd")});
    StartWithPackage();
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(sim::DialogCommand(IDC_RUN)) << i;
        ASSERT_GE(sim::WaitForMessageBox(), 0) << i;
        // The drive is gone when the worker opens it, and back at the next clock move.
        sim::DriveLeaves("ssd", 0);
        sim::AnswerMessageBox(PLAT_IDYES);
        const int box = sim::WaitForMessageBox();
        ASSERT_GE(box, 0) << i;
        ASSERT_EQ(sim::MessageBoxes()[static_cast<size_t>(box)].text, u"Update FW Fail !") << i;
        sim::AnswerMessageBox(PLAT_IDOK);
        ASSERT_TRUE(sim::WaitIdle());
        sim::ClockAdvance(1);
        ASSERT_TRUE(sim::WaitIdle());
    }
    const auto results = UpdateResults();
    EXPECT_EQ(results.size(), 200u);
    EXPECT_EQ(std::count(results.begin(), results.end(), -1), 200);
    ExpectNothingLeft();
    // RUN still works: a whole update.
    sim::ClockAdvance(3000);
    ASSERT_TRUE(sim::WaitIdle());
    sim::ClearMessages();
    const int box = RunAndConfirm();
    ASSERT_GE(box, 0);
    sim::AnswerMessageBox(PLAT_IDOK);
    ASSERT_TRUE(sim::WaitIdle());
    EXPECT_EQ(UpdateResults(), std::vector<intptr_t>{1});
    ASSERT_TRUE(app.Close());
}

} // namespace
