// UTF-16 text in fixed arrays. Every function takes the capacity of its destination in units
// (terminator included), writes at most that many units and always terminates when the
// capacity is not zero.
#pragma once
#include <cstddef>
#include <cstdint>

// The fixed sizes used throughout the program.
inline constexpr size_t kShortText = 64;    // drive strings and short settings
inline constexpr size_t kPathText = 260;    // paths, title and lists
inline constexpr size_t kMessageText = 1024; // messages and log lines

size_t WLen(const char16_t* text);
// Copies src into dst; returns the number of units copied (src is cut to fit).
size_t WCopy(char16_t* dst, size_t cap, const char16_t* src);
// Appends src to the text in dst; returns the new length.
size_t WAppend(char16_t* dst, size_t cap, const char16_t* src);
// Ordinal comparison: <0, 0, >0.
int WCompare(const char16_t* a, const char16_t* b);
// Comparison ignoring letter case (the system's lower-casing).
int WCompareNoCase(const char16_t* a, const char16_t* b);
// First occurrence of pattern in text, or nullptr.
const char16_t* WFind(const char16_t* text, const char16_t* pattern);

template <size_t N> size_t WCopy(char16_t (&dst)[N], const char16_t* src) { return WCopy(dst, N, src); }
template <size_t N> size_t WAppend(char16_t (&dst)[N], const char16_t* src) { return WAppend(dst, N, src); }

// True when pattern occurs anywhere in text, ignoring letter case. Both are worked on in
// copies of 1023 and 511 units (longer inputs are cut there); an empty pattern occurs in
// every text.
int32_t ContainsNoCase(const char16_t* text, const char16_t* pattern);

// ANSI code page conversions (Windows: the system's; elsewhere Windows-1252). srcLen -1 means
// up to the terminator. Return the number of units or bytes written without the terminator.
int32_t AnsiToWide(const char* src, int32_t srcLen, char16_t* dst, size_t cap);
int32_t WideToAnsi(const char16_t* src, int32_t srcLen, char* dst, size_t cap);
template <size_t N> int32_t AnsiToWide(const char* src, int32_t srcLen, char16_t (&dst)[N]) {
    return AnsiToWide(src, srcLen, dst, N);
}

// Reads a decimal integer as the "%d" and "%I64d" conversions of scanf do: leading white space,
// an optional sign, then digits (the value wraps like an unsigned 64-bit sum). Returns 1 with
// the value and *cursor moved past the digits, or 0 when no digit follows.
int32_t ScanDecimal(const char16_t** cursor, int64_t* value);

// Lower-cases a terminated text in place with the system's lower-casing.
void WLower(char16_t* text);
