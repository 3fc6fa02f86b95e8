// Clock: milliseconds since start and a sleep. Real on Windows and Linux; virtual in the
// simulator, where a sleep advances the clock at once.
#pragma once
#include "platform/types.h"

uint64_t PlatGetTickCount64();
void PlatSleep(uint32_t milliseconds);
