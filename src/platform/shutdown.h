// The shutdown request at the end of an update.
//
// Windows: enables "SeShutdownPrivilege" in the process token and calls ExitWindowsEx. Linux
// builds and every test build: the request is recorded (and written to the debugger output),
// never acted on.
#pragma once
#include "platform/types.h"

inline constexpr uint32_t PLAT_EWX_REBOOT = 2;
inline constexpr uint32_t PLAT_EWX_POWEROFF = 8;

void PlatRequestShutdown(uint32_t flags);
