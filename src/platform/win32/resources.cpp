#include "platform/resources.h"

#include <windows.h>

int32_t PlatFindResource(const char16_t* type, uint32_t id, const void** data, uint32_t* size) {
    HRSRC found = FindResourceW(nullptr, MAKEINTRESOURCEW(id), reinterpret_cast<const wchar_t*>(type));
    if (!found) return 0;
    DWORD bytes = SizeofResource(nullptr, found);
    HGLOBAL loaded = LoadResource(nullptr, found);
    const void* locked = loaded ? LockResource(loaded) : nullptr;
    if (!locked) return 0;
    *data = locked;
    *size = bytes;
    return 1;
}
