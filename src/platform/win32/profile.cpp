#include "platform/profile.h"

#include <windows.h>

uint32_t PlatGetPrivateProfileString(const char16_t* section, const char16_t* key,
                                     const char16_t* fallback, char16_t* buffer, uint32_t size,
                                     const char16_t* path) {
    return GetPrivateProfileStringW(reinterpret_cast<const wchar_t*>(section),
                                    reinterpret_cast<const wchar_t*>(key),
                                    reinterpret_cast<const wchar_t*>(fallback),
                                    reinterpret_cast<wchar_t*>(buffer), size,
                                    reinterpret_cast<const wchar_t*>(path));
}

uint32_t PlatGetPrivateProfileInt(const char16_t* section, const char16_t* key, int32_t fallback,
                                  const char16_t* path) {
    return GetPrivateProfileIntW(reinterpret_cast<const wchar_t*>(section),
                                 reinterpret_cast<const wchar_t*>(key), fallback,
                                 reinterpret_cast<const wchar_t*>(path));
}
