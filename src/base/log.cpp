#include "base/log.h"

#include "base/format.h"
#include "base/text.h"
#include "platform/debug_output.h"

#include <atomic>
#include <cstdarg>

namespace {
const volatile int32_t g_detailOff = 0;
std::atomic<const volatile int32_t*> g_detailSwitch{&g_detailOff};

void WriteLine(const char16_t* prefix, const char16_t* format, va_list args) {
    char16_t line[1024];
    size_t used = WCopy(line, prefix);
    // A message that does not fit is cut at the buffer's end; FormatV always terminates.
    FormatV(line + used, 1024 - used, format, args);
    PlatOutputDebugString(line);
}
} // namespace

void LogBindDetailSwitch(const volatile int32_t* detailSwitch) {
    g_detailSwitch.store(detailSwitch ? detailSwitch : &g_detailOff);
}

void LogLine(const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    WriteLine(kLogLinePrefix, format, args);
    va_end(args);
}

void LogDetail(const char16_t* format, ...) {
    if (*g_detailSwitch.load(std::memory_order_relaxed) != 1) return;
    va_list args;
    va_start(args, format);
    WriteLine(kLogDetailPrefix, format, args);
    va_end(args);
}
