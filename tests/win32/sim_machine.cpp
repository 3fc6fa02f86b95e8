// The simulated machine inside FwRenewSim.exe (see sim_machine.h), and what the GUI test reads
// from it instead of pixels.
//
// Clock. The simulator's clock is virtual: a sleep of the program advances it at once, so the
// update's fixed waits (3 s after the download, the commit and a bridge power cycle, the
// re-discovery tries 1 s apart) cost no real time and an update takes well under a second. A
// ticker thread also moves the clock on with real time, so it is never behind the real one:
// what the machine has scheduled (a drive coming back after a power cycle) happens at the latest
// when it would on a real machine, even when the program is not sleeping. The dialog's timers
// are real Win32 timers on the real clock: the list refresh 2 s after a device change takes two
// real seconds, as it would for the user.
//
// Device changes. Windows tells a window of a device's arrival or removal with a WM_DEVICECHANGE
// sent from another thread, lParam pointing to a DEV_BROADCAST_* record; such a message cannot
// be posted (PostMessage refuses it with ERROR_MESSAGE_SYNC_ONLY, on Windows and under wine).
// So the machine is not given the dialog as its notice window here: the ticker thread hands each
// drive leaving or coming back (sim::DeviceChanges) to the main dialog as Windows would, sent
// with a time-out, with a device-interface record for the disk class.
//
// Observation (test equipment only): FWRENEW_SIM_STATE names a JSON file that is rewritten
// whole (written beside, then renamed over) whenever what it holds changed: the dialog's title,
// list lines, selection, labels, enabled states, progress position and control rectangles; the
// message boxes shown (caption, text, open or closed); the commands the dialog received; the
// device-change notices and refresh timers it handled and the update results it was told; the
// drives of the machine and their firmware; the recorded shutdown requests; open handles. The
// last write, at the end, has "ended": true. FWRENEW_SIM_TRACE names a file that receives the
// simulator's trace, one JSON line per request.
#include "sim_machine.h"

#include "app/app.h"
#include "hotplug.h"
#include "nvme_firmware.h"
#include "platform/resources.h"
#include "platform/shutdown.h"
#include "sim.h"

#include <nlohmann/json.hpp>
#include <windows.h>
#include <commctrl.h>
#include <dbt.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

using Json = nlohmann::json;

constexpr uint32_t kMachineResourceId = 1001;
constexpr UINT kStateWriteMs = 100;

std::string Utf8(const wchar_t* text) {
    const int bytes = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (bytes <= 1) return {};
    std::string out(static_cast<size_t>(bytes), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), bytes, nullptr, nullptr);
    out.resize(static_cast<size_t>(bytes) - 1);
    return out;
}

std::string Environment(const char* name) {
    char value[1024];
    const DWORD n = GetEnvironmentVariableA(name, value, sizeof value);
    return n > 0 && n < sizeof value ? std::string(value, n) : std::string();
}

std::string WindowText(HWND window) {
    wchar_t text[1024] = {};
    GetWindowTextW(window, text, 1024);
    return Utf8(text);
}

bool IsDialogClass(HWND window) {
    wchar_t name[32] = {};
    GetClassNameW(window, name, 32);
    return lstrcmpW(name, L"#32770") == 0;
}

Json RectOf(HWND window) {
    RECT r{};
    if (window == nullptr || !GetWindowRect(window, &r)) return nullptr;
    return Json::array({r.left, r.top, r.right, r.bottom});
}

// ---- The real clock drives the virtual one ----

struct Ticker {
    std::mutex lock;
    std::condition_variable wake;
    bool stop = false;
    std::thread thread;
};
Ticker g_ticker;

// The dialog that hears of device changes (set and cleared on the dialog's thread).
std::atomic<HWND> g_noticeWindow{nullptr};
// The name in the notices' device-interface record, by which the dialog's thread tells them
// from notices of wine's own devices.
constexpr wchar_t kNoticeName[] = L"\\\\?\\FwRenewSim#Disk";
constexpr UINT kNoticeTimeoutMs = 5000;
std::atomic<int> g_noticeTimeouts{0};

