// The program's one printf-style formatter for UTF-16 text.
//
// Conversions: %s (UTF-16 text), %S (narrow ANSI text, converted with the code page), %c (one
// UTF-16 unit), %d and %i (32-bit signed), %u (32-bit unsigned), %x and %X (32-bit unsigned
// hexadecimal), each with the length prefix I64 (or ll) for 64-bit values, flags '-' and '0',
// a width, a precision for text, and %% for a percent sign. A narrow argument is converted at
// most 1023 units at a time. A null text argument prints "(null)".
//
// The output never passes cap units, terminator included, and is always terminated when cap
// is not zero. The result is the number of units written without the terminator, or -1 when
// the text had to be cut.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>

int32_t FormatV(char16_t* buf, size_t cap, const char16_t* format, va_list args);
int32_t Format(char16_t* buf, size_t cap, const char16_t* format, ...);

template <size_t N> int32_t FormatInto(char16_t (&buf)[N], const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t n = FormatV(buf, N, format, args);
    va_end(args);
    return n;
}
