// Packages for the lab: a folder packed as it is (libzip, in memory), an archive read as it is,
// or one of the example archives built into the program; and the configuration read with the
// program's own profile reader.
#include "lab.h"

#include "platform/profile.h"
#include "platform/utf8.h"

#include <zip.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <unistd.h>

namespace lab {

// The example archives, embedded by the build (embedded_packages.cpp, generated).
extern const unsigned char kEmbeddedNvme[];
extern const size_t kEmbeddedNvmeSize;
extern const unsigned char kEmbeddedSata[];
extern const size_t kEmbeddedSataSize;

namespace {

namespace fs = std::filesystem;

// Bounds for what the lab reads into memory: the program refuses images over 256 MiB, so a
// package is never sensibly larger than this.
constexpr uintmax_t kMaxPackageBytes = 1024ull * 1024 * 1024;

std::vector<uint8_t> ReadFile(const fs::path& path) {
    std::error_code ec;
    const uintmax_t size = fs::file_size(path, ec);
    if (ec) throw Error("cannot read " + path.string() + ": " + ec.message());
    if (size > kMaxPackageBytes) throw Error(path.string() + " is larger than 1 GiB");
    std::ifstream file(path, std::ios::binary);
    if (!file) throw Error("cannot read " + path.string());
    std::vector<uint8_t> bytes(static_cast<size_t>(size));
    file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size));
    if (file.gcount() != static_cast<std::streamsize>(size))
        throw Error("cannot read " + path.string());
    return bytes;
}

// The items of an archive as libzip reads them; empty when it is not a readable archive (the
// program gets the bytes anyway and shows what it makes of them).
std::map<std::string, std::vector<uint8_t>> ArchiveItems(const std::vector<uint8_t>& archive) {
    std::map<std::string, std::vector<uint8_t>> items;
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* source = zip_source_buffer_create(archive.data(), archive.size(), 0, &error);
    if (source == nullptr) {
        zip_error_fini(&error);
        return items;
    }
    zip_t* za = zip_open_from_source(source, ZIP_RDONLY, &error);
    if (za == nullptr) {
        zip_source_free(source);
        zip_error_fini(&error);
        return items;
    }
    const zip_int64_t count = zip_get_num_entries(za, 0);
    uintmax_t total = 0;
    for (zip_int64_t i = 0; i < count; ++i) {
        zip_stat_t st;
        if (zip_stat_index(za, static_cast<zip_uint64_t>(i), 0, &st) != 0) continue;
        if (!(st.valid & ZIP_STAT_NAME) || !(st.valid & ZIP_STAT_SIZE)) continue;
        total += st.size;
        if (st.size > kMaxPackageBytes || total > kMaxPackageBytes) break;
        zip_file_t* f = zip_fopen_index(za, static_cast<zip_uint64_t>(i), 0);
        if (f == nullptr) continue;
        std::vector<uint8_t> data(static_cast<size_t>(st.size));
        const zip_int64_t got = data.empty() ? 0 : zip_fread(f, data.data(), data.size());
        zip_fclose(f);
        if (got == static_cast<zip_int64_t>(data.size())) items[st.name] = std::move(data);
    }
    zip_discard(za);
    zip_error_fini(&error);
    return items;
}

// A flat archive of the items (deflated, in name order), written in memory.
std::vector<uint8_t> PackItems(const std::map<std::string, std::vector<uint8_t>>& items) {
    zip_error_t error;
    zip_error_init(&error);
    zip_source_t* target = zip_source_buffer_create(nullptr, 0, 0, &error);
    if (target == nullptr) throw Error("cannot pack the package: out of memory");
    zip_source_keep(target);
    zip_t* za = zip_open_from_source(target, ZIP_TRUNCATE, &error);
    if (za == nullptr) {
        zip_source_free(target);
        zip_error_fini(&error);
        throw Error("cannot pack the package");
    }
    for (const auto& [name, data] : items) {
        zip_source_t* item = zip_source_buffer(za, data.data(), data.size(), 0);
        if (item == nullptr || zip_file_add(za, name.c_str(), item, ZIP_FL_ENC_UTF_8) < 0) {
            if (item) zip_source_free(item);
            zip_discard(za);
            zip_source_free(target);
            throw Error("cannot pack " + name);
        }
    }
    if (zip_close(za) != 0) {
        zip_discard(za);
        zip_source_free(target);
        throw Error("cannot pack the package");
    }
    std::vector<uint8_t> out;
    if (zip_source_open(target) == 0) {
        zip_source_seek(target, 0, SEEK_END);
        const zip_int64_t size = zip_source_tell(target);
        zip_source_seek(target, 0, SEEK_SET);
        if (size > 0) {
            out.resize(static_cast<size_t>(size));
            if (zip_source_read(target, out.data(), static_cast<zip_uint64_t>(size)) != size)
                out.clear();
        }
        zip_source_close(target);
    }
    zip_source_free(target);
    zip_error_fini(&error);
    if (out.empty()) throw Error("cannot pack the package");
    return out;
}