// Sends one notice the way Windows does: from another thread, lParam pointing to the record.
void SendNotice(bool arrival) {
    HWND window = g_noticeWindow.load();
    if (window == nullptr) return;
    // The record, its name running on past the declared one-character array as Windows lays it.
    alignas(DEV_BROADCAST_DEVICEINTERFACE_W) unsigned char bytes[256] = {};
    auto* record = reinterpret_cast<DEV_BROADCAST_DEVICEINTERFACE_W*>(bytes);
    record->dbcc_size = sizeof bytes;
    record->dbcc_devicetype = DBT_DEVTYP_DEVICEINTERFACE;
    // The disk interface class (GUID_DEVINTERFACE_DISK).
    record->dbcc_classguid = {
        0x53f56307, 0xb6bf, 0x11d0, {0x94, 0xf2, 0x00, 0xa0, 0xc9, 0x1e, 0xfb, 0x8b}};
    constexpr size_t kNameAt = offsetof(DEV_BROADCAST_DEVICEINTERFACE_W, dbcc_name);
    lstrcpynW(reinterpret_cast<wchar_t*>(bytes + kNameAt), kNoticeName,
              static_cast<int>((sizeof bytes - kNameAt) / sizeof(wchar_t)));
    DWORD_PTR result = 0;
    if (!SendMessageTimeoutW(
            window, WM_DEVICECHANGE, arrival ? DBT_DEVICEARRIVAL : DBT_DEVICEREMOVECOMPLETE,
            reinterpret_cast<LPARAM>(record), SMTO_NORMAL, kNoticeTimeoutMs, &result))
        ++g_noticeTimeouts;
}

void TickerLoop() {
    using Clock = std::chrono::steady_clock;
    auto last = Clock::now();
    size_t noticed = sim::DeviceChanges().size();
    std::unique_lock<std::mutex> guard(g_ticker.lock);
    while (!g_ticker.stop) {
        g_ticker.wake.wait_for(guard, std::chrono::milliseconds(20));
        const auto now = Clock::now();
        const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(now - last);
        last += elapsed;
        // Nothing is held while the clock's listeners run or a notice waits for the dialog.
        guard.unlock();
        if (elapsed.count() > 0) sim::ClockAdvance(static_cast<uint64_t>(elapsed.count()));
        const std::vector<sim::DeviceChange> changes = sim::DeviceChanges();
        for (; noticed < changes.size(); ++noticed)
            SendNotice(changes[noticed].arrival);
        guard.lock();
    }
}

// ---- What the dialog's thread saw (touched on that thread only) ----

struct BoxSeen {
    HWND window = nullptr;
    std::string caption, text;
    bool open = true;
};

struct Observed {
    HWND dialog = nullptr;
    bool dialogSeen = false;
    Json lastDialog; // the dialog's controls as last seen (kept after it closed)
    std::vector<BoxSeen> boxes;
    Json commands = Json::array();
    Json updateResults = Json::array();
    int notices = 0;            // the machine's device changes, as the dialog received them
    int otherDeviceChanges = 0; // WM_DEVICECHANGE of wine's own devices
    int refreshTimers = 0;
    int refreshTimersAfterNotice = 0;
    HHOOK cbt = nullptr, callWndProc = nullptr, getMessage = nullptr;
    UINT_PTR timer = 0;
    std::string statePath;
    std::string written;
};
Observed g_seen;

std::mutex g_shutdownLock;
std::vector<uint32_t> g_shutdowns;

