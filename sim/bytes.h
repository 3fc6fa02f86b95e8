// Little helpers for reading and writing integers in request bytes.
#pragma once
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace sim {

inline uint16_t Le16(const uint8_t* p) {
    return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
inline uint32_t Le32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
inline uint64_t Le64(const uint8_t* p) {
    return static_cast<uint64_t>(Le32(p)) | (static_cast<uint64_t>(Le32(p + 4)) << 32);
}
inline void Put16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}
inline void Put32(uint8_t* p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
inline void Put64(uint8_t* p, uint64_t v) {
    for (int i = 0; i < 8; ++i)
        p[i] = static_cast<uint8_t>(v >> (8 * i));
}
// Writes text into a fixed-width field, zero-padded.
inline void PutText(std::vector<uint8_t>& page, size_t offset, size_t width, const std::string& text) {
    for (size_t i = 0; i < width; ++i)
        page[offset + i] = i < text.size() ? static_cast<uint8_t>(text[i]) : 0;
}
inline uint32_t Be32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | p[3];
}
inline uint32_t Be24(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 16) | (static_cast<uint32_t>(p[1]) << 8) | p[2];
}

// Reads a pointer-sized field (4 or 8 bytes) as an address.
inline uint8_t* ReadPointer(const uint8_t* p, uint32_t size) {
    uint64_t v = size == 8 ? Le64(p) : Le32(p);
    return reinterpret_cast<uint8_t*>(static_cast<uintptr_t>(v));
}

// Writes text into a fixed field padded with blanks (NVMe identify strings).
inline void PutPadded(uint8_t* p, size_t width, const std::string& text) {
    std::memset(p, ' ', width);
    std::memcpy(p, text.data(), text.size() < width ? text.size() : width);
}

// Writes text into an ATA string field: two characters per word, the first in the high byte.
inline void PutAtaString(uint8_t* p, size_t width, const std::string& text) {
    std::string padded = text;
    padded.resize(width, ' ');
    for (size_t i = 0; i + 1 < width + 1 && i < width; i += 2) {
        p[i] = static_cast<uint8_t>(padded[i + 1]);
        p[i + 1] = static_cast<uint8_t>(padded[i]);
    }
}

} // namespace sim
