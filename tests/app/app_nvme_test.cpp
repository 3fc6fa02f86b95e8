// NVMe updates from RUN to the completion message on each of the four paths: the bridges
// activate at their power cycle and the list shows the new revision after the worker's final
// refresh; in-box and RST drives activate at the next reset, shown after a restart of the
// simulated machine and a new start-up.
#include "app_support.h"

#include "sim/nvme_firmware.h"

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

} // namespace
