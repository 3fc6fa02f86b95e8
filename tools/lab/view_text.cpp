// Text for the terminal view: UTF-8 decoded, control characters kept off the terminal, and
// widths measured in terminal columns.
#include "view_text.h"

#include <cwchar>

namespace lab::term {

// UTF-8 to wide characters; each byte of a broken, overlong or surrogate sequence becomes U+FFFD.
std::wstring Decode(const std::string& text) {
    std::wstring out;
    size_t i = 0;
    while (i < text.size()) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        int extra = 0;
        char32_t cp = 0;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            extra = 1;
            cp = c & 0x1F;
        } else if ((c & 0xF0) == 0xE0) {
            extra = 2;
            cp = c & 0x0F;
        } else if ((c & 0xF8) == 0xF0) {
            extra = 3;
            cp = c & 0x07;
        } else {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        bool ok = i + extra < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            const unsigned char n = static_cast<unsigned char>(text[i + k]);
            if ((n & 0xC0) != 0x80)
                ok = false;
            else
                cp = (cp << 6) | (n & 0x3F);
        }
        const char32_t least[] = {0, 0x80, 0x800, 0x10000};
        if (!ok || cp < least[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out.push_back(0xFFFD);
            ++i;
            continue;
        }
        out.push_back(static_cast<wchar_t>(cp));
        i += 1 + extra;
    }
    return out;
}

// What may reach the terminal: no control characters (a package's title could carry escape
// sequences), tabs as a blank.
std::wstring Printable(const std::wstring& text) {
    std::wstring out;
    for (wchar_t c : text) {
        if (c == L'\t')
            out.push_back(L' ');
        else if (c < 0x20 || (c >= 0x7F && c < 0xA0) || c == 0x2028 || c == 0x2029)
            out.push_back(L'?');
        else
            out.push_back(c);
    }
    return out;
}

std::wstring Show(const std::string& utf8) {
    return Printable(Decode(utf8));
}

namespace {

int CharWidth(wchar_t c) {
    const int w = wcwidth(c);
    return w < 0 ? 1 : w;
}

} // namespace

int Width(const std::wstring& text) {
    int w = 0;
    for (wchar_t c : text)
        w += CharWidth(c);
    return w;
}

// The text cut to at most width columns; a cut text ends with '~'.
std::wstring Fit(const std::wstring& text, int width) {
    if (width <= 0) return L"";
    if (Width(text) <= width) return text;
    std::wstring out;
    int used = 0;
    for (wchar_t c : text) {
        const int w = CharWidth(c);
        if (used + w > width - 1) break;
        out.push_back(c);
        used += w;
    }
    out.push_back(L'~');
    return out;
}

std::wstring Pad(const std::wstring& text, int width) {
    std::wstring out = Fit(text, width);
    out.append(static_cast<size_t>(std::max(0, width - Width(out))), L' ');
    return out;
}

// Word wrap to width columns; "\n" ends a line. A word longer than a line is cut.
std::vector<std::wstring> Wrap(const std::string& utf8, int width) {
    std::vector<std::wstring> lines;
    const std::wstring text = Decode(utf8);
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L'\n', start);
        if (end == std::wstring::npos) end = text.size();
        std::wstring raw = text.substr(start, end - start);
        if (!raw.empty() && raw.back() == L'\r') raw.pop_back();
        const std::wstring para = Printable(raw);
        std::wstring line;
        size_t i = 0;
        while (i < para.size()) {
            size_t next = para.find(L' ', i);
            if (next == std::wstring::npos) next = para.size();
            const std::wstring word = para.substr(i, next - i);
            i = next + 1;
            if (word.empty()) continue; // blanks in a row wrap as one
            const std::wstring joined = line.empty() ? word : line + L" " + word;
            if (Width(joined) <= width) {
                line = joined;
            } else {
                if (!line.empty()) lines.push_back(line);
                line = Width(word) <= width ? word : Fit(word, width);
            }
        }
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

} // namespace lab::term
