#include "platform/folders.h"

#include <windows.h>
#include <sddl.h>

namespace {
const wchar_t* W(const char16_t* s) {
    return reinterpret_cast<const wchar_t*>(s);
}
} // namespace

int32_t PlatIsLink(const char16_t* path) {
    DWORD a = GetFileAttributesW(W(path));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_REPARSE_POINT) ? 1 : 0;
}

int32_t PlatIsFolder(const char16_t* path) {
    DWORD a = GetFileAttributesW(W(path));
    return a != INVALID_FILE_ATTRIBUTES && (a & FILE_ATTRIBUTE_DIRECTORY) &&
                   !(a & FILE_ATTRIBUTE_REPARSE_POINT)
               ? 1
               : 0;
}

PlatHandle PlatCreatePrivateFolder(const char16_t* path, int32_t* existed) {
    *existed = 0;
    // Protected access list: full control for the administrators and the system only,
    // inherited by what is created inside, nothing inherited from the temporary folder.
    PSECURITY_DESCRIPTOR sd = nullptr;
    if (!ConvertStringSecurityDescriptorToSecurityDescriptorW(
            L"D:P(A;OICI;FA;;;BA)(A;OICI;FA;;;SY)", SDDL_REVISION_1, &sd, nullptr))
        return PLAT_INVALID_HANDLE;
    SECURITY_ATTRIBUTES sa{sizeof sa, sd, FALSE};
    BOOL created = CreateDirectoryW(W(path), &sa);
    DWORD error = GetLastError();
    LocalFree(sd);
    if (!created) {
        if (error == ERROR_ALREADY_EXISTS) *existed = 1;
        return PLAT_INVALID_HANDLE;
    }
    // Held without delete sharing: the folder cannot be renamed or removed while open.
    HANDLE h = CreateFileW(W(path), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OPEN_REPARSE_POINT, nullptr);
    if (h == INVALID_HANDLE_VALUE) {
        RemoveDirectoryW(W(path));
        return PLAT_INVALID_HANDLE;
    }
    BY_HANDLE_FILE_INFORMATION info{};
    if (!GetFileInformationByHandle(h, &info) ||
        (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) ||
        !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)) {
        CloseHandle(h);
        return PLAT_INVALID_HANDLE;
    }
    return h;
}

void PlatReleaseFolder(PlatHandle folder) {
    if (folder != PLAT_INVALID_HANDLE && folder != nullptr) CloseHandle(folder);
}
