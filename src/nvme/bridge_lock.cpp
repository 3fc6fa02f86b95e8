#include "nvme/bridge_lock.h"

#include <mutex>

namespace {

// Locks are striped: a drive maps to one of these by the hash of its path. Two drives that
// share a stripe are merely serialised with each other.
constexpr int32_t kStripes = 32;
std::mutex g_stripes[kStripes];
constexpr int32_t kAllStripes = -1;

// The handle-to-drive table: one slot per open, bound handle. A slot is held from the bind to
// the unbind of its handle and is never given to another handle meanwhile; when every slot is
// taken, a new handle stays unbound and locks all stripes.
constexpr int32_t kBindings = 64;
struct Binding {
    PlatHandle handle;
    uint32_t key;
    bool used;
};
std::mutex g_bindingsLock;
Binding g_bindings[kBindings];

uint32_t PathKey(const char16_t* path) {
    uint32_t hash = 2166136261u;
    for (; *path; ++path) {
        char16_t c = *path;
        if (c >= u'a' && c <= u'z') c = static_cast<char16_t>(c - u'a' + u'A');
        hash = (hash ^ c) * 16777619u;
    }
    return hash;
}

bool Usable(PlatHandle drive) {
    return drive != nullptr && drive != PLAT_INVALID_HANDLE;
}

} // namespace

void BridgeLockBind(PlatHandle drive, const char16_t* path) {
    if (!Usable(drive)) return;
    const uint32_t key = PathKey(path);
    std::lock_guard<std::mutex> guard(g_bindingsLock);
    Binding* free = nullptr;
    for (Binding& b : g_bindings) {
        if (b.used && b.handle == drive) {
            b.key = key;
            return;
        }
        if (!b.used && free == nullptr) free = &b;
    }
    if (free != nullptr) *free = Binding{drive, key, true};
}

void BridgeLockUnbind(PlatHandle drive) {
    if (!Usable(drive)) return;
    std::lock_guard<std::mutex> guard(g_bindingsLock);
    for (Binding& b : g_bindings)
        if (b.used && b.handle == drive) b = Binding{nullptr, 0, false};
}

BridgeLock BridgeLockAcquire(PlatHandle drive) {
    int32_t stripe = kAllStripes;
    if (Usable(drive)) {
        std::lock_guard<std::mutex> guard(g_bindingsLock);
        for (const Binding& b : g_bindings) {
            if (b.used && b.handle == drive) {
                stripe = static_cast<int32_t>(b.key % kStripes);
                break;
            }
        }
    }
    if (stripe != kAllStripes) {
        g_stripes[stripe].lock();
    } else {
        // Every stripe, always in the same order: a thread holds either one stripe for one
        // sequence or takes them all in this order, so no two threads wait on each other.
        for (std::mutex& m : g_stripes)
            m.lock();
    }
    return BridgeLock{stripe};
}

void BridgeLockRelease(BridgeLock lock) {
    if (lock.stripe != kAllStripes) {
        g_stripes[lock.stripe].unlock();
        return;
    }
    for (int32_t i = kStripes - 1; i >= 0; --i)
        g_stripes[i].unlock();
}
