// Debugger output: one call writes one line for an attached debugger (OutputDebugStringW).
#pragma once
#include "platform/types.h"

void PlatOutputDebugString(const char16_t* text);

// A receiver that sees every line as it is written (tests, the lab tool). Pass nullptr to
// remove it. On Windows the line still goes to the debugger as well.
typedef void (*PlatDebugSink)(void* context, const char16_t* text);
void PlatSetDebugSink(PlatDebugSink sink, void* context);
