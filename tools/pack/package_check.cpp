// fwrenew-pack's checks and archive writer; package_check.h says what each one does.
#include "package_check.h"

#include "disk/nand.h"
#include "package/archive.h"
#include "platform/files.h"
#include "platform/utf8.h"

#include <zip.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <set>
#include <unistd.h>

namespace fs = std::filesystem;

namespace pack {
namespace {

constexpr char kIniName[] = "FwRenewInfo.ini";
constexpr uint32_t kPage = 4096;
constexpr uint32_t kRegionTableEnd = 80;

// Read sizes of the configuration's text values, in UTF-16 units with the terminator, and the
// longest values the updater keeps whole.
constexpr size_t kTitleMax = 259;
constexpr size_t kListMax = 257;    // ";%s;" of the value must fit 260 units
constexpr size_t kMessageMax = 999; // the working size of the "<BR>" rewrite
constexpr size_t kShortMax = 63;

void Add(std::vector<Problem>& out, bool error, const std::string& file, std::string what,
         std::string why) {
    out.push_back({error, file, std::move(what), std::move(why)});
}

std::string Utf8(const std::u16string& text) {
    std::string out;
    AppendUtf8(out, text.data(), text.size());
    return out;
}

std::string Lower(std::string text) {
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool ReadFile(const fs::path& path, std::vector<uint8_t>& bytes) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

uint32_t Le32(const uint8_t* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}

// The standard CRC-32 of ZIP and zlib, kept here so that the tool does not lean on the code
// whose input it checks.
uint32_t Crc32(const uint8_t* data, size_t length, uint32_t previous) {
    static const auto table = [] {
        std::vector<uint32_t> t(256);
        for (uint32_t n = 0; n < 256; ++n) {
            uint32_t c = n;
            for (int k = 0; k < 8; ++k)
                c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            t[n] = c;
        }
        return t;
    }();
    uint32_t value = ~previous;
    for (size_t i = 0; i < length; ++i)
        value = (value >> 8) ^ table[(value ^ data[i]) & 0xFF];
    return ~value;
}

// The NAND names of the updater's own type table, from its own NandTypeName.
const std::set<std::string>& NandNames() {
    static const std::set<std::string> names = [] {
        std::set<std::string> out;
        for (uint32_t code = 1; code < 0xFFFF; ++code) {
            char16_t name[64] = {};
            NandTypeName(code, name);
            if (name[0] != 0) out.insert(Utf8(name));
        }
        return out;
    }();
    return names;
}

// ---- The configuration file ----

struct IniValue {
    std::u16string text;
    bool present = false;
};

std::u16string Trim(const std::u16string& s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == u' ' || s[b] == u'\t'))
        ++b;
    while (e > b && (s[e - 1] == u' ' || s[e - 1] == u'\t'))
        --e;
    return s.substr(b, e - b);
}

std::u16string LowerW(std::u16string s) {
    for (char16_t& c : s)
        if (c >= u'A' && c <= u'Z') c = static_cast<char16_t>(c - u'A' + u'a');
    return s;
}

// Reads section UPDATEINFO the way the private-profile functions do: section and key names
// without regard to case, the first occurrence of a key wins, blanks around values dropped,
// one pair of enclosing quotes removed.
bool ReadSection(const std::u16string& text, std::map<std::u16string, IniValue>& keys) {
    bool inSection = false, found = false;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t end = text.find(u'\n', pos);
        if (end == std::u16string::npos) end = text.size();
        std::u16string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == u'\r') line.pop_back();
        line = Trim(line);
        if (line.empty() || line[0] == u';') continue;
        if (line[0] == u'[') {
            size_t close = line.find(u']');
            std::u16string name =
                close == std::u16string::npos ? u"" : Trim(line.substr(1, close - 1));
            inSection = LowerW(name) == u"updateinfo";
            found = found || inSection;
            continue;
        }
        if (!inSection) continue;
        size_t eq = line.find(u'=');
        if (eq == std::u16string::npos) continue;
        std::u16string key = LowerW(Trim(line.substr(0, eq)));
        std::u16string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && value.front() == value.back() &&
            (value[0] == u'"' || value[0] == u'\''))
            value = value.substr(1, value.size() - 2);
        if (keys.count(key) == 0) keys[key] = {value, true};
    }
    return found;
}

