// Files and folders: open, read, write, seek, size, file times, folders, attributes, writing
// below a folder without following links, folder listing, delete, the current and the temporary
// folder, and the calendar conversions the file times need.
//
// Windows: CreateFileW, ReadFile, WriteFile, SetFilePointer, SetFileTime, CreateDirectoryW,
// RemoveDirectoryW, GetFileAttributesW, FindFirstFileW, DeleteFileW, GetCurrentDirectoryW,
// SetCurrentDirectoryW, GetTempPathW, SystemTimeToFileTime, LocalFileTimeToFileTime, and for
// writing below a folder GetFileInformationByHandle, SetFileInformationByHandle, MoveFileExW.
// Linux: the same calls over POSIX files (openat, mkdirat, renameat, unlinkat below a folder). Paths are the program's Windows-style paths: "\"
// becomes "/", text is stored as UTF-8, the read-only attribute maps to the write bits, file
// times are FILETIME values, and local time is the process's time zone.
#pragma once
#include "platform/types.h"

// Windows file attribute bits.
inline constexpr uint32_t PLAT_ATTR_READONLY = 0x1;
inline constexpr uint32_t PLAT_ATTR_HIDDEN = 0x2;
inline constexpr uint32_t PLAT_ATTR_SYSTEM = 0x4;
inline constexpr uint32_t PLAT_ATTR_DIRECTORY = 0x10;
inline constexpr uint32_t PLAT_ATTR_ARCHIVE = 0x20;
inline constexpr uint32_t PLAT_ATTR_NORMAL = 0x80;
// What PlatGetFileAttributes returns for a path that does not exist (INVALID_FILE_ATTRIBUTES).
inline constexpr uint32_t PLAT_INVALID_ATTRIBUTES = 0xFFFFFFFFu;

// Seek origins (FILE_BEGIN, FILE_CURRENT, FILE_END).
inline constexpr uint32_t PLAT_SEEK_BEGIN = 0;
inline constexpr uint32_t PLAT_SEEK_CURRENT = 1;
inline constexpr uint32_t PLAT_SEEK_END = 2;

// A calendar time (SYSTEMTIME).
struct PlatSystemTime {
    uint16_t wYear, wMonth, wDayOfWeek, wDay, wHour, wMinute, wSecond, wMilliseconds;
};

// Opens an existing file for reading, sharing read access only (writers are locked out while
// it is open). PLAT_INVALID_HANDLE on failure.
PlatHandle PlatFileOpenRead(const char16_t* path);
// Creates or truncates a file for writing, no sharing, with the given attribute bits
// (CREATE_ALWAYS). Fails when an existing file is read-only. PLAT_INVALID_HANDLE on failure.
PlatHandle PlatFileCreate(const char16_t* path, uint32_t attributes);
// Reads up to size bytes; *done receives the count (0 at the end of the file). 1 or 0.
int32_t PlatFileRead(PlatHandle file, void* buffer, uint32_t size, uint32_t* done);
// Reads up to size bytes at offset (from the start of the file) in one call; the file position
// afterwards is unspecified. *done receives the count. 1 or 0.
int32_t PlatFileReadAt(PlatHandle file, int64_t offset, void* buffer, uint32_t size,
                       uint32_t* done);
// Writes size bytes; *done receives the count written. 1 or 0.
int32_t PlatFileWrite(PlatHandle file, const void* buffer, uint32_t size, uint32_t* done);
// Moves the file position; returns the new position, or -1 on failure.
int64_t PlatFileSeek(PlatHandle file, int64_t distance, uint32_t origin);
// The file's length in bytes, or -1.
int64_t PlatFileSize(PlatHandle file);
// Sets creation, last access and last write time (FILETIME: 100 ns units since 1601-01-01,
// UTC). A null pointer or a zero value leaves that time unchanged. 1 or 0.
int32_t PlatFileSetTimes(PlatHandle file, const uint64_t* creation, const uint64_t* lastAccess,
                         const uint64_t* lastWrite);
void PlatFileClose(PlatHandle file);

// 1 when the folder was created, 0 otherwise (also when it exists).
int32_t PlatCreateFolder(const char16_t* path);
// Removes an empty folder. 1 or 0.
int32_t PlatRemoveFolder(const char16_t* path);
// Deletes a file. 1 or 0.
int32_t PlatDeleteFile(const char16_t* path);
// The attribute bits of a file or folder, or PLAT_INVALID_ATTRIBUTES when it does not exist.
uint32_t PlatGetFileAttributes(const char16_t* path);
// Sets the read-only, hidden, system and archive bits of a file. 1 or 0.
int32_t PlatSetFileAttributes(const char16_t* path, uint32_t attributes);

// ---- Writing below a folder without following links ----
// The archive reader writes into a folder that other processes of the user can write to, so
// below the folder it was given it never passes through a symbolic link, junction or other
// reparse point, and it writes each file under a temporary name that takes the file's own
// name only once the file is complete.

