// Helpers for the application suites: a package made in memory (configuration file and
// images), a temporary folder of the test's own, and the application running its dialog on a
// thread of its own against the headless host.
#pragma once
#include "app/app.h"
#include "base/text.h"
#include "disk/enumerate.h"
#include "disk/nand.h"
#include "package/zip_support.h"
#include "sim/dialog.h"
#include "sim/firmware_image.h"
#include "sim/sim.h"
#include "sim/typical.h"
#include "support/debug_capture.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <map>
#include <string>
#include <thread>
#include <vector>

namespace apptest {

inline std::string Narrow(const std::u16string& text) {
    std::string out;
    for (char16_t c : text)
        out.push_back(c < 0x80 ? static_cast<char>(c) : '?');
    return out;
}

inline std::u16string Wide(const std::string& text) {
    return std::u16string(text.begin(), text.end());
}

// A configuration file in UTF-16LE with a byte-order mark (bom false: without one).
inline std::vector<uint8_t> IniFile(const std::vector<std::pair<std::string, std::string>>& keys,
                                    bool bom = true) {
    std::string text = "[UPDATEINFO]\r\n";
    for (const auto& [k, v] : keys)
        text += k + "=" + v + "\r\n";
    std::vector<uint8_t> out;
    if (bom) out = {0xFF, 0xFE};
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

inline std::vector<uint8_t> Zip(const std::vector<std::pair<std::string, std::vector<uint8_t>>>& items) {
    std::vector<ziptest::Entry> entries;
    for (const auto& [name, data] : items) {
        ziptest::Entry e;
        e.name = name;
        e.data = data;
        entries.push_back(e);
    }
    return ziptest::BuildZip(entries).bytes;
}

// The image file name the program looks for first, from what discovery reads of the drive.
inline std::string ImageNameFor(const DriveInfo& record) {
    char16_t name[64];
    NandTypeName(record.iNandType, name);
    return Narrow(name) + "_" + std::to_string(record.iLunCount) + ".fw";
}

// An image that the drive of record accepts and that passes the program's checks.
inline std::vector<uint8_t> ImageFor(const DriveInfo& record, size_t size = 24576) {
    sim::FirmwareImageSpec spec;
    spec.size = size;
    spec.internal_version = Narrow(record.DrvInfoVersion);
    spec.ftl_build = record.iFtlBuildNum;
    return sim::MakeFirmwareImage(spec);
}

// The application on a simulated machine: a temporary folder of its own (TMPDIR), the package
// as the program's resource, the dialog on its own thread. The destructor ends whatever still
// runs, within bounded time.
class AppHarness {
  public:
    AppHarness() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fwrenew-app-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp");
        root_ = buf.data();
        savedTmp_ = std::getenv("TMPDIR") ? std::getenv("TMPDIR") : "";
        hadTmp_ = std::getenv("TMPDIR") != nullptr;
        setenv("TMPDIR", root_.c_str(), 1);
        sim::ClearMessageBoxes();
        sim::ClearShutdownRequests();
        sim::ClearMessages();
        sim::ClearResources();
        sim::SetDialogWatchdog(20000);
    }
    ~AppHarness() {
        if (ui_.joinable()) {
            sim::DialogAbort(20000);
            ui_.join();
        }
        sim::ClearResources();
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        if (hadTmp_)
            setenv("TMPDIR", savedTmp_.c_str(), 1);
        else
            unsetenv("TMPDIR");
    }
    AppHarness(const AppHarness&) = delete;
    AppHarness& operator=(const AppHarness&) = delete;

    const std::string& Root() const { return root_; }
    std::string Base() const { return root_ + "/FwRenew"; }

    void SetPackage(const std::vector<uint8_t>& zip) { sim::SetResource(u"FWPACKAGEZIP", 1000, zip); }

    // Starts the application and waits until its dialog is up and idle.
    void Start() {
        ui_ = std::thread([] { RunApplication(); });
        ASSERT_TRUE(sim::WaitFor([] { return sim::DialogRunning(); }));
        ASSERT_TRUE(sim::WaitIdle());
    }
    // Presses the close box and waits until the dialog ended.
    bool Close() {
        if (!sim::DialogCommand(PLAT_IDCANCEL)) return false;
        if (!sim::WaitFor([] { return !sim::DialogRunning(); })) return false;
        ui_.join();
        return true;
    }
    // The working folder this run created ("" before start-up or when refused).
    std::string WorkDir() const {
        std::string path = Narrow(g_App.szWorkDir);
        for (char& c : path)
            if (c == '\\') c = '/';
        return path;
    }

  private:
    std::string root_;
    std::string savedTmp_;
    bool hadTmp_ = false;
    std::thread ui_;
};

// The number of WM_UPDATE_DONE messages and the last result.
inline std::vector<intptr_t> UpdateResults() {
    std::vector<intptr_t> out;
    for (const auto& m : sim::Messages())
        if (m.message == WM_UPDATE_DONE) out.push_back(m.lParam);
    return out;
}

// Lines written by LogLine (prefix removed).
inline std::vector<std::string> LogLines(const DebugCapture& capture) {
    std::vector<std::string> out;
    for (const auto& line : capture.Lines())
        if (line.rfind(u"[TX] ", 0) == 0) out.push_back(Narrow(line.substr(5)));
    return out;
}

inline bool Contains(const std::vector<std::string>& lines, const std::string& text) {
    for (const auto& l : lines)
        if (l == text) return true;
    return false;
}

} // namespace apptest
