// Files and folders over the Windows file API.
#include "platform/files.h"

#include <windows.h>

namespace {
const wchar_t* W(const char16_t* text) {
    return reinterpret_cast<const wchar_t*>(text);
}

FILETIME ToFt(uint64_t v) {
    FILETIME ft;
    ft.dwLowDateTime = static_cast<DWORD>(v);
    ft.dwHighDateTime = static_cast<DWORD>(v >> 32);
    return ft;
}

uint64_t FromFt(const FILETIME& ft) {
    return (static_cast<uint64_t>(ft.dwHighDateTime) << 32) | ft.dwLowDateTime;
}

void Fill(const WIN32_FIND_DATAW& w, PlatFindData* found) {
    found->attributes = w.dwFileAttributes;
    found->size = (static_cast<uint64_t>(w.nFileSizeHigh) << 32) | w.nFileSizeLow;
    found->lastWriteTime = FromFt(w.ftLastWriteTime);
    int i = 0;
    for (; i < 259 && w.cFileName[i] != 0; ++i)
        found->name[i] = static_cast<char16_t>(w.cFileName[i]);
    found->name[i] = 0;
}
} // namespace

PlatHandle PlatFileOpenRead(const char16_t* path) {
    HANDLE h = CreateFileW(W(path), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    return h == INVALID_HANDLE_VALUE ? PLAT_INVALID_HANDLE : h;
}

PlatHandle PlatFileCreate(const char16_t* path, uint32_t attributes) {
    HANDLE h = CreateFileW(W(path), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, attributes, nullptr);
    return h == INVALID_HANDLE_VALUE ? PLAT_INVALID_HANDLE : h;
}

int32_t PlatFileRead(PlatHandle file, void* buffer, uint32_t size, uint32_t* done) {
    DWORD got = 0;
    BOOL ok = ReadFile(file, buffer, size, &got, nullptr);
    *done = got;
    return ok ? 1 : 0;
}

int32_t PlatFileReadAt(PlatHandle file, int64_t offset, void* buffer, uint32_t size,
                       uint32_t* done) {
    OVERLAPPED at{};
    at.Offset = static_cast<DWORD>(offset & 0xFFFFFFFF);
    at.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(offset) >> 32);
    DWORD got = 0;
    BOOL ok = ReadFile(file, buffer, size, &got, &at);
    *done = got;
    if (!ok && GetLastError() == ERROR_HANDLE_EOF) return 1;
    return ok ? 1 : 0;
}

int32_t PlatFileWrite(PlatHandle file, const void* buffer, uint32_t size, uint32_t* done) {
    DWORD put = 0;
    BOOL ok = WriteFile(file, buffer, size, &put, nullptr);
    *done = put;
    return ok ? 1 : 0;
}

int64_t PlatFileSeek(PlatHandle file, int64_t distance, uint32_t origin) {
    LONG high = static_cast<LONG>(distance >> 32);
    SetLastError(NO_ERROR);
    DWORD low = SetFilePointer(file, static_cast<LONG>(distance & 0xFFFFFFFF), &high, origin);
    if (low == INVALID_SET_FILE_POINTER && GetLastError() != NO_ERROR) return -1;
    return (static_cast<int64_t>(high) << 32) | low;
}

int64_t PlatFileSize(PlatHandle file) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) return -1;
    return size.QuadPart;
}

int32_t PlatFileSetTimes(PlatHandle file, const uint64_t* creation, const uint64_t* lastAccess,
                         const uint64_t* lastWrite) {
    FILETIME c = ToFt(creation ? *creation : 0);
    FILETIME a = ToFt(lastAccess ? *lastAccess : 0);
    FILETIME w = ToFt(lastWrite ? *lastWrite : 0);
    return SetFileTime(file, &c, &a, &w) ? 1 : 0;
}

void PlatFileClose(PlatHandle file) {
    if (file != PLAT_INVALID_HANDLE && file != nullptr) CloseHandle(file);
}

int32_t PlatCreateFolder(const char16_t* path) {
    return CreateDirectoryW(W(path), nullptr) ? 1 : 0;
}
int32_t PlatRemoveFolder(const char16_t* path) {
    return RemoveDirectoryW(W(path)) ? 1 : 0;
}
int32_t PlatDeleteFile(const char16_t* path) {
    return DeleteFileW(W(path)) ? 1 : 0;
}
uint32_t PlatGetFileAttributes(const char16_t* path) {
    return GetFileAttributesW(W(path));
}

