// Threads and the one interlocked operation the program needs.
#pragma once
#include "platform/types.h"

typedef uint32_t (*PlatThreadProc)(void* argument);

// Starts a thread running proc(argument). Returns its handle, or nullptr on failure.
PlatHandle PlatCreateThread(PlatThreadProc proc, void* argument);
// Waits for the thread to end: 1 when it ended within the time, 0 on time-out.
// PLAT_WAIT_INFINITE waits without limit.
inline const uint32_t PLAT_WAIT_INFINITE = 0xFFFFFFFFu;
int32_t PlatWaitThread(PlatHandle thread, uint32_t milliseconds);
// Releases the handle; a running thread goes on.
void PlatCloseThread(PlatHandle thread);

// Atomically stores value into *target and returns the previous value (InterlockedExchange).
int32_t PlatInterlockedExchange(volatile int32_t* target, int32_t value);
