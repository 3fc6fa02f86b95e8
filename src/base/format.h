// The program's one printf-style formatter for UTF-16 text.
//
// Conversions: %s (UTF-16 text), %S (narrow ANSI text, converted with the code page), %c (one
// UTF-16 unit), %d and %i (32-bit signed), %u (32-bit unsigned), %x and %X (32-bit unsigned
// hexadecimal), flags '-' and '0', a width, a precision for text, and %% for a percent sign.
// Size prefixes as in the wide printf family of Windows: I64 or ll for 64-bit integers; h for
// a short integer, narrow text (%hs, %hS) or a narrow character (%hc); l, w or I32 for a
// 32-bit integer, UTF-16 text (%ls, %lS) or a UTF-16 character (%lc). A narrow argument is
// converted at most 1023 units at a time. A null text argument prints "(null)".
//
// A conversion the formatter does not know (another letter, a prefix that does not fit the
// letter, a '*' width) ends the formatting of arguments: it and the rest of the format are
// written as they stand and no further argument is read, so an argument is never read at a
// width it was not passed with.
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
