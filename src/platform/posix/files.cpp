// Files and folders over POSIX. Paths arrive as the program's Windows-style UTF-16 paths and
// are turned into UTF-8 with "/" for "\"; a handle carries a file descriptor (plus one, so
// that no valid handle is null) or, for a folder listing, a heap record.
#include "platform/files.h"
#include "platform/posix/native_path.h"
#include "platform/utf8.h"

#include <cerrno>
#include <cstdlib>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <fnmatch.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace {
constexpr uint64_t kUnixEpochAsFileTime = 116444736000000000ull;
constexpr uint64_t kTicksPerSecond = 10000000ull;

PlatHandle FromFd(int fd) {
    return reinterpret_cast<PlatHandle>(static_cast<intptr_t>(fd) + 1);
}
int ToFd(PlatHandle h) {
    return static_cast<int>(reinterpret_cast<intptr_t>(h) - 1);
}

uint64_t ToFileTime(const struct timespec& ts) {
    return kUnixEpochAsFileTime +
           static_cast<uint64_t>(static_cast<int64_t>(ts.tv_sec) *
                                 static_cast<int64_t>(kTicksPerSecond)) +
           static_cast<uint64_t>(ts.tv_nsec / 100);
}

struct timespec FromFileTime(const uint64_t* ft) {
    struct timespec ts {};
    if (ft == nullptr || *ft == 0) {
        ts.tv_nsec = UTIME_OMIT;
        return ts;
    }
    int64_t ticks = static_cast<int64_t>(*ft - kUnixEpochAsFileTime);
    int64_t sec = ticks / static_cast<int64_t>(kTicksPerSecond);
    int64_t rem = ticks % static_cast<int64_t>(kTicksPerSecond);
    if (rem < 0) {
        rem += kTicksPerSecond;
        --sec;
    }
    ts.tv_sec = static_cast<time_t>(sec);
    ts.tv_nsec = static_cast<long>(rem * 100);
    return ts;
}

uint32_t AttributesOf(const struct stat& st) {
    if (S_ISDIR(st.st_mode)) return PLAT_ATTR_DIRECTORY;
    uint32_t a = PLAT_ATTR_ARCHIVE;
    if ((st.st_mode & 0222) == 0) a |= PLAT_ATTR_READONLY;
    return a;
}

mode_t ModeFor(uint32_t attributes) {
    return (attributes & PLAT_ATTR_READONLY) ? 0444 : 0666;
}

int64_t DaysFromCivil(int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<int64_t>(doe) - 719468;
}

struct FindState {
    DIR* dir;
    std::string folder;
    std::string pattern;
};

bool NextMatch(FindState* s, PlatFindData* found) {
    while (struct dirent* e = readdir(s->dir)) {
        if (fnmatch(s->pattern.c_str(), e->d_name, 0) != 0) continue;
        std::memset(found, 0, sizeof(*found));
        struct stat st {};
        if (stat((s->folder + e->d_name).c_str(), &st) == 0) {
            found->attributes = AttributesOf(st);
            found->size = S_ISDIR(st.st_mode) ? 0 : static_cast<uint64_t>(st.st_size);
            found->lastWriteTime = ToFileTime(st.st_mtim);
        }
        PlatUtf8ToWide(e->d_name, -1, found->name, 260);
        return true;
    }
    return false;
}
} // namespace

