// The ANSI code page and lower-casing of the system. Windows: the system's own code page and
// lower-casing. Elsewhere: Windows-1252 and a lower-casing that agrees with Windows for ASCII,
// Latin-1 and the common European alphabets.
#pragma once
#include "platform/types.h"

// Converts srcLen bytes (or up to the terminator when srcLen is -1) of ANSI text into dst,
// at most dstCap units including the terminator, which is always written when dstCap > 0.
// Returns the number of units written without the terminator.
int32_t PlatAnsiToWide(const char* src, int32_t srcLen, char16_t* dst, int32_t dstCap);
// Converts UTF-16 text (srcLen units or up to the terminator when -1) into ANSI bytes, at
// most dstCap bytes including the terminator. Characters without an ANSI form become '?'.
int32_t PlatWideToAnsi(const char16_t* src, int32_t srcLen, char* dst, int32_t dstCap);
// Lower-cases length units in place.
void PlatLowerCase(char16_t* text, int32_t length);
