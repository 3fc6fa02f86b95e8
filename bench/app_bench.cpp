// fwrenew-app-bench: the application's own cost on the simulated machine, in host CPU time of
// the whole process (dialog thread, worker and the driving thread together). The waits of an
// update run on the virtual clock, so what is measured is the program's work: reading the
// image for the checks, the transfers through each path's request structures, the record
// merge and re-discovery, the list refreshes and the messages.
//
//   BM_Update/<path>: one complete update with a 16 MiB image, from RUN to the completion
//     message, on each path (0 ASMedia, 1 JMicron, 2 in-box NVMe, 3 RST, 16 SATA, 17 SATA
//     behind USB, 18 SATA behind SCSI). Start-up and closing are outside the timing.
//   BM_StartUp: the dialog's start-up with the same package on a machine with 20 drives:
//     working folder, package extraction (16 MiB image), configuration, enumeration and the
//     drive list. Closing is outside the timing.
#include "app/app.h"
#include "disk/enumerate.h"
#include "disk/nand.h"
#include "package/zip_support.h"
#include "sim/dialog.h"
#include "sim/firmware_image.h"
#include "sim/sim.h"
#include "sim/typical.h"

#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr size_t kImageBytes = 16u << 20;

struct PathCase {
    const char* path;
    int cmdType;
};
constexpr PathCase kPaths[] = {
    {"asmedia", 0}, {"jmicron", 1}, {"nvme", 2}, {"rst", 3},
    {"sata", 16},   {"sata-usb", 17}, {"sata-scsi", 18},
};

bool IsSata(const std::string& path) {
    return path.rfind("sata", 0) == 0;
}

std::string Narrow(const char16_t* text) {
    std::string out;
    for (; *text; ++text)
        out.push_back(*text < 0x80 ? static_cast<char>(*text) : '?');
    return out;
}

sim::DriveOnPath DriveOn(const std::string& path, int number) {
    sim::DriveOnPath d;
    d.path = path;
    d.number = number;
    d.name = "d" + std::to_string(number);
    if (path == "rst") d.service = "iaStorAC";
    d.drive = IsSata(path) ? sim::DefaultSataDrive() : sim::DefaultNvmeDrive();
    d.drive["vendor_info"]["version"] = "1.2.A.3B";
    d.drive["serial"] = "BENCH" + std::to_string(number);
    return d;
}

std::vector<uint8_t> IniFile(bool sata) {
    std::string text = "[UPDATEINFO]\r\nTITLE=Bench\r\nSOCID=*\r\nNEWVERSION=NV200000\r\n"
                       "BeforeMessage=Sure?\r\nAfterMessage=Done\r\n";
    if (sata) text += "bIsSATA=1\r\n";
    std::vector<uint8_t> out = {0xFF, 0xFE};
    for (char c : text) {
        out.push_back(static_cast<uint8_t>(c));
        out.push_back(0);
    }
    return out;
}

// The package for the drive of the current machine at PhysicalDrive1: the configuration and a
// 16 MiB image the drive takes.
std::vector<uint8_t> PackageFor(bool sata) {
    DriveInfo probed{};
    const int32_t r = sata ? ProbeSataDrive(u"\\\\.\\PhysicalDrive1", &probed)
                           : ProbeNvmeDrive(u"\\\\.\\PhysicalDrive1", &probed);
    if (r != 1) throw std::runtime_error("the drive cannot be probed");
    char16_t nand[64];
    NandTypeName(probed.iNandType, nand);
    sim::FirmwareImageSpec spec;
    spec.size = kImageBytes;
    spec.internal_version = Narrow(probed.DrvInfoVersion);
    spec.ftl_build = probed.iFtlBuildNum;
    ziptest::Entry ini, image;
    ini.name = "FwRenewInfo.ini";
    ini.data = IniFile(sata);
    image.name = Narrow(nand) + "_" + std::to_string(probed.iLunCount) + ".fw";
    image.data = sim::MakeFirmwareImage(spec);
    return ziptest::BuildZip({ini, image}).bytes;
}

