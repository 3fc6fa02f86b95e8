// Bridge power control: the vendor command that makes a USB-to-NVMe bridge restart its drive,
// which resets the controller and activates a committed image. The drive leaves the USB bus
// and comes back on the same port, possibly under another PhysicalDrive number. 1 or -4.
#pragma once
#include "platform/types.h"

#include <cstdint>

// ASMedia: CDB EA 5A mode, no data. The worker passes mode 1.
int32_t IO_USB_ASM_PowerCtrl(PlatHandle drive, uint8_t mode);
// JMicron: a 512-byte control block ("NVME", the mode at byte 72) sent, an empty data phase
// and the completion read. The worker passes mode 5.
int32_t IO_USB_JMI_PowerCtrl(PlatHandle drive, uint8_t mode);
