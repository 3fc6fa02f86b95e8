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

// ---- Writing below a folder without following links ----
// Every folder below the base is opened with FILE_FLAG_OPEN_REPARSE_POINT and checked for
// FILE_ATTRIBUTE_REPARSE_POINT (a junction or symbolic link), and stays open without
// FILE_SHARE_WRITE or FILE_SHARE_DELETE until PlatFolderClose: while it is held nobody can
// rename or remove it, or make it a junction, so the path through it keeps meaning what was
// checked.

namespace {
constexpr int kMaxHeld = 132; // a 260-unit path has at most 130 folders
struct FolderBelow {
    HANDLE held[kMaxHeld];
    int count;
    wchar_t path[260]; // the folder, ending in "\"
    size_t length;
};

void ReleaseFolder(FolderBelow* f) {
    for (int i = 0; i < f->count; ++i)
        CloseHandle(f->held[i]);
    HeapFree(GetProcessHeap(), 0, f);
}

// base path + name of a folder entry; false when it does not fit.
bool EntryPath(const FolderBelow* f, const char16_t* name, wchar_t* out) {
    size_t n = 0;
    while (name[n] != 0)
        ++n;
    if (f->length + n + 1 > 260) return false;
    for (size_t i = 0; i < f->length; ++i)
        out[i] = f->path[i];
    for (size_t i = 0; i <= n; ++i)
        out[f->length + i] = static_cast<wchar_t>(name[i]);
    return true;
}
} // namespace