bool IsDecimal(const std::u16string& s, long long& value) {
    size_t i = (!s.empty() && (s[0] == u'-' || s[0] == u'+')) ? 1 : 0;
    if (i == s.size() || s.size() > 10) return false;
    value = 0;
    for (size_t k = i; k < s.size(); ++k) {
        if (s[k] < u'0' || s[k] > u'9') return false;
        value = value * 10 + (s[k] - u'0');
    }
    if (s[0] == u'-') value = -value;
    return true;
}

struct Config {
    bool read = false;
    bool sata = false;
};

Config CheckIni(const fs::path& path, std::vector<Problem>& out) {
    Config config;
    const std::string f = kIniName;
    std::vector<uint8_t> bytes;
    if (!ReadFile(path, bytes)) {
        Add(out, true, f, "missing",
            "the updater would show the title \"Package Error\" and list no drive");
        return config;
    }
    if (bytes.size() < 2 || bytes[0] != 0xFF || bytes[1] != 0xFE) {
        Add(out, true, f, "not UTF-16LE with a byte-order mark",
            "the updater reads it as UTF-16 little-endian only after the mark FF FE");
        return config;
    }
    if (bytes.size() % 2 != 0) {
        Add(out, true, f, "odd number of bytes", "a UTF-16LE file is made of 2-byte units");
        return config;
    }
    std::u16string text;
    for (size_t i = 2; i + 1 < bytes.size(); i += 2)
        text.push_back(static_cast<char16_t>(bytes[i] | bytes[i + 1] << 8));
    std::map<std::u16string, IniValue> keys;
    if (!ReadSection(text, keys)) {
        Add(out, true, f, "no section [UPDATEINFO]",
            "the updater reads only that section: the title would be \"Package Error\" and no "
            "drive listed");
        return config;
    }
    config.read = true;
    auto value = [&](const char16_t* key) { return keys[LowerW(key)]; };

    const IniValue title = value(u"TITLE");
    if (!title.present || title.text.empty())
        Add(out, true, f, "TITLE missing or empty",
            "the window title and every message box caption would be \"Package Error\" or empty");
    else if (title.text.size() > kTitleMax)
        Add(out, false, f, "TITLE longer than 259 characters", "the updater cuts it");

    const IniValue soc = value(u"SOCID");
    const std::u16string& s = soc.text;
    bool hex4 = s.size() == 4 && std::all_of(s.begin(), s.end(), [](char16_t c) {
                    return (c >= u'0' && c <= u'9') || (c >= u'A' && c <= u'F');
                });
    if (!soc.present || s.empty())
        Add(out, true, f, "SOCID missing or empty", "no drive would be listed");
    else if (!(s == u"*" || s == u"TALVORIX" || hex4))
        Add(out, true, f,
            "SOCID \"" + Utf8(s) +
                "\" is not \"*\", \"TALVORIX\" or four upper-case hexadecimal digits",
            "no drive's vendor code would ever equal it, so no drive would be listed");

    struct Limit {
        const char16_t* key;
        size_t max;
        const char* why;
    };
    const Limit limits[] = {
        {u"ModelName", kListMax,
         "the list is stored enclosed in semicolons in 260 characters; its end would be cut"},
        {u"FWVersion", kListMax,
         "the list is stored enclosed in semicolons in 260 characters; its end would be cut"},
        {u"BeforeMessage", kMessageMax,
         "longer messages do not fit the updater's working buffer and are cut"},
        {u"AfterMessage", kMessageMax,
         "longer messages do not fit the updater's working buffer and are cut"},
        {u"NEWVERSION", kShortMax, "the updater reads at most 63 characters"},
    };
    for (const Limit& l : limits) {
        const IniValue v = value(l.key);
        if (v.text.size() > l.max)
            Add(out, true, f,
                Utf8(l.key) + " is " + std::to_string(v.text.size()) + " characters, more than " +
                    std::to_string(l.max),
                l.why);
    }

    const IniValue versions = value(u"FWVersion");
    size_t start = 0;
    while (versions.present && start <= versions.text.size()) {
        size_t semi = versions.text.find(u';', start);
        if (semi == std::u16string::npos) semi = versions.text.size();
        std::u16string entry = versions.text.substr(start, semi - start);
        if (!entry.empty() && entry.size() != 8)
            Add(out, false, f, "FWVersion entry \"" + Utf8(entry) + "\" is not 8 characters",
                "drive firmware revisions are 8 characters; this entry can never match one");
        start = semi + 1;
    }

    const IniValue newName = value(u"NEWVERSION");
    if (!newName.present || newName.text.empty())
        Add(out, false, f, "NEWVERSION missing or empty",
            "the update would write an empty vendor firmware name; use KEEP to leave it");
    else if (LowerW(newName.text) != u"keep" && newName.text.size() > 8 &&
             newName.text.size() <= kShortMax)
        Add(out, false, f, "NEWVERSION \"" + Utf8(newName.text) + "\" is longer than 8 characters",
            "only its first 8 characters are written into the drive");

    auto integer = [&](const char16_t* key, long long& v) {
        const IniValue iv = value(key);
        v = 0;
        if (!iv.present) return false;
        if (!IsDecimal(iv.text, v)) {
            Add(out, true, f, Utf8(key) + " \"" + Utf8(iv.text) + "\" is not a decimal number",
                "the updater would read it as 0 or as its leading digits");
            return false;
        }
        return true;
    };
    long long v = 0;
    if (integer(u"bIsSATA", v) && v != 0 && v != 1)
        Add(out, true, f, "bIsSATA is " + std::to_string(v) + ", not 0 or 1",
            "any value but 0 makes a SATA package; say which one it is");
    config.sata = v != 0;
    if (integer(u"PowerCtrl", v)) {
        if (v < 0)
            Add(out, true, f, "PowerCtrl is negative", "it must be 0, 1 or 2");
        else if (v > 2)
            Add(out, false, f, "PowerCtrl is " + std::to_string(v) + ", not 0, 1 or 2",
                (v & 0xFF) <= 2 ? "the updater keeps its low 8 bits: " + std::to_string(v & 0xFF)
                                : std::string("3 and above offer nothing after an update"));
    }
    integer(u"iInternalFWVersionCheckPart", v);
    return config;
}

