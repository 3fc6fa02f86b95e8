// Basic types shared by every seam.
#pragma once
#include <cstddef>
#include <cstdint>

// An operating-system handle (file, device, thread). On Windows it carries a HANDLE.
typedef void* PlatHandle;
// The invalid handle value of the platform (INVALID_HANDLE_VALUE, all bits set).
inline PlatHandle const PLAT_INVALID_HANDLE = reinterpret_cast<PlatHandle>(~static_cast<uintptr_t>(0));
