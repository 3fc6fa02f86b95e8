// The program's own folders under the user's temporary folder, which any process of that user
// can write to: links are never followed there, the working folder is always created new with
// an access list of its own, and it is held open so that it cannot be renamed or removed by
// another process while the program uses it.
//
// Windows: reparse-point attributes, CreateDirectoryW with a protected access list for the
// administrators and the system, and a folder handle opened without delete sharing. Linux: lstat,
// mkdir with mode 0700 and an open folder descriptor.
#pragma once
#include "platform/types.h"

// 1 when the path's last part is a symbolic link, a junction or another reparse point.
int32_t PlatIsLink(const char16_t* path);
// 1 when the path is an existing folder (not a link).
int32_t PlatIsFolder(const char16_t* path);
// Creates the folder new (an existing name, a link included, is an error) with an access list
// for the administrators and the system only, not inherited, and returns a handle held on it
// that keeps it from being renamed or deleted. PLAT_INVALID_HANDLE on failure;
// *existed is set to 1 when the name was taken already.
PlatHandle PlatCreatePrivateFolder(const char16_t* path, int32_t* existed);
// Lets go of a folder held by PlatCreatePrivateFolder.
void PlatReleaseFolder(PlatHandle folder);
