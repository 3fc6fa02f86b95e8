// fwrenew-lab from the command line, as a script or a release pipeline runs it: an update on
// every example machine read back from the JSON state, refused and failing updates with their
// exit status, bad arguments, the trace and log, and the package matrix on the example
// packages and on a package with one broken image.
#include <gtest/gtest.h>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;
using nlohmann::json;

namespace {

// A sanitizer report ends the program with this status, so that it is never taken for the
// lab's own 1 (not updated) or 2 (bad arguments).
constexpr int kSanitizerExit = 86;

struct LabRun {
    int rc = -1;
    std::string out, err;
};

std::string Quote(const std::string& s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

std::string ReadText(const fs::path& path) {
    std::ifstream f(path, std::ios::binary);
    std::stringstream s;
    s << f.rdbuf();
    return s.str();
}

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "fwrenew-lab-test-XXXXXX").string();
        std::vector<char> buf(pattern.begin(), pattern.end());
        buf.push_back(0);
        if (mkdtemp(buf.data()) == nullptr) throw std::runtime_error("mkdtemp");
        path_ = buf.data();
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path_, ec);
    }
    const fs::path& Path() const { return path_; }

  private:
    fs::path path_;
};

// Runs fwrenew-lab with stdin from /dev/null (no terminal: scripted), in folder cwd if given.
LabRun RunLab(const std::vector<std::string>& args, const std::string& cwd = "") {
    static const bool env = [] {
        for (const char* name : {"ASAN_OPTIONS", "UBSAN_OPTIONS"}) {
            std::string v = std::getenv(name) ? std::getenv(name) : "";
            v += (v.empty() ? "" : ":") + std::string("exitcode=") + std::to_string(kSanitizerExit);
            setenv(name, v.c_str(), 1);
        }
        return true;
    }();
    (void)env;
    TempDir tmp;
    const fs::path err = tmp.Path() / "stderr";
    std::string cmd = (cwd.empty() ? "" : "cd " + Quote(cwd) + " && ") + Quote(FW_LAB_BIN);
    for (const auto& a : args)
        cmd += " " + Quote(a);
    cmd += " </dev/null 2>" + Quote(err.string());
    LabRun r;
    FILE* p = popen(cmd.c_str(), "r");
    if (p == nullptr) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0)
        r.out.append(buf, n);
    const int status = pclose(p);
    r.rc = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    r.err = ReadText(err);
    return r;
}

std::string Machine(const std::string& file) {
    return std::string(FW_SOURCE_DIR) + "/examples/machines/" + file;
}

json Parse(const LabRun& r) {
    json j = json::parse(r.out, nullptr, false);
    EXPECT_FALSE(j.is_discarded()) << r.out;
    return j;
}

// The machine drives that took a new image during the run.
std::vector<json> Activated(const json& state) {
    std::vector<json> out;
    for (const auto& d : state["drives"])
        if (d["activations"].get<int>() > 0) out.push_back(d);
    return out;
}

struct Outcome {
    const char* package; // the example package for the machine's first listed drive
    int rc;
    const char* message; // the last box shown
};

// What updating the first listed drive of each example machine must give.
const std::map<std::string, Outcome> kExpected = {
    {"inbox-nvme.json", {"nvme", 0, "Update complete.\nPlease restart the computer."}},
    {"rst-nvme.json", {"nvme", 0, "Update complete.\nPlease restart the computer."}},
    {"asmedia-usb-nvme.json", {"nvme", 0, "Update complete.\nPlease restart the computer."}},
    {"jmicron-usb-nvme.json", {"nvme", 0, "Update complete.\nPlease restart the computer."}},
    {"desktop.json", {"nvme", 0, "Update complete.\nPlease restart the computer."}},
    {"sata-port.json",
     {"sata", 0, "Update complete.\nPlease power the computer off and on again."}},
    {"sata-usb.json", {"sata", 0, "Update complete.\nPlease power the computer off and on again."}},
    {"sata-sas.json", {"sata", 0, "Update complete.\nPlease power the computer off and on again."}},
    // The bridge does not bring the drive back after its power cycle: the update reports
    // success, and the restart brings the drive back with its new firmware.
    {"fault-bridge-gone.json", {"nvme", 0, "Update complete.\nPlease restart the computer."}},
    // The drive aborts every download: the update fails and the drive keeps its firmware.
    {"fault-download-rejected.json", {"sata", 1, "Update FW Fail !"}},
    // A build number no image carries: the checks refuse before anything is sent.
    {"fault-build-mismatch.json", {"nvme", 1, "Do not need to update."}},
    // Nothing listed: RUN takes no press.
    {"unusable.json", {"sata", 1, nullptr}},
};