// ---- Images ----

struct ImageName {
    bool image = false; // ends in .fw
    std::string nand;
    std::string lun;
};

ImageName SplitImageName(const std::string& name) {
    ImageName n;
    if (name.size() < 3 || Lower(name.substr(name.size() - 3)) != ".fw") return n;
    n.image = true;
    std::string stem = name.substr(0, name.size() - 3);
    size_t us = stem.rfind('_');
    if (us == std::string::npos) return n;
    n.nand = stem.substr(0, us);
    n.lun = stem.substr(us + 1);
    return n;
}

void CheckImageName(const std::string& name, std::vector<Problem>& out) {
    ImageName n = SplitImageName(name);
    bool knownNand = false;
    for (const std::string& nand : NandNames())
        if (Lower(nand) == Lower(n.nand)) knownNand = true;
    if (n.nand.empty() && n.lun.empty()) {
        Add(out, true, name, "image name is not <NAND name>_<LUN count>.fw",
            "the updater looks images up only by that name");
        return;
    }
    if (Lower(n.nand) == "unknow") {
        Add(out, false, name, "image for NAND \"Unknow\"",
            "only drives whose NAND is not recognised select it");
    } else if (!knownNand) {
        Add(out, true, name, "\"" + n.nand + "\" is not a NAND name of the type table",
            "no drive is ever given that NAND name, so the image is never used");
    }
    if (n.lun.empty() ||
        !std::all_of(n.lun.begin(), n.lun.end(), [](char c) { return c >= '0' && c <= '9'; })) {
        Add(out, true, name, "LUN count \"" + n.lun + "\" is not a decimal number",
            "the updater looks images up by the decimal LUN count");
    } else if (n.lun.size() > 1 && n.lun[0] == '0') {
        Add(out, false, name, "LUN count \"" + n.lun + "\" has a leading zero",
            "the updater writes LUN counts without one: no drive can ever select this image");
    } else if (n.lun.size() > 3 || std::stoi(n.lun) > 255) {
        Add(out, false, name, "LUN count " + n.lun + " is more than a drive reports",
            "the LUN count is one byte of the drive's geometry: no drive can ever select this "
            "image");
    }
}

} // namespace

