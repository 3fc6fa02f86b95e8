// UTF-16 to UTF-8, without the operating system: used where the program meets Linux file
// names, and by the simulator and the tools to print and store text.
#pragma once
#include <cstddef>
#include <cstdint>

// The code point that starts at text[i]; a surrogate pair takes two units and a lone
// surrogate gives U+FFFD. Advances i past it.
inline uint32_t NextCodePoint(const char16_t* text, size_t len, size_t& i) {
    uint32_t c = text[i++];
    if (c >= 0xD800 && c <= 0xDBFF && i < len && text[i] >= 0xDC00 && text[i] <= 0xDFFF)
        return 0x10000 + ((c - 0xD800) << 10) + (text[i++] - 0xDC00u);
    if (c >= 0xD800 && c <= 0xDFFF) return 0xFFFD;
    return c;
}

// Writes the UTF-8 bytes of a code point into out (room for 4) and returns their count.
inline int EncodeUtf8(uint32_t cp, char* out) {
    if (cp < 0x80) {
        out[0] = static_cast<char>(cp);
        return 1;
    }
    if (cp < 0x800) {
        out[0] = static_cast<char>(0xC0 | (cp >> 6));
        out[1] = static_cast<char>(0x80 | (cp & 0x3F));
        return 2;
    }
    if (cp < 0x10000) {
        out[0] = static_cast<char>(0xE0 | (cp >> 12));
        out[1] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out[2] = static_cast<char>(0x80 | (cp & 0x3F));
        return 3;
    }
    out[0] = static_cast<char>(0xF0 | (cp >> 18));
    out[1] = static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
    out[2] = static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
    out[3] = static_cast<char>(0x80 | (cp & 0x3F));
    return 4;
}

// Appends the UTF-8 form of len units of text to out (anything with append(const char*, n)).
template <class Out> void AppendUtf8(Out& out, const char16_t* text, size_t len) {
    for (size_t i = 0; i < len;) {
        char bytes[4];
        out.append(bytes, static_cast<size_t>(EncodeUtf8(NextCodePoint(text, len, i), bytes)));
    }
}
