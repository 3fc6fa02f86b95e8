// The lab session library as the terminal view uses it: step-by-step input and boxes, machine
// actions (unplug, plug back, restart) and what the dialog shows after them, and the detailed
// log switch. The dialog runs on its own thread while the test drives it.
#include "lab.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <string>

namespace {

lab::SessionConfig Config(const std::string& machine, const std::string& package = "nvme") {
    lab::SessionConfig c;
    c.machine_file = std::string(FW_SOURCE_DIR) + "/examples/machines/" + machine;
    c.package = lab::LoadPackage(package);
    c.watchdog_ms = 20000;
    return c;
}

const lab::DriveFirmware& Drive(const lab::State& s, const std::string& name) {
    for (const auto& d : s.drives)
        if (d.name == name) return d;
    throw std::runtime_error("no drive " + name);
}

TEST(LabSession, StepByStepBoxesAndAnswers) {
    lab::Session session;
    session.Start(Config("inbox-nvme.json"));
    lab::State s = session.Snapshot();
    ASSERT_EQ(s.lines.size(), 1u);
    EXPECT_EQ(s.selected, 0);
    EXPECT_EQ(s.firmware, "FW100000");
    EXPECT_TRUE(s.run_enabled);
    EXPECT_EQ(s.open_box, -1);

    ASSERT_TRUE(session.PressRun());
    ASSERT_TRUE(session.WaitForBoxOrQuiet());
    s = session.Snapshot();
    ASSERT_EQ(s.open_box, 0);
    EXPECT_EQ(s.boxes[0].caption, "FwRenew NVMe example package");
    EXPECT_EQ(s.boxes[0].type & 0xF, lab::kBoxYesNo);
    EXPECT_EQ(lab::Session::ButtonFor(s.boxes[0].type, false), lab::kAnswerNo);
    // A modal box takes the input; the dialog behind it does not.
    EXPECT_FALSE(session.PressRun());
    EXPECT_FALSE(session.Select(0));

    ASSERT_TRUE(session.Answer(lab::kAnswerNo));
    EXPECT_FALSE(session.Answer(lab::kAnswerNo)); // nothing open any more
    ASSERT_TRUE(session.WaitForBoxOrQuiet());
    s = session.Snapshot();
    EXPECT_EQ(s.open_box, -1);
    EXPECT_EQ(s.boxes[0].answer, lab::kAnswerNo);
    EXPECT_FALSE(s.result.has_value());
    EXPECT_FALSE(s.updating);
    EXPECT_EQ(Drive(s, "nvme").activations, 0);
    session.Stop();
    EXPECT_FALSE(session.Started());
}

TEST(LabSession, RestartActivatesWhatTheInboxDriveCommitted) {
    lab::Session session;
    session.Start(Config("inbox-nvme.json"));
    ASSERT_TRUE(session.RunAndAnswer(true));
    session.Settle();
    lab::State s = session.Snapshot();
    ASSERT_EQ(s.result, 1);
    EXPECT_EQ(s.progress, 100);
    // Committed, waiting for the next controller reset: the drive still runs its old image
    // (the configuration record it was given already names the new revision).
    EXPECT_TRUE(Drive(s, "nvme").staged);
    EXPECT_EQ(Drive(s, "nvme").activations, 0);
    EXPECT_EQ(Drive(s, "nvme").internal_version, "V1.02.03");

    session.Restart();
    s = session.Snapshot();
    EXPECT_TRUE(s.dialog_running);
    EXPECT_EQ(s.restarts, 1);
    EXPECT_FALSE(Drive(s, "nvme").staged);
    EXPECT_EQ(Drive(s, "nvme").activations, 1);
    EXPECT_EQ(Drive(s, "nvme").revision, "FW100002");
    EXPECT_EQ(Drive(s, "nvme").internal_version, "2.10.A.1");
    EXPECT_EQ(s.firmware, "FW100002");
    EXPECT_EQ(s.progress, 0); // a new start of the program
}

TEST(LabSession, UnpluggedDrivesLeaveTheListAndComeBack) {
    lab::Session session;
    session.Start(Config("desktop.json"));
    lab::State s = session.Snapshot();
    const size_t listed = s.lines.size();
    ASSERT_GE(listed, 2u);
    const auto names = session.DriveNames();
    ASSERT_NE(std::find(names.begin(), names.end(), "usb-asmedia"), names.end());

    session.Unplug("usb-asmedia");
    session.Unplug("usb-asmedia"); // away already: nothing happens
    session.Settle();
    s = session.Snapshot();
    EXPECT_FALSE(Drive(s, "usb-asmedia").present);
    EXPECT_EQ(s.lines.size(), listed - 1);

    session.Plug("usb-asmedia");
    session.Settle();
    s = session.Snapshot();
    EXPECT_TRUE(Drive(s, "usb-asmedia").present);
    EXPECT_EQ(s.lines.size(), listed);
    session.Plug("usb-asmedia"); // present already: nothing happens

    EXPECT_THROW(session.Unplug("no-such-drive"), lab::Error);
    EXPECT_THROW(session.Plug("no-such-drive"), lab::Error);
}

TEST(LabSession, DetailedLogOnlyWhenSwitchedOn) {
    for (bool detail : {false, true}) {
        SCOPED_TRACE(detail);
        lab::Session session;
        auto config = Config("inbox-nvme.json");
        config.log_detail = detail;
        int seen = 0;
        config.on_log = [&seen](const std::string&) { ++seen; };
        session.Start(config);
        session.Stop();
        const auto log = session.Log();
        ASSERT_FALSE(log.empty());
        EXPECT_EQ(seen, static_cast<int>(log.size()));
        const bool anyDetail = std::any_of(log.begin(), log.end(), [](const std::string& l) {
            return l.rfind("[TX]          [middle] ", 0) == 0;
        });
        EXPECT_EQ(anyDetail, detail);
    }
}

TEST(LabSession, UnreadableMachineIsAnError) {
    lab::Session session;
    lab::SessionConfig c;
    c.machine_text = "{\"nodes\": [";
    c.package = lab::LoadPackage("nvme");
    EXPECT_THROW(session.Start(c), lab::Error);
    EXPECT_FALSE(session.Started());
}

} // namespace