std::string FindImageVersion(const std::vector<uint8_t>& image) {
    const size_t size = image.size();
    size_t position = 0;
    while (position < size) {
        const auto dot =
            std::find(image.begin() + static_cast<std::ptrdiff_t>(position), image.end(), '.');
        if (dot == image.end()) break;
        // The candidate starts one byte before the dot (possibly before the image).
        const long long start = static_cast<long long>(dot - image.begin()) - 1;
        int dots = 0;
        bool previousDot = false;
        for (long long i = start; i < start + 8; ++i) {
            if (i < 0 || i >= static_cast<long long>(size)) break;
            const uint8_t b = image[static_cast<size_t>(i)];
            if (b == '.') {
                if (previousDot) break;
                ++dots;
                previousDot = true;
            } else if (std::isalnum(b) && b < 0x80) {
                previousDot = false;
            } else {
                break;
            }
        }
        if (dots == 3) {
            std::string version;
            for (long long i = start; i < start + 8 && i < static_cast<long long>(size); ++i) {
                if (image[static_cast<size_t>(i)] == 0) break;
                version.push_back(static_cast<char>(image[static_cast<size_t>(i)]));
            }
            return version;
        }
        position = static_cast<size_t>(start + 8);
    }
    return {};
}

void CheckImage(const std::string& file, const std::vector<uint8_t>& image, bool sataPackage,
                std::vector<Problem>& out) {
    if (sataPackage && image.size() % 512 != 0)
        Add(out, true, file,
            "size " + std::to_string(image.size()) + " is not a whole number of 512-byte blocks",
            "the SATA download sends whole blocks: its last segment's count would not match its "
            "length");
    if (image.size() < 4 || std::memcmp(image.data(), "CMFG", 4) != 0) {
        Add(out, true, file, "no \"CMFG\" magic",
            "without it the drive's configuration cannot be merged and the build number reads as "
            "0");
        return;
    }
    const uint64_t size = image.size();
    if (size < kRegionTableEnd) {
        Add(out, true, file, "shorter than its region table", "the image ends inside its header");
        return;
    }
    uint64_t first[3], last[3];
    for (int r = 0; r < 3; ++r) {
        first[r] = Le32(image.data() + 16 + 8 * r);
        last[r] = Le32(image.data() + 20 + 8 * r);
        const std::string region = "region " + std::to_string(r);
        if (first[r] > last[r]) {
            Add(out, true, file,
                region + " starts at page " + std::to_string(first[r]) + ", after its last page " +
                    std::to_string(last[r]),
                "the update's merge refuses such a layout");
            return;
        }
        if ((last[r] + 1) * kPage > size) {
            Add(out, true, file,
                region + " ends at page " + std::to_string(last[r]) + ", past the image's end (" +
                    std::to_string(size) + " bytes)",
                "the update's merge refuses such a layout");
            return;
        }
    }
    const uint64_t checkPage = last[2] + 1;
    if ((checkPage + 1) * kPage > size) {
        Add(out, true, file,
            "check page " + std::to_string(checkPage) + " lies past the image's end",
            "the image has no room for its check value and build number");
        return;
    }
    auto overlaps = [&](uint64_t a0, uint64_t a1, uint64_t b0, uint64_t b1) {
        return a0 <= b1 && b0 <= a1;
    };
    if (overlaps(first[2], checkPage, 0, 0) || overlaps(first[2], checkPage, first[0], last[0]) ||
        overlaps(first[2], checkPage, first[1], last[1])) {
        Add(out, true, file, "region 2 or the check page overlaps the header page or regions 0-1",
            "the update's merge refuses such a layout");
        return;
    }
    static const uint8_t zeros[kPage - kRegionTableEnd] = {};
    uint32_t crc = Crc32(image.data(), kRegionTableEnd, 0);
    crc = Crc32(zeros, sizeof(zeros), crc);
    for (int r = 0; r < 3; ++r)
        crc = Crc32(image.data() + first[r] * kPage, (last[r] - first[r] + 1) * kPage, crc);
    const uint8_t* check = image.data() + checkPage * kPage;
    if (Le32(check + 8) != 0 || Le32(check + 12) != crc) {
        char text[96];
        std::snprintf(text, sizeof(text), "check value 0x%08X does not match the image (0x%08X)",
                      Le32(check + 12), crc);
        Add(out, true, file, text, "a drive refuses an image whose check value does not match");
    }
    if (Le32(check + 4088) == 0)
        Add(out, true, file, "no build number (0 in the check page)",
            "drives with vendor information must report the image's build number to be updated");
    const std::string version = FindImageVersion(image);
    if (version.empty())
        Add(out, true, file, "no version text with three dots",
            "the eligibility check refuses every drive that reports an internal version");
    else if (version.size() != 8)
        Add(out, true, file, "version text \"" + version + "\" is not 8 characters",
            "the eligibility check compares the drive's 8-character internal version with it");
}

