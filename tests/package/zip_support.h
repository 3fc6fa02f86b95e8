// Test equipment for the archive reader: a small ZIP writer whose every field can be set (so
// a test can build exactly the damage it needs), file helpers, and scratch folders.
#pragma once
#include "platform/utf8.h"
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>
#include <zlib.h>

namespace ziptest {

namespace fs = std::filesystem;

inline std::u16string U16(const std::string& utf8) {
    std::u16string out;
    for (size_t i = 0; i < utf8.size();) {
        unsigned char c = static_cast<unsigned char>(utf8[i]);
        uint32_t cp;
        int n;
        if (c < 0x80) {
            cp = c;
            n = 1;
        } else if ((c >> 5) == 6) {
            cp = c & 0x1F;
            n = 2;
        } else if ((c >> 4) == 14) {
            cp = c & 0x0F;
            n = 3;
        } else {
            cp = c & 0x07;
            n = 4;
        }
        for (int k = 1; k < n && i + k < utf8.size(); ++k)
            cp = (cp << 6) | (static_cast<unsigned char>(utf8[i + k]) & 0x3F);
        i += n;
        if (cp >= 0x10000) {
            out += static_cast<char16_t>(0xD800 + ((cp - 0x10000) >> 10));
            out += static_cast<char16_t>(0xDC00 + ((cp - 0x10000) & 0x3FF));
        } else {
            out += static_cast<char16_t>(cp);
        }
    }
    return out;
}

inline std::string Utf8(const std::u16string& s) {
    std::string out;
    AppendUtf8(out, s.data(), s.size());
    return out;
}

inline std::string Str(const std::u8string& s) {
    return std::string(s.begin(), s.end());
}

// The program's form of a path (UTF-16).
inline std::u16string P(const fs::path& p) {
    return U16(Str(p.u8string()));
}

inline std::vector<uint8_t> ReadBytes(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

inline void WriteBytes(const fs::path& p, const std::vector<uint8_t>& data) {
    std::ofstream out(p, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(data.data()),
              static_cast<std::streamsize>(data.size()));
}

inline uint32_t Crc(const std::vector<uint8_t>& d) {
    return static_cast<uint32_t>(crc32(0, d.data(), static_cast<uInt>(d.size())));
}

inline std::vector<uint8_t> Bytes(const std::string& s) {
    return std::vector<uint8_t>(s.begin(), s.end());
}

inline std::vector<uint8_t> RawDeflate(const std::vector<uint8_t>& data) {
    z_stream z{};
    deflateInit2(&z, 9, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY);
    std::vector<uint8_t> out(deflateBound(&z, static_cast<uLong>(data.size())) + 16);
    z.next_in = const_cast<Bytef*>(data.data());
    z.avail_in = static_cast<uInt>(data.size());
    z.next_out = out.data();
    z.avail_out = static_cast<uInt>(out.size());
    deflate(&z, Z_FINISH);
    out.resize(z.total_out);
    deflateEnd(&z);
    return out;
}

// The folder of the test's own fixtures (FW_TEST_SOURCE_DIR/fixtures).
inline fs::path Fixtures() {
    const char* dir = std::getenv("FW_TEST_SOURCE_DIR");
    return fs::path(dir ? dir : ".") / "fixtures";
}

// A scratch folder under the working folder, emptied when made and removed at the end.
class Scratch {
  public:
    explicit Scratch(const std::string& name) : path_(fs::current_path() / ("scratch-" + name)) {
        Clear();
        fs::create_directories(path_);
    }
    ~Scratch() { Clear(); }
    const fs::path& path() const { return path_; }
    void Clear() {
        std::error_code ec;
        if (!fs::exists(path_, ec)) return;
        // Read-only files are made writable first, as Windows will not delete them otherwise.
        for (auto& e : fs::recursive_directory_iterator(path_, ec))
            fs::permissions(e.path(), fs::perms::owner_write, fs::perm_options::add, ec);
        fs::remove_all(path_, ec);
    }

  private:
    fs::path path_;
};

// Every file and folder under root, as generic relative paths (folders end in "/"); links
// are listed as they are, not followed.
inline std::vector<std::string> Tree(const fs::path& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto& e : fs::recursive_directory_iterator(root, ec))
        out.push_back(Str(e.path().lexically_relative(root).generic_u8string()) +
                      (fs::is_directory(e.symlink_status()) ? "/" : ""));
    std::sort(out.begin(), out.end());
    return out;
}

struct Entry {
    std::string name; // stored bytes of the name
    std::vector<uint8_t> data;
    uint16_t method = 8;
    uint16_t flags = 0;
    uint16_t madeBy = 0x0314; // Unix host, version 20
    uint32_t external = 0100644u << 16;
    uint32_t dosDateTime = (((2021 - 1980) << 9 | 3 << 5 | 4) << 16) | (5 << 11 | 6 << 5 | 4);
    std::vector<uint8_t> localExtra;
    // Damage on demand.
    bool overrideCrc = false;
    uint32_t crc = 0;
    bool overrideUncompressed = false;
    uint32_t uncompressed = 0;
    std::vector<uint8_t> replaceCompressed; // compressed bytes written instead of the real ones
    bool useReplace = false;
    uint16_t localMethod = 0xFFFF; // 0xFFFF: as the central record
};

struct ZipLayout {
    std::vector<uint8_t> bytes;
    std::vector<uint32_t> localOffsets;
    uint32_t centralOffset = 0;
    uint32_t centralSize = 0;
};

inline void Put16(std::vector<uint8_t>& b, uint32_t v) {
    b.push_back(static_cast<uint8_t>(v));
    b.push_back(static_cast<uint8_t>(v >> 8));
}
inline void Put32(std::vector<uint8_t>& b, uint32_t v) {
    Put16(b, v & 0xFFFF);
    Put16(b, v >> 16);
}

// Writes a classic archive; prefix bytes go in front without shifting the stored offsets.
inline ZipLayout BuildZip(const std::vector<Entry>& entries, const std::string& comment = "",
                          const std::vector<uint8_t>& prefix = {}) {
    ZipLayout z;
    std::vector<uint8_t>& b = z.bytes;
    std::vector<uint8_t> central;
    std::vector<uint8_t> body;
    struct Meta {
        uint32_t crc, csize, usize, offset;
    };
    std::vector<Meta> metas;
    for (const Entry& e : entries) {
        std::vector<uint8_t> comp = e.method == 8 ? RawDeflate(e.data) : e.data;
        if (e.useReplace) comp = e.replaceCompressed;
        Meta m{e.overrideCrc ? e.crc : Crc(e.data), static_cast<uint32_t>(comp.size()),
               e.overrideUncompressed ? e.uncompressed : static_cast<uint32_t>(e.data.size()),
               static_cast<uint32_t>(body.size())};
        z.localOffsets.push_back(m.offset);
        Put32(body, 0x04034B50);
        Put16(body, 20);
        Put16(body, e.flags);
        Put16(body, e.localMethod == 0xFFFF ? e.method : e.localMethod);
        Put32(body, e.dosDateTime);
        Put32(body, m.crc);
        Put32(body, m.csize);
        Put32(body, m.usize);
        Put16(body, static_cast<uint32_t>(e.name.size()));
        Put16(body, static_cast<uint32_t>(e.localExtra.size()));
        body.insert(body.end(), e.name.begin(), e.name.end());
        body.insert(body.end(), e.localExtra.begin(), e.localExtra.end());
        body.insert(body.end(), comp.begin(), comp.end());
        metas.push_back(m);
    }
    for (size_t i = 0; i < entries.size(); ++i) {
        const Entry& e = entries[i];
        const Meta& m = metas[i];
        Put32(central, 0x02014B50);
        Put16(central, e.madeBy);
        Put16(central, 20);
        Put16(central, e.flags);
        Put16(central, e.method);
        Put32(central, e.dosDateTime);
        Put32(central, m.crc);
        Put32(central, m.csize);
        Put32(central, m.usize);
        Put16(central, static_cast<uint32_t>(e.name.size()));
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put16(central, 0);
        Put32(central, e.external);
        Put32(central, m.offset);
        central.insert(central.end(), e.name.begin(), e.name.end());
    }
    b = prefix;
    b.insert(b.end(), body.begin(), body.end());
    z.centralOffset = static_cast<uint32_t>(body.size());
    z.centralSize = static_cast<uint32_t>(central.size());
    b.insert(b.end(), central.begin(), central.end());
    Put32(b, 0x06054B50);
    Put16(b, 0);
    Put16(b, 0);
    Put16(b, static_cast<uint32_t>(entries.size()));
    Put16(b, static_cast<uint32_t>(entries.size()));
    Put32(b, z.centralSize);
    Put32(b, z.centralOffset);
    Put16(b, static_cast<uint32_t>(comment.size()));
    b.insert(b.end(), comment.begin(), comment.end());
    return z;
}

} // namespace ziptest