Json DialogSnapshot(HWND d) {
    Json s;
    s["title"] = WindowText(d);
    HWND list = GetDlgItem(d, IDC_DRIVE_COMBO);
    Json lines = Json::array();
    const LRESULT count = SendMessageW(list, CB_GETCOUNT, 0, 0);
    for (LRESULT i = 0; i < count; ++i) {
        wchar_t line[512] = {};
        if (SendMessageW(list, CB_GETLBTEXTLEN, static_cast<WPARAM>(i), 0) < 511)
            SendMessageW(list, CB_GETLBTEXT, static_cast<WPARAM>(i),
                         reinterpret_cast<LPARAM>(line));
        lines.push_back(Utf8(line));
    }
    s["lines"] = lines;
    s["selection"] = static_cast<int>(SendMessageW(list, CB_GETCURSEL, 0, 0));
    s["list_dropped"] = SendMessageW(list, CB_GETDROPPEDSTATE, 0, 0) != 0;
    s["list_enabled"] = IsWindowEnabled(list) != 0;
    s["run_enabled"] = IsWindowEnabled(GetDlgItem(d, IDC_RUN)) != 0;
    const std::pair<const char*, int> labels[] = {
        {"model", IDC_MODEL},       {"serial", IDC_SERIAL},     {"interface", IDC_INTERFACE},
        {"firmware", IDC_FIRMWARE}, {"capacity", IDC_CAPACITY}, {"status", IDC_STATUS}};
    for (const auto& [name, id] : labels)
        s["labels"][name] = WindowText(GetDlgItem(d, id));
    s["progress"] = static_cast<int>(SendDlgItemMessageW(d, IDC_PROGRESS, PBM_GETPOS, 0, 0));
    s["rects"]["window"] = RectOf(d);
    s["rects"]["list"] = RectOf(list);
    s["rects"]["run"] = RectOf(GetDlgItem(d, IDC_RUN));
    s["rects"]["status"] = RectOf(GetDlgItem(d, IDC_STATUS));
    s["rects"]["progress"] = RectOf(GetDlgItem(d, IDC_PROGRESS));
    RECT client{};
    GetClientRect(d, &client);
    s["rects"]["client"] = Json::array({client.left, client.top, client.right, client.bottom});
    return s;
}

Json MachineSnapshot() {
    Json drives = Json::array();
    sim::Machine& m = sim::Current();
    for (const std::string& name : m.DriveNames()) {
        Json d;
        d["name"] = name;
        d["number"] = m.DriveNumber(name);
        try {
            const sim::NvmeFirmwareState f = sim::NvmeFirmware(name);
            d["revision"] = f.revision;
            d["internal_version"] = f.internal_version;
            d["activations"] = f.activations;
            d["last_activation"] = f.last_activation;
            d["recorded_name"] = f.recorded_name;
        } catch (const std::runtime_error&) {
            // Not an NVMe drive: its number is all the test needs.
        }
        drives.push_back(d);
    }
    Json changes = Json::array();
    for (const sim::DeviceChange& c : sim::DeviceChanges())
        changes.push_back(
            {{"t_ms", c.t_ms}, {"arrival", c.arrival}, {"drive", c.drive}, {"number", c.number}});
    Json s;
    s["drives"] = drives;
    s["device_changes"] = changes;
    s["drives_away"] = sim::DrivesAway();
    s["open_handles"] = m.OpenHandleCount();
    s["open_device_sets"] = m.OpenDevInfoSetCount();
    s["page_allocations"] = m.PageAllocCount();
    return s;
}

