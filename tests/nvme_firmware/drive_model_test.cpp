// The simulated NVMe drive taking firmware: how it places pieces, what a commit stages, what
// a controller reset activates, and the firmware requests its drivers refuse.
#include "firmware_fixture.h"

#include "nvme/nvme_transport.h"
#include "nvme/power_ctrl.h"
#include "platform/storage.h"

#include <functional>

#include <algorithm>

namespace {

// Sends one Firmware Image Download entry with the given NUMD and OFST and data through the
// JMicron bridge (whose pass-through carries any entry as it is).
void SendPiece(PlatHandle drive, uint32_t numd, uint32_t ofst, std::vector<uint8_t> data,
               uint32_t nsid = 0) {
    uint8_t entry[64] = {0x11};
    for (int b = 0; b < 4; ++b) {
        entry[4 + b] = static_cast<uint8_t>(nsid >> (8 * b));
        entry[40 + b] = static_cast<uint8_t>(numd >> (8 * b));
        entry[44 + b] = static_cast<uint8_t>(ofst >> (8 * b));
    }
    ASSERT_EQ(IO_USB_JMI_NVMeCmd(drive, kDirToDrive, entry, data.data(),
                                 static_cast<uint32_t>(data.size()), nullptr),
              1);
}

void SendCommit(PlatHandle drive, uint32_t dword10, uint32_t nsid = 0) {
    uint8_t entry[64] = {0x10};
    for (int b = 0; b < 4; ++b) {
        entry[4 + b] = static_cast<uint8_t>(nsid >> (8 * b));
        entry[40 + b] = static_cast<uint8_t>(dword10 >> (8 * b));
    }
    ASSERT_EQ(IO_USB_JMI_NVMeCmd(drive, kDirNone, entry, nullptr, 0, nullptr), 1);
}

using DriveModel = FirmwareTest;

TEST_F(DriveModel, APieceMustBeLongerThanNumdDwordsAndFitInNumdPlusOne) {
    struct Case {
        uint32_t numd, length;
        bool taken;
    };
    const Case cases[] = {{0, 1, true},        {0, 4, true},       {0, 5, false},
                          {1, 4, false},       {1, 5, true},       {1023, 4096, true},
                          {1023, 4092, false}, {1022, 4096, false}};
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.numd) + " / " + std::to_string(c.length));
        Open("jmicron");
        SendPiece(Handle(), c.numd, 0, Pattern(c.length));
        EXPECT_EQ(sim::NvmeFirmware("jmicron").download.size(), c.taken ? c.length : 0u);
    }
    Open("jmicron");
    SendPiece(Handle(), 0, 0, Pattern(4), 1);
    EXPECT_TRUE(sim::NvmeFirmware("jmicron").download.empty()) << "NSID must be 0";
}

