// Private-profile (initialisation file) reading: GetPrivateProfileStringW and
// GetPrivateProfileIntW.
//
// Windows: the system calls. Linux: a reader with the same rules: a file in UTF-16LE with a
// byte-order mark (without one it is read as ANSI text), section and key names compared without
// regard to letter case, the first match wins, values trimmed of blanks and tabs and freed of
// one pair of surrounding quotes, text cut at the read size.
#pragma once
#include "platform/types.h"

// Copies the value of key in section (or the default, trailing blanks removed, when the file,
// section or key is missing) into buffer, at most size - 1 units, terminated. Returns the
// number of units copied.
uint32_t PlatGetPrivateProfileString(const char16_t* section, const char16_t* key,
                                     const char16_t* fallback, char16_t* buffer, uint32_t size,
                                     const char16_t* path);
// The value read as a decimal integer (optional sign, digits up to the first other character,
// 32-bit wrap-around); the default when the key is missing or its value is empty.
uint32_t PlatGetPrivateProfileInt(const char16_t* section, const char16_t* key, int32_t fallback,
                                  const char16_t* path);
