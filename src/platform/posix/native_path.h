// The native form of a program path on Linux: UTF-8, with "/" as the separator.
#pragma once
#include "platform/utf8.h"

#include <string>

inline std::string NativePath(const char16_t* path) {
    std::string out;
    const size_t len = std::char_traits<char16_t>::length(path);
    for (size_t i = 0; i < len;) {
        uint32_t c = NextCodePoint(path, len, i);
        char bytes[4];
        if (c == u'\\')
            out += '/';
        else
            out.append(bytes, static_cast<size_t>(EncodeUtf8(c, bytes)));
    }
    return out;
}
