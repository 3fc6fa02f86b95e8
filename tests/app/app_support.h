// Helpers for the application suites: a package made in memory (configuration file and
// images), a temporary folder of the test's own, and the application running its dialog on a
// thread of its own against the headless host. Portable: the same suites run on Linux and, in
// the Windows build, under wine.
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

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#if defined(_WIN32)
#include <windows.h>
#endif

namespace apptest {

// The environment variables that name the temporary folder the program asks for (TMPDIR for
// the Linux files seam; TMP and TEMP for GetTempPathW). Empty value: the variable is removed.
inline void SetEnvironment(const char* name, const std::string& value) {
#if defined(_WIN32)
    _putenv_s(name, value.c_str()); // an empty value removes it
#else
    if (value.empty())
        unsetenv(name);
    else
        setenv(name, value.c_str(), 1);
#endif
}

inline std::string GetEnvironment(const char* name) {
    const char* v = std::getenv(name);
    return v ? v : "";
}

inline constexpr const char* kTempVariables[] = {"TMPDIR", "TMP", "TEMP"};

// Does this system keep POSIX permission bits on folders (the private working folder is then
// checked by its bits; on Windows its access list is the platform's business)?
inline constexpr bool kPosixPermissions =
#if defined(_WIN32)
    false;
#else
    true;
#endif

// Plants a symbolic link to a folder; false (with the reason) when this system cannot.
inline bool PlantFolderLink(const std::filesystem::path& target, const std::filesystem::path& link,
                            std::string* why) {
#if defined(_WIN32)
    // The C++ library of the cross build does not make links; the system does.
    const std::wstring from = link.wstring(), to = target.wstring();
    if (!CreateSymbolicLinkW(from.c_str(), to.c_str(),
                             SYMBOLIC_LINK_FLAG_DIRECTORY |
                                 SYMBOLIC_LINK_FLAG_ALLOW_UNPRIVILEGED_CREATE)) {
        *why = "CreateSymbolicLinkW failed with error " + std::to_string(GetLastError());
        return false;
    }
    const DWORD attributes = GetFileAttributesW(from.c_str());
    if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_REPARSE_POINT))
        return true;
    *why = "the link is not seen as a link";
    RemoveDirectoryW(from.c_str());
    return false;
#else
    std::error_code ec;
    std::filesystem::create_directory_symlink(target, link, ec);
    if (!ec && std::filesystem::is_symlink(std::filesystem::symlink_status(link))) return true;
    *why = ec ? ec.message() : "the link is not seen as a link";
    std::filesystem::remove(link, ec);
    return false;
#endif
}

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
        const std::filesystem::path temp = std::filesystem::temp_directory_path();
        std::random_device random;
        for (int i = 0; i < 100 && root_.empty(); ++i) {
            const auto candidate = temp / ("fwrenew-app-" + std::to_string(random()));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec))
                root_ = candidate.lexically_normal().generic_string();
        }
        if (root_.empty()) throw std::runtime_error("no temporary folder for the test");
        for (const char* name : kTempVariables)
            saved_.push_back(GetEnvironment(name));
        SetTemp(root_);
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
        for (size_t i = 0; i < saved_.size(); ++i)
            SetEnvironment(kTempVariables[i], saved_[i]);
    }
    AppHarness(const AppHarness&) = delete;
    AppHarness& operator=(const AppHarness&) = delete;

    // The temporary folder of this test ('/' separators on every system).
    const std::string& Root() const { return root_; }
    // Makes the program see another temporary folder.
    static void SetTemp(const std::string& folder) {
        for (const char* name : kTempVariables)
            SetEnvironment(name, folder);
    }
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
    std::vector<std::string> saved_;
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

// The line the drive list shows as selected ("" when none).
inline std::u16string SelectedLine() {
    const sim::DialogControl list = sim::DialogItem(IDC_DRIVE_COMBO);
    if (list.selection < 0 || list.selection >= static_cast<int>(list.lines.size())) return u"";
    return list.lines[static_cast<size_t>(list.selection)];
}

// Holds the update worker at each of its sleeps (the waits between the steps, the download's
// pauses, the re-discovery's tries), so that a test can look at the dialog and act between two
// steps of an update. The worker is the first thread other than the test's to sleep while an
// update runs. The state is shared with the clock listener, which may still run once after the
// object is gone.
class WorkerSteps {
    struct State {
        std::mutex lock;
        std::condition_variable changed;
        std::thread::id test = std::this_thread::get_id();
        std::thread::id worker;
        bool held = false;
        bool stopped = false;
        int low = 0, high = 0; // the progress band at the held step
    };

  public:
    WorkerSteps() : doneBefore_(UpdateResults().size()) {
        id_ = sim::ClockSubscribe([s = state_](uint64_t) {
            if (std::this_thread::get_id() == s->test || IsWorkerRunning() == 0) return;
            std::unique_lock<std::mutex> guard(s->lock);
            if (s->stopped) return;
            if (s->worker == std::thread::id()) s->worker = std::this_thread::get_id();
            if (s->worker != std::this_thread::get_id()) return;
            s->low = std::atomic_ref<int16_t>(g_App.nProgressLow).load();
            s->high = std::atomic_ref<int16_t>(g_App.nProgressHigh).load();
            s->held = true;
            s->changed.notify_all();
            // Short slices: a wake-up lost by the thread library (seen with the cross build
            // under wine) then costs milliseconds, not the whole bound.
            const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
            while (s->held && !s->stopped && std::chrono::steady_clock::now() < deadline)
                s->changed.wait_for(guard, std::chrono::milliseconds(5));
        });
    }
    ~WorkerSteps() {
        Stop();
        sim::ClockUnsubscribe(id_);
    }
    WorkerSteps(const WorkerSteps&) = delete;
    WorkerSteps& operator=(const WorkerSteps&) = delete;

    // Waits until the worker is held at its next step, then until the dialog handled what the
    // worker sent before it: true with the band's lower end, false when the update ended first
    // (or after 20 s).
    bool Next(int* low) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        for (;;) {
            {
                std::unique_lock<std::mutex> guard(state_->lock);
                if (state_->changed.wait_for(guard, std::chrono::milliseconds(5),
                                             [&] { return state_->held; })) {
                    *low = state_->low;
                    guard.unlock();
                    return sim::WaitIdle();
                }
            }
            if (UpdateResults().size() > doneBefore_) return false;
            if (std::chrono::steady_clock::now() > deadline) return false;
        }
    }
    // Lets the held worker go on to its next step.
    void Go() {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->held = false;
        state_->changed.notify_all();
    }
    // Lets the worker run to its end without holding it again.
    void Stop() {
        std::lock_guard<std::mutex> guard(state_->lock);
        state_->stopped = true;
        state_->held = false;
        state_->changed.notify_all();
    }

  private:
    std::shared_ptr<State> state_ = std::make_shared<State>();
    size_t doneBefore_ = 0;
    int id_ = 0;
};

} // namespace apptest
