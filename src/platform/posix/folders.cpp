// The program's own folders on Linux: lstat for links, mkdir 0700 and a held descriptor.
#include "platform/folders.h"
#include "platform/posix/native_path.h"

#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

int32_t PlatIsLink(const char16_t* path) {
    struct stat st {};
    return lstat(NativePath(path).c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? 1 : 0;
}

int32_t PlatIsFolder(const char16_t* path) {
    struct stat st {};
    return lstat(NativePath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode) ? 1 : 0;
}

PlatHandle PlatCreatePrivateFolder(const char16_t* path, int32_t* existed) {
    *existed = 0;
    std::string native = NativePath(path);
    if (mkdir(native.c_str(), 0700) != 0) {
        if (errno == EEXIST) *existed = 1;
        return PLAT_INVALID_HANDLE;
    }
    int fd = open(native.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0) {
        rmdir(native.c_str());
        return PLAT_INVALID_HANDLE;
    }
    return reinterpret_cast<PlatHandle>(static_cast<intptr_t>(fd) + 1);
}

void PlatReleaseFolder(PlatHandle folder) {
    if (folder != PLAT_INVALID_HANDLE && folder != nullptr)
        close(static_cast<int>(reinterpret_cast<intptr_t>(folder) - 1));
}
