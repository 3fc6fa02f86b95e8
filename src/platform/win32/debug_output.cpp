#include "platform/debug_output.h"

#include <windows.h>

#include <mutex>

namespace {
std::mutex g_sinkLock;
PlatDebugSink g_sink = nullptr;
void* g_sinkContext = nullptr;
} // namespace

void PlatSetDebugSink(PlatDebugSink sink, void* context) {
    std::lock_guard<std::mutex> guard(g_sinkLock);
    g_sink = sink;
    g_sinkContext = context;
}

void PlatOutputDebugString(const char16_t* text) {
    OutputDebugStringW(reinterpret_cast<const wchar_t*>(text));
    std::lock_guard<std::mutex> guard(g_sinkLock);
    if (g_sink) g_sink(g_sinkContext, text);
}