int32_t PlatSetFileAttributes(const char16_t* path, uint32_t attributes) {
    return SetFileAttributesW(W(path), attributes) ? 1 : 0;
}

PlatHandle PlatFindFirst(const char16_t* pattern, PlatFindData* found) {
    WIN32_FIND_DATAW w;
    HANDLE h = FindFirstFileW(W(pattern), &w);
    if (h == INVALID_HANDLE_VALUE) return PLAT_INVALID_HANDLE;
    Fill(w, found);
    return h;
}

int32_t PlatFindNext(PlatHandle search, PlatFindData* found) {
    WIN32_FIND_DATAW w;
    if (!FindNextFileW(search, &w)) return 0;
    Fill(w, found);
    return 1;
}

void PlatFindClose(PlatHandle search) {
    if (search != PLAT_INVALID_HANDLE && search != nullptr) FindClose(search);
}

uint32_t PlatGetCurrentFolder(char16_t* buffer, uint32_t cap) {
    return GetCurrentDirectoryW(cap, reinterpret_cast<wchar_t*>(buffer));
}

int32_t PlatSetCurrentFolder(const char16_t* path) {
    return SetCurrentDirectoryW(W(path)) ? 1 : 0;
}

uint32_t PlatGetTempFolder(char16_t* buffer, uint32_t cap) {
    return GetTempPathW(cap, reinterpret_cast<wchar_t*>(buffer));
}

int32_t PlatSystemTimeToFileTime(const PlatSystemTime* time, uint64_t* fileTime) {
    SYSTEMTIME st;
    st.wYear = time->wYear;
    st.wMonth = time->wMonth;
    st.wDayOfWeek = time->wDayOfWeek;
    st.wDay = time->wDay;
    st.wHour = time->wHour;
    st.wMinute = time->wMinute;
    st.wSecond = time->wSecond;
    st.wMilliseconds = time->wMilliseconds;
    FILETIME ft;
    if (!SystemTimeToFileTime(&st, &ft)) return 0;
    *fileTime = FromFt(ft);
    return 1;
}

int32_t PlatLocalFileTimeToFileTime(uint64_t localTime, uint64_t* utcTime) {
    FILETIME local = ToFt(localTime);
    FILETIME utc;
    if (!LocalFileTimeToFileTime(&local, &utc)) return 0;
    *utcTime = FromFt(utc);
    return 1;
}

int32_t PlatUtf8ToWide(const char* src, int32_t srcLen, char16_t* dst, int32_t cap) {
    if (cap <= 0) return 0;
    int32_t end = srcLen;
    if (end < 0)
        for (end = 0; src[end] != 0; ++end) {
        }
    auto* out = reinterpret_cast<wchar_t*>(dst);
    int32_t n = end == 0 ? 0 : MultiByteToWideChar(CP_UTF8, 0, src, end, out, cap - 1);
    if (n == 0 && end > 0) {
        // Too long for the buffer: convert whole into a temporary and keep what fits.
        int32_t need = MultiByteToWideChar(CP_UTF8, 0, src, end, nullptr, 0);
        if (need > 0) {
            auto* all =
                static_cast<wchar_t*>(HeapAlloc(GetProcessHeap(), 0, sizeof(wchar_t) * need));
            if (all != nullptr) {
                MultiByteToWideChar(CP_UTF8, 0, src, end, all, need);
                n = need < cap - 1 ? need : cap - 1;
                // Never split a surrogate pair.
                if (n > 0 && all[n - 1] >= 0xD800 && all[n - 1] <= 0xDBFF) --n;
                for (int32_t i = 0; i < n; ++i)
                    out[i] = all[i];
                HeapFree(GetProcessHeap(), 0, all);
            }
        }
    }
    dst[n] = 0;
    return n;
}

int32_t PlatArgToWide(const char* arg, char16_t* dst, int32_t cap) {
    if (cap <= 0) return 0;
    int32_t n = MultiByteToWideChar(CP_ACP, 0, arg, -1, reinterpret_cast<wchar_t*>(dst), cap);
    if (n <= 0) {
        dst[0] = 0;
        return 0;
    }
    return n - 1;
}
