// The dialog host: how the program talks to its window. Only the messaging part is here so
// far; controls, list lines, message boxes and timers join it with the application.
//
// Windows: PostMessageW / SendMessageW. Linux builds and every test: the headless host of
// sim/, which records what it receives.
#pragma once
#include "platform/types.h"

// A window handle (HWND).
typedef void* PlatWindow;

// Posts a message to the window's queue and returns at once: 1 when it was queued.
int32_t PlatPostMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Sends a message and waits until the window handled it; returns the handler's result.
intptr_t PlatSendMessage(PlatWindow window, uint32_t message, uintptr_t wParam, intptr_t lParam);
