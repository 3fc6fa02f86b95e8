// The lab session: the application's dialog on a thread of its own over the headless host, the
// simulated machine under it, and the user's and the machine's actions.
#include "lab.h"

#include "app/app.h"
#include "base/log.h"
#include "disk/rediscover.h"
#include "nvme/nvme_firmware.h"
#include "platform/debug_output.h"
#include "platform/utf8.h"
#include "sata/sata_firmware.h"
#include "sim/dialog.h"
#include "sim/hotplug.h"
#include "sim/machine_impl.h"
#include "sim/nvme_drive.h"
#include "sim/nvme_firmware.h"
#include "sim/sata_drive.h"
#include "sim/sim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>

namespace lab {
namespace {

std::string Utf8Of(const std::u16string& text) {
    std::string out;
    AppendUtf8(out, text.data(), text.size());
    return out;
}

// Message box text: the program breaks lines with CR LF; the lab shows plain line feeds.
std::string BoxText(const std::u16string& text) {
    std::string out = Utf8Of(text);
    std::string plain;
    for (size_t i = 0; i < out.size(); ++i)
        if (!(out[i] == '\r' && i + 1 < out.size() && out[i + 1] == '\n')) plain.push_back(out[i]);
    return plain;
}

std::string Trimmed(const uint8_t* bytes, size_t count) {
    std::string s(reinterpret_cast<const char*>(bytes), count);
    const size_t nul = s.find('\0');
    if (nul != std::string::npos) s.resize(nul);
    while (!s.empty() && s.back() == ' ')
        s.pop_back();
    return s;
}

uint32_t Le32At(const std::vector<uint8_t>& page, size_t at) {
    if (page.size() < at + 4) return 0;
    return page[at] | page[at + 1] << 8 | page[at + 2] << 16 |
           static_cast<uint32_t>(page[at + 3]) << 24;
}

// The realtime switch: every move of the virtual clock also takes that long in real time, on
// the thread that moved it (a worker's wait, a refresh delay).
std::atomic<uint64_t> g_lastClock{0};
void SleepAlong(uint64_t now) {
    const uint64_t before = g_lastClock.exchange(now);
    if (now > before) std::this_thread::sleep_for(std::chrono::milliseconds(now - before));
}

// The application's entry with the detailed log switched on: the same steps as
// RunApplication, with iLogDetail set before the dialog starts, so that the start-up's
// detailed lines are written too.
void RunApplicationWithDetailLog() {
    std::memset(&g_App, 0, sizeof g_App);
    g_App.iLogDetail = 1;
    LogBindDetailSwitch(&g_App.iLogDetail);
    DiskBindProgressWindow(&g_App.hMainDlg);
    NvmeBindProgressWindow(&g_App.hMainDlg);
    SataBindProgressWindow(&g_App.hMainDlg);
    PlatDialogBox(IDD_MAIN, MainDialogProc);
    DiskBindProgressWindow(nullptr);
    NvmeBindProgressWindow(nullptr);
    SataBindProgressWindow(nullptr);
}

bool BoxOpen() {
    for (const auto& b : sim::MessageBoxes())
        if (b.answer == 0) return true;
    return false;
}

// The dialog idle (checked without waiting) or a box open.
bool QuietOrBox() {
    return BoxOpen() || sim::WaitIdle(0);
}

int UpdatesFinished() {
    int n = 0;
    for (const auto& m : sim::Messages())
        if (m.message == WM_UPDATE_DONE && m.window != nullptr) ++n;
    return n;
}

} // namespace

std::string AnswerName(int answer) {
    switch (answer) {
    case kAnswerOk:
        return "OK";
    case kAnswerCancel:
        return "Cancel";
    case kAnswerYes:
        return "Yes";
    case kAnswerNo:
        return "No";
    default:
        return "";
    }
}

Session::Session() = default;

Session::~Session() {
    Stop();
}

void Session::OnDebugLine(void* context, const char16_t* text) {
    auto* self = static_cast<Session*>(context);
    std::string line = Utf8Of(text);
    {
        std::lock_guard<std::mutex> guard(self->logLock_);
        self->log_.push_back(line);
    }
    if (self->config_.on_log) self->config_.on_log(line);
}

void Session::Start(const SessionConfig& config) {
    Stop();
    config_ = config;
    try {
        if (!config_.machine_file.empty())
            sim::LoadFile(config_.machine_file);
        else
            sim::Load(config_.machine_text);
    } catch (const std::exception& e) {
        sim::Reset();
        throw Error("unreadable machine description " +
                    (config_.machine_file.empty() ? std::string("(text)") : config_.machine_file) +
                    ": " + e.what());
    }
    sim::CancelDriveReturns();
    // The program changes the process's current folder (to its temporary folder, when it
    // cleans up), so every path the lab keeps is made absolute first, and the current folder is
    // put back whenever the program ended.
    std::error_code cwdError;
    startFolder_ = std::filesystem::current_path(cwdError);
    if (!config_.trace_file.empty()) {
        config_.trace_file = std::filesystem::absolute(config_.trace_file).string();
        std::ofstream truncate(config_.trace_file,
                               (config_.trace_append ? std::ios::app : std::ios::trunc) |
                                   std::ios::binary);
        if (!truncate) throw Error("cannot write the trace file " + config_.trace_file);
        sim::Current().SetTraceFile(config_.trace_file);
    }

    // The program's temporary folder is a fresh one of the session's own.
    std::string pattern = (std::filesystem::temp_directory_path() / "fwrenew-lab-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    if (mkdtemp(buf.data()) == nullptr) throw Error("cannot create a temporary folder");
    tmpRoot_ = buf.data();
    hadTmp_ = std::getenv("TMPDIR") != nullptr;
    savedTmp_ = hadTmp_ ? std::getenv("TMPDIR") : "";
    setenv("TMPDIR", tmpRoot_.c_str(), 1);

    {
        std::lock_guard<std::mutex> guard(logLock_);
        log_.clear();
    }
    PlatSetDebugSink(&Session::OnDebugLine, this);
    sim::ClearMessageBoxes();
    sim::ClearShutdownRequests();
    sim::ClearMessages();
    sim::ClearResources();
    sim::SetResource(u"FWPACKAGEZIP", IDR_PACKAGE, config_.package.archive);
    int watchdog = config_.watchdog_ms;
    if (watchdog <= 0) watchdog = config_.realtime ? 24 * 3600 * 1000 : 60000;
    sim::SetDialogWatchdog(watchdog);
    if (config_.realtime) {
        g_lastClock = sim::ClockNow();
        clockSubscription_ = sim::ClockSubscribe(SleepAlong);
    }
    restarts_ = 0;
    started_ = true;
    StartApplication();
}

bool Session::Started() const {
    return started_;
}

void Session::StartApplication() {
    const bool detail = config_.log_detail;
    ui_ = std::thread([detail] {
        if (detail)
            RunApplicationWithDetailLog();
        else
            RunApplication();
    });
    sim::WaitFor([] { return sim::DialogRunning(); });
    sim::WaitIdle();
}

void Session::StopApplication() {
    if (!ui_.joinable()) return;
    if (sim::DialogRunning()) {
        // The close box when the dialog takes it (the program cleans its working folder),
        // else the host ends the dialog and answers what is open.
        if (!(IsWorkerRunning() == 0 && !BoxOpen() && sim::DialogCommand(IDC_CANCEL) &&
              sim::WaitFor([] { return !sim::DialogRunning(); }, 20000)))
            sim::DialogAbort(20000);
    }
    ui_.join();
    std::error_code ec;
    if (!startFolder_.empty()) std::filesystem::current_path(startFolder_, ec);
    // An update the close interrupted still ends on its own thread: nothing may meet the
    // machine before it did.
    sim::WaitFor([] { return IsWorkerRunning() == 0; }, 120000);
}

void Session::Stop() {
    if (!started_) return;
    StopApplication();
    sim::CancelDriveReturns();
    sim::Current().SetTraceFile("");
    if (clockSubscription_ != 0) {
        sim::ClockUnsubscribe(clockSubscription_);
        clockSubscription_ = 0;
    }
    PlatSetDebugSink(nullptr, nullptr);
    sim::ClearResources();
    std::error_code ec;
    std::filesystem::remove_all(tmpRoot_, ec);
    if (hadTmp_)
        setenv("TMPDIR", savedTmp_.c_str(), 1);
    else
        unsetenv("TMPDIR");
    started_ = false;
}

State Session::Snapshot() const {
    State s;
    s.dialog_running = sim::DialogRunning();
    s.title = Utf8Of(sim::DialogTitle());
    const sim::DialogControl list = sim::DialogItem(IDC_DRIVE_COMBO);
    for (const auto& line : list.lines)
        s.lines.push_back(Utf8Of(line));
    s.selected = list.selection;
    s.list_enabled = list.enabled;
    s.model = Utf8Of(sim::DialogItem(IDC_MODEL).text);
    s.serial = Utf8Of(sim::DialogItem(IDC_SERIAL).text);
    s.interface_text = Utf8Of(sim::DialogItem(IDC_INTERFACE).text);
    s.firmware = Utf8Of(sim::DialogItem(IDC_FIRMWARE).text);
    s.capacity = Utf8Of(sim::DialogItem(IDC_CAPACITY).text);
    s.run_enabled = sim::DialogItem(IDC_RUN).enabled;
    s.status = Utf8Of(sim::DialogItem(IDC_STATUS).text);
    s.progress = sim::DialogItem(IDC_PROGRESS).position;
    const auto boxes = sim::MessageBoxes();
    for (size_t i = 0; i < boxes.size(); ++i) {
        s.boxes.push_back(
            {BoxText(boxes[i].text), BoxText(boxes[i].caption), boxes[i].type, boxes[i].answer});
        if (boxes[i].answer == 0) s.open_box = static_cast<int>(i);
    }
    s.updating = IsWorkerRunning() != 0;
    for (const auto& m : sim::Messages())
        if (m.message == WM_UPDATE_DONE && m.window != nullptr) {
            ++s.updates_finished;
            s.result = static_cast<int>(m.lParam);
            s.finished_ms = m.t_ms;
        }
    s.shutdown_requests = sim::ShutdownRequests();
    s.restarts = restarts_;
    s.clock_ms = sim::ClockNow();

    sim::MachineImpl& m = sim::Impl();
    std::lock_guard<std::recursive_mutex> guard(m.lock);
    for (const auto& disk : m.disks) {
        DriveFirmware d;
        d.name = disk->name;
        d.present = disk->present;
        d.number = disk->present ? disk->number : -1;
        if (disk->nvme) {
            const sim::NvmeDrive& n = *disk->nvme;
            d.kind = "nvme";
            d.revision =
                n.identifyController.size() >= 72 ? Trimmed(&n.identifyController[64], 8) : "";
            d.internal_version = n.vendorInfo.size() >= 40 ? Trimmed(&n.vendorInfo[32], 8) : "";
            d.ftl_build = Le32At(n.vendorInfo, 72);
            d.activations = n.activations;
            d.staged = n.activationPending;
        } else if (disk->sata) {
            const sim::SataDrive& a = *disk->sata;
            d.kind = "sata";
            d.revision = a.firmwareRevision;
            d.internal_version = a.vendorInfo.size() >= 40 ? Trimmed(&a.vendorInfo[32], 8) : "";
            d.ftl_build = Le32At(a.vendorInfo, 72);
            for (const auto& e : a.events)
                if (e.rfind("activated", 0) == 0) ++d.activations;
        }
        s.drives.push_back(d);
    }
    return s;
}

bool Session::Select(int line) {
    if (!sim::DialogSelectLine(line)) return false;
    sim::WaitIdle();
    return true;
}

bool Session::PressRun() {
    return sim::DialogCommand(IDC_RUN);
}

bool Session::Answer(int button) {
    return sim::AnswerMessageBox(button);
}

int Session::ButtonFor(uint32_t type, bool yes) {
    switch (type & 0xF) {
    case kBoxYesNo:
        return yes ? kAnswerYes : kAnswerNo;
    case kBoxOkCancel:
        return yes ? kAnswerOk : kAnswerCancel;
    default:
        return kAnswerOk;
    }
}

void Session::Unplug(const std::string& drive) {
    if (sim::Current().DriveNumber(drive) < 0) {
        const auto names = sim::Current().DriveNames();
        if (std::find(names.begin(), names.end(), drive) == names.end())
            throw Error("no drive " + drive);
        return; // away already
    }
    try {
        sim::DriveLeaves(drive, -1);
    } catch (const std::exception& e) {
        throw Error(e.what());
    }
}

void Session::Plug(const std::string& drive) {
    const auto names = sim::Current().DriveNames();
    if (std::find(names.begin(), names.end(), drive) == names.end())
        throw Error("no drive " + drive);
    if (sim::Current().DriveNumber(drive) >= 0) return; // present already
    sim::ReturnDrive(drive);
}

void Session::Restart() {
    StopApplication();
    sim::RestartMachine();
    ++restarts_;
    StartApplication();
    Settle();
}

std::vector<std::string> Session::DriveNames() const {
    return sim::Current().DriveNames();
}

void Session::Advance(uint64_t milliseconds) {
    sim::ClockAdvance(milliseconds);
    sim::WaitIdle();
}

void Session::Settle() {
    // The refresh runs 2 s after the last notice; a bridge drive comes back 1.5 s after its
    // power cycle and raises one more. Three rounds past the delay see every one of them through.
    for (int round = 0; round < 3; ++round) {
        sim::WaitFor(QuietOrBox);
        if (BoxOpen() || !sim::DialogRunning()) return;
        sim::ClockAdvance(kDeviceChangeDelayMs + 500);
    }
    sim::WaitFor(QuietOrBox);
}

bool Session::WaitIdle(int timeoutMs) {
    return sim::WaitIdle(timeoutMs);
}

bool Session::WaitForBoxOrQuiet(int timeoutMs) {
    return sim::WaitFor(
        [] {
            return !sim::DialogRunning() || BoxOpen() ||
                   (IsWorkerRunning() == 0 && sim::WaitIdle(0));
        },
        timeoutMs);
}

bool Session::RunAndAnswer(bool yes) {
    const int finished = UpdatesFinished();
    if (!PressRun()) return false;
    for (;;) {
        if (!WaitForBoxOrQuiet()) return true; // the host's watchdog ends a hung dialog
        if (!sim::DialogRunning()) return true;
        if (!BoxOpen()) {
            // Quiet. A worker frees its slot just before it posts its completion: until a
            // completion arrived, give that post a moment (and the box that follows it).
            if (UpdatesFinished() != finished) return true;
            if (!sim::WaitFor([finished] { return UpdatesFinished() != finished || BoxOpen(); },
                              500))
                return true;
            continue;
        }
        const auto boxes = sim::MessageBoxes();
        for (size_t i = boxes.size(); i-- > 0;)
            if (boxes[i].answer == 0) {
                sim::AnswerMessageBox(ButtonFor(boxes[i].type, yes));
                break;
            }
    }
}

bool Session::Updating() const {
    return IsWorkerRunning() != 0;
}

std::optional<int> Session::Result() const {
    std::optional<int> result;
    for (const auto& m : sim::Messages())
        if (m.message == WM_UPDATE_DONE && m.window != nullptr) result = static_cast<int>(m.lParam);
    return result;
}

std::vector<std::string> Session::Log() const {
    std::lock_guard<std::mutex> guard(logLock_);
    return log_;
}

} // namespace lab
