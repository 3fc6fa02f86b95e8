// NVMe firmware download and commit over the four NVMe paths, the vendor configuration
// commands and the bridges' power control.
//
// DownloadFW sends an image in pieces of at most 4096 bytes (Firmware Image Download through a
// bridge's pass-through, the in-box driver's firmware-download request, or the RST driver's
// "IntelFw " request) and posts its progress to the main window; FWCommit commits the
// downloaded image to a slot. Results: 1 the requests completed at the transport level (the
// NVMe status is never read), -4 a request failed or its buffer could not be had, -5 iCmdType
// is not an NVMe path.
#pragma once
#include "disk/transport.h"
#include "platform/dialog_host.h"

#include <cstdint>

// The progress message DownloadFW posts to the main window (wParam 0, lParam a percentage):
// the application's WM_UPDATE_PROGRESS.
inline constexpr uint32_t kNvmeProgressMessage = 32816;

// Binds the window that receives the progress posts: the application passes the address of its
// main-window handle once at start, and the handle is read at every post. Until a window is
// bound (or after binding nullptr) no progress is posted.
void NvmeBindProgressWindow(const PlatWindow volatile* mainWindow);

// Sends the image (size bytes, 0 allowed) in pieces of at most 4096 bytes.
int32_t DownloadFW(const TransportContext* context, PlatHandle drive, const uint8_t* image,
                   uint32_t size);
// Commits the downloaded image: slot (3 bits), commit action (3 bits). The RST path always
// activates slot 1.
int32_t FWCommit(const TransportContext* context, PlatHandle drive, uint32_t slot, uint32_t action);

// Per-path pieces of an image: offset is the piece's byte offset in the image. 1 or -4.
int32_t IO_USB_ASM_DownloadFW(PlatHandle drive, uint32_t offset, const uint8_t* chunk,
                              uint32_t length);
int32_t IO_USB_JMI_DownloadFW(PlatHandle drive, uint32_t offset, const uint8_t* chunk,
                              uint32_t length);
int32_t IO_NVMe_DownloadFW(PlatHandle drive, uint32_t offset, const uint8_t* chunk,
                           uint32_t length);
int32_t IO_RST_DownloadFW(PlatHandle scsiPort, uint32_t pathId, uint32_t offset,
                          const uint8_t* chunk, uint32_t length);
// Activation on the in-box and RST paths. The in-box request failing with last error 197127
// (the driver reports that the activation waits for the next reset) counts as success.
int32_t IO_NVMe_FwActivate(PlatHandle drive, uint32_t slot, uint32_t action);
int32_t IO_RST_FwActivate(PlatHandle scsiPort, uint32_t pathId);

// Fills entry (64 bytes) with the Firmware Image Download of one piece: NSID 0, NUMD (0's
// based, the remainder of a length that is not a multiple of 4 dropped), OFST in dwords.
void BuildFirmwareDownloadEntry(uint8_t* entry, uint32_t offset, uint32_t length);

// The in-box activate's last error that means success.
inline constexpr uint32_t kFirmwareActivateResetPending = 197127;
