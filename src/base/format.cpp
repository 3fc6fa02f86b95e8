#include "base/format.h"

#include "base/text.h"

namespace {
struct Output {
    char16_t* buf;
    size_t cap;
    size_t used = 0;
    bool cut = false;

    void Put(char16_t c) {
        if (used + 1 < cap)
            buf[used++] = c;
        else
            cut = true;
    }
};

// The argument size a conversion's prefix asks for: none; h (short integer, narrow text or
// character); l, w or I32 (32-bit integer, UTF-16 text or character); ll or I64 (64-bit
// integer).
enum class Size { kDefault, kShort, kLong, k64 };

struct Spec {
    bool left = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    Size size = Size::kDefault;
};

// Reads the size prefix at p and moves p past it.
Size ReadSize(const char16_t*& p) {
    if (p[0] == u'I' && p[1] == u'6' && p[2] == u'4') {
        p += 3;
        return Size::k64;
    }
    if (p[0] == u'I' && p[1] == u'3' && p[2] == u'2') {
        p += 3;
        return Size::kLong;
    }
    if (p[0] == u'l' && p[1] == u'l') {
        p += 2;
        return Size::k64;
    }
    if (*p == u'l' || *p == u'w') {
        ++p;
        return Size::kLong;
    }
    if (*p == u'h') {
        ++p;
        return Size::kShort;
    }
    return Size::kDefault;
}

// Narrow text into a UTF-16 buffer of 1024 units, at most 1023 bytes of it (and no more than
// the precision allows).
void NarrowText(const char* s, int precision, char16_t (&wide)[1024]) {
    if (!s) {
        WCopy(wide, u"(null)");
        return;
    }
    int32_t bytes = 0;
    while (s[bytes] != 0 && bytes < 1023 && (precision < 0 || bytes < precision))
        ++bytes;
    AnsiToWide(s, bytes, wide);
}

void PutPadded(Output& out, const Spec& spec, const char16_t* text, size_t len, bool numeric) {
    size_t pad = spec.width > 0 && static_cast<size_t>(spec.width) > len ? spec.width - len : 0;
    if (!spec.left) {
        // Zero padding goes after a sign.
        if (numeric && spec.zero && len > 0 && text[0] == u'-') {
            out.Put(u'-');
            ++text;
            --len;
            for (; pad > 0; --pad) out.Put(u'0');
        } else {
            for (; pad > 0; --pad) out.Put(numeric && spec.zero ? u'0' : u' ');
        }
    }
    for (size_t i = 0; i < len; ++i) out.Put(text[i]);
    for (; pad > 0; --pad) out.Put(u' ');
}

void PutNumber(Output& out, const Spec& spec, uint64_t magnitude, bool negative, unsigned base, bool upper) {
    char16_t digits[24];
    size_t n = 0;
    const char* set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    do {
        digits[n++] = static_cast<char16_t>(set[magnitude % base]);
        magnitude /= base;
    } while (magnitude != 0);
    char16_t text[25];
    size_t len = 0;
    if (negative) text[len++] = u'-';
    while (n > 0) text[len++] = digits[--n];
    PutPadded(out, spec, text, len, true);
}
} // namespace

int32_t FormatV(char16_t* buf, size_t cap, const char16_t* format, va_list args) {
    Output out{buf, cap};
    for (const char16_t* p = format; *p != 0; ++p) {
        if (*p != u'%') {
            out.Put(*p);
            continue;
        }
        const char16_t* start = p++;
        Spec spec;
        for (;; ++p) {
            if (*p == u'-')
                spec.left = true;
            else if (*p == u'0')
                spec.zero = true;
            else
                break;
        }
        while (*p >= u'0' && *p <= u'9' && spec.width < 100000) spec.width = spec.width * 10 + (*p++ - u'0');
        if (*p == u'.') {
            ++p;
            spec.precision = 0;
            while (*p >= u'0' && *p <= u'9' && spec.precision < 100000)
                spec.precision = spec.precision * 10 + (*p++ - u'0');
        }
        spec.size = ReadSize(p);
        // Whether this conversion with this prefix is one the formatter knows; any other is
        // never given an argument (see below).
        bool known = true;
        switch (*p) {
        case u'%':
            known = spec.size == Size::kDefault;
            if (known) out.Put(u'%');
            break;
        case u'd':
        case u'i': {
            int64_t v = 0;
            if (spec.size == Size::k64)
                v = va_arg(args, long long);
            else if (spec.size == Size::kShort)
                v = static_cast<short>(va_arg(args, int));
            else
                v = va_arg(args, int);
            uint64_t magnitude = v < 0 ? 0 - static_cast<uint64_t>(v) : static_cast<uint64_t>(v);
            PutNumber(out, spec, magnitude, v < 0, 10, false);
            break;
        }
        case u'u':
        case u'x':
        case u'X': {
            uint64_t v = 0;
            if (spec.size == Size::k64)
                v = va_arg(args, unsigned long long);
            else if (spec.size == Size::kShort)
                v = static_cast<unsigned short>(va_arg(args, unsigned int));
            else
                v = va_arg(args, unsigned int);
            PutNumber(out, spec, v, false, *p == u'u' ? 10 : 16, *p == u'X');
            break;
        }
        case u'c': {
            if (spec.size == Size::k64) {
                known = false;
                break;
            }
            char16_t c = 0;
            if (spec.size == Size::kShort) {
                // %hc: one narrow character, converted like narrow text.
                const char narrow[2] = {static_cast<char>(va_arg(args, int)), 0};
                char16_t wide[2] = {};
                AnsiToWide(narrow, 1, wide);
                c = wide[0];
            } else {
                c = static_cast<char16_t>(va_arg(args, int));
            }
            PutPadded(out, spec, &c, 1, false);
            break;
        }
        case u's':
        case u'S': {
            // As in the wide printf family of Windows: %s and %ls are UTF-16 text, %S and %hs
            // narrow text; %hS is narrow and %lS UTF-16 too.
            if (spec.size == Size::k64) {
                known = false;
                break;
            }
            const bool narrow =
                spec.size == Size::kShort || (*p == u'S' && spec.size == Size::kDefault);
            if (narrow) {
                char16_t wide[1024];
                NarrowText(va_arg(args, const char*), spec.precision, wide);
                PutPadded(out, spec, wide, WLen(wide), false);
            } else {
                const char16_t* text = va_arg(args, const char16_t*);
                if (!text) text = u"(null)";
                size_t len = 0;
                while (text[len] != 0 &&
                       (spec.precision < 0 || len < static_cast<size_t>(spec.precision)))
                    ++len;
                PutPadded(out, spec, text, len, false);
            }
            break;
        }
        default:
            known = false;
            break;
        }
        if (!known) {
            // Not a conversion of this formatter: the width of the argument it stands for is
            // unknown, so no further argument is read at all; the rest of the format is
            // written as it stands.
            for (const char16_t* q = start; *q != 0; ++q)
                out.Put(*q);
            break;
        }
    }
    if (cap > 0) buf[out.used] = 0;
    return out.cut ? -1 : static_cast<int32_t>(out.used);
}

int32_t Format(char16_t* buf, size_t cap, const char16_t* format, ...) {
    va_list args;
    va_start(args, format);
    int32_t n = FormatV(buf, cap, format, args);
    va_end(args);
    return n;
}
