// The diagnostic log: one line per call to the debugger output.
//
// LogLine always writes; LogDetail writes only while the detail switch equals 1. The switch is
// an integer owned by the application state: the application binds it once at start with
// LogBindDetailSwitch(&state.iLogDetail). Until then (and in programs without an application
// state) a switch that is always 0 is read.
#pragma once
#include <cstdint>

void LogLine(const char16_t* format, ...);
void LogDetail(const char16_t* format, ...);

void LogBindDetailSwitch(const volatile int32_t* detailSwitch);

inline constexpr const char16_t kLogLinePrefix[] = u"[TX] ";
inline constexpr const char16_t kLogDetailPrefix[] = u"[TX]          [middle] ";