TEST(LabScripted, UpdatesTheFirstListedDriveOfEveryExampleMachine) {
    const json index = json::parse(ReadText(Machine("index.json")));
    for (const auto& entry : index) {
        const std::string file = entry["file"];
        SCOPED_TRACE(file);
        const auto it = kExpected.find(file);
        ASSERT_NE(it, kExpected.end()) << "no expectation for this example machine";
        const Outcome& want = it->second;
        const std::string newVersion =
            std::string(want.package) == "nvme" ? "FW100002" : "SF100002";

        const LabRun r = RunLab({"--machine", Machine(file), "--package", want.package, "--select",
                                 "0", "--run", "--restart", "--json"});
        if (!want.message) {
            // A machine whose package lists nothing: the selection has no line to take.
            EXPECT_EQ(r.rc, 2) << r.err;
            EXPECT_NE(r.err.find("--select 0: the drive list has 0 line(s)"), std::string::npos)
                << r.err;
            continue;
        }
        ASSERT_EQ(r.rc, want.rc) << r.err;
        const json state = Parse(r);
        ASSERT_TRUE(state.is_object());
        ASSERT_FALSE(state["message_boxes"].empty());
        EXPECT_EQ(state["message_boxes"].back()["text"], want.message);
        EXPECT_EQ(state["restarts"], 1);
        EXPECT_TRUE(state["dialog_running"].get<bool>());
        EXPECT_FALSE(state["updating"].get<bool>());
        if (want.rc == 0) {
            EXPECT_EQ(state["result"], 1);
            // The dialog, started again after the restart, shows the drive's new revision, and
            // exactly one drive of the machine runs the new image.
            EXPECT_EQ(state["selected"], 0);
            EXPECT_EQ(state["labels"]["firmware"], newVersion);
            const auto activated = Activated(state);
            ASSERT_EQ(activated.size(), 1u);
            EXPECT_EQ(activated[0]["revision"], newVersion);
            EXPECT_FALSE(activated[0]["staged"].get<bool>());
            EXPECT_TRUE(r.err.empty()) << r.err;
        } else {
            EXPECT_TRUE(Activated(state).empty());
            EXPECT_NE(state["labels"]["firmware"], newVersion);
            EXPECT_NE(r.err.find(std::string("not updated: ") + want.message), std::string::npos)
                << r.err;
        }
    }
}

TEST(LabScripted, AnsweringNoLeavesTheDriveAsItWas) {
    const LabRun r =
        RunLab({"--machine", Machine("inbox-nvme.json"), "--run", "--answer", "no", "--json"});
    ASSERT_EQ(r.rc, 1) << r.err;
    const json state = Parse(r);
    ASSERT_EQ(state["message_boxes"].size(), 1u);
    EXPECT_EQ(state["message_boxes"][0]["kind"], "Yes/No");
    EXPECT_EQ(state["message_boxes"][0]["answer"], "No");
    EXPECT_TRUE(state["result"].is_null());
    EXPECT_TRUE(Activated(state).empty());
    EXPECT_EQ(state["drives"][0]["revision"], "FW100000");
    EXPECT_NE(r.err.find("not updated: Warning ! \nIf FW is not back compatible"),
              std::string::npos)
        << r.err;
}

TEST(LabScripted, TextStateMarksTheSelectionAndEveryBoxWithItsAnswer) {
    const LabRun r = RunLab({"--machine", Machine("desktop.json"), "--select", "1", "--run"});
    ASSERT_EQ(r.rc, 0) << r.err;
    EXPECT_NE(r.out.find("Title      FwRenew NVMe example package\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n  > 1: "), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\n    0: "), std::string::npos) << r.out;
    EXPECT_NE(
        r.out.find("1. [Yes/No] FwRenew NVMe example package: \"Warning !  | If FW is not back "
                   "compatible, The user data will be erased.\" -> Yes"),
        std::string::npos)
        << r.out;
    EXPECT_NE(
        r.out.find(
            "2. [OK/Cancel] FwRenew NVMe example package: \"Update complete. | Please restart the "
            "computer.\" -> OK"),
        std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Result     1 (updated)"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Requested  restart of the computer (not acted on)"), std::string::npos)
        << r.out;
}

