// The package archive reader: opens a ZIP archive file, lists its items and extracts them
// under a chosen folder. Items are stored or deflated (raw deflate through zlib), optionally
// encrypted with the traditional PKWARE scheme. Classic single-disk layout with 32-bit sizes;
// ZIP64 records are not interpreted and archives spread over several disks are refused.
//
// Every operation returns a result code and also leaves it in LastArchiveResult(). The low
// byte is always 0; bits 8-15 report failures of the archive or the file system, bits 16-23
// errors of the caller, bits 24-31 internal faults.
#pragma once
#include <cstdint>

typedef uint32_t ArchiveResult;

inline constexpr ArchiveResult ARC_OK = 0x0;
inline constexpr ArchiveResult ARC_DUPLICATE_HANDLE = 0x100;
inline constexpr ArchiveResult ARC_NO_FILE = 0x200; // cannot create or open a file
inline constexpr ArchiveResult ARC_NO_MEMORY = 0x300;
inline constexpr ArchiveResult ARC_WRITE_FAILED = 0x400;
inline constexpr ArchiveResult ARC_NOT_FOUND = 0x500;
inline constexpr ArchiveResult ARC_MORE_DATA = 0x600;
inline constexpr ArchiveResult ARC_CORRUPT = 0x700; // corrupt archive or item data
inline constexpr ArchiveResult ARC_READ_FAILED = 0x800;
inline constexpr ArchiveResult ARC_PASSWORD = 0x1000; // the right password is needed
inline constexpr ArchiveResult ARC_BAD_ARGUMENTS = 0x10000;
inline constexpr ArchiveResult ARC_NOT_MEMORY_ARCHIVE = 0x20000;
inline constexpr ArchiveResult ARC_MEMORY_TOO_SMALL = 0x30000;
inline constexpr ArchiveResult ARC_PREVIOUS_ERROR = 0x40000;
inline constexpr ArchiveResult ARC_ALREADY_ENDED = 0x50000;
inline constexpr ArchiveResult ARC_SIZE_WRONG = 0x60000;
inline constexpr ArchiveResult ARC_PARTLY_UNZIPPED = 0x70000;
inline constexpr ArchiveResult ARC_WRONG_KIND = 0x80000; // the handle is not a reader
inline constexpr ArchiveResult ARC_NOT_INITIALISED = 0x1000000;
inline constexpr ArchiveResult ARC_SEEK_UNSEEKABLE = 0x2000000;
inline constexpr ArchiveResult ARC_NO_CHANGE = 0x4000000;
inline constexpr ArchiveResult ARC_FLATE = 0x5000000; // damaged compressed data, stream fault

// The kind of handle that OpenArchive returns.
inline constexpr uint32_t ARCHIVE_KIND_READER = 1;

struct ArchiveReader;

// Owned by the caller from OpenArchive until CloseArchive.
struct ArchiveHandle {
    uint32_t kind;
    ArchiveReader* reader;
};

// One item of the archive.
struct ArchiveItem {
    int32_t index;           // position in the central directory; the item count for index -1
    char16_t name[260];      // stored name, decoded from UTF-8 and cleaned
    uint32_t attributes;     // Windows attribute bits: 0x1 read-only, 0x2 hidden, 0x4 system,
                             // 0x10 directory, 0x20 archive
    uint64_t lastAccessTime; // FILETIME values, UTC
    uint64_t creationTime;
    uint64_t lastWriteTime;
    int32_t compressedSize;
    int32_t uncompressedSize;
};

// Opens an archive file; password is an 8-bit string or nullptr. Returns nullptr on failure
// (LastArchiveResult() is then 0x200). The extract folder starts as the current folder.
ArchiveHandle* OpenArchive(const char16_t* path, const char* password);
// Sets the folder that relative targets are extracted under (a separator is appended).
ArchiveResult SetExtractFolder(ArchiveHandle* handle, const char16_t* folder);
// Fills item with the item at index; index -1 gives the item count in item->index.
ArchiveResult GetArchiveItem(ArchiveHandle* handle, int32_t index, ArchiveItem* item);
// Extracts the item at index to target, a path relative to the extract folder or absolute.
// A failed item leaves no file with wrong content under its name.
ArchiveResult ExtractArchiveItem(ArchiveHandle* handle, int32_t index, const char16_t* target);
// Reads the item at index through to its end and checks its length and CRC-32 without writing
// anything (what extraction would report, for package makers).
ArchiveResult TestArchiveItem(ArchiveHandle* handle, int32_t index);
// True when handle is present and is a reader.
bool IsArchiveReader(const ArchiveHandle* handle);
// Closes the archive and frees the handle.
ArchiveResult CloseArchive(ArchiveHandle* handle);

// The result of the last operation, process-wide.
ArchiveResult LastArchiveResult();
// The description of a result code.
const char16_t* ArchiveResultText(ArchiveResult code);
