// Keeps the command sequences sent to one USB bridge drive from interleaving: a bridge carries
// one NVMe command as three pass-through requests, and a request from another thread falling
// between them (an enumeration on the dialog thread during the worker's firmware transfer)
// would corrupt the command. Each sequence holds the lock of its drive for its whole length.
//
// The lock knows a drive by the path it was opened with: the classification binds each drive
// handle to its path, so two handles of the same drive share one lock. A handle that was
// never bound is locked by its own value.
#pragma once
#include "platform/types.h"

#include <cstdint>

struct BridgeLock {
    int32_t stripe;
};

// Binds a drive handle to the path it was opened with (a later bind of the same handle value
// replaces the earlier one).
void BridgeLockBind(PlatHandle drive, const char16_t* path);
// Takes the lock of the handle's drive; blocks while another thread holds it.
BridgeLock BridgeLockAcquire(PlatHandle drive);
void BridgeLockRelease(BridgeLock lock);