std::string ProblemLine(const Problem& p) {
    return p.file + ": " + (p.error ? "error: " : "warning: ") + p.what + " (" + p.why + ")";
}

bool HasError(const std::vector<Problem>& problems) {
    return std::any_of(problems.begin(), problems.end(), [](const Problem& p) { return p.error; });
}

std::vector<Problem> CheckFolder(const std::string& folder) {
    std::vector<Problem> out;
    std::error_code ec;
    if (!fs::is_directory(folder, ec)) {
        Add(out, true, folder, "not a folder",
            "a package folder holds FwRenewInfo.ini and the images");
        return out;
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder, ec)) {
        const std::string name = entry.path().filename().string();
        if (entry.is_directory()) {
            Add(out, true, name, "is a folder",
                "a package is flat: the updater looks for every file in its working folder");
            continue;
        }
        names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    std::map<std::string, std::string> seen;
    for (const std::string& name : names) {
        auto [it, fresh] = seen.emplace(Lower(name), name);
        if (!fresh)
            Add(out, true, name, "same name as " + it->second + " but for letter case",
                "Windows file names ignore case: one would overwrite the other");
    }
    const Config config = CheckIni(fs::path(folder) / kIniName, out);
    int images = 0;
    for (const std::string& name : names) {
        if (name == kIniName) continue;
        if (Lower(name) == Lower(kIniName)) {
            Add(out, false, name, "differs from FwRenewInfo.ini in letter case",
                "Windows finds it anyway, but other tools may not");
            continue;
        }
        if (!SplitImageName(name).image) {
            Add(out, false, name, "not an image (.fw) or the configuration",
                "the updater extracts it but never uses it");
            continue;
        }
        ++images;
        CheckImageName(name, out);
        std::vector<uint8_t> bytes;
        if (!ReadFile(fs::path(folder) / name, bytes)) {
            Add(out, true, name, "cannot be read", "the tool could not open it");
            continue;
        }
        CheckImage(name, bytes, config.sata, out);
    }
    if (images == 0) Add(out, true, folder, "no image", "the updater would refuse every drive");
    return out;
}

std::vector<Problem> CheckArchive(const std::string& archive) {
    std::vector<Problem> out;
    const std::string a = fs::path(archive).filename().string();
    char16_t wide[4096];
    if (PlatUtf8ToWide(archive.c_str(), -1, wide, 4096) <= 0) {
        Add(out, true, a, "path cannot be converted", "the path is not valid UTF-8 or too long");
        return out;
    }
    ArchiveHandle* handle = OpenArchive(wide, nullptr);
    if (handle == nullptr) {
        Add(out, true, a, "cannot be opened as a package archive",
            Utf8(ArchiveResultText(LastArchiveResult())));
        return out;
    }
    // The stored names as written, to see what the reader would change.
    std::vector<std::string> rawNames;
    int zerr = 0;
    if (zip_t* z = zip_open(archive.c_str(), ZIP_RDONLY, &zerr)) {
        zip_int64_t n = zip_get_num_entries(z, 0);
        for (zip_int64_t i = 0; i < n; ++i) {
            const char* name = zip_get_name(z, static_cast<zip_uint64_t>(i), ZIP_FL_ENC_RAW);
            rawNames.push_back(name ? name : "");
        }
        zip_close(z);
    }
    char scratchTemplate[] = "/tmp/fwrenew-pack-XXXXXX";
    const char* scratch = mkdtemp(scratchTemplate);
    char16_t folder[4096] = {};
    if (scratch == nullptr || PlatUtf8ToWide(scratch, -1, folder, 4096) <= 0 ||
        SetExtractFolder(handle, folder) != ARC_OK) {
        Add(out, true, a, "cannot extract", "no scratch folder for the extraction");
        CloseArchive(handle);
        return out;
    }
    ArchiveItem item = {};
    GetArchiveItem(handle, -1, &item);
    const int32_t count = item.index;
    std::map<std::string, std::string> seen;
    bool extractedAll = true;
    for (int32_t i = 0; i < count; ++i) {
        ArchiveItem it = {};
        ArchiveResult r = GetArchiveItem(handle, i, &it);
        const std::string name = Utf8(it.name);
        const std::string stored =
            i < static_cast<int32_t>(rawNames.size()) ? rawNames[static_cast<size_t>(i)] : name;
        const std::string label = stored.empty() ? "item " + std::to_string(i) : stored;
        if (r != ARC_OK) {
            Add(out, true, label, "cannot be listed", Utf8(ArchiveResultText(r)));
            extractedAll = false;
            continue;
        }
        if ((it.attributes & 0x10) != 0 || stored.find_first_of("/\\") != std::string::npos) {
            Add(out, true, label, "is in a folder or is a folder",
                "a package is flat: the updater looks for every file in its working folder");
            extractedAll = false;
            continue;
        }
        if (name != stored) {
            Add(out, true, label, "the updater would store it as \"" + name + "\"",
                "names with control characters, separators or parent references are changed or "
                "refused");
            extractedAll = false;
            continue;
        }
        auto [at, fresh] = seen.emplace(Lower(name), name);
        if (!fresh) {
            Add(out, true, label, "a second item named like " + at->second,
                "Windows file names ignore case: the later item would overwrite the earlier one");
            extractedAll = false;
            continue;
        }
        r = TestArchiveItem(handle, i);
        if (r == ARC_OK) r = ExtractArchiveItem(handle, i, it.name);
        if (r != ARC_OK) {
            Add(out, true, label, "cannot be extracted", Utf8(ArchiveResultText(r)));
            extractedAll = false;
        }
    }
    CloseArchive(handle);
    std::vector<Problem> inner = CheckFolder(scratch);
    for (Problem& p : inner) {
        if (p.file == scratch) p.file = a;
        // A missing item was already named above; do not report its absence twice.
        if (!extractedAll && p.what == "missing") continue;
        out.push_back(std::move(p));
    }
    std::error_code ec;
    fs::remove_all(scratch, ec);
    return out;
}