// The program with its dialog on a thread of its own, in a temporary folder of its own.
class App {
  public:
    explicit App(const std::vector<uint8_t>& package) {
        static const auto temp = std::filesystem::temp_directory_path();
        std::random_device random;
        root_ = temp / ("fwrenew-bench-" + std::to_string(random()));
        std::filesystem::create_directory(root_);
        setenv("TMPDIR", root_.c_str(), 1);
        sim::SetResource(u"FWPACKAGEZIP", 1000, package);
        sim::ClearMessageBoxes();
        sim::ClearMessages();
    }
    ~App() {
        if (ui_.joinable()) {
            sim::DialogAbort();
            ui_.join();
        }
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    void Start() {
        ui_ = std::thread([] { RunApplication(); });
        Check(sim::WaitFor([] { return sim::DialogRunning(); }) && sim::WaitIdle(), "start-up");
    }
    // RUN, the confirmation, and the completion message answered.
    void Update() {
        Check(sim::DialogCommand(IDC_RUN), "RUN");
        Check(sim::WaitForMessageBox() >= 0, "confirmation");
        sim::AnswerMessageBox(PLAT_IDYES);
        const int box = sim::WaitForMessageBox();
        Check(box >= 0 && sim::MessageBoxes()[static_cast<size_t>(box)].text == u"Done", "update");
        sim::AnswerMessageBox(PLAT_IDOK);
        Check(sim::WaitIdle(), "completion");
    }
    void Close() {
        Check(sim::DialogCommand(PLAT_IDCANCEL) &&
                  sim::WaitFor([] { return !sim::DialogRunning(); }),
              "close");
        ui_.join();
    }

  private:
    static void Check(bool ok, const char* what) {
        if (!ok) throw std::runtime_error(std::string("the program did not get through: ") + what);
    }
    std::filesystem::path root_;
    std::thread ui_;
};

void BM_Update(benchmark::State& state) {
    const PathCase& c = kPaths[state.range(0)];
    state.SetLabel(std::string(c.path) + " (" + std::to_string(c.cmdType) + ")");
    const std::string machine = sim::TypicalMachine({DriveOn(c.path, 1)}).dump();
    sim::Load(machine);
    const std::vector<uint8_t> package = PackageFor(IsSata(c.path));
    for (auto _ : state) {
        state.PauseTiming();
        sim::Load(machine);
        {
            App app(package);
            app.Start();
            state.ResumeTiming();
            app.Update();
            state.PauseTiming();
            app.Close();
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * static_cast<int64_t>(kImageBytes));
}

void BM_StartUp(benchmark::State& state) {
    // 20 NVMe drives, five on each of the four paths. The typical machine numbers the SCSI
    // ports of PCIe drives by their index and those of USB drives from 10 on, so the PCIe
    // drives come first.
    std::vector<sim::DriveOnPath> drives;
    const char* paths[] = {"rst", "nvme", "asmedia", "jmicron"};
    for (int i = 0; i < 20; ++i)
        drives.push_back(DriveOn(paths[i / 5], i)); // PhysicalDrive0-19, the numbers scanned
    const std::string machine = sim::TypicalMachine(drives).dump();
    sim::Load(machine);
    const std::vector<uint8_t> package = PackageFor(false);
    size_t listed = 0;
    for (auto _ : state) {
        state.PauseTiming();
        sim::Load(machine);
        {
            App app(package);
            state.ResumeTiming();
            app.Start();
            state.PauseTiming();
            listed = sim::DialogItem(IDC_DRIVE_COMBO).lines.size();
            app.Close();
        }
        state.ResumeTiming();
        if (listed != 20) {
            state.SkipWithError(("listed " + std::to_string(listed) + " of 20 drives").c_str());
            break;
        }
    }
}

} // namespace

BENCHMARK(BM_Update)->DenseRange(0, 6)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);
BENCHMARK(BM_StartUp)->MeasureProcessCPUTime()->Unit(benchmark::kMillisecond);

BENCHMARK_MAIN();
