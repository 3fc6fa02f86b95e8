// A drive of the supported family on one NVMe path, opened the way the update worker opens it,
// with the diagnostic log's detail lines and the progress posts captured.
#pragma once
#include "transport/fixture.h"

#include "base/log.h"
#include "nvme/nvme_firmware.h"
#include "sim/firmware_image.h"
#include "sim/nvme_firmware.h"
#include "support/debug_capture.h"

#include <memory>
#include <string>
#include <vector>

// The four NVMe paths by the name the typical machine gives them.
inline const char* const kNvmePaths[] = {"asmedia", "jmicron", "nvme", "rst"};

inline sim::DriveOnPath NvmeDriveOn(const std::string& path, int number = 1) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = number;
    d.name = path;
    if (path == "rst") d.service = "iaStorAC";
    return d;
}

class FirmwareTest : public testing::Test {
  protected:
    void SetUp() override {
        LogBindDetailSwitch(&detail_);
        NvmeBindProgressWindow(&window_);
        sim::ClearMessages();
    }
    void TearDown() override {
        NvmeBindProgressWindow(nullptr);
        LogBindDetailSwitch(nullptr);
        drive_.reset();
        EXPECT_EQ(sim::Current().PageAllocCount(), 0) << "request buffers released";
    }
    // Loads a machine with the drive on path (drive description: the family's default unless
    // given) and opens it.
    void Open(const std::string& path, sim::Json description = nullptr) {
        sim::DriveOnPath d = NvmeDriveOn(path);
        d.drive = std::move(description);
        drive_.reset(); // closes the handles of the machine they came from
        LoadDrives({d});
        drive_ = std::make_unique<OpenedDrive>(1);
        name_ = path;
        sim::Current().ClearTrace();
        capture_.Clear();
    }
    const TransportContext* Context() const { return &drive_->context; }
    PlatHandle Handle() const { return drive_->handle; }
    const std::string& Name() const { return name_; }

    std::vector<std::u16string> LogLines() const {
        std::vector<std::u16string> out;
        const std::u16string prefix = kLogDetailPrefix;
        for (const auto& l : capture_.Lines())
            out.push_back(l.compare(0, prefix.size(), prefix) == 0 ? l.substr(prefix.size()) : l);
        return out;
    }
    // The percentages posted to the main window.
    std::vector<intptr_t> Posts() const {
        std::vector<intptr_t> out;
        for (const auto& m : sim::Messages())
            if (m.window == window_ && m.message == kNvmeProgressMessage && !m.sent) {
                EXPECT_EQ(m.wParam, 0u);
                out.push_back(m.lParam);
            }
        return out;
    }
    // The NVMe commands of one opcode the drive executed.
    std::vector<std::vector<uint8_t>> Executed(uint8_t opcode) const {
        std::vector<std::vector<uint8_t>> out;
        for (auto& e : sim::Current().ExecutedCommands(name_))
            if (e[0] == opcode) out.push_back(e);
        return out;
    }

    DebugCapture capture_;
    int32_t detail_ = 1;
    PlatWindow volatile window_ = reinterpret_cast<PlatWindow>(0x1234);
    std::unique_ptr<OpenedDrive> drive_;
    std::string name_;
};

inline std::vector<uint8_t> Pattern(size_t size, uint8_t seed = 1) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<uint8_t>(seed + i * 13 + (i >> 8));
    return bytes;
}
