// The headless dialog host: an in-memory modal dialog with the threading rules of Windows, and
// the recording of every message posted or sent (also to windows that are no dialog, for the
// tests of the drive operations).
#include "dialog.h"
#include "hotplug.h"
#include "sim.h"

#include "platform/dialog_host.h"
#include "platform/resources.h"
#include "platform/shutdown.h"

#include <chrono>
#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

namespace sim {
namespace {

using Clock = std::chrono::steady_clock;

// Dialog 102 as its resource script lays it out (dialog units): id, x, y, width, height,
// text. Labels without an id are not addressed by the program and are left out.
struct TemplateControl {
    int id, x, y, w, h;
    const char16_t* text;
};
constexpr TemplateControl kMainDialog[] = {
    {500, 64, 11, 206, 59, u""},          {501, 115, 28, 203, 8, u"Model"},
    {502, 115, 42, 203, 8, u"Serial No."}, {503, 115, 56, 203, 8, u"Interface"},
    {504, 115, 70, 203, 8, u"Firmware"},   {505, 115, 84, 203, 8, u"Capacity"},
    {1, 272, 10, 51, 14, u"RUN"},          {510, 65, 100, 258, 8, u"Status"},
    {1003, 0, 112, 339, 6, u""},           {1004, 16, 11, 20, 20, u""},
};
constexpr int kDialogW = 340, kDialogH = 117;
// Pixels per dialog unit for the dialog's font (horizontal x/4, vertical y/8), and the frame.
constexpr int kBaseX = 7, kBaseY = 15, kFrame = 3, kCaption = 23;
constexpr int kScreenW = 1920, kScreenH = 1080;

int DuX(int v) {
    return v * kBaseX / 4;
}
int DuY(int v) {
    return v * kBaseY / 8;
}

struct Reply {
    bool done = false;
    intptr_t result = 0;
};

struct Item {
    bool sent = false;
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    std::function<void()> call; // a control call from another thread
    std::shared_ptr<Reply> reply;
};

struct Timer {
    uint32_t period = 0;
    uint64_t due = 0;
};

struct Host {
    std::mutex lock;
    std::condition_variable changed;
    uint64_t generation = 0; // moves on every change
    // Recording (every window).
    std::vector<WindowMessage> messages;
    std::function<intptr_t(const WindowMessage&)> handler;
    bool deliverPosts = false;
    // The dialog.
    bool live = false;
    uintptr_t serial = 0;
    PlatWindow window = nullptr;
    std::thread::id thread;
    PlatDialogProc proc = nullptr;
    bool ended = false;
    intptr_t result = 0;
    bool aborting = false;
    bool busy = false;   // the dialog's thread is handling something
    int sendsWaiting = 0;
    std::u16string title;
    std::map<int, DialogControl> controls;
    PlatRect windowRect{};
    uint32_t icon = 0;
    int iconSize = 0;
    std::deque<Item> queue;
    std::map<uintptr_t, Timer> timers;
    std::vector<MessageBoxRecord> boxes;
    std::vector<size_t> openBoxes;
    int watchdogMs = 60000;
    bool watchdogFired = false;
    int clockSubscription = 0;
    // Resources and shutdown requests.
    std::map<std::pair<std::u16string, uint32_t>, std::vector<uint8_t>> resources;
    std::vector<uint32_t> shutdowns;

