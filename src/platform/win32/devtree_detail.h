// The size arithmetic of an interface detail block (SP_DEVICE_INTERFACE_DETAIL_DATA_W), kept
// apart from the SetupDi calls so that it can be checked with any value the system answers.
#pragma once
#include <cstdint>

// The units of the device path, terminator included, in a detail block of requiredBytes whose
// path starts at pathOffset: 0 when the block has no room for even the terminator (the size
// the system answered cannot be trusted then, and no path may be copied). A trailing odd byte
// is not counted.
inline uint32_t DetailPathUnits(uint32_t requiredBytes, uint32_t pathOffset) {
    if (requiredBytes < pathOffset) return 0;
    return (requiredBytes - pathOffset) / sizeof(char16_t);
}