PlatHandle PlatFileOpenRead(const char16_t* path) {
    int fd = open(NativePath(path).c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return PLAT_INVALID_HANDLE;
    struct stat st {};
    if (fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        close(fd);
        return PLAT_INVALID_HANDLE;
    }
    return FromFd(fd);
}

PlatHandle PlatFileCreate(const char16_t* path, uint32_t attributes) {
    std::string native = NativePath(path);
    // The common case, a new file, takes one call.
    int fd = open(native.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, ModeFor(attributes));
    if (fd >= 0) return FromFd(fd);
    if (errno != EEXIST) return PLAT_INVALID_HANDLE;
    struct stat st {};
    // Windows refuses to replace a read-only file; so does this stand-in, even for root.
    if (stat(native.c_str(), &st) == 0 && !S_ISDIR(st.st_mode) && (st.st_mode & 0222) == 0) {
        errno = EACCES;
        return PLAT_INVALID_HANDLE;
    }
    fd = open(native.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW,
              ModeFor(attributes));
    if (fd < 0) return PLAT_INVALID_HANDLE;
    // Like CREATE_ALWAYS, an existing file takes the new attributes.
    static const mode_t mask = [] {
        mode_t m = umask(0);
        umask(m);
        return m;
    }();
    fchmod(fd, ModeFor(attributes) & ~mask);
    return FromFd(fd);
}

int32_t PlatFileRead(PlatHandle file, void* buffer, uint32_t size, uint32_t* done) {
    *done = 0;
    auto* p = static_cast<char*>(buffer);
    while (*done < size) {
        ssize_t n = read(ToFd(file), p + *done, size - *done);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (n == 0) break;
        *done += static_cast<uint32_t>(n);
    }
    return 1;
}

int32_t PlatFileReadAt(PlatHandle file, int64_t offset, void* buffer, uint32_t size,
                       uint32_t* done) {
    *done = 0;
    auto* p = static_cast<char*>(buffer);
    while (*done < size) {
        ssize_t n = pread(ToFd(file), p + *done, size - *done, static_cast<off_t>(offset + *done));
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return 0;
        if (n == 0) break;
        *done += static_cast<uint32_t>(n);
    }
    return 1;
}

int32_t PlatFileWrite(PlatHandle file, const void* buffer, uint32_t size, uint32_t* done) {
    *done = 0;
    auto* p = static_cast<const char*>(buffer);
    while (*done < size) {
        ssize_t n = write(ToFd(file), p + *done, size - *done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return 0;
        *done += static_cast<uint32_t>(n);
    }
    return 1;
}

int64_t PlatFileSeek(PlatHandle file, int64_t distance, uint32_t origin) {
    int whence = origin == PLAT_SEEK_BEGIN     ? SEEK_SET
                 : origin == PLAT_SEEK_CURRENT ? SEEK_CUR
                                               : SEEK_END;
    off_t pos = lseek(ToFd(file), static_cast<off_t>(distance), whence);
    return pos < 0 ? -1 : static_cast<int64_t>(pos);
}

int64_t PlatFileSize(PlatHandle file) {
    struct stat st {};
    if (fstat(ToFd(file), &st) != 0) return -1;
    return static_cast<int64_t>(st.st_size);
}

int32_t PlatFileSetTimes(PlatHandle file, const uint64_t* /*creation*/, const uint64_t* lastAccess,
                         const uint64_t* lastWrite) {
    struct timespec ts[2] = {FromFileTime(lastAccess), FromFileTime(lastWrite)};
    return futimens(ToFd(file), ts) == 0 ? 1 : 0;
}

void PlatFileClose(PlatHandle file) {
    if (file != PLAT_INVALID_HANDLE && file != nullptr) close(ToFd(file));
}

int32_t PlatCreateFolder(const char16_t* path) {
    return mkdir(NativePath(path).c_str(), 0777) == 0 ? 1 : 0;
}

int32_t PlatRemoveFolder(const char16_t* path) {
    return rmdir(NativePath(path).c_str()) == 0 ? 1 : 0;
}

int32_t PlatDeleteFile(const char16_t* path) {
    std::string native = NativePath(path);
    struct stat st {};
    if (lstat(native.c_str(), &st) != 0 || S_ISDIR(st.st_mode)) return 0;
    return unlink(native.c_str()) == 0 ? 1 : 0;
}

uint32_t PlatGetFileAttributes(const char16_t* path) {
    struct stat st {};
    if (stat(NativePath(path).c_str(), &st) != 0) return PLAT_INVALID_ATTRIBUTES;
    return AttributesOf(st);
}

int32_t PlatSetFileAttributes(const char16_t* path, uint32_t attributes) {
    std::string native = NativePath(path);
    struct stat st {};
    if (stat(native.c_str(), &st) != 0) return 0;
    mode_t mode = st.st_mode & 07777;
    if (attributes & PLAT_ATTR_READONLY)
        mode &= ~static_cast<mode_t>(0222);
    else
        mode |= S_IWUSR;
    return chmod(native.c_str(), mode) == 0 ? 1 : 0;
}

// ---- Writing below a folder without following links ----
// A folder handle carries the folder's descriptor; every name below it is reached with
// openat/mkdirat/renameat relative to the descriptor of its parent, O_NOFOLLOW at each step.

PlatHandle PlatFolderOpenBelow(const char16_t* base, const char16_t* relative, int32_t create,
                               int32_t* result) {
    *result = PLAT_BELOW_FAILED;
    const std::string root = NativePath(base);
    const char* rootPath = root.empty() ? "." : root.c_str();
    int dir = open(rootPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0 && errno == ENOENT && create) {
        mkdir(rootPath, 0777);
        dir = open(rootPath, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    }
    if (dir < 0) return PLAT_INVALID_HANDLE;
    std::string rel = NativePath(relative);
    size_t at = 0;
    while (at < rel.size()) {
        size_t slash = rel.find('/', at);
        if (slash == std::string::npos) slash = rel.size();
        std::string part = rel.substr(at, slash - at);
        at = slash + 1;
        if (part.empty() || part == ".") continue;
        if (part == "..") { // never upwards, whatever the caller checked
            close(dir);
            return PLAT_INVALID_HANDLE;
        }
        int next = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (next < 0 && errno == ENOENT && create) {
            if (mkdirat(dir, part.c_str(), 0777) == 0 || errno == EEXIST)
                next = openat(dir, part.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        }
        if (next < 0) {
            struct stat st {};
            if (fstatat(dir, part.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISLNK(st.st_mode))
                *result = PLAT_BELOW_LINK;
            close(dir);
            return PLAT_INVALID_HANDLE;
        }
        close(dir);
        dir = next;
    }
    *result = PLAT_BELOW_OK;
    return FromFd(dir);
}

void PlatFolderClose(PlatHandle folder) {
    PlatFileClose(folder);
}

uint32_t PlatFolderEntry(PlatHandle folder, const char16_t* name) {
    struct stat st {};
    if (fstatat(ToFd(folder), NativePath(name).c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? PLAT_ENTRY_NONE : PLAT_ENTRY_OTHER;
    if (S_ISLNK(st.st_mode)) return PLAT_ENTRY_LINK;
    if (S_ISDIR(st.st_mode)) return PLAT_ENTRY_FOLDER;
    if (!S_ISREG(st.st_mode)) return PLAT_ENTRY_OTHER;
    return (st.st_mode & 0222) == 0 ? PLAT_ENTRY_READONLY_FILE : PLAT_ENTRY_FILE;
}

PlatHandle PlatTempFileCreate(PlatHandle folder, char16_t* tempName) {
    static uint32_t counter = 0;
    for (int attempt = 0; attempt < 100; ++attempt) {
        char name[64];
        std::snprintf(name, sizeof name, "~fw%x-%x.tmp", static_cast<unsigned>(getpid()),
                      ++counter);
        int fd =
            openat(ToFd(folder), name, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0 && errno == EEXIST) continue;
        if (fd < 0) return PLAT_INVALID_HANDLE;
        size_t i = 0;
        for (; name[i] != 0; ++i)
            tempName[i] = static_cast<char16_t>(name[i]);
        tempName[i] = 0;
        return FromFd(fd);
    }
    return PLAT_INVALID_HANDLE;
}

int32_t PlatTempFileCommit(PlatHandle folder, PlatHandle file, const char16_t* tempName,
                           const char16_t* name, uint32_t attributes) {
    static const mode_t mask = [] {
        mode_t m = umask(0);
        umask(m);
        return m;
    }();
    fchmod(ToFd(file), ModeFor(attributes) & ~mask);
    close(ToFd(file));
    std::string temp = NativePath(tempName);
    if (renameat(ToFd(folder), temp.c_str(), ToFd(folder), NativePath(name).c_str()) == 0)
        return PLAT_BELOW_OK;
    return unlinkat(ToFd(folder), temp.c_str(), 0) == 0 ? PLAT_BELOW_FAILED : PLAT_BELOW_LEFT_OVER;
}

int32_t PlatTempFileDiscard(PlatHandle folder, PlatHandle file, const char16_t* tempName) {
    close(ToFd(file));
    return unlinkat(ToFd(folder), NativePath(tempName).c_str(), 0) == 0 ? PLAT_BELOW_OK
                                                                        : PLAT_BELOW_LEFT_OVER;
}

PlatHandle PlatFindFirst(const char16_t* pattern, PlatFindData* found) {
    std::string native = NativePath(pattern);
    size_t slash = native.rfind('/');
    auto* s = new FindState{};
    s->folder = slash == std::string::npos ? std::string("./") : native.substr(0, slash + 1);
    s->pattern = slash == std::string::npos ? native : native.substr(slash + 1);
    s->dir = opendir(s->folder.c_str());
    if (s->dir == nullptr || !NextMatch(s, found)) {
        if (s->dir) closedir(s->dir);
        delete s;
        return PLAT_INVALID_HANDLE;
    }
    return s;
}

int32_t PlatFindNext(PlatHandle search, PlatFindData* found) {
    return NextMatch(static_cast<FindState*>(search), found) ? 1 : 0;
}

void PlatFindClose(PlatHandle search) {
    if (search == PLAT_INVALID_HANDLE || search == nullptr) return;
    auto* s = static_cast<FindState*>(search);
    closedir(s->dir);
    delete s;
}

uint32_t PlatGetCurrentFolder(char16_t* buffer, uint32_t cap) {
    char native[4096];
    if (getcwd(native, sizeof native) == nullptr) return 0;
    char16_t wide[4096];
    int32_t n = PlatUtf8ToWide(native, -1, wide, 4096);
    if (static_cast<uint32_t>(n) + 1 > cap) return static_cast<uint32_t>(n) + 1;
    for (int32_t i = 0; i <= n; ++i)
        buffer[i] = wide[i];
    return static_cast<uint32_t>(n);
}

int32_t PlatSetCurrentFolder(const char16_t* path) {
    return chdir(NativePath(path).c_str()) == 0 ? 1 : 0;
}

uint32_t PlatGetTempFolder(char16_t* buffer, uint32_t cap) {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = (tmp && *tmp) ? tmp : "/tmp";
    if (folder.back() != '/') folder += '/';
    char16_t wide[4096];
    int32_t n = PlatUtf8ToWide(folder.c_str(), -1, wide, 4096);
    if (static_cast<uint32_t>(n) + 1 > cap) return static_cast<uint32_t>(n) + 1;
    for (int32_t i = 0; i <= n; ++i)
        buffer[i] = wide[i];
    return static_cast<uint32_t>(n);
}

int32_t PlatSystemTimeToFileTime(const PlatSystemTime* t, uint64_t* fileTime) {
    static const uint8_t kDays[12] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (t->wYear < 1601 || t->wYear > 30827 || t->wMonth < 1 || t->wMonth > 12 || t->wDay < 1 ||
        t->wHour > 23 || t->wMinute > 59 || t->wSecond > 59 || t->wMilliseconds > 999)
        return 0;
    bool leap = (t->wYear % 4 == 0 && t->wYear % 100 != 0) || t->wYear % 400 == 0;
    unsigned maxDay = kDays[t->wMonth - 1] - ((t->wMonth == 2 && !leap) ? 1 : 0);
    if (t->wDay > maxDay) return 0;
    int64_t days = DaysFromCivil(t->wYear, t->wMonth, t->wDay) - DaysFromCivil(1601, 1, 1);
    int64_t seconds = days * 86400 + t->wHour * 3600 + t->wMinute * 60 + t->wSecond;
    *fileTime = static_cast<uint64_t>(seconds) * kTicksPerSecond +
                static_cast<uint64_t>(t->wMilliseconds) * 10000;
    return 1;
}

int32_t PlatLocalFileTimeToFileTime(uint64_t localTime, uint64_t* utcTime) {
    // The UTC time whose local reading is localTime: subtract the zone's offset, then check it
    // with the offset in force at the result (they differ only around a change of offset).
    // localtime_r, unlike mktime, does not look at the zone file again on every call.
    int64_t ticks = static_cast<int64_t>(localTime - kUnixEpochAsFileTime);
    int64_t sec = ticks / static_cast<int64_t>(kTicksPerSecond);
    int64_t rem = ticks % static_cast<int64_t>(kTicksPerSecond);
    if (rem < 0) {
        rem += kTicksPerSecond;
        --sec;
    }
    static const bool zoneRead = [] {
        tzset();
        return true;
    }();
    (void)zoneRead;
    auto offsetAt = [](int64_t t, long* offset) {
        time_t tt = static_cast<time_t>(t);
        struct tm fields {};
        if (localtime_r(&tt, &fields) == nullptr) return false;
        *offset = fields.tm_gmtoff;
        return true;
    };
    long off1 = 0, off2 = 0;
    if (!offsetAt(sec, &off1) || !offsetAt(sec - off1, &off2)) return 0;
    int64_t utc = sec - off2;
    *utcTime = kUnixEpochAsFileTime +
               static_cast<uint64_t>(utc * static_cast<int64_t>(kTicksPerSecond) + rem);
    return 1;
}

int32_t PlatUtf8ToWide(const char* src, int32_t srcLen, char16_t* dst, int32_t cap) {
    if (cap <= 0) return 0;
    const auto* s = reinterpret_cast<const unsigned char*>(src);
    int32_t end = srcLen;
    if (end < 0)
        for (end = 0; s[end] != 0; ++end) {
        }
    int32_t n = 0;
    int32_t i = 0;
    while (i < end) {
        uint32_t c = s[i];
        uint32_t cp = 0xFFFD;
        int32_t len = 1;
        int32_t need = 0;
        uint32_t lo = 0x80, hi = 0xBF;
        if (c < 0x80) {
            cp = c;
        } else if (c >= 0xC2 && c <= 0xDF) {
            need = 1;
            cp = c & 0x1F;
        } else if (c >= 0xE0 && c <= 0xEF) {
            need = 2;
            cp = c & 0x0F;
            if (c == 0xE0) lo = 0xA0;
            if (c == 0xED) hi = 0x9F;
        } else if (c >= 0xF0 && c <= 0xF4) {
            need = 3;
            cp = c & 0x07;
            if (c == 0xF0) lo = 0x90;
            if (c == 0xF4) hi = 0x8F;
        }
        // Take continuation bytes while they fit; a broken sequence becomes one U+FFFD for
        // its longest valid start.
        int32_t k = 0;
        for (; k < need && i + 1 + k < end; ++k) {
            uint32_t b = s[i + 1 + k];
            if (b < (k == 0 ? lo : 0x80) || b > (k == 0 ? hi : 0xBF)) break;
            cp = (cp << 6) | (b & 0x3F);
        }
        if (k < need) {
            cp = 0xFFFD;
            len = 1 + k;
        } else {
            len = 1 + need;
        }
        int32_t units = cp >= 0x10000 ? 2 : 1;
        if (n + units > cap - 1) break;
        if (units == 2) {
            dst[n++] = static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            dst[n++] = static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            dst[n++] = static_cast<char16_t>(cp);
        }
        i += len;
    }
    dst[n] = 0;
    return n;
}

int32_t PlatArgToWide(const char* arg, char16_t* dst, int32_t cap) {
    return PlatUtf8ToWide(arg, -1, dst, cap);
}