// Results of the calls below.
inline constexpr int32_t PLAT_BELOW_OK = 1;
inline constexpr int32_t PLAT_BELOW_FAILED = 0;     // could not be created, opened, renamed
inline constexpr int32_t PLAT_BELOW_LINK = -1;      // a link or reparse point is in the way
inline constexpr int32_t PLAT_BELOW_LEFT_OVER = -2; // the temporary file could not be removed

// Opens the folder base + relative ("a\b\" or "a/b", may be empty), creating the missing
// folders of relative from the outermost inward when create is 1. base is the caller's own
// folder, used as it is; below it every folder is checked and none is followed when it is a
// link or reparse point (*result PLAT_BELOW_LINK). The folders stay open until
// PlatFolderClose, so that none of them can be renamed, removed or turned into a link
// meanwhile. PLAT_INVALID_HANDLE on failure, with *result saying why.
PlatHandle PlatFolderOpenBelow(const char16_t* base, const char16_t* relative, int32_t create,
                               int32_t* result);
void PlatFolderClose(PlatHandle folder);

// What a name in an open folder is, without following a link.
inline constexpr uint32_t PLAT_ENTRY_NONE = 0;
inline constexpr uint32_t PLAT_ENTRY_FILE = 1;
inline constexpr uint32_t PLAT_ENTRY_READONLY_FILE = 2; // Windows will not replace it
inline constexpr uint32_t PLAT_ENTRY_FOLDER = 3;
inline constexpr uint32_t PLAT_ENTRY_LINK = 4; // symbolic link, junction, reparse point
inline constexpr uint32_t PLAT_ENTRY_OTHER = 5;
uint32_t PlatFolderEntry(PlatHandle folder, const char16_t* name);

// Creates a new, empty file under a fresh temporary name in the folder, for writing with
// PlatFileWrite, no sharing. tempName (room for 64 units) receives the name. The file is
// always new: an existing name or a link is never opened. PLAT_INVALID_HANDLE on failure.
PlatHandle PlatTempFileCreate(PlatHandle folder, char16_t* tempName);
// Gives the complete temporary file its attributes, closes it and renames it to name in the
// same folder, replacing a file of that name in one step. When the rename cannot be done the
// temporary file is removed and PLAT_BELOW_FAILED returned (PLAT_BELOW_LEFT_OVER when it
// cannot be removed either); the file of that name is then as it was.
int32_t PlatTempFileCommit(PlatHandle folder, PlatHandle file, const char16_t* tempName,
                           const char16_t* name, uint32_t attributes);
// Closes and removes an unfinished temporary file: PLAT_BELOW_OK, or PLAT_BELOW_LEFT_OVER.
int32_t PlatTempFileDiscard(PlatHandle folder, PlatHandle file, const char16_t* tempName);

// One entry of a folder listing (WIN32_FIND_DATAW, reduced).
struct PlatFindData {
    uint32_t attributes;
    uint64_t size;
    uint64_t lastWriteTime;
    char16_t name[260];
};
// Lists the entries matching a pattern such as "folder\*" or "folder\*.fw" ("*" and "?" in
// the last part). Returns a search handle with the first entry, or PLAT_INVALID_HANDLE when
// nothing matches. "." and ".." are listed as Windows lists them.
PlatHandle PlatFindFirst(const char16_t* pattern, PlatFindData* found);
// The next entry: 1, or 0 when there are no more.
int32_t PlatFindNext(PlatHandle search, PlatFindData* found);
void PlatFindClose(PlatHandle search);

// The current folder, without a trailing separator (GetCurrentDirectoryW): the length written,
// or the capacity needed (terminator included) when cap is too small; 0 on failure.
uint32_t PlatGetCurrentFolder(char16_t* buffer, uint32_t cap);
int32_t PlatSetCurrentFolder(const char16_t* path);
// The temporary folder with a trailing separator (GetTempPathW): the length written, or the
// capacity needed when cap is too small; 0 on failure.
uint32_t PlatGetTempFolder(char16_t* buffer, uint32_t cap);

// Calendar time to FILETIME, no time-zone change. 0 when the date or time is invalid.
int32_t PlatSystemTimeToFileTime(const PlatSystemTime* time, uint64_t* fileTime);
// A FILETIME in local time to UTC. 1 or 0.
int32_t PlatLocalFileTimeToFileTime(uint64_t localTime, uint64_t* utcTime);

// UTF-8 bytes to UTF-16 (MultiByteToWideChar with code page 65001): at most cap units, the
// terminator included, always terminated when cap > 0; ill-formed sequences become U+FFFD.
// Returns the number of units written without the terminator.
int32_t PlatUtf8ToWide(const char* src, int32_t srcLen, char16_t* dst, int32_t cap);

// A command-line argument as main() receives it (Windows: the ANSI code page; elsewhere
// UTF-8) in UTF-16, with the same rules as PlatUtf8ToWide.
int32_t PlatArgToWide(const char* arg, char16_t* dst, int32_t cap);
