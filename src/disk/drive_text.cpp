#include "disk/drive_text.h"

#include <cstddef>

uint32_t CapacityToGB(uint32_t blockSize, uint64_t totalBytes) {
    if (totalBytes < 1000000000ull) return 0;
    uint64_t gb;
    if (blockSize == 4096) {
        gb = (totalBytes / 4096 - 2646) / 244188;
    } else {
        // 512-byte blocks, and every other size measured in 512-byte units of its bytes.
        // totalBytes / 512 is at least 1953125 here, so the subtraction cannot wrap.
        gb = (totalBytes / 512 - 21168) / 1953504;
    }
    return static_cast<uint32_t>(gb);
}

void TrimBlanks(char16_t* text) {
    auto blank = [](char16_t c) { return c == u' ' || c == u'\t'; };
    size_t start = 0;
    while (blank(text[start]))
        ++start;
    size_t n = 0;
    while (text[start + n] != 0) {
        text[n] = text[start + n];
        ++n;
    }
    while (n > 0 && blank(text[n - 1]))
        --n;
    text[n] = 0;
}

uint64_t ReversePortDigits(uint64_t raw) {
    uint64_t acc = 0;
    while (raw > 100) {
        acc = acc * 100 + raw % 100;
        raw /= 100;
    }
    return acc * 100 + raw % 100;
}
