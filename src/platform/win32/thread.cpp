#include "platform/thread.h"

#include <windows.h>

#include <new>

namespace {
struct StartRecord {
    PlatThreadProc proc;
    void* argument;
};

DWORD WINAPI ThreadStart(LPVOID parameter) {
    StartRecord start = *static_cast<StartRecord*>(parameter);
    delete static_cast<StartRecord*>(parameter);
    return start.proc(start.argument);
}
} // namespace

PlatHandle PlatCreateThread(PlatThreadProc proc, void* argument) {
    auto* start = new (std::nothrow) StartRecord{proc, argument};
    if (!start) return nullptr;
    HANDLE thread = CreateThread(nullptr, 0, ThreadStart, start, 0, nullptr);
    if (!thread) delete start;
    return thread;
}

int32_t PlatWaitThread(PlatHandle thread, uint32_t milliseconds) {
    return WaitForSingleObject(thread, milliseconds) == WAIT_OBJECT_0 ? 1 : 0;
}

void PlatCloseThread(PlatHandle thread) {
    if (thread) CloseHandle(thread);
}

int32_t PlatInterlockedExchange(volatile int32_t* target, int32_t value) {
    static_assert(sizeof(LONG) == sizeof(int32_t));
    return InterlockedExchange(reinterpret_cast<volatile LONG*>(target), value);
}
