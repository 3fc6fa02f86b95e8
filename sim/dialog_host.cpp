// The headless dialog host: records every message posted or sent to a window and hands sent
// messages to the test's handler.
#include "sim.h"

#include "platform/dialog_host.h"

#include <mutex>

namespace sim {
namespace {

struct Host {
    std::mutex lock;
    std::vector<WindowMessage> messages;
    std::function<intptr_t(const WindowMessage&)> handler;
    bool deliverPosts = false;
};

Host& TheHost() {
    static Host host;
    return host;
}

intptr_t Deliver(const WindowMessage& m) {
    std::function<intptr_t(const WindowMessage&)> handler;
    Host& h = TheHost();
    {
        std::lock_guard<std::mutex> guard(h.lock);
        h.messages.push_back(m);
        if (!m.sent && !h.deliverPosts) return 1;
        handler = h.handler;
    }
    return handler ? handler(m) : (m.sent ? 0 : 1);
}

} // namespace

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

} // namespace sim

int32_t PlatPostMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    sim::WindowMessage m{window, message, wParam, lParam, sim::ClockNow(), false};
    sim::Deliver(m);
    return 1;
}

intptr_t PlatSendMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    sim::WindowMessage m{window, message, wParam, lParam, sim::ClockNow(), true};
    return sim::Deliver(m);
}