    void Touch() {
        ++generation;
        changed.notify_all();
    }
};

Host& TheHost() {
    static Host host;
    return host;
}

bool IsDialog(const Host& h, PlatWindow window) {
    return h.live && !h.ended && window != nullptr && window == h.window;
}

bool OnDialogThread(const Host& h) {
    return h.live && std::this_thread::get_id() == h.thread;
}

// Runs f on the dialog's thread with the lock held, as Windows runs a control message sent
// from another thread; returns false when there is no dialog.
bool OnDialog(PlatWindow window, const std::function<void(Host&)>& f) {
    Host& h = TheHost();
    std::unique_lock<std::mutex> guard(h.lock);
    if (!IsDialog(h, window)) return false;
    if (OnDialogThread(h)) {
        f(h);
        h.Touch();
        return true;
    }
    auto reply = std::make_shared<Reply>();
    Item item;
    item.sent = true;
    item.reply = reply;
    item.call = [f]() {
        Host& host = TheHost();
        std::lock_guard<std::mutex> g(host.lock);
        f(host);
    };
    h.queue.push_back(std::move(item));
    ++h.sendsWaiting;
    h.Touch();
    bool done = h.changed.wait_for(guard, std::chrono::milliseconds(h.watchdogMs),
                                   [&] { return reply->done; });
    --h.sendsWaiting;
    if (!done) h.watchdogFired = true;
    h.Touch();
    return done;
}

void Dispatch(Item& item) {
    Host& h = TheHost();
    intptr_t result = 0;
    if (item.call)
        item.call();
    else
        result = h.proc(h.window, item.message, item.wParam, item.lParam);
    if (item.reply) {
        std::lock_guard<std::mutex> guard(h.lock);
        item.reply->result = result;
        item.reply->done = true;
        h.Touch();
    }
}

// The dialog's message loop: handles queued items, then due timers, until done() holds (checked
// with the lock held) or the dialog is aborted. False when it stopped on an abort.
bool Pump(const std::function<bool(Host&)>& done) {
    Host& h = TheHost();
    for (;;) {
        std::unique_lock<std::mutex> guard(h.lock);
        if (done(h)) return true;
        if (h.aborting) return false;
        if (!h.queue.empty()) {
            Item item = std::move(h.queue.front());
            h.queue.pop_front();
            h.busy = true;
            guard.unlock();
            Dispatch(item);
            guard.lock();
            h.busy = false;
            h.Touch();
            continue;
        }
        const uint64_t now = ClockNow();
        uintptr_t dueId = 0;
        bool due = false;
        uint64_t earliest = UINT64_MAX;
        for (auto& [id, t] : h.timers)
            if (t.due <= now && t.due < earliest) {
                earliest = t.due;
                dueId = id;
                due = true;
            }
        if (due) {
            h.timers[dueId].due = now + h.timers[dueId].period;
            h.busy = true;
            guard.unlock();
            h.proc(h.window, PLAT_WM_TIMER, dueId, 0);
            guard.lock();
            h.busy = false;
            h.Touch();
            continue;
        }
        const uint64_t seen = h.generation;
        if (!h.changed.wait_for(guard, std::chrono::milliseconds(h.watchdogMs),
                                [&] { return h.generation != seen; })) {
            h.watchdogFired = true;
            h.aborting = true;
            h.Touch();
            return false;
        }
    }
}

} // namespace

// ---- Recording (as before, for every window) ----

std::vector<WindowMessage> Messages() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.messages;
}

void ClearMessages() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    h.messages.clear();
}

void SetMessageHandler(std::function<intptr_t(const WindowMessage&)> handler, bool deliverPosts) {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    h.handler = std::move(handler);
    h.deliverPosts = deliverPosts;
}

// ---- The dialog as tests see it ----

bool DialogRunning() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.live;
}

PlatWindow DialogWindow() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.live ? h.window : nullptr;
}

std::u16string DialogTitle() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.title;
}

DialogControl DialogItem(int id) {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    auto it = h.controls.find(id);
    return it == h.controls.end() ? DialogControl{} : it->second;
}

PlatRect DialogWindowRect() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.windowRect;
}

uint32_t DialogIcon(int* size) {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    if (size) *size = h.iconSize;
    return h.icon;
}

namespace {
// Posts user input, unless the dialog is disabled by a box or the control is disabled.
bool UserInput(int id, uint32_t notify) {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    if (!h.live || h.ended || !h.openBoxes.empty()) return false;
    auto it = h.controls.find(id);
    if (id != PLAT_IDCANCEL && (it == h.controls.end() || !it->second.enabled)) return false;
    Item item;
    item.message = PLAT_WM_COMMAND;
    item.wParam = static_cast<uintptr_t>(static_cast<uint32_t>(id) | notify << 16);
    h.queue.push_back(std::move(item));
    h.Touch();
    return true;
}
} // namespace