void WriteState(bool ended) {
    if (g_seen.statePath.empty()) return;
    if (g_seen.dialog != nullptr) g_seen.lastDialog = DialogSnapshot(g_seen.dialog);
    Json s = MachineSnapshot();
    s["dialog"] = g_seen.lastDialog;
    s["dialog_seen"] = g_seen.dialogSeen;
    s["dialog_open"] = g_seen.dialog != nullptr;
    Json boxes = Json::array();
    for (const BoxSeen& b : g_seen.boxes)
        boxes.push_back({{"caption", b.caption}, {"text", b.text}, {"open", b.open}});
    s["boxes"] = boxes;
    s["commands"] = g_seen.commands;
    s["update_results"] = g_seen.updateResults;
    s["device_change_notices"] = g_seen.notices;
    s["device_change_notice_timeouts"] = g_noticeTimeouts.load();
    s["other_device_changes"] = g_seen.otherDeviceChanges;
    s["refresh_timers"] = g_seen.refreshTimers;
    s["refresh_timers_after_notice"] = g_seen.refreshTimersAfterNotice;
    s["worker_running"] = IsWorkerRunning() != 0;
    s["work_dir"] = Utf8(reinterpret_cast<const wchar_t*>(g_App.szWorkDir));
    {
        std::lock_guard<std::mutex> guard(g_shutdownLock);
        s["shutdown_requests"] = g_shutdowns;
    }
    s["ended"] = ended;
    std::string text = s.dump(1);
    if (text == g_seen.written) return;
    const std::string temporary = g_seen.statePath + ".new";
    {
        std::ofstream file(temporary, std::ios::binary | std::ios::trunc);
        file << text << "\n";
        if (!file) return;
    }
    if (MoveFileExA(temporary.c_str(), g_seen.statePath.c_str(), MOVEFILE_REPLACE_EXISTING))
        g_seen.written = std::move(text);
}

void CALLBACK StateTimer(HWND, UINT, UINT_PTR, DWORD) {
    WriteState(false);
}

