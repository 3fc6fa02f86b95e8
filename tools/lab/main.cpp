// fwrenew-lab: the real updater (the application library and its dialog procedure, over the
// headless dialog host) on a simulated machine, interactive in a terminal or scripted.
#include "lab.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>
#include <unistd.h>

#ifndef FW_LAB_DEFAULT_MACHINE
#define FW_LAB_DEFAULT_MACHINE "examples/machines/mixed.json"
#endif

namespace {

const char kHelp[] =
    R"(usage: fwrenew-lab [--machine FILE.json] [--package DIR|FILE.zip|nvme|sata] [OPTIONS]

Runs the real FwRenew application (its dialog procedure, drive list, checks and update
workers) on a simulated machine: a terminal view by default, or a script.

Input
  --machine FILE.json   the simulated machine (docs/simulated-machine.md); default: the mixed
                        example machine, one drive on every path
                        (%s)
  --package WHAT        the firmware package the program carries: a folder with
                        FwRenewInfo.ini and images (packed as it is, unchecked), a package
                        archive (.zip), or a built-in example package, nvme or sata
                        (default nvme)

Scripted use (no terminal needed; --list, --select, --run, --restart, --json and --matrix
turn the terminal view off)
  --list                print the dialog after start-up and exit
  --select N            pick line N (from 0) of the drive list
  --run                 press RUN, answer every message box (see --answer) and wait until
                        the update has ended
  --answer yes|no       the answer to every box: Yes/OK or No/Cancel (default yes)
  --restart             then restart the simulated machine (in-box and RST drives activate
                        what they committed) and start the application again, as a person
                        would
  --json                print the final state as one JSON object instead of text
  --trace FILE          write every request that reached the simulated storage stack, one
                        JSON line each (the simulator's trace format)
  --log                 print the program's diagnostic log lines (standard error)
  --log-detail          switch the detailed log on (implies --log)
  --realtime            every wait of the program takes real time, as on a real machine
                        (the clock is virtual by default: an update takes milliseconds)
  --matrix              with --package: for every image of the package and every path the
                        package is for (NVMe: in-box, RST, ASMedia, JMicron; SATA: port, USB,
                        SAS), a machine with one drive the package accepts, updated end to
                        end (restarted where the path needs it); one row per cell
  --interactive         the terminal view even when a scripted option is given
  --help                this text

Terminal view keys
  Up/Down, Home/End     pick a line of the drive list     Enter or r   press RUN
  y/n, o/c, Tab, Enter  answer the open message box       Esc          Cancel/No
  u                     unplug a drive                    p            plug one back in
  b                     restart the simulated machine     q            close the dialog
  The clock runs at twice real time while the view is open (real time with --realtime).

Exit status
  0  the update's result was 1 (--list, --select, --restart alone: the program started;
     --matrix: every cell updated)
  1  the update failed or was refused (the message shown is printed); --matrix: a cell
     did not update
  2  bad arguments, or a machine description or package that cannot be read
)";

struct Args {
    std::string machine;
    std::string package = "nvme";
    bool list = false, run = false, restart = false, json = false, log = false, logDetail = false;
    bool realtime = false, matrix = false, interactive = false, help = false;
    bool answerYes = true;
    int select = -1;
    std::string trace;
    bool scripted = false;
};

[[noreturn]] void BadArgs(const std::string& why) {
    std::fprintf(stderr, "fwrenew-lab: %s (see --help)\n", why.c_str());
    std::exit(2);
}

Args Parse(int argc, char** argv) {
    Args a;
    auto value = [&](int& i, const char* name) -> std::string {
        if (i + 1 >= argc) BadArgs(std::string(name) + " needs a value");
        return argv[++i];
    };
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--machine") {
            a.machine = value(i, "--machine");
        } else if (arg == "--package") {
            a.package = value(i, "--package");
        } else if (arg == "--select") {
            const std::string v = value(i, "--select");
            char* end = nullptr;
            const long n = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end != 0 || n < 0 || n > 1000)
                BadArgs("--select needs a line number from 0");
            a.select = static_cast<int>(n);
            a.scripted = true;
        } else if (arg == "--answer") {
            const std::string v = value(i, "--answer");
            if (v != "yes" && v != "no") BadArgs("--answer is yes or no");
            a.answerYes = v == "yes";
        } else if (arg == "--trace") {
            a.trace = value(i, "--trace");
        } else if (arg == "--list") {
            a.list = a.scripted = true;
        } else if (arg == "--run") {
            a.run = a.scripted = true;
        } else if (arg == "--restart") {
            a.restart = a.scripted = true;
        } else if (arg == "--json") {
            a.json = a.scripted = true;
        } else if (arg == "--log") {
            a.log = true;
        } else if (arg == "--log-detail") {
            a.log = a.logDetail = true;
        } else if (arg == "--realtime") {
            a.realtime = true;
        } else if (arg == "--matrix") {
            a.matrix = a.scripted = true;
        } else if (arg == "--interactive") {
            a.interactive = true;
        } else if (arg == "--help" || arg == "-h") {
            a.help = true;
        } else {
            BadArgs("unknown argument " + arg);
        }
    }
    if (a.matrix && (a.list || a.run || a.restart || a.select >= 0 || a.interactive))
        BadArgs("--matrix goes with --package, --json, --trace, --log and --realtime only");
    if (a.list && (a.run || a.restart || a.select >= 0)) BadArgs("--list goes alone");
    if (a.interactive && a.json) BadArgs("--interactive and --json exclude each other");
    return a;
}