bool DialogCommand(int id) {
    return UserInput(id, 0);
}

bool DialogSelectLine(int index) {
    {
        Host& h = TheHost();
        std::lock_guard<std::mutex> guard(h.lock);
        if (!h.live || h.ended || !h.openBoxes.empty()) return false;
        DialogControl& list = h.controls[500];
        if (!list.enabled || index < 0 || index >= static_cast<int>(list.lines.size()))
            return false;
        list.selection = index;
    }
    return UserInput(500, PLAT_CBN_SELENDOK);
}

std::vector<MessageBoxRecord> MessageBoxes() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.boxes;
}

void ClearMessageBoxes() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    if (h.openBoxes.empty()) h.boxes.clear();
}

bool AnswerMessageBox(int button) {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    if (h.openBoxes.empty() || h.boxes[h.openBoxes.back()].answer != 0) return false;
    h.boxes[h.openBoxes.back()].answer = button;
    h.Touch();
    return true;
}

bool WaitFor(const std::function<bool()>& pred, int timeoutMs) {
    Host& h = TheHost();
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        uint64_t seen;
        {
            std::lock_guard<std::mutex> guard(h.lock);
            seen = h.generation;
        }
        if (pred()) return true;
        std::unique_lock<std::mutex> guard(h.lock);
        if (Clock::now() >= deadline) return false;
        // Woken by a change; the short slice also covers state the host does not see change.
        h.changed.wait_for(guard, std::chrono::milliseconds(5),
                           [&] { return h.generation != seen; });
    }
}

int WaitForMessageBox(int timeoutMs) {
    int index = -1;
    WaitFor(
        [&] {
            Host& h = TheHost();
            std::lock_guard<std::mutex> guard(h.lock);
            // An answered box still closing does not count.
            if (h.openBoxes.empty() || h.boxes[h.openBoxes.back()].answer != 0) return false;
            index = static_cast<int>(h.openBoxes.back());
            return true;
        },
        timeoutMs);
    return index;
}

bool WaitIdle(int timeoutMs) {
    return WaitFor(
        [] {
            Host& h = TheHost();
            std::lock_guard<std::mutex> guard(h.lock);
            if (!h.live) return true;
            if (h.busy || !h.queue.empty() || h.sendsWaiting || !h.openBoxes.empty())
                return false;
            const uint64_t now = ClockNow();
            for (auto& [id, t] : h.timers)
                if (t.due <= now) return false;
            return true;
        },
        timeoutMs);
}

void NotifyDeviceChange(uintptr_t event) {
    PostDeviceChange(event);
}

void SetDialogWatchdog(int milliseconds) {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    h.watchdogMs = milliseconds;
    h.watchdogFired = false;
}

bool DialogWatchdogFired() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.watchdogFired;
}

bool DialogAbort(int timeoutMs) {
    {
        Host& h = TheHost();
        std::lock_guard<std::mutex> guard(h.lock);
        if (!h.live) return true;
        h.aborting = true;
        h.Touch();
    }
    return WaitFor([] { return !DialogRunning(); }, timeoutMs);
}

void SetResource(const std::u16string& type, uint32_t id, std::vector<uint8_t> bytes) {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    h.resources[{type, id}] = std::move(bytes);
}

void ClearResources() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    h.resources.clear();
}

std::vector<uint32_t> ShutdownRequests() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    return h.shutdowns;
}

void ClearShutdownRequests() {
    Host& h = TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    h.shutdowns.clear();
}

} // namespace sim

// ---- The seams ----

int32_t PlatPostMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    sim::Host& h = sim::TheHost();
    std::function<intptr_t(const sim::WindowMessage&)> handler;
    sim::WindowMessage m{window, message, wParam, lParam, sim::ClockNow(), false};
    {
        std::lock_guard<std::mutex> guard(h.lock);
        h.messages.push_back(m);
        if (sim::IsDialog(h, window)) {
            sim::Item item;
            item.message = message;
            item.wParam = wParam;
            item.lParam = lParam;
            h.queue.push_back(std::move(item));
            h.Touch();
            return 1;
        }
        if (h.live && window == h.window) return 0; // the dialog has ended
        if (!h.deliverPosts) return 1;
        handler = h.handler;
    }
    if (handler) handler(m);
    return 1;
}

