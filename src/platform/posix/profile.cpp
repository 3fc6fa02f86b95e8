// Initialisation-file reading with the rules of GetPrivateProfileStringW and
// GetPrivateProfileIntW, for builds outside Windows.
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/profile.h"

#include <string>

namespace {

// Files larger than this are not read (an initialisation file is a few kilobytes).
constexpr int64_t kMaxProfileBytes = 1 << 20;

bool IsBlank(char16_t c) {
    return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\f' || c == u'\v';
}

std::u16string Trim(const std::u16string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlank(s[b]))
        ++b;
    while (e > b && IsBlank(s[e - 1]))
        --e;
    return s.substr(b, e - b);
}

char16_t Lower(char16_t c) {
    char16_t t[2] = {c, 0};
    PlatLowerCase(t, 1);
    return t[0];
}

bool EqualNoCase(const std::u16string& a, const char16_t* b) {
    size_t i = 0;
    for (; i < a.size(); ++i)
        if (b[i] == 0 || Lower(a[i]) != Lower(b[i])) return false;
    return b[i] == 0;
}

// The whole file as UTF-16 text: UTF-16LE after a byte-order mark, otherwise ANSI text.
bool LoadText(const char16_t* path, std::u16string* text) {
    PlatHandle file = PlatFileOpenRead(path);
    if (file == PLAT_INVALID_HANDLE) return false;
    int64_t size = PlatFileSize(file);
    std::string bytes;
    if (size > 0 && size <= kMaxProfileBytes) {
        bytes.resize(static_cast<size_t>(size));
        uint32_t done = 0;
        if (!PlatFileRead(file, bytes.data(), static_cast<uint32_t>(size), &done)) done = 0;
        bytes.resize(done);
    }
    PlatFileClose(file);
    if (bytes.size() >= 2 && static_cast<uint8_t>(bytes[0]) == 0xFF &&
        static_cast<uint8_t>(bytes[1]) == 0xFE) {
        for (size_t i = 2; i + 1 < bytes.size(); i += 2)
            text->push_back(static_cast<char16_t>(static_cast<uint8_t>(bytes[i]) |
                                                  static_cast<uint8_t>(bytes[i + 1]) << 8));
        return true;
    }
    text->resize(bytes.size() + 1);
    int32_t n = PlatAnsiToWide(bytes.data(), static_cast<int32_t>(bytes.size()), text->data(),
                               static_cast<int32_t>(text->size()));
    text->resize(static_cast<size_t>(n));
    return true;
}

// Finds the value of key in section: true with the value (trimmed, one pair of matching quotes
// removed) when the key is there.
bool FindValue(const char16_t* section, const char16_t* key, const char16_t* path,
               std::u16string* value) {
    std::u16string text;
    if (!LoadText(path, &text)) return false;
    bool inSection = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find_first_of(u"\r\n", pos);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = Trim(text.substr(pos, end - pos));
        pos = end + 1;
        if (line.empty() || line[0] == u';') continue;
        if (line[0] == u'[') {
            size_t close = line.find(u']');
            std::u16string name = Trim(line.substr(1, close == std::u16string::npos
                                                          ? std::u16string::npos
                                                          : close - 1));
            inSection = EqualNoCase(name, section);
            continue;
        }
        if (!inSection) continue;
        size_t eq = line.find(u'=');
        if (eq == std::u16string::npos) continue;
        if (!EqualNoCase(Trim(line.substr(0, eq)), key)) continue;
        std::u16string v = Trim(line.substr(eq + 1));
        if (v.size() >= 2 && (v[0] == u'"' || v[0] == u'\'') && v.back() == v[0])
            v = v.substr(1, v.size() - 2);
        *value = v;
        return true;
    }
    return false;
}

} // namespace

uint32_t PlatGetPrivateProfileString(const char16_t* section, const char16_t* key,
                                     const char16_t* fallback, char16_t* buffer, uint32_t size,
                                     const char16_t* path) {
    if (size == 0) return 0;
    std::u16string value;
    if (!FindValue(section, key, path, &value)) {
        value = fallback ? fallback : u"";
        while (!value.empty() && value.back() == u' ')
            value.pop_back();
    }
    size_t n = value.size() < size - 1 ? value.size() : size - 1;
    value.copy(buffer, n);
    buffer[n] = 0;
    return static_cast<uint32_t>(n);
}

uint32_t PlatGetPrivateProfileInt(const char16_t* section, const char16_t* key, int32_t fallback,
                                  const char16_t* path) {
    std::u16string value;
    if (!FindValue(section, key, path, &value) || value.empty())
        return static_cast<uint32_t>(fallback);
    size_t i = 0;
    bool negative = false;
    if (value[i] == u'-' || value[i] == u'+') negative = value[i++] == u'-';
    uint32_t result = 0;
    for (; i < value.size() && value[i] >= u'0' && value[i] <= u'9'; ++i)
        result = result * 10u + static_cast<uint32_t>(value[i] - u'0');
    return negative ? 0u - result : result;
}