PlatHandle PlatFolderOpenBelow(const char16_t* base, const char16_t* relative, int32_t create,
                               int32_t* result) {
    *result = PLAT_BELOW_FAILED;
    auto* f = static_cast<FolderBelow*>(
        HeapAlloc(GetProcessHeap(), HEAP_ZERO_MEMORY, sizeof(FolderBelow)));
    if (f == nullptr) return PLAT_INVALID_HANDLE;
    size_t n = 0;
    for (; base[n] != 0; ++n) {
        if (n + 2 >= 260) {
            ReleaseFolder(f);
            return PLAT_INVALID_HANDLE;
        }
        f->path[n] = base[n] == u'/' ? L'\\' : static_cast<wchar_t>(base[n]);
    }
    if (n > 0 && f->path[n - 1] != L'\\') f->path[n++] = L'\\';
    f->path[n] = 0;
    f->length = n;
    // The base is the caller's folder: made when missing, used as it is.
    if (n > 0) {
        DWORD at = GetFileAttributesW(f->path);
        if (at == INVALID_FILE_ATTRIBUTES && create) {
            CreateDirectoryW(f->path, nullptr);
            at = GetFileAttributesW(f->path);
        }
        if (at == INVALID_FILE_ATTRIBUTES || !(at & FILE_ATTRIBUTE_DIRECTORY)) {
            ReleaseFolder(f);
            return PLAT_INVALID_HANDLE;
        }
    }
    for (size_t i = 0; relative[i] != 0;) {
        size_t j = i;
        while (relative[j] != 0 && relative[j] != u'\\' && relative[j] != u'/')
            ++j;
        size_t len = j - i;
        bool dot = len == 1 && relative[i] == u'.';
        bool dotdot = len == 2 && relative[i] == u'.' && relative[i + 1] == u'.';
        if (dotdot || f->length + len + 2 > 260 || f->count >= kMaxHeld) {
            ReleaseFolder(f);
            return PLAT_INVALID_HANDLE;
        }
        if (len > 0 && !dot) {
            for (size_t k = 0; k < len; ++k)
                f->path[f->length + k] = static_cast<wchar_t>(relative[i + k]);
            f->path[f->length + len] = 0;
            if (create && GetFileAttributesW(f->path) == INVALID_FILE_ATTRIBUTES)
                CreateDirectoryW(f->path, nullptr);
            HANDLE h =
                CreateFileW(f->path, FILE_LIST_DIRECTORY | FILE_READ_ATTRIBUTES | SYNCHRONIZE,
                            FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                            FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
            // Both the open folder and its path are asked: some file systems (wine's view of
            // a Linux symbolic link among them) show the reparse point only to one of them.
            // The path is asked once the folder is held, so both answers are about one folder.
            BY_HANDLE_FILE_INFORMATION info{};
            DWORD at = GetFileAttributesW(f->path);
            if (h != INVALID_HANDLE_VALUE) {
                f->held[f->count++] = h;
                if (!GetFileInformationByHandle(h, &info))
                    at = INVALID_FILE_ATTRIBUTES;
                else if (at != INVALID_FILE_ATTRIBUTES)
                    at |= info.dwFileAttributes;
            }
            if (at != INVALID_FILE_ATTRIBUTES && (at & FILE_ATTRIBUTE_REPARSE_POINT))
                *result = PLAT_BELOW_LINK;
            if (h == INVALID_HANDLE_VALUE || at == INVALID_FILE_ATTRIBUTES ||
                (at & FILE_ATTRIBUTE_REPARSE_POINT) || !(at & FILE_ATTRIBUTE_DIRECTORY)) {
                ReleaseFolder(f);
                return PLAT_INVALID_HANDLE;
            }
            f->length += len;
            f->path[f->length++] = L'\\';
            f->path[f->length] = 0;
        }
        i = relative[j] != 0 ? j + 1 : j;
    }
    *result = PLAT_BELOW_OK;
    return f;
}

void PlatFolderClose(PlatHandle folder) {
    if (folder != PLAT_INVALID_HANDLE && folder != nullptr)
        ReleaseFolder(static_cast<FolderBelow*>(folder));
}

uint32_t PlatFolderEntry(PlatHandle folder, const char16_t* name) {
    wchar_t path[260];
    if (!EntryPath(static_cast<FolderBelow*>(folder), name, path)) return PLAT_ENTRY_OTHER;
    DWORD at = GetFileAttributesW(path);
    if (at == INVALID_FILE_ATTRIBUTES) {
        DWORD e = GetLastError();
        return e == ERROR_FILE_NOT_FOUND || e == ERROR_PATH_NOT_FOUND ? PLAT_ENTRY_NONE
                                                                      : PLAT_ENTRY_OTHER;
    }
    if (at & FILE_ATTRIBUTE_REPARSE_POINT) return PLAT_ENTRY_LINK;
    if (at & FILE_ATTRIBUTE_DIRECTORY) return PLAT_ENTRY_FOLDER;
    if (at & FILE_ATTRIBUTE_DEVICE) return PLAT_ENTRY_OTHER;
    return (at & FILE_ATTRIBUTE_READONLY) ? PLAT_ENTRY_READONLY_FILE : PLAT_ENTRY_FILE;
}

PlatHandle PlatTempFileCreate(PlatHandle folder, char16_t* tempName) {
    static LONG counter = 0;
    auto* f = static_cast<FolderBelow*>(folder);
    for (int attempt = 0; attempt < 100; ++attempt) {
        char16_t name[64];
        // "~fw" + process id + counter in hex + ".tmp"
        unsigned long parts[2] = {GetCurrentProcessId(),
                                  static_cast<unsigned long>(InterlockedIncrement(&counter))};
        int n = 0;
        for (const char16_t* p = u"~fw"; *p != 0; ++p)
            name[n++] = *p;
        for (int k = 0; k < 2; ++k) {
            if (k == 1) name[n++] = u'-';
            for (int shift = 28; shift >= 0; shift -= 4)
                name[n++] = u"0123456789abcdef"[(parts[k] >> shift) & 0xF];
        }
        for (const char16_t* p = u".tmp"; *p != 0; ++p)
            name[n++] = *p;
        name[n] = 0;
        wchar_t path[260];
        if (!EntryPath(f, name, path)) return PLAT_INVALID_HANDLE;
        HANDLE h = CreateFileW(path, GENERIC_WRITE | DELETE, 0, nullptr, CREATE_NEW,
                               FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
        if (h == INVALID_HANDLE_VALUE) {
            DWORD e = GetLastError();
            if (e == ERROR_FILE_EXISTS || e == ERROR_ALREADY_EXISTS) continue;
            return PLAT_INVALID_HANDLE;
        }
        for (int i = 0; i <= n; ++i)
            tempName[i] = name[i];
        return h;
    }
    return PLAT_INVALID_HANDLE;
}

namespace {
// Marks an open file for deletion at its close (it is held without sharing, so no other
// program can be holding it), then closes it; a plain delete after the close where that
// cannot be done. PLAT_BELOW_OK or PLAT_BELOW_LEFT_OVER.
int32_t RemoveTemp(FolderBelow* f, HANDLE file, const char16_t* tempName) {
    FILE_DISPOSITION_INFO dispose{};
    dispose.DeleteFile = TRUE;
    BOOL marked = SetFileInformationByHandle(file, FileDispositionInfo, &dispose, sizeof dispose);
    CloseHandle(file);
    wchar_t path[260];
    if (!EntryPath(f, tempName, path)) return PLAT_BELOW_LEFT_OVER;
    if (marked && GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES) return PLAT_BELOW_OK;
    SetFileAttributesW(path, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(path)) return PLAT_BELOW_OK;
    return GetFileAttributesW(path) == INVALID_FILE_ATTRIBUTES ? PLAT_BELOW_OK
                                                               : PLAT_BELOW_LEFT_OVER;
}
} // namespace

int32_t PlatTempFileCommit(PlatHandle folder, PlatHandle file, const char16_t* tempName,
                           const char16_t* name, uint32_t attributes) {
    auto* f = static_cast<FolderBelow*>(folder);
    wchar_t from[260], to[260];
    if (!EntryPath(f, tempName, from) || !EntryPath(f, name, to)) {
        RemoveTemp(f, file, tempName);
        return PLAT_BELOW_FAILED;
    }
    // The attributes are given through the handle while it is still held without sharing.
    FILE_BASIC_INFO basic{};
    basic.FileAttributes = attributes & (FILE_ATTRIBUTE_READONLY | FILE_ATTRIBUTE_HIDDEN |
                                         FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_ARCHIVE);
    if (basic.FileAttributes == 0) basic.FileAttributes = FILE_ATTRIBUTE_NORMAL;
    SetFileInformationByHandle(file, FileBasicInfo, &basic, sizeof basic);
    CloseHandle(file);
    if (MoveFileExW(from, to, MOVEFILE_REPLACE_EXISTING)) return PLAT_BELOW_OK;
    SetFileAttributesW(from, FILE_ATTRIBUTE_NORMAL);
    if (DeleteFileW(from) || GetFileAttributesW(from) == INVALID_FILE_ATTRIBUTES)
        return PLAT_BELOW_FAILED;
    return PLAT_BELOW_LEFT_OVER;
}

int32_t PlatTempFileDiscard(PlatHandle folder, PlatHandle file, const char16_t* tempName) {
    return RemoveTemp(static_cast<FolderBelow*>(folder), file, tempName);
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