TEST_F(DriveModel, OnlyAWholeImageCommittedToSlot1WithAction1RunsAfterAReset) {
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    ASSERT_EQ(image.size() % 4096, 0u);
    const uint32_t pieces = static_cast<uint32_t>(image.size() / 4096);
    auto piece = [&](uint32_t i) {
        return std::vector<uint8_t>(image.begin() + 4096 * i, image.begin() + 4096 * (i + 1));
    };
    struct Case {
        const char* what;
        std::vector<uint32_t> order; // pieces sent, in order
        uint32_t dword10, nsid;
        bool runs;
    };
    std::vector<uint32_t> all(pieces);
    for (uint32_t i = 0; i < pieces; ++i)
        all[i] = i;
    std::vector<uint32_t> lastMissing(all.begin(), all.end() - 1);
    std::vector<uint32_t> restarted = all; // offset 0 again after the second piece
    restarted.insert(restarted.begin() + 2, 0);
    std::vector<uint32_t> firstLate(all.begin() + 1, all.end());
    firstLate.push_back(0);
    const Case cases[] = {
        {"whole", all, 9, 0, true},
        {"last piece missing", lastMissing, 9, 0, false},
        {"offset 0 sent last starts over", firstLate, 9, 0, false},
        {"offset 0 again in the middle", restarted, 9, 0, false},
        {"slot 2", all, 10, 0, false},
        {"action 0", all, 1, 0, false},
        {"action 3", all, 25, 0, false},
        {"NSID 1", all, 9, 1, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Open("jmicron");
        for (uint32_t i : c.order)
            SendPiece(Handle(), 1023, 1024 * i, piece(i));
        SendCommit(Handle(), c.dword10, c.nsid);
        EXPECT_TRUE(sim::NvmeFirmware("jmicron").download.empty()) << "a commit discards it";
        sim::RestartMachine();
        const sim::NvmeFirmwareState state = sim::NvmeFirmware("jmicron");
        EXPECT_EQ(state.running, c.runs ? image : std::vector<uint8_t>());
        EXPECT_EQ(state.activations, c.runs ? 1 : 0) << state.last_activation;
        EXPECT_EQ(state.internal_version, c.runs ? "R1.2.3.4" : "V1.02.03");
    }
}

TEST_F(DriveModel, AResetActivatesAWholeStagedImageAndRefusesABrokenOne) {
    sim::FirmwareImageSpec wanted;
    wanted.internal_version = "R9.8.7.6";
    wanted.ftl_build = 0x5A5A;
    const std::vector<uint8_t> image = sim::MakeFirmwareImage(wanted);
    std::vector<uint8_t> corrupted = image;
    corrupted[4096 + 17] ^= 0x01;
    for (const auto& [sent, activated] : {std::pair{image, true}, std::pair{corrupted, false}}) {
        SCOPED_TRACE(activated ? "whole" : "corrupted");
        Open("jmicron");
        const sim::NvmeFirmwareState before = sim::NvmeFirmware("jmicron");
        ASSERT_EQ(DownloadFW(Context(), Handle(), sent.data(), static_cast<uint32_t>(sent.size())),
                  1);
        ASSERT_EQ(FWCommit(Context(), Handle(), 1, 1), 1);
        ASSERT_EQ(sim::NvmeFirmware("jmicron").staged, sent);
        sim::RestartMachine();
        const sim::NvmeFirmwareState after = sim::NvmeFirmware("jmicron");
        EXPECT_TRUE(after.staged.empty());
        if (activated) {
            EXPECT_EQ(after.running, image);
            EXPECT_EQ(after.internal_version, "R9.8.7.6");
            EXPECT_EQ(after.ftl_build, 0x5A5Au);
            EXPECT_EQ(after.last_activation, "activated");
        } else {
            EXPECT_EQ(after.running, before.running);
            EXPECT_EQ(after.internal_version, before.internal_version);
            EXPECT_EQ(after.ftl_build, before.ftl_build);
            EXPECT_EQ(after.last_activation.rfind("refused", 0), 0u) << after.last_activation;
        }
    }
}

TEST_F(DriveModel, AResetDiscardsAnUnfinishedDownload) {
    Open("jmicron");
    const std::vector<uint8_t> image = sim::MakeFirmwareImage({});
    ASSERT_EQ(DownloadFW(Context(), Handle(), image.data(), 4096), 1);
    sim::RestartMachine();
    ASSERT_TRUE(sim::NvmeFirmware("jmicron").download.empty());
}

TEST_F(DriveModel, AResetKeepsTheRevisionOfADriveWithoutARecordedName) {
    sim::DriveOnPath plain;
    plain.path = "asmedia";
    plain.number = 2;
    plain.name = "plain";
    plain.drive = sim::DefaultNvmeDrive();
    plain.drive.erase("vendor_info");
    plain.drive.erase("geometry");
    plain.drive["firmware"] = "PL100000";
    sim::Load(sim::TypicalMachine({plain}).dump());
    ASSERT_EQ(sim::NvmeFirmware("plain").revision, "PL100000");
    sim::RestartMachine();
    EXPECT_EQ(sim::NvmeFirmware("plain").revision, "PL100000");
}

// Firmware requests with one field off from what the program sends are refused before
// anything reaches the drive.
TEST_F(DriveModel, TheDriversRefuseFirmwareRequestsWithAWrongField) {
    auto put = [](std::vector<uint8_t>& r, size_t at, uint32_t v) {
        for (int b = 0; b < 4; ++b)
            r[at + b] = static_cast<uint8_t>(v >> (8 * b));
    };
    auto inboxDownload = [&]() {
        std::vector<uint8_t> r(4136, 0x5A);
        std::fill(r.begin(), r.begin() + 32, 0);
        put(r, 0, 40);
        put(r, 4, 4136);
        put(r, 8, 1);
        r[12] = 1;
        put(r, 24, 4096);
        return r;
    };
    auto rstDownload = [&]() {
        std::vector<uint8_t> r(4184, 0x5A);
        std::fill(r.begin(), r.begin() + 88, 0);
        put(r, 0, 28);
        std::memcpy(&r[4], "IntelFw ", 8);
        put(r, 12, 200);
        put(r, 16, 0xF0000040u);
        put(r, 24, 4156);
        r[28] = 1;
        const uint32_t words[] = {1, 24, 2, 1, 56, 4128, 2, 32};
        for (int w = 0; w < 8; ++w)
            put(r, 32 + 4 * w, words[w]);
        put(r, 72, 4096);
        r[80] = 0xFF;
        return r;
    };
    struct Case {
        const char* what;
        bool rst;
        std::function<void(std::vector<uint8_t>&)> change;
    };
    const Case cases[] = {
        {"as sent", false, [](auto&) {}},
        {"Version 36", false, [&](auto& r) { put(r, 0, 36); }},
        {"Size below 32 + BufferSize", false, [&](auto& r) { put(r, 4, 4127); }},
        {"Size beyond the input", false, [&](auto& r) { put(r, 4, 4140); }},
        {"Flags 0", false, [&](auto& r) { put(r, 8, 0); }},
        {"Slot 0", false, [](auto& r) { r[12] = 0; }},
        {"Offset not a multiple of 4", false, [&](auto& r) { put(r, 16, 2); }},
        {"as sent", true, [](auto&) {}},
        {"Timeout 0", true, [&](auto& r) { put(r, 12, 0); }},
        {"ReturnCode 1", true, [&](auto& r) { put(r, 20, 1); }},
        {"byte 28", true, [](auto& r) { r[28] = 0; }},
        {"block Flags 0", true, [&](auto& r) { put(r, 44, 0); }},
        {"data offset 60", true, [&](auto& r) { put(r, 48, 60); }},
        {"data length", true, [&](auto& r) { put(r, 52, 4124); }},
        {"download Version 1", true, [&](auto& r) { put(r, 56, 1); }},
        {"Slot 1", true, [](auto& r) { r[80] = 1; }},
        {"ImageSize", true, [&](auto& r) { put(r, 84, 4096); }},
        {"function 4", true, [&](auto& r) { put(r, 40, 4); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.rst ? "RST: " : "in-box: ") + c.what);
        Open(c.rst ? "rst" : "nvme");
        std::vector<uint8_t> r = c.rst ? rstDownload() : inboxDownload();
        c.change(r);
        PlatHandle target = c.rst ? Context()->hScsiPort : Handle();
        uint32_t returned = 0;
        const int32_t ok =
            PlatDeviceIoControl(target, c.rst ? kIoctlScsiMiniport : kIoctlStorageFirmwareDownload,
                                r.data(), static_cast<uint32_t>(r.size()), nullptr, 0, &returned);
        const bool good = std::string(c.what) == "as sent";
        EXPECT_EQ(ok, good ? 1 : 0);
        EXPECT_EQ(Executed(0x11).size(), good ? 1u : 0u);
        if (!good && std::string(c.what) != "function 4") {
            EXPECT_EQ(PlatGetLastError(), kErrorInvalidParameter);
        }
    }
}

} // namespace
