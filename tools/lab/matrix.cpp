// The package matrix: every image of a package on every path the package is for, each on a
// machine of its own with one drive that the package's configuration accepts, updated end to
// end by the real application.
#include "lab.h"

#include "package_check.h"
#include "sim/firmware_image.h"
#include "sim/typical.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <filesystem>
#include <fstream>

namespace lab {
namespace {

struct PathInfo {
    const char* path;
    int transport;
    bool restarts; // the drive activates what it committed at the next restart
};
constexpr PathInfo kNvmePaths[] = {
    {"asmedia", 0, false}, {"jmicron", 1, false}, {"nvme", 2, true}, {"rst", 3, true}};
constexpr PathInfo kSataPaths[] = {
    {"sata", 16, false}, {"sata-usb", 17, false}, {"sata-scsi", 18, false}};

// One NAND id for each NAND name the updater knows: six id bytes (twelve hex digits) that
// identify as that name. Kept here, apart from the program's own table, so that a fault in
// the program's table shows up as a cell that does not update.
struct NandId {
    const char* name;
    const char* ids;
};
constexpr NandId kNandIds[] = {
    {"Intel-B17A", "89C40832A600"},    {"Micron-B17A", "2CD48932A600"},
    {"Micron-B27A", "2CC41832A200"},   {"Micron-B27C", "2CC30832E604"},
    {"Micron-B27B", "2CC30832E608"},   {"Micron-B47R", "2CC30832EA00"},
    {"Micron-B16C", "2CA40832A104"},   {"TSB-BiCS3", "983C98B376F2"},
    {"TSB-BiCS4", "983E98B376E3"},     {"TSB-BiCS5", "984899037AE4"},
    {"Sandisk-BiCS4", "453E98B37663"}, {"Sandisk-BiCS4.5", "453C98B3F663"},
    {"Sandisk-BiCS3", "453E98B37672"}, {"Hynix-3DV6", "AD89285300B0"},
    {"Hynix-3DV7", "AD7E280B00C0"},    {"YMTC-X2-9060", "9BC4284920A1"},
    {"YMTC-X1-9050", "9BC3482510A1"},  {"Samsung-V6", "EC5E98AF84CD"},
};

const char* IdsFor(const std::string& nand) {
    for (const NandId& n : kNandIds)
        if (nand == n.name) return n.ids;
    return nullptr;
}

// "<NAND name>_<LUN count>.fw": the NAND name and the count; false for any other name.
bool ParseImageName(const std::string& file, std::string& nand, int& luns) {
    if (file.size() < 6) return false;
    std::string ext = file.substr(file.size() - 3);
    std::transform(ext.begin(), ext.end(), ext.begin(),
                   [](unsigned char c) { return std::tolower(c); });
    if (ext != ".fw") return false;
    const std::string stem = file.substr(0, file.size() - 3);
    const size_t sep = stem.rfind('_');
    if (sep == std::string::npos || sep == 0 || sep + 1 == stem.size() || stem.size() - sep > 4)
        return false;
    for (size_t i = sep + 1; i < stem.size(); ++i)
        if (!std::isdigit(static_cast<unsigned char>(stem[i]))) return false;
    nand = stem.substr(0, sep);
    luns = std::stoi(stem.substr(sep + 1));
    return true;
}

std::string FirstItem(const std::string& list) {
    size_t start = 0;
    while (start <= list.size()) {
        size_t end = list.find(';', start);
        if (end == std::string::npos) end = list.size();
        if (end > start) return list.substr(start, end - start);
        start = end + 1;
    }
    return "";
}

bool FourHexDigits(const std::string& s) {
    if (s.size() != 4) return false;
    for (char c : s)
        if (!std::isdigit(static_cast<unsigned char>(c)) && !(c >= 'A' && c <= 'F')) return false;
    return true;
}

uint32_t Le32(const std::vector<uint8_t>& b, uint64_t at) {
    if (at + 4 > b.size()) return 0;
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

// The build number the updater reads from an image: in a "CMFG" image the word 8 bytes before
// the end of the check page, the page after region 2's last page (the word at 36); 0 otherwise
// and when that lies outside the image.
uint32_t ImageBuildNumber(const std::vector<uint8_t>& image) {
    if (image.size() < 40 || std::string(image.begin(), image.begin() + 4) != "CMFG") return 0;
    const uint64_t last = Le32(image, 36);
    return Le32(image, (last + 2) * 4096 - 8);
}

// A drive version that the eligibility check accepts against the image's version text when it
// compares `parts` dot-separated parts, and that differs from it where the check allows, so
// that the matrix shows the version change.
std::string DriveVersionFor(const std::string& imageVersion, int parts,
                            const std::string& fallback) {
    if (imageVersion.empty()) return fallback;
    if (parts == 0) return fallback.empty() || fallback[0] == '.' ? "V1.00.00" : fallback;
    if (parts < 0 || parts >= 4) return imageVersion;
    int dots = 0;
    for (size_t i = 0; i < imageVersion.size(); ++i) {
        if (imageVersion[i] == '.') ++dots;
        if (dots == parts) {
            std::string v = imageVersion;
            if (i + 1 < v.size()) v[i + 1] = v[i + 1] == '0' ? '9' : '0';
            return v;
        }
    }
    return imageVersion;
}

struct DriveNow {
    std::string revision, version;
    int activations = 0;
};

DriveNow DriveIn(const State& s) {
    DriveNow d;
    for (const DriveFirmware& f : s.drives)
        if (f.name == "ssd") {
            d.revision = f.revision;
            d.version = f.internal_version;
            d.activations = f.activations;
        }
    return d;
}

std::string ResultText(const MatrixCell& c) {
    if (!c.result) return "not run";
    return std::to_string(*c.result);
}

std::string Clip(const std::string& s, size_t width) {
    std::string out = s.size() > width ? s.substr(0, width) : s;
    out.resize(width, ' ');
    return out;
}

} // namespace

std::vector<MatrixCell> RunMatrix(const MatrixOptions& options) {
    const PackageConfig config = ReadPackageConfig(options.package);
    struct Image {
        std::string file, nand;
        int luns = 0;
        const std::vector<uint8_t>* bytes = nullptr;
    };
    std::vector<Image> images;
    for (const auto& [name, bytes] : options.package.items) {
        Image image;
        if (!ParseImageName(name, image.nand, image.luns)) continue;
        image.file = name;
        image.bytes = &bytes;
        images.push_back(image);
    }
    if (images.empty())
        throw Error("package " + options.package.origin + " holds no image named NAND_LUNS.fw");
    const std::string traceFile =
        options.trace_file.empty() ? "" : std::filesystem::absolute(options.trace_file).string();
    if (!traceFile.empty()) {
        std::ofstream truncate(traceFile, std::ios::trunc | std::ios::binary);
        if (!truncate) throw Error("cannot write the trace file " + traceFile);
    }

    std::vector<PathInfo> paths;
    if (config.sata)
        paths.assign(std::begin(kSataPaths), std::end(kSataPaths));
    else
        paths.assign(std::begin(kNvmePaths), std::end(kNvmePaths));

    std::vector<MatrixCell> cells;
    for (const Image& image : images) {
        for (const PathInfo& path : paths) {
            MatrixCell cell;
            cell.path = path.path;
            cell.transport = path.transport;
            cell.image = image.file;
            cell.nand = image.nand;
            cell.luns = image.luns;
            const char* ids = IdsFor(image.nand);
            if (ids == nullptr) {
                cell.message = "no NAND id known for " + image.nand;
                cells.push_back(cell);
                if (options.on_cell) options.on_cell(cell);
                continue;
            }

            sim::DriveOnPath d;
            d.path = path.path;
            d.number = 1;
            d.name = "ssd";
            if (cell.path == "rst") d.service = "iaStorAC";
            d.drive = config.sata ? sim::DefaultSataDrive() : sim::DefaultNvmeDrive();
            const std::string model = FirstItem(config.model_list);
            if (!model.empty()) d.drive["model"] = model;
            const std::string revision = FirstItem(config.fw_version_list);
            if (!revision.empty()) d.drive["firmware"] = revision;
            sim::Json& info = d.drive["vendor_info"];
            info["valid"] = true;
            if (FourHexDigits(config.soc_id)) info["soc_id"] = "0x" + config.soc_id;
            info["nand_ids"] = ids;
            info["version"] =
                DriveVersionFor(pack::FindImageVersion(*image.bytes), config.internal_version_parts,
                                info.value("version", std::string()));
            info["ftl_build"] = ImageBuildNumber(*image.bytes);
            d.drive["geometry"]["luns"] = image.luns;

            SessionConfig sc;
            sc.machine_text = sim::TypicalMachine({d}).dump();
            sc.package = options.package;
            sc.realtime = options.realtime;
            sc.log_detail = options.log_detail;
            sc.trace_file = traceFile;
            sc.trace_append = true;
            sc.on_log = options.on_log;
            Session session;
            session.Start(sc);
            State before = session.Snapshot();
            const DriveNow was = DriveIn(before);
            cell.revision_before = was.revision;
            cell.version_before = was.version;
            if (before.lines.empty()) {
                cell.message = "the drive is not listed";
            } else {
                const uint64_t pressed = before.clock_ms;
                session.Select(0);
                session.RunAndAnswer(true);
                session.Settle();
                const State done = session.Snapshot();
                cell.result = done.result;
                if (done.result && done.finished_ms >= pressed)
                    cell.duration_ms = done.finished_ms - pressed;
                if (!done.boxes.empty()) cell.message = done.boxes.back().text;
                if (path.restarts && done.result && *done.result == 1) session.Restart();
            }
            const DriveNow now = DriveIn(session.Snapshot());
            session.Stop();
            cell.revision_after = now.revision;
            cell.version_after = now.version;
            cell.updated = cell.result && *cell.result == 1 && now.activations > was.activations;
            cells.push_back(cell);
            if (options.on_cell) options.on_cell(cell);
        }
    }
    return cells;
}

std::string MatrixHeader() {
    return Clip("path", 14) + " " + Clip("image", 22) + " " + Clip("result", 7) + " " +
           Clip("revision before -> after", 24) + " " +
           Clip("internal version before -> after", 32) + " " + "duration";
}

std::string MatrixRow(const MatrixCell& c) {
    std::string row = Clip(c.path + " (" + std::to_string(c.transport) + ")", 14) + " " +
                      Clip(c.image, 22) + " " + Clip(ResultText(c), 7) + " " +
                      Clip(c.revision_before + " -> " + c.revision_after, 24) + " " +
                      Clip(c.version_before + " -> " + c.version_after, 32) + " " +
                      std::to_string(c.duration_ms) + " ms";
    row += c.updated ? "  updated" : "  NOT UPDATED";
    if (!c.updated && !c.message.empty()) {
        std::string m = c.message;
        std::replace(m.begin(), m.end(), '\n', ' ');
        row += ": " + m;
    }
    return row;
}

std::string MatrixJson(const std::vector<MatrixCell>& cells) {
    nlohmann::ordered_json rows = nlohmann::ordered_json::array();
    int updated = 0;
    for (const MatrixCell& c : cells) {
        updated += c.updated ? 1 : 0;
        rows.push_back({{"path", c.path},
                        {"transport", c.transport},
                        {"image", c.image},
                        {"nand", c.nand},
                        {"luns", c.luns},
                        {"result", c.result ? nlohmann::ordered_json(*c.result)
                                            : nlohmann::ordered_json(nullptr)},
                        {"updated", c.updated},
                        {"message", c.message},
                        {"revision_before", c.revision_before},
                        {"revision_after", c.revision_after},
                        {"version_before", c.version_before},
                        {"version_after", c.version_after},
                        {"duration_ms", c.duration_ms}});
    }
    nlohmann::ordered_json j;
    j["cells"] = rows;
    j["updated"] = updated;
    j["total"] = cells.size();
    return j.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace);
}

} // namespace lab