intptr_t PlatSendMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    sim::Host& h = sim::TheHost();
    sim::WindowMessage m{window, message, wParam, lParam, sim::ClockNow(), true};
    std::function<intptr_t(const sim::WindowMessage&)> handler;
    {
        std::unique_lock<std::mutex> guard(h.lock);
        h.messages.push_back(m);
        if (sim::IsDialog(h, window)) {
            if (sim::OnDialogThread(h)) {
                guard.unlock();
                return h.proc(window, message, wParam, lParam);
            }
            auto reply = std::make_shared<sim::Reply>();
            sim::Item item;
            item.sent = true;
            item.message = message;
            item.wParam = wParam;
            item.lParam = lParam;
            item.reply = reply;
            h.queue.push_back(std::move(item));
            ++h.sendsWaiting;
            h.Touch();
            bool done = h.changed.wait_for(guard, std::chrono::milliseconds(h.watchdogMs),
                                           [&] { return reply->done; });
            --h.sendsWaiting;
            if (!done) h.watchdogFired = true;
            h.Touch();
            return reply->result;
        }
        if (h.live && window == h.window) return 0;
        handler = h.handler;
    }
    return handler ? handler(m) : 0;
}

intptr_t PlatDialogBox(uint32_t templateId, PlatDialogProc proc) {
    sim::Host& h = sim::TheHost();
    {
        std::lock_guard<std::mutex> guard(h.lock);
        if (h.live || templateId != 102) return -1;
        h.live = true;
        h.ended = false;
        h.aborting = false;
        h.result = 0;
        h.busy = false;
        h.thread = std::this_thread::get_id();
        h.proc = proc;
        h.window = reinterpret_cast<PlatWindow>(0x10000 + 0x10 * ++h.serial);
        h.title = u"Dialog";
        h.controls.clear();
        for (const auto& c : sim::kMainDialog) {
            sim::DialogControl& d = h.controls[c.id];
            d.exists = true;
            d.text = c.text;
            d.rect = {sim::DuX(c.x), sim::DuY(c.y), sim::DuX(c.x + c.w), sim::DuY(c.y + c.h)};
        }
        const int w = sim::DuX(sim::kDialogW) + 2 * sim::kFrame;
        const int hh = sim::DuY(sim::kDialogH) + 2 * sim::kFrame + sim::kCaption;
        const int x = (sim::kScreenW - w) / 2, y = (sim::kScreenH - hh) / 2;
        h.windowRect = {x, y, x + w, y + hh};
        h.icon = 0;
        h.iconSize = 0;
        h.queue.clear();
        h.timers.clear();
        h.openBoxes.clear();
        if (h.clockSubscription == 0)
            h.clockSubscription = sim::ClockSubscribe([](uint64_t) {
                sim::Host& host = sim::TheHost();
                std::lock_guard<std::mutex> g(host.lock);
                host.Touch();
            });
        h.busy = true; // until WM_INITDIALOG has been handled
        h.Touch();
    }
    // The dialog receives the device-change notices while it runs.
    sim::SetDeviceChangeWindow(h.window);
    proc(h.window, PLAT_WM_INITDIALOG, 0, 0);
    {
        std::lock_guard<std::mutex> guard(h.lock);
        h.busy = false;
        h.Touch();
    }
    sim::Pump([](sim::Host& host) { return host.ended; });
    if (sim::DeviceChangeWindow() == h.window) sim::SetDeviceChangeWindow(nullptr);
    std::lock_guard<std::mutex> guard(h.lock);
    intptr_t result = h.ended ? h.result : -1;
    // Whatever still waits is answered as Windows answers messages to a destroyed window.
    for (auto& item : h.queue)
        if (item.reply) item.reply->done = true;
    h.queue.clear();
    h.timers.clear();
    h.live = false;
    h.ended = true;
    h.Touch();
    return result;
}

