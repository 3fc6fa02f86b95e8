// Drive enumeration: the physical drives 0 to 19 probed one by one into DriveInfo records,
// then the volume letters C: to Z: attached to the drives found.
#pragma once
#include "disk/drive_info.h"

#include <cstdint>

// Only PhysicalDrive0 to PhysicalDrive19 are ever probed.
inline constexpr int32_t kScannedDrives = 20;

// Clears all room records, probes the drives into them packed from index 0, attaches the
// volume letters and returns the number of records filled.
int32_t EnumerateNvmeDrives(DriveInfo* records, int32_t room);
int32_t EnumerateSataDrives(DriveInfo* records, int32_t room);

// Probes one drive path into the record, which is cleared first (a failed probe leaves it
// cleared). Returns 1 when the drive was accepted, -1 when it cannot be opened, -5 when it is
// no drive for this updater (no usable transport, capacity under 16 GB, a bridge that answers
// Identify with a check condition) and otherwise the identify command's failure code.
int32_t ProbeNvmeDrive(const char16_t* path, DriveInfo* record);
int32_t ProbeSataDrive(const char16_t* path, DriveInfo* record);

// The volume scan: for each letter C to Z whose volume lies on one disk of the found records,
// appends "%c: " to that record's DriveLetters, clears its bRaw and, for C, sets bSystemDisk.
void AttachVolumeLetters(DriveInfo* records, int32_t count);
