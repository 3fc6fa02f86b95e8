// Re-discovery after a reset: the drive of a record is found again by its port location, even
// when it came back under another PhysicalDrive number, and the record is refilled by a new
// probe.
#pragma once
#include "disk/drive_info.h"
#include "platform/dialog_host.h"
#include "platform/types.h"

#include <cstdint>

// The progress message posted to the main window while the drive is absent (wParam 0, lParam
// a percentage); the application's WM_UPDATE_PROGRESS.
inline constexpr uint32_t kDiskProgressMessage = 32816;

// Binds the window that receives the progress posts: the application passes the address of
// its main-window handle once at start, and the handle is read at every post. Until a window
// is bound (or after binding nullptr) no progress is posted.
void DiskBindProgressWindow(const PlatWindow volatile* mainWindow);

// An open handle of the present disk whose location by the rule of iCmdType equals iPort, or
// the invalid handle. Only disks whose storage bus type fits the transport are considered.
PlatHandle FindDiskByPort(int32_t iCmdType, uint64_t iPort);
// The same, looking from member *index of the present disks on; on a match *index is set to
// the member found, so a search can go on after it.
PlatHandle FindDiskByPortFrom(int32_t iCmdType, uint64_t iPort, uint32_t* index);

// Looks for the record's drive by its iCmdType and iPort up to attempts times, one second
// apart, posting progress (100 x attempt / attempts) after each search that found nothing.
// Each disk found at the location is probed with the SATA probe when bIsSATA is set, else the
// NVMe probe; it is the record's drive only when its serial number is the record's, and then
// the record is refilled and 1 returned. A disk with another serial number is another drive
// at an equal location: the search goes on past it. When no disk at the location is the
// drive but one of them was rejected by its probe, 0 at once with the record cleared. 0 after
// the last attempt, the record untouched.
int32_t GetDiskInfoByPortID(DriveInfo* record, int32_t attempts, uint8_t bIsSATA);
