#include "nvme/bridge_lock.h"

#include <mutex>

namespace {

// Locks are striped: a drive maps to one of these by the hash of its path. Two drives that
// share a stripe are merely serialised with each other.
constexpr int32_t kStripes = 32;
std::mutex g_stripes[kStripes];

// The handle-to-drive table. Entries of closed handles stay until their slot is reused; a
// reused handle value is bound again by the classification that opened it.
constexpr int32_t kBindings = 64;
struct Binding {
    PlatHandle handle;
    uint32_t key;
};
std::mutex g_bindingsLock;
Binding g_bindings[kBindings];
int32_t g_nextBinding = 0;

uint32_t PathKey(const char16_t* path) {
    uint32_t hash = 2166136261u;
    for (; *path; ++path) {
        char16_t c = *path;
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        hash = (hash ^ c) * 16777619u;
    }
    return hash;
}

uint32_t HandleKey(PlatHandle drive) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(drive);
    return static_cast<uint32_t>(v ^ (v >> 32)) * 2654435761u;
}

} // namespace

void BridgeLockBind(PlatHandle drive, const char16_t* path) {
    const uint32_t key = PathKey(path);
    std::lock_guard<std::mutex> guard(g_bindingsLock);
    for (Binding& b : g_bindings) {
        if (b.handle == drive) {
            b.key = key;
            return;
        }
    }
    g_bindings[g_nextBinding] = Binding{drive, key};
    g_nextBinding = (g_nextBinding + 1) % kBindings;
}

BridgeLock BridgeLockAcquire(PlatHandle drive) {
    uint32_t key = HandleKey(drive);
    {
        std::lock_guard<std::mutex> guard(g_bindingsLock);
        for (const Binding& b : g_bindings) {
            if (b.handle == drive && drive != nullptr) {
                key = b.key;
                break;
            }
        }
    }
    const int32_t stripe = static_cast<int32_t>(key % kStripes);
    g_stripes[stripe].lock();
    return BridgeLock{stripe};
}

void BridgeLockRelease(BridgeLock lock) {
    g_stripes[lock.stripe].unlock();
}