std::vector<Problem> CheckPath(const std::string& path) {
    std::error_code ec;
    return fs::is_directory(path, ec) ? CheckFolder(path) : CheckArchive(path);
}

std::vector<Problem> BuildArchive(const std::string& folder, const std::string& archive) {
    std::vector<Problem> out = CheckFolder(folder);
    if (HasError(out)) return out;
    const std::string a = fs::path(archive).filename().string();
    std::error_code ec;
    if (fs::weakly_canonical(fs::absolute(archive).parent_path(), ec) ==
        fs::weakly_canonical(fs::absolute(folder), ec)) {
        Add(out, true, a, "would be written into the package folder",
            "a later build would pack the archive into itself");
        return out;
    }
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder, ec))
        names.push_back(entry.path().filename().string());
    std::sort(names.begin(), names.end());
    std::vector<std::vector<uint8_t>> contents(names.size());
    int zerr = 0;
    zip_t* z = zip_open(archive.c_str(), ZIP_CREATE | ZIP_TRUNCATE, &zerr);
    if (z == nullptr) {
        zip_error_t e;
        zip_error_init_with_code(&e, zerr);
        Add(out, true, a, "cannot be created", zip_error_strerror(&e));
        zip_error_fini(&e);
        return out;
    }
    // A fixed time (2000-01-01 00:00) and plain file attributes, whatever the files carry.
    const zip_uint16_t dosDate = ((2000 - 1980) << 9) | (1 << 5) | 1;
    for (size_t i = 0; i < names.size(); ++i) {
        if (!ReadFile(fs::path(folder) / names[i], contents[i])) {
            Add(out, true, names[i], "cannot be read", "the tool could not open it");
            zip_discard(z);
            return out;
        }
        zip_source_t* src = zip_source_buffer(z, contents[i].data(), contents[i].size(), 0);
        zip_int64_t index = src ? zip_file_add(z, names[i].c_str(), src, ZIP_FL_ENC_UTF_8) : -1;
        if (index < 0) {
            if (src) zip_source_free(src);
            Add(out, true, names[i], "cannot be added", zip_strerror(z));
            zip_discard(z);
            return out;
        }
        const auto idx = static_cast<zip_uint64_t>(index);
        if (zip_set_file_compression(z, idx, ZIP_CM_DEFLATE, 9) != 0 ||
            zip_file_set_dostime(z, idx, 0, dosDate, 0) != 0 ||
            zip_file_set_external_attributes(z, idx, 0, ZIP_OPSYS_DOS, 0x20) != 0) {
            Add(out, true, names[i], "cannot be set up", zip_strerror(z));
            zip_discard(z);
            return out;
        }
    }
    if (zip_close(z) != 0) {
        Add(out, true, a, "cannot be written", zip_strerror(z));
        zip_discard(z);
    }
    return out;
}

} // namespace pack
