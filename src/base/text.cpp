#include "base/text.h"

#include "platform/codepage.h"

#include <climits>

size_t WLen(const char16_t* text) {
    size_t n = 0;
    while (text[n] != 0) ++n;
    return n;
}

size_t WCopy(char16_t* dst, size_t cap, const char16_t* src) {
    if (cap == 0) return 0;
    size_t n = 0;
    for (; n + 1 < cap && src[n] != 0; ++n) dst[n] = src[n];
    dst[n] = 0;
    return n;
}

size_t WAppend(char16_t* dst, size_t cap, const char16_t* src) {
    if (cap == 0) return 0;
    size_t used = 0;
    while (used < cap && dst[used] != 0) ++used;
    if (used == cap) {
        dst[cap - 1] = 0;
        return cap - 1;
    }
    return used + WCopy(dst + used, cap - used, src);
}

int WCompare(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        if (*a != *b) return *a < *b ? -1 : 1;
        if (*a == 0) return 0;
    }
}

int WCompareNoCase(const char16_t* a, const char16_t* b) {
    for (;; ++a, ++b) {
        char16_t x = *a, y = *b;
        PlatLowerCase(&x, 1);
        PlatLowerCase(&y, 1);
        if (x != y) return x < y ? -1 : 1;
        if (x == 0) return 0;
    }
}

const char16_t* WFind(const char16_t* text, const char16_t* pattern) {
    if (*pattern == 0) return text;
    for (; *text != 0; ++text) {
        size_t i = 0;
        while (pattern[i] != 0 && text[i] == pattern[i]) ++i;
        if (pattern[i] == 0) return text;
    }
    return nullptr;
}

int32_t ContainsNoCase(const char16_t* text, const char16_t* pattern) {
    char16_t lowText[1024];
    char16_t lowPattern[512];
    size_t textLen = WCopy(lowText, text);
    size_t patternLen = WCopy(lowPattern, pattern);
    PlatLowerCase(lowText, static_cast<int32_t>(textLen));
    PlatLowerCase(lowPattern, static_cast<int32_t>(patternLen));
    return WFind(lowText, lowPattern) != nullptr ? 1 : 0;
}

int32_t AnsiToWide(const char* src, int32_t srcLen, char16_t* dst, size_t cap) {
    return PlatAnsiToWide(src, srcLen, dst, cap > INT32_MAX ? INT32_MAX : static_cast<int32_t>(cap));
}

int32_t WideToAnsi(const char16_t* src, int32_t srcLen, char* dst, size_t cap) {
    return PlatWideToAnsi(src, srcLen, dst, cap > INT32_MAX ? INT32_MAX : static_cast<int32_t>(cap));
}

int32_t ScanDecimal(const char16_t** cursor, int64_t* value) {
    const char16_t* p = *cursor;
    while (*p == u' ' || (*p >= u'\t' && *p <= u'\r'))
        ++p;
    bool negative = false;
    if (*p == u'+' || *p == u'-') negative = *p++ == u'-';
    if (*p < u'0' || *p > u'9') return 0;
    uint64_t n = 0;
    for (; *p >= u'0' && *p <= u'9'; ++p)
        n = n * 10 + static_cast<uint64_t>(*p - u'0');
    *value = static_cast<int64_t>(negative ? 0 - n : n);
    *cursor = p;
    return 1;
}

void WLower(char16_t* text) { PlatLowerCase(text, static_cast<int32_t>(WLen(text))); }
