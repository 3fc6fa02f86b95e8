// Windows-1252 stand-in for the ANSI code page, and a lower-casing that agrees with Windows'
// for ASCII, Latin-1, Latin Extended-A, Greek and Cyrillic capitals.
#include "platform/codepage.h"

namespace {
// Bytes 0x80..0x9F of Windows-1252. Bytes that code page leaves undefined map to the C1
// control of the same value, as Windows converts them.
const char16_t kHigh1252[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

char16_t ByteToWide(unsigned char b) {
    if (b >= 0x80 && b <= 0x9F) return kHigh1252[b - 0x80];
    return b;
}

char WideToByte(char16_t c) {
    if (c < 0x80 || (c >= 0xA0 && c <= 0xFF)) return static_cast<char>(c);
    for (int i = 0; i < 32; ++i)
        if (kHigh1252[i] == c) return static_cast<char>(0x80 + i);
    return '?';
}

char16_t Lower(char16_t c) {
    if (c < 0x80) return (c >= u'A' && c <= u'Z') ? static_cast<char16_t>(c + 32) : c;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return static_cast<char16_t>(c + 32);
    if (c >= 0x0100 && c <= 0x017F) {
        if (c == 0x0130) return u'i';
        if (c == 0x0178) return 0x00FF;
        if ((c >= 0x0100 && c <= 0x0137) || (c >= 0x014A && c <= 0x0177))
            return (c % 2 == 0) ? static_cast<char16_t>(c + 1) : c;
        if ((c >= 0x0139 && c <= 0x0148) || (c >= 0x0179 && c <= 0x017E))
            return (c % 2 == 1) ? static_cast<char16_t>(c + 1) : c;
        return c;
    }
    if (c >= 0x0391 && c <= 0x03AB && c != 0x03A2) return static_cast<char16_t>(c + 32);
    if (c >= 0x0410 && c <= 0x042F) return static_cast<char16_t>(c + 32);
    if (c >= 0x0400 && c <= 0x040F) return static_cast<char16_t>(c + 80);
    return c;
}
} // namespace

int32_t PlatAnsiToWide(const char* src, int32_t srcLen, char16_t* dst, int32_t dstCap) {
    if (dstCap <= 0) return 0;
    int32_t n = 0;
    for (int32_t i = 0; (srcLen < 0 ? src[i] != 0 : i < srcLen) && n < dstCap - 1; ++i)
        dst[n++] = ByteToWide(static_cast<unsigned char>(src[i]));
    dst[n] = 0;
    return n;
}

int32_t PlatWideToAnsi(const char16_t* src, int32_t srcLen, char* dst, int32_t dstCap) {
    if (dstCap <= 0) return 0;
    int32_t n = 0;
    for (int32_t i = 0; (srcLen < 0 ? src[i] != 0 : i < srcLen) && n < dstCap - 1; ++i)
        dst[n++] = WideToByte(src[i]);
    dst[n] = 0;
    return n;
}

void PlatLowerCase(char16_t* text, int32_t length) {
    for (int32_t i = 0; i < length; ++i) text[i] = Lower(text[i]);
}
