// fwrenew-lab's session library: the real application (the app/ library and MainDialogProc,
// through the headless dialog host of sim/) running on a simulated machine with a firmware
// package, on a thread of its own, driven by a person (the interactive view) or by a script.
//
// One session at a time per process: the simulated machine, the dialog host and the
// application state are process-wide. Every Session member may be called from one controlling
// thread (the UI or the script) while the dialog runs on its own thread; a snapshot is a copy
// and never refers back into the running dialog.
#pragma once
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace lab {

// A machine description, a package or an argument the lab cannot use: what() is one line.
struct Error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// ---- Packages ----

// A firmware package as the program receives it (the archive it carries as its resource) and
// the items in it, read for the lab's own use (the matrix, the summary).
struct Package {
    std::string origin;           // what was named: a folder, an archive or "nvme" / "sata"
    std::vector<uint8_t> archive; // the ZIP archive given to the program
    std::map<std::string, std::vector<uint8_t>> items; // name -> bytes
};

// A folder (FwRenewInfo.ini and images: packed as they are, without checks, so that a broken
// package reaches the program as it is), a package archive, or one of the example packages
// built into the lab ("nvme", "sata"). Throws Error when it cannot be read.
Package LoadPackage(const std::string& what);
// The example package archives built into the program ("nvme", "sata"); empty when unknown.
std::vector<uint8_t> BuiltInPackage(const std::string& name);

// The configuration of a package as the program reads it (FwRenewInfo.ini, section UPDATEINFO,
// read with the program's own profile reader and its defaults).
struct PackageConfig {
    std::string title, soc_id, model_list, fw_version_list, new_version;
    int internal_version_parts = 3;
    bool sata = false;
    int power_ctrl = 0;
};
PackageConfig ReadPackageConfig(const Package& package);

// ---- The dialog as a person sees it ----

inline constexpr int kAnswerOk = 1, kAnswerCancel = 2, kAnswerYes = 6, kAnswerNo = 7;
// Message box kinds (the low four bits of type).
inline constexpr uint32_t kBoxOk = 0, kBoxOkCancel = 1, kBoxYesNo = 4;

struct MessageBoxShown {
    std::string text; // UTF-8; line breaks as "\n"
    std::string caption;
    uint32_t type = 0;
    int answer = 0; // 0 while it is open, else kAnswerOk ... kAnswerNo
};
// "OK", "Cancel", "Yes", "No" or "" for 0.
std::string AnswerName(int answer);

// A drive of the simulated machine and the firmware it runs (the machine's side, not the
// dialog's).
struct DriveFirmware {
    std::string name;
    int number = -1; // PhysicalDriveN while present
    bool present = false;
    std::string kind; // "nvme", "sata" or "" (no drive answers)
    std::string revision;
    std::string internal_version;
    uint32_t ftl_build = 0;
    int activations = 0; // images that became the running one
    bool staged = false; // NVMe: an image waits for the next controller reset
};

struct State {
    bool dialog_running = false;
    std::string title;
    std::vector<std::string> lines;
    int selected = -1;
    // The five detail labels.
    std::string model, serial, interface_text, firmware, capacity;
    bool run_enabled = false;
    bool list_enabled = false;
    std::string status;
    int progress = 0, progress_min = 0, progress_max = 100;
    std::vector<MessageBoxShown> boxes;      // every box shown in this session, in order
    int open_box = -1;                       // index into boxes, -1 when none is open
    bool updating = false;                   // an update worker runs
    int updates_finished = 0;                // completions the dialog received
    std::optional<int> result;               // the last update's result (1 = updated)
    uint64_t finished_ms = 0;                // the virtual clock when that result was posted
    std::vector<uint32_t> shutdown_requests; // power-off / restart requests (never acted on)
    int restarts = 0;                        // restarts of the simulated machine
    uint64_t clock_ms = 0;                   // the virtual clock
    std::vector<DriveFirmware> drives;
};

// ---- The session ----

struct SessionConfig {
    std::string machine_file; // a machine description (JSON); "" = machine_text
    std::string machine_text; // used when machine_file is empty
    Package package;
    bool realtime = false;     // every virtual wait also takes that long in real time
    bool log_detail = false;   // the detailed diagnostic log is on
    std::string trace_file;    // every request as a JSON line ("" = none)
    bool trace_append = false; // add to the trace file rather than start it anew
    // Each diagnostic line as it is written (called on the thread that logs).
    std::function<void(const std::string&)> on_log;
    // Real milliseconds the dialog may sit without anything to do before the host ends it
    // (0: 60 s, or a day when realtime).
    int watchdog_ms = 0;
};

class Session {
  public:
    Session();
    ~Session(); // stops what still runs
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    // Loads the machine, gives the program the package, starts the application and waits until
    // its start-up is done. Throws Error for an unreadable machine description.
    void Start(const SessionConfig& config);
    bool Started() const;
    const SessionConfig& Config() const { return config_; }

    State Snapshot() const;

    // The user's input; false when the dialog would not take it (no such line, a disabled
    // control, a message box open, no dialog).
    bool Select(int line);
    bool PressRun();
    // Answers the open box with kAnswerOk ... kAnswerNo; false when none is open.
    bool Answer(int button);
    // The button that means yes (or no) for the open box's kind: Yes/No, OK/Cancel, OK.
    static int ButtonFor(uint32_t type, bool yes);

    // Machine actions. Unplug: the drive leaves and stays away; Plug: it comes back. Both raise
    // the device-change notice, and do nothing when the drive is away (present) already. Throw
    // Error for an unknown drive. The list follows after the refresh delay (Settle, Advance).
    void Unplug(const std::string& drive);
    void Plug(const std::string& drive);
    // Restarts the simulated machine as a person would: closes the application (ending an
    // update that still runs), restarts the machine (drives away come back, NVMe controllers
    // reset and activate what they committed) and starts the application again.
    void Restart();
    std::vector<std::string> DriveNames() const;

    // Moves the virtual clock (timers fire, drives come back); waits until the dialog is idle.
    void Advance(uint64_t milliseconds);
    // Lets what the program does after an update or a device change play out: moves the clock
    // past the refresh delay until the dialog and the machine are quiet.
    void Settle();
    // Waits (real time, bounded) until the dialog's thread is idle.
    bool WaitIdle(int timeoutMs = 20000);
    // Waits until a box is open or the dialog is idle with no update running.
    bool WaitForBoxOrQuiet(int timeoutMs = 60000);

    // Presses RUN and answers every message box with yes (or no) until the dialog is quiet
    // again: the update ran to its end, or the checks refused it, or the answer declined it.
    // False when RUN was not taken (disabled, no dialog).
    bool RunAndAnswer(bool yes);

    bool Updating() const;
    std::optional<int> Result() const;

    // The diagnostic lines written so far (prefix kept).
    std::vector<std::string> Log() const;

    // Closes the application (aborting an update) and forgets the machine's timers. Idempotent.
    void Stop();

  private:
    void StartApplication();
    void StopApplication();

    SessionConfig config_;
    std::string tmpRoot_;
    std::string startFolder_; // the current folder when the session started
    std::string savedTmp_;
    bool hadTmp_ = false;
    bool started_ = false;
    int restarts_ = 0;
    int clockSubscription_ = 0;
    std::thread ui_;
    mutable std::mutex logLock_;
    std::vector<std::string> log_;
    static void OnDebugLine(void* context, const char16_t* text);
};

// ---- Rendering ----

// The state as text: title, every line with the selected one marked, the five labels, RUN,
// status, progress, every box with its answer, the result and the machine's drives.
std::string StateText(const State& state);
// The state as one JSON object (text).
std::string StateJson(const State& state);

// ---- Matrix ----

struct MatrixCell {
    std::string path;  // "nvme", "rst", "asmedia", "jmicron", "sata", "sata-usb", "sata-scsi"
    int transport = 0; // the program's transport code of that path
    std::string image; // file name in the package
    std::string nand;
    int luns = 0;
    std::optional<int> result; // the update's result; none when the update never started
    std::string message;       // the last box shown
    std::string revision_before, revision_after;
    std::string version_before, version_after;
    uint64_t duration_ms = 0; // virtual time from RUN to the end (restart included)
    bool updated = false;     // result 1 and the drive runs a new image
};

struct MatrixOptions {
    Package package;
    bool realtime = false;
    bool log_detail = false;
    std::string trace_file; // every cell's requests, appended
    std::function<void(const std::string&)> on_log;
    std::function<void(const MatrixCell&)> on_cell; // each cell as it finishes
};
// Runs every cell. Throws Error when the package has no configuration or no image.
std::vector<MatrixCell> RunMatrix(const MatrixOptions& options);
std::string MatrixHeader();
std::string MatrixRow(const MatrixCell& cell);
std::string MatrixJson(const std::vector<MatrixCell>& cells);

// ---- Interactive view ----

// The ncurses view of a started session (tools/lab/interactive.cpp); returns the exit status.
int RunInteractive(Session& session);

} // namespace lab
