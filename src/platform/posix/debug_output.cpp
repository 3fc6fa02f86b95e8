// Debugger output on Linux: there is no debugger channel, so each line goes to the sink that a
// test or the lab tool installed, and to standard error when FWRENEW_DEBUG_OUTPUT is set.
#include "platform/debug_output.h"

#include "platform/codepage.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>
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
    {
        std::lock_guard<std::mutex> guard(g_sinkLock);
        if (g_sink) g_sink(g_sinkContext, text);
    }
    static const bool toStderr = std::getenv("FWRENEW_DEBUG_OUTPUT") != nullptr;
    if (toStderr) {
        char line[2048];
        PlatWideToAnsi(text, -1, line, sizeof line);
        std::fprintf(stderr, "%s\n", line);
    }
}