void PlatEndDialog(PlatWindow window, intptr_t result) {
    sim::OnDialog(window, [result](sim::Host& h) {
        h.ended = true;
        h.result = result;
    });
}

void PlatSetWindowTitle(PlatWindow window, const char16_t* text) {
    std::u16string t = text;
    sim::OnDialog(window, [t](sim::Host& h) { h.title = t; });
}

void PlatSetItemText(PlatWindow window, int32_t id, const char16_t* text) {
    std::u16string t = text;
    sim::OnDialog(window, [id, t](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it != h.controls.end()) it->second.text = t;
    });
}

void PlatEnableItem(PlatWindow window, int32_t id, int32_t enable) {
    sim::OnDialog(window, [id, enable](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it != h.controls.end()) it->second.enabled = enable != 0;
    });
}

void PlatListReset(PlatWindow window, int32_t id) {
    sim::OnDialog(window, [id](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it == h.controls.end()) return;
        it->second.lines.clear();
        it->second.data.clear();
        it->second.selection = -1;
        ++it->second.resets;
    });
}

int32_t PlatListAdd(PlatWindow window, int32_t id, const char16_t* text) {
    int32_t index = -1;
    std::u16string t = text;
    sim::OnDialog(window, [id, t, &index](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it == h.controls.end()) return;
        it->second.lines.push_back(t);
        it->second.data.push_back(0);
        index = static_cast<int32_t>(it->second.lines.size()) - 1;
    });
    return index;
}

void PlatListSetData(PlatWindow window, int32_t id, int32_t index, intptr_t data) {
    sim::OnDialog(window, [id, index, data](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it == h.controls.end() || index < 0 ||
            index >= static_cast<int32_t>(it->second.data.size()))
            return;
        it->second.data[static_cast<size_t>(index)] = data;
    });
}

intptr_t PlatListGetData(PlatWindow window, int32_t id, int32_t index) {
    intptr_t data = -1;
    sim::OnDialog(window, [id, index, &data](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it == h.controls.end() || index < 0 ||
            index >= static_cast<int32_t>(it->second.data.size()))
            return;
        data = it->second.data[static_cast<size_t>(index)];
    });
    return data;
}

void PlatListSetSelection(PlatWindow window, int32_t id, int32_t index) {
    sim::OnDialog(window, [id, index](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it == h.controls.end()) return;
        it->second.selection =
            index >= 0 && index < static_cast<int32_t>(it->second.lines.size()) ? index : -1;
    });
}

int32_t PlatListGetSelection(PlatWindow window, int32_t id) {
    int32_t selection = -1;
    sim::OnDialog(window, [id, &selection](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it != h.controls.end()) selection = it->second.selection;
    });
    return selection;
}

void PlatProgressSetPos(PlatWindow window, int32_t id, int32_t position) {
    sim::OnDialog(window, [id, position](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it != h.controls.end()) it->second.position = position < 0 ? 0 : position > 100 ? 100 : position;
    });
}

int32_t PlatMessageBox(PlatWindow window, const char16_t* text, const char16_t* caption,
                       uint32_t type) {
    sim::Host& h = sim::TheHost();
    size_t index;
    {
        std::lock_guard<std::mutex> guard(h.lock);
        (void)window;
        sim::MessageBoxRecord box;
        box.text = text;
        box.caption = caption;
        box.type = type;
        h.boxes.push_back(box);
        index = h.boxes.size() - 1;
        h.openBoxes.push_back(index);
        h.Touch();
    }
    bool dialogThread;
    {
        std::lock_guard<std::mutex> guard(h.lock);
        dialogThread = sim::OnDialogThread(h);
    }
    if (dialogThread) {
        // Modal: the dialog's messages and timers go on while the box waits.
        sim::Pump([index](sim::Host& host) { return host.boxes[index].answer != 0; });
    } else {
        std::unique_lock<std::mutex> guard(h.lock);
        h.changed.wait_for(guard, std::chrono::milliseconds(h.watchdogMs),
                           [&] { return h.boxes[index].answer != 0 || h.aborting; });
    }
    std::lock_guard<std::mutex> guard(h.lock);
    int answer = h.boxes[index].answer;
    if (answer == 0) {
        const uint32_t buttons = type & 0xF;
        answer = buttons == PLAT_MB_YESNO ? PLAT_IDNO : buttons == PLAT_MB_OKCANCEL ? PLAT_IDCANCEL : PLAT_IDOK;
        h.boxes[index].answer = answer;
    }
    for (auto it = h.openBoxes.begin(); it != h.openBoxes.end(); ++it)
        if (*it == index) {
            h.openBoxes.erase(it);
            break;
        }
    h.Touch();
    return answer;
}