TEST(LabScripted, ListTraceAndLog) {
    TempDir tmp;
    const fs::path trace = tmp.Path() / "trace.jsonl";
    const LabRun r = RunLab({"--list", "--json", "--log", "--trace", trace.string()});
    ASSERT_EQ(r.rc, 0) << r.err;
    const json state = Parse(r);
    // The default machine is the mixed example with five NVMe drives the example package lists.
    EXPECT_EQ(state["title"], "FwRenew NVMe example package");
    EXPECT_EQ(state["lines"].size(), 5u);
    EXPECT_EQ(state["selected"], 0);
    EXPECT_TRUE(state["run_enabled"].get<bool>());
    EXPECT_TRUE(state["message_boxes"].empty());
    EXPECT_TRUE(state["result"].is_null());

    // Every request of the start-up, one JSON record per line in the order they arrived.
    std::ifstream lines(trace);
    std::string line;
    uint64_t seq = 0;
    std::set<std::string> drives;
    while (std::getline(lines, line)) {
        const json rec = json::parse(line);
        EXPECT_EQ(rec["seq"].get<uint64_t>(), seq + 1);
        seq = rec["seq"];
        EXPECT_TRUE(rec.contains("ioctl") && rec.contains("path") && rec.contains("ok"));
        if (rec.contains("drive")) drives.insert(rec["drive"].get<std::string>());
    }
    EXPECT_GT(seq, 20u);
    EXPECT_TRUE(drives.count("system") && drives.count("asmedia") && drives.count("jmicron"));

    // The diagnostic log, each line with the program's prefix.
    EXPECT_NE(r.err.find("[TX] "), std::string::npos) << r.err;
    std::istringstream err(r.err);
    while (std::getline(err, line))
        EXPECT_EQ(line.rfind("[TX] ", 0), 0u) << line;
}

size_t LineCount(const fs::path& file) {
    const std::string text = ReadText(file);
    return static_cast<size_t>(std::count(text.begin(), text.end(), '\n'));
}

// The program changes the current folder when it cleans up; a trace named relative to where
// the lab started still gets every request, those after the restart included.
TEST(LabScripted, ARelativeTracePathKeepsEveryRequestAcrossTheRestart) {
    TempDir tmp;
    const std::vector<std::string> args = {"--machine", Machine("inbox-nvme.json"), "--run",
                                           "--restart"};
    auto relative = args;
    relative.insert(relative.end(), {"--trace", "relative.jsonl"});
    auto absolute = args;
    absolute.insert(absolute.end(), {"--trace", (tmp.Path() / "absolute.jsonl").string()});
    ASSERT_EQ(RunLab(relative, tmp.Path().string()).rc, 0);
    ASSERT_EQ(RunLab(absolute).rc, 0);
    const size_t all = LineCount(tmp.Path() / "absolute.jsonl");
    EXPECT_GT(all, 0u);
    EXPECT_EQ(LineCount(tmp.Path() / "relative.jsonl"), all);
}

TEST(LabScripted, BadArgumentsAndUnreadableInputExitWithTwo) {
    TempDir tmp;
    const fs::path broken = tmp.Path() / "broken.json";
    std::ofstream(broken) << "{\"nodes\": [ {\"id\": ";
    const fs::path empty = tmp.Path() / "empty";
    fs::create_directory(empty);
    const struct {
        std::vector<std::string> args;
        std::string says;
    } cases[] = {
        {{"--frobnicate"}, "unknown argument --frobnicate"},
        {{"--select"}, "--select needs a value"},
        {{"--select", "one"}, "--select needs a line number"},
        {{"--select", "-1"}, "--select needs a line number"},
        {{"--answer", "maybe"}, "--answer is yes or no"},
        {{"--matrix", "--run"}, "--matrix goes with"},
        {{"--list", "--run"}, "--list goes alone"},
        {{"--list", "--machine", (tmp.Path() / "absent.json").string()},
         "unreadable machine description"},
        {{"--list", "--machine", broken.string()}, "unreadable machine description"},
        {{"--list", "--package", (tmp.Path() / "absent").string()}, "no package"},
        {{"--list", "--package", empty.string()}, "holds no files"},
        {{"--select", "9", "--run"}, "--select 9: the drive list has 5 line(s)"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.says);
        const LabRun r = RunLab(c.args);
        EXPECT_EQ(r.rc, 2) << r.err;
        EXPECT_TRUE(r.out.empty()) << r.out;
        // One clear line.
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    }
}

TEST(LabScripted, HelpDocumentsEveryOption) {
    const LabRun r = RunLab({"--help"});
    ASSERT_EQ(r.rc, 0);
    for (const char* option :
         {"--machine", "--package", "--list", "--select", "--run", "--answer", "--restart",
          "--json", "--trace", "--log", "--log-detail", "--realtime", "--matrix"})
        EXPECT_NE(r.out.find(std::string("  ") + option + " "), std::string::npos) << option;
    EXPECT_NE(r.out.find("Exit status"), std::string::npos);
}

json Matrix(const std::vector<std::string>& args, int wantRc) {
    std::vector<std::string> all = {"--matrix", "--json"};
    all.insert(all.end(), args.begin(), args.end());
    const LabRun r = RunLab(all);
    EXPECT_EQ(r.rc, wantRc) << r.err;
    return Parse(r);
}

