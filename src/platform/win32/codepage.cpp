// The system's ANSI code page and lower-casing.
#include "platform/codepage.h"

#include <windows.h>

namespace {
// Length of the ANSI character that starts at src[i] (a lead byte takes its trail byte).
int32_t CharBytes(const char* src, int32_t i, int32_t end) {
    if (IsDBCSLeadByte(static_cast<BYTE>(src[i])) && i + 1 < end) return 2;
    return 1;
}
} // namespace

int32_t PlatAnsiToWide(const char* src, int32_t srcLen, char16_t* dst, int32_t dstCap) {
    if (dstCap <= 0) return 0;
    // Room for the terminator alone. (The conversion functions read an output size of 0 as
    // "how much room is needed" and return that, which must never be taken for a count.)
    if (dstCap == 1) {
        dst[0] = 0;
        return 0;
    }
    int32_t end = srcLen;
    if (end < 0)
        for (end = 0; src[end] != 0; ++end) {
        }
    auto* out = reinterpret_cast<wchar_t*>(dst);
    int32_t n = end == 0 ? 0 : MultiByteToWideChar(CP_ACP, 0, src, end, out, dstCap - 1);
    if (n == 0 && end > 0) {
        // Does not fit whole: convert character by character up to the buffer's end.
        for (int32_t i = 0; i < end;) {
            int32_t bytes = CharBytes(src, i, end);
            wchar_t unit[4];
            int32_t got = MultiByteToWideChar(CP_ACP, 0, src + i, bytes, unit, 4);
            if (got <= 0 || n + got > dstCap - 1) break;
            for (int32_t k = 0; k < got; ++k) out[n++] = unit[k];
            i += bytes;
        }
    }
    if (n < 0 || n > dstCap - 1) n = 0;
    dst[n] = 0;
    return n;
}

int32_t PlatWideToAnsi(const char16_t* src, int32_t srcLen, char* dst, int32_t dstCap) {
    if (dstCap <= 0) return 0;
    if (dstCap == 1) {
        dst[0] = 0;
        return 0;
    }
    int32_t end = srcLen;
    if (end < 0)
        for (end = 0; src[end] != 0; ++end) {
        }
    auto* in = reinterpret_cast<const wchar_t*>(src);
    int32_t n = end == 0 ? 0 : WideCharToMultiByte(CP_ACP, 0, in, end, dst, dstCap - 1, "?", nullptr);
    if (n == 0 && end > 0) {
        for (int32_t i = 0; i < end; ++i) {
            char bytes[8];
            int32_t got = WideCharToMultiByte(CP_ACP, 0, in + i, 1, bytes, 8, "?", nullptr);
            if (got <= 0 || n + got > dstCap - 1) break;
            for (int32_t k = 0; k < got; ++k) dst[n++] = bytes[k];
        }
    }
    if (n < 0 || n > dstCap - 1) n = 0;
    dst[n] = 0;
    return n;
}

void PlatLowerCase(char16_t* text, int32_t length) {
    if (length > 0) CharLowerBuffW(reinterpret_cast<wchar_t*>(text), static_cast<DWORD>(length));
}