// The main dialog as it is created and destroyed; message boxes as they are shown and closed.
LRESULT CALLBACK CbtHook(int code, WPARAM wParam, LPARAM lParam) {
    HWND window = reinterpret_cast<HWND>(wParam);
    if (code == HCBT_CREATEWND && g_seen.dialog == nullptr && !g_seen.dialogSeen) {
        auto* create = reinterpret_cast<CBT_CREATEWNDW*>(lParam);
        if (create->lpcs->hwndParent == nullptr && IsDialogClass(window)) {
            g_seen.dialog = window;
            g_seen.dialogSeen = true;
            g_noticeWindow.store(window);
        }
    } else if (code == HCBT_ACTIVATE && window != g_seen.dialog && g_seen.dialog != nullptr &&
               IsDialogClass(window) && GetWindow(window, GW_OWNER) == g_seen.dialog) {
        bool known = false;
        for (const BoxSeen& b : g_seen.boxes)
            known = known || (b.open && b.window == window);
        if (!known) {
            wchar_t text[1024] = {};
            GetDlgItemTextW(window, 0xFFFF, text, 1024); // the message box's text control
            g_seen.boxes.push_back(BoxSeen{window, WindowText(window), Utf8(text), true});
        }
    } else if (code == HCBT_DESTROYWND) {
        if (window == g_seen.dialog && window != nullptr) {
            g_seen.lastDialog = DialogSnapshot(window);
            g_noticeWindow.store(nullptr);
            g_seen.dialog = nullptr;
        }
        for (BoxSeen& b : g_seen.boxes)
            if (b.open && b.window == window) b.open = false;
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool IsOurNotice(LPARAM lParam) {
    const auto* record = reinterpret_cast<const DEV_BROADCAST_DEVICEINTERFACE_W*>(lParam);
    return record != nullptr && record->dbcc_devicetype == DBT_DEVTYP_DEVICEINTERFACE &&
           lstrcmpW(record->dbcc_name, kNoticeName) == 0;
}

// Sent messages: commands (a control's notification, Return through the dialog manager) and
// device-change notices.
LRESULT CALLBACK CallWndProcHook(int code, WPARAM wParam, LPARAM lParam) {
    const auto* m = reinterpret_cast<const CWPSTRUCT*>(lParam);
    if (code == HC_ACTION && m->hwnd == g_seen.dialog && g_seen.dialog != nullptr) {
        if (m->message == WM_COMMAND) {
            g_seen.commands.push_back({{"id", LOWORD(m->wParam)}, {"notify", HIWORD(m->wParam)}});
        } else if (m->message == WM_DEVICECHANGE) {
            if ((m->wParam == DBT_DEVICEARRIVAL || m->wParam == DBT_DEVICEREMOVECOMPLETE) &&
                IsOurNotice(m->lParam)) {
                ++g_seen.notices;
                g_seen.refreshTimersAfterNotice = 0;
            } else {
                ++g_seen.otherDeviceChanges;
            }
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

// Posted messages the dialog takes from its queue: the refresh timer and the worker's result.
LRESULT CALLBACK GetMessageHook(int code, WPARAM wParam, LPARAM lParam) {
    const auto* m = reinterpret_cast<const MSG*>(lParam);
    if (code == HC_ACTION && wParam == PM_REMOVE && m->hwnd == g_seen.dialog &&
        g_seen.dialog != nullptr) {
        if (m->message == WM_DEVICECHANGE) {
            ++g_seen.otherDeviceChanges;
        } else if (m->message == WM_TIMER && m->wParam == IDT_DEVICE_CHANGE) {
            ++g_seen.refreshTimers;
            ++g_seen.refreshTimersAfterNotice;
        } else if (m->message == WM_UPDATE_DONE) {
            g_seen.updateResults.push_back(static_cast<int64_t>(m->lParam));
        }
    }
    return CallNextHookEx(nullptr, code, wParam, lParam);
}

bool LoadMachine() {
    const std::string file = Environment("FWRENEW_SIM_MACHINE");
    try {
        if (!file.empty()) {
            sim::LoadFile(file);
            return true;
        }
        const void* data = nullptr;
        uint32_t size = 0;
        if (!PlatFindResource(u"FWSIMMACHINE", kMachineResourceId, &data, &size))
            throw std::runtime_error("no machine description embedded");
        sim::Load(std::string(static_cast<const char*>(data), size));
        return true;
    } catch (const std::exception& e) {
        // A test (it names a state file) reads the standard error; a person gets a box.
        const std::string text = "FwRenewSim: " + std::string(e.what());
        if (Environment("FWRENEW_SIM_STATE").empty())
            MessageBoxA(nullptr, text.c_str(), "FwRenewSim", MB_OK | MB_ICONERROR);
        else
            std::fprintf(stderr, "%s\n", text.c_str());
        return false;
    }
}

} // namespace

// The shutdown request of this build: recorded, never acted on.
void PlatRequestShutdown(uint32_t flags) {
    std::lock_guard<std::mutex> guard(g_shutdownLock);
    g_shutdowns.push_back(flags);
}

bool StartSimulatedMachine() {
    if (!LoadMachine()) return false;
    const std::string trace = Environment("FWRENEW_SIM_TRACE");
    if (!trace.empty()) {
        std::ofstream restart(trace, std::ios::binary | std::ios::trunc); // a new trace each run
        sim::Current().SetTraceFile(trace);
    }
    g_seen.statePath = Environment("FWRENEW_SIM_STATE");
    const DWORD thread = GetCurrentThreadId();
    g_seen.cbt = SetWindowsHookExW(WH_CBT, CbtHook, nullptr, thread);
    g_seen.callWndProc = SetWindowsHookExW(WH_CALLWNDPROC, CallWndProcHook, nullptr, thread);
    g_seen.getMessage = SetWindowsHookExW(WH_GETMESSAGE, GetMessageHook, nullptr, thread);
    if (!g_seen.statePath.empty()) g_seen.timer = SetTimer(nullptr, 0, kStateWriteMs, StateTimer);
    g_ticker.thread = std::thread(TickerLoop);
    return true;
}

void EndSimulatedMachine() {
    {
        std::lock_guard<std::mutex> guard(g_ticker.lock);
        g_ticker.stop = true;
    }
    g_ticker.wake.notify_all();
    if (g_ticker.thread.joinable()) g_ticker.thread.join();
    if (g_seen.timer) KillTimer(nullptr, g_seen.timer);
    for (HHOOK hook : {g_seen.cbt, g_seen.callWndProc, g_seen.getMessage})
        if (hook) UnhookWindowsHookEx(hook);
    WriteState(true);
    sim::Current().SetTraceFile("");
}