TEST(LabMatrix, EveryCellOfTheExamplePackagesUpdates) {
    const struct {
        const char* package;
        std::set<std::string> paths;
        std::set<std::string> images;
    } cases[] = {
        {"nvme",
         {"nvme", "rst", "asmedia", "jmicron"},
         {"YMTC-X2-9060_2.fw", "YMTC-X2-9060_0.fw", "Samsung-V6_4.fw", "TSB-BiCS4_0.fw",
          "Hynix-3DV7_0.fw"}},
        {"sata", {"sata", "sata-usb", "sata-scsi"}, {"Micron-B27C_1.fw", "Micron-B27B_1.fw"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.package);
        const json m = Matrix({"--package", c.package}, 0);
        ASSERT_EQ(m["total"].get<size_t>(), c.paths.size() * c.images.size());
        EXPECT_EQ(m["updated"], m["total"]);
        std::set<std::pair<std::string, std::string>> cells;
        for (const auto& cell : m["cells"]) {
            SCOPED_TRACE(cell.dump());
            cells.insert({cell["path"].get<std::string>(), cell["image"].get<std::string>()});
            EXPECT_TRUE(c.paths.count(cell["path"]));
            EXPECT_TRUE(c.images.count(cell["image"]));
            EXPECT_EQ(cell["result"], 1);
            EXPECT_TRUE(cell["updated"].get<bool>());
            EXPECT_NE(cell["revision_before"], cell["revision_after"]);
            EXPECT_EQ(cell["revision_after"],
                      std::string(c.package) == "nvme" ? "FW100002" : "SF100002");
            EXPECT_NE(cell["version_before"], cell["version_after"]);
            EXPECT_GT(cell["duration_ms"].get<uint64_t>(),
                      3000u); // the update's 3-second wait at least
        }
        EXPECT_EQ(cells.size(), m["total"].get<size_t>()); // every pair once
    }
}

TEST(LabMatrix, ABrokenImageFailsOnEveryPathThatMergesAndTheExitSaysSo) {
    // The example NVMe package folder with one image whose region table points past its end.
    TempDir tmp;
    const fs::path folder = tmp.Path() / "package";
    fs::copy(fs::path(FW_EXAMPLES_BUILD_DIR) / "nvme", folder);
    const std::string broken = "TSB-BiCS4_0.fw";
    std::vector<char> image;
    {
        std::ifstream f(folder / broken, std::ios::binary);
        image.assign(std::istreambuf_iterator<char>(f), {});
    }
    ASSERT_GT(image.size(), 80u);
    ASSERT_EQ(std::string(image.data(), 4), "CMFG");
    const uint32_t pastEnd = static_cast<uint32_t>(image.size() / 4096 + 8); // region 2's last page
    for (int i = 0; i < 4; ++i)
        image[36 + i] = static_cast<char>(pastEnd >> (8 * i));
    std::ofstream(folder / broken, std::ios::binary | std::ios::trunc)
        .write(image.data(), image.size());

    TempDir out;
    const fs::path trace = out.Path() / "trace.jsonl";
    const json m = Matrix({"--package", folder.string(), "--trace", trace.string()}, 1);
    ASSERT_EQ(m["total"], 20);
    EXPECT_EQ(m["updated"], 16);
    for (const auto& cell : m["cells"]) {
        SCOPED_TRACE(cell.dump());
        if (cell["image"] == broken) {
            // The checks pass; the merge of the drive's configuration refuses the image before
            // anything is written, so the drive keeps its firmware.
            EXPECT_NE(cell["result"], 1);
            EXPECT_FALSE(cell["result"].is_null());
            EXPECT_FALSE(cell["updated"].get<bool>());
            EXPECT_EQ(cell["message"], "Update FW Fail !");
            EXPECT_EQ(cell["revision_after"], cell["revision_before"]);
        } else {
            EXPECT_TRUE(cell["updated"].get<bool>());
        }
    }
    // Every cell's requests went to the one trace (each cell's machine is new, so its sequence
    // numbers start again at 1).
    std::ifstream lines(trace);
    std::string line;
    int restarts = 0, records = 0;
    while (std::getline(lines, line)) {
        const json rec = json::parse(line);
        ++records;
        if (rec["seq"] == 1) ++restarts;
    }
    EXPECT_EQ(restarts, 20);
    EXPECT_GT(records, 20 * 10);

    // The text table names the failing cells.
    const LabRun text = RunLab({"--matrix", "--package", folder.string()});
    EXPECT_EQ(text.rc, 1);
    EXPECT_NE(text.out.find("16 of 20 cells updated"), std::string::npos) << text.out;
    EXPECT_NE(text.out.find("NOT UPDATED: Update FW Fail !"), std::string::npos) << text.out;
}

} // namespace
