// The virtual clock: PlatSleep advances it at once, so waits cost no real time.
#include "sim.h"

#include "platform/clock.h"

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>

namespace sim {
namespace {

// The clock starts from the host's own uptime, so that names made from the tick count (the
// application's working folders) differ between runs as they do on a real machine.
uint64_t HostUptimeMs() {
    return static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                     std::chrono::steady_clock::now().time_since_epoch())
                                     .count());
}

std::atomic<uint64_t> g_now{HostUptimeMs()};

struct Listeners {
    std::mutex lock;
    std::map<int, std::function<void(uint64_t)>> byId;
    int nextId = 1;
};

Listeners& TheListeners() {
    static Listeners listeners;
    return listeners;
}

} // namespace

uint64_t ClockNow() {
    return g_now.load();
}

void ClockAdvance(uint64_t milliseconds) {
    const uint64_t now = g_now.fetch_add(milliseconds) + milliseconds;
    std::vector<std::function<void(uint64_t)>> call;
    {
        Listeners& l = TheListeners();
        std::lock_guard<std::mutex> guard(l.lock);
        for (auto& [id, f] : l.byId)
            call.push_back(f);
    }
    for (auto& f : call)
        f(now);
}

void ClockReset() {
    g_now.store(0);
}

int ClockSubscribe(std::function<void(uint64_t now)> listener) {
    Listeners& l = TheListeners();
    std::lock_guard<std::mutex> guard(l.lock);
    const int id = l.nextId++;
    l.byId[id] = std::move(listener);
    return id;
}

void ClockUnsubscribe(int id) {
    Listeners& l = TheListeners();
    std::lock_guard<std::mutex> guard(l.lock);
    l.byId.erase(id);
}

} // namespace sim

uint64_t PlatGetTickCount64() {
    return sim::ClockNow();
}

void PlatSleep(uint32_t milliseconds) {
    sim::ClockAdvance(milliseconds);
}