void PrintLogLine(const std::string& line) {
    std::fprintf(stderr, "%s\n", line.c_str());
}

int RunMatrixMode(const Args& a, lab::Package package) {
    lab::MatrixOptions options;
    options.package = std::move(package);
    options.realtime = a.realtime;
    options.log_detail = a.logDetail;
    options.trace_file = a.trace;
    if (a.log) options.on_log = PrintLogLine;
    if (!a.json) {
        std::printf("%s\n", lab::MatrixHeader().c_str());
        std::fflush(stdout);
        options.on_cell = [](const lab::MatrixCell& cell) {
            std::printf("%s\n", lab::MatrixRow(cell).c_str());
            std::fflush(stdout);
        };
    }
    const std::vector<lab::MatrixCell> cells = lab::RunMatrix(options);
    int updated = 0;
    for (const auto& c : cells)
        updated += c.updated ? 1 : 0;
    if (a.json)
        std::printf("%s\n", lab::MatrixJson(cells).c_str());
    else
        std::printf("%d of %zu cells updated\n", updated, cells.size());
    return updated == static_cast<int>(cells.size()) && !cells.empty() ? 0 : 1;
}

} // namespace

int main(int argc, char** argv) {
    const Args a = Parse(argc, argv);
    const std::string defaultMachine = FW_LAB_DEFAULT_MACHINE;
    if (a.help) {
        std::printf(kHelp, defaultMachine.c_str());
        return 0;
    }
    const bool terminal = isatty(STDIN_FILENO) && isatty(STDOUT_FILENO);
    const bool interactive = a.interactive || (!a.scripted && terminal);

    try {
        lab::Package package = lab::LoadPackage(a.package);
        if (a.matrix) return RunMatrixMode(a, std::move(package));

        lab::SessionConfig config;
        config.machine_file = a.machine.empty() ? defaultMachine : a.machine;
        config.package = std::move(package);
        config.realtime = a.realtime;
        config.log_detail = a.logDetail;
        config.trace_file = a.trace;
        if (a.log && !interactive) config.on_log = PrintLogLine;
        if (interactive) config.watchdog_ms = 24 * 3600 * 1000;

        lab::Session session;
        session.Start(config);
        if (interactive) {
            const int rc = lab::RunInteractive(session);
            session.Stop();
            return rc;
        }

        int rc = 0;
        if (a.select >= 0 && !session.Select(a.select)) {
            const size_t lines = session.Snapshot().lines.size();
            session.Stop();
            std::fprintf(stderr, "fwrenew-lab: --select %d: the drive list has %zu line(s)\n",
                         a.select, lines);
            return 2;
        }
        bool ran = false;
        if (rc == 0 && a.run) {
            ran = session.RunAndAnswer(a.answerYes);
            if (!ran) {
                std::fprintf(stderr,
                             "fwrenew-lab: RUN did not take the press (disabled or no drive)\n");
                rc = 1;
            } else {
                session.Settle();
            }
        }
        if (rc == 0 && a.restart) session.Restart();

        const lab::State state = session.Snapshot();
        if (a.json)
            std::printf("%s\n", lab::StateJson(state).c_str());
        else
            std::printf("%s", lab::StateText(state).c_str());
        if (rc == 0 && ran) {
            if (!state.result || *state.result != 1) {
                // The message the program showed last says why.
                std::string shown =
                    state.boxes.empty() ? std::string("(no message)") : state.boxes.back().text;
                std::fprintf(stderr, "fwrenew-lab: not updated: %s\n", shown.c_str());
                rc = 1;
            }
        }
        session.Stop();
        return rc;
    } catch (const lab::Error& e) {
        std::fprintf(stderr, "fwrenew-lab: %s\n", e.what());
        return 2;
    }
}
