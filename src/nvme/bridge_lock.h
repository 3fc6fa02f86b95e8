// Keeps the command sequences sent to one USB bridge drive from interleaving: a bridge carries
// one NVMe command as three pass-through requests, and a request from another thread falling
// between them (an enumeration on the dialog thread during the worker's firmware transfer)
// would corrupt the command. Each sequence holds the lock of its drive for its whole length.
//
// The lock knows a drive by the path it was opened with: the classification binds each drive
// handle to its path, and closing the handle (CloseTransport) unbinds it, so two open handles of
// the same drive share one lock however many handles were opened and closed before. A handle
// that is not bound (never classified, or opened while every binding slot was taken) takes the
// locks of all drives at once, so it still excludes every other handle of its drive.
#pragma once
#include "platform/types.h"

#include <cstdint>

struct BridgeLock {
    int32_t stripe; // the lock taken, or -1 for all of them
};

// Binds a drive handle to the path it was opened with (a later bind of the same handle value
// replaces the earlier one). The binding lasts until BridgeLockUnbind.
void BridgeLockBind(PlatHandle drive, const char16_t* path);
// Forgets the handle's binding; called before the handle is closed.
void BridgeLockUnbind(PlatHandle drive);
// Takes the lock of the handle's drive; blocks while another thread holds it.
BridgeLock BridgeLockAcquire(PlatHandle drive);
void BridgeLockRelease(BridgeLock lock);