void PlatSetTimer(PlatWindow window, uintptr_t id, uint32_t milliseconds) {
    const uint64_t now = sim::ClockNow();
    sim::OnDialog(window, [id, milliseconds, now](sim::Host& h) {
        h.timers[id] = sim::Timer{milliseconds, now + milliseconds};
    });
}

void PlatKillTimer(PlatWindow window, uintptr_t id) {
    sim::OnDialog(window, [id](sim::Host& h) { h.timers.erase(id); });
}

int32_t PlatGetWindowRect(PlatWindow window, PlatRect* rect) {
    return sim::OnDialog(window, [rect](sim::Host& h) { *rect = h.windowRect; }) ? 1 : 0;
}

int32_t PlatGetClientRect(PlatWindow window, PlatRect* rect) {
    return sim::OnDialog(window,
                         [rect](sim::Host& h) {
                             const PlatRect& w = h.windowRect;
                             *rect = {0, 0, w.right - w.left - 2 * sim::kFrame,
                                      w.bottom - w.top - 2 * sim::kFrame - sim::kCaption};
                         })
               ? 1
               : 0;
}

int32_t PlatGetItemRect(PlatWindow window, int32_t id, PlatRect* rect) {
    bool found = false;
    sim::OnDialog(window, [id, rect, &found](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it == h.controls.end()) return;
        const int ox = h.windowRect.left + sim::kFrame;
        const int oy = h.windowRect.top + sim::kFrame + sim::kCaption;
        const PlatRect& r = it->second.rect;
        *rect = {r.left + ox, r.top + oy, r.right + ox, r.bottom + oy};
        found = true;
    });
    return found ? 1 : 0;
}

void PlatMoveWindow(PlatWindow window, int32_t x, int32_t y, int32_t width, int32_t height) {
    sim::OnDialog(window, [=](sim::Host& h) { h.windowRect = {x, y, x + width, y + height}; });
}

void PlatMoveItem(PlatWindow window, int32_t id, int32_t x, int32_t y, int32_t width,
                  int32_t height) {
    sim::OnDialog(window, [=](sim::Host& h) {
        auto it = h.controls.find(id);
        if (it != h.controls.end()) it->second.rect = {x, y, x + width, y + height};
    });
}

PlatWindow PlatGetParentWindow(PlatWindow) {
    return nullptr;
}

void PlatGetScreenSize(int32_t* width, int32_t* height) {
    *width = sim::kScreenW;
    *height = sim::kScreenH;
}

void PlatSetDialogIcon(PlatWindow window, int32_t controlId, uint32_t iconId, int32_t size) {
    sim::OnDialog(window, [=](sim::Host& h) {
        if (!h.controls.count(controlId)) return;
        h.icon = iconId;
        h.iconSize = size;
    });
}

int32_t PlatFindResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) {
    sim::Host& h = sim::TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    auto it = h.resources.find({std::u16string(type), id});
    if (it == h.resources.end()) return 0;
    *data = it->second.data();
    *size = static_cast<uint32_t>(it->second.size());
    return 1;
}

void PlatRequestShutdown(uint32_t flags) {
    sim::Host& h = sim::TheHost();
    std::lock_guard<std::mutex> guard(h.lock);
    h.shutdowns.push_back(flags);
    h.Touch();
}
