// SATA firmware download (DOWNLOAD MICROCODE, offsets mode with save and immediate use) and the
// drive's vendor configuration record over the ATA routes (read 0xC3 feature 2, write 0xC2
// feature 1).
#pragma once
#include "disk/transport.h"
#include "platform/dialog_host.h"
#include "sata/image_record.h"

#include <cstdint>

// The progress message the download posts to the main window (wParam 0, lParam a percentage):
// the application's WM_UPDATE_PROGRESS.
inline constexpr uint32_t kSataProgressMessage = 32816;

// Binds the window that receives the progress posts: the application passes the address of its
// main-window handle once at start, and the handle is read at every post. Until a window is
// bound (or after binding nullptr) no progress is posted.
void SataBindProgressWindow(const PlatWindow volatile* mainWindow);

// The largest image the 16-bit block offset can place: 65,536 blocks of 512 bytes.
inline constexpr uint32_t kSataMaxImageBytes = 65536u * 512u;

// Sends image (size bytes, from PlatPageAlloc) in segments of at most 4096 bytes, each retried
// twice 100 ms apart, and posts progress in steps of 10 %. Takes ownership of image and
// releases it with PlatPageFree exactly once, whatever the outcome. Returns 1 when every
// segment was accepted (at once for size 0), -4 when a segment failed three times or the image
// was refused before the first segment (over kSataMaxImageBytes, or not a whole number of
// 512-byte blocks), -5 without a context.
int32_t DISKLIB_SATA_FwRenew(const TransportContext* context, PlatHandle drive, uint8_t* image,
                             uint32_t size);

// Reads the drive's configuration record into record (zeroed first). Returns the AtaCmd result,
// and 0 when the record came back all zero: a rejected read must never be merged or written
// back.
int32_t ReadSataConfigRecord(const TransportContext* context, PlatHandle drive,
                             VendorConfigRecord* record);
// Writes the record back. Returns the AtaCmd result.
int32_t WriteSataConfigRecord(const TransportContext* context, PlatHandle drive,
                              VendorConfigRecord* record);
