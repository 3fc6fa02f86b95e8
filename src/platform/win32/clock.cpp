#include "platform/clock.h"

#include <windows.h>

uint64_t PlatGetTickCount64() { return GetTickCount64(); }

void PlatSleep(uint32_t milliseconds) { Sleep(milliseconds); }
