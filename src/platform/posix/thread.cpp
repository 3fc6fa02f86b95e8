#include "platform/thread.h"

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>

namespace {
// One started thread. The handle owns the record together with the thread itself: whichever
// lets go last (PlatCloseThread or the thread's end) frees it.
struct ThreadRecord {
    std::mutex lock;
    std::condition_variable ended;
    bool finished = false;
    int owners = 2;
};

void Release(ThreadRecord* record) {
    bool last;
    {
        std::lock_guard<std::mutex> guard(record->lock);
        last = --record->owners == 0;
    }
    if (last) delete record;
}
} // namespace

PlatHandle PlatCreateThread(PlatThreadProc proc, void* argument) {
    auto* record = new (std::nothrow) ThreadRecord;
    if (!record) return nullptr;
    try {
        std::thread([record, proc, argument] {
            proc(argument);
            {
                std::lock_guard<std::mutex> guard(record->lock);
                record->finished = true;
            }
            record->ended.notify_all();
            Release(record);
        }).detach();
    } catch (...) {
        delete record;
        return nullptr;
    }
    return record;
}

int32_t PlatWaitThread(PlatHandle thread, uint32_t milliseconds) {
    auto* record = static_cast<ThreadRecord*>(thread);
    std::unique_lock<std::mutex> guard(record->lock);
    if (milliseconds == PLAT_WAIT_INFINITE) {
        record->ended.wait(guard, [record] { return record->finished; });
        return 1;
    }
    return record->ended.wait_for(guard, std::chrono::milliseconds(milliseconds),
                                  [record] { return record->finished; })
               ? 1
               : 0;
}

void PlatCloseThread(PlatHandle thread) {
    if (thread) Release(static_cast<ThreadRecord*>(thread));
}

int32_t PlatInterlockedExchange(volatile int32_t* target, int32_t value) {
    return __atomic_exchange_n(target, value, __ATOMIC_SEQ_CST);
}