const std::vector<uint8_t>* FindItem(const Package& package, const std::string& name) {
    for (const auto& [n, data] : package.items) {
        if (n.size() != name.size()) continue;
        if (std::equal(n.begin(), n.end(), name.begin(), [](char a, char b) {
                return std::tolower(static_cast<unsigned char>(a)) ==
                       std::tolower(static_cast<unsigned char>(b));
            }))
            return &data;
    }
    return nullptr;
}

std::u16string Wide(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text)
        out.push_back(c);
    return out;
}

std::string Utf8Of(const char16_t* text) {
    std::string out;
    AppendUtf8(out, text, std::char_traits<char16_t>::length(text));
    return out;
}

} // namespace

std::vector<uint8_t> BuiltInPackage(const std::string& name) {
    if (name == "nvme") return {kEmbeddedNvme, kEmbeddedNvme + kEmbeddedNvmeSize};
    if (name == "sata") return {kEmbeddedSata, kEmbeddedSata + kEmbeddedSataSize};
    return {};
}

Package LoadPackage(const std::string& what) {
    Package p;
    p.origin = what;
    if (what == "nvme" || what == "sata") {
        p.archive = BuiltInPackage(what);
        p.items = ArchiveItems(p.archive);
        return p;
    }
    std::error_code ec;
    const fs::file_status st = fs::status(what, ec);
    if (ec || !fs::exists(st))
        throw Error("no package " + what + " (a folder, a .zip archive, nvme or sata)");
    if (fs::is_directory(st)) {
        uintmax_t total = 0;
        for (const auto& entry : fs::directory_iterator(what, ec)) {
            if (!entry.is_regular_file()) continue;
            total += entry.file_size();
            if (total > kMaxPackageBytes)
                throw Error("package folder " + what + " holds more than 1 GiB");
            p.items[entry.path().filename().string()] = ReadFile(entry.path());
        }
        if (ec) throw Error("cannot read package folder " + what + ": " + ec.message());
        if (p.items.empty()) throw Error("package folder " + what + " holds no files");
        p.archive = PackItems(p.items);
        return p;
    }
    p.archive = ReadFile(what);
    p.items = ArchiveItems(p.archive);
    return p;
}

PackageConfig ReadPackageConfig(const Package& package) {
    const std::vector<uint8_t>* ini = FindItem(package, "FwRenewInfo.ini");
    if (ini == nullptr) throw Error("package " + package.origin + " has no FwRenewInfo.ini");
    std::string pattern = (fs::temp_directory_path() / "fwrenew-lab-ini-XXXXXX").string();
    std::vector<char> buf(pattern.begin(), pattern.end());
    buf.push_back(0);
    const int fd = mkstemp(buf.data());
    if (fd < 0) throw Error("cannot create a temporary file");
    const std::string path = buf.data();
    const bool written = write(fd, ini->data(), ini->size()) == static_cast<ssize_t>(ini->size());
    close(fd);
    if (!written) {
        unlink(path.c_str());
        throw Error("cannot write a temporary file");
    }
    const std::u16string file = Wide(path);
    const auto text = [&](const char16_t* key, const char16_t* fallback) {
        char16_t value[1024];
        PlatGetPrivateProfileString(u"UPDATEINFO", key, fallback, value, 1024, file.c_str());
        return Utf8Of(value);
    };
    const auto number = [&](const char16_t* key, int fallback) {
        return static_cast<int32_t>(
            PlatGetPrivateProfileInt(u"UPDATEINFO", key, fallback, file.c_str()));
    };
    PackageConfig c;
    c.title = text(u"TITLE", u"Package Error");
    c.soc_id = text(u"SOCID", u"");
    c.model_list = text(u"ModelName", u"");
    c.fw_version_list = text(u"FWVersion", u"");
    c.new_version = text(u"NEWVERSION", u"");
    c.internal_version_parts = number(u"iInternalFWVersionCheckPart", 3);
    c.sata = number(u"bIsSATA", 0) != 0;
    c.power_ctrl = number(u"PowerCtrl", 0) & 0xFF;
    unlink(path.c_str());
    return c;
}

} // namespace lab
