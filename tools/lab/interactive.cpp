// fwrenew-lab's terminal view: the program's dialog drawn with ncurses as a person would see it
// (title, drive list with the selected line, the five detail labels, RUN, status line, progress
// bar), each message box as a modal box asking its question, and the machine actions a person
// can take on the simulated machine (unplug a drive, plug it back, restart the machine).
//
// Everything shown comes from the session's snapshot, redrawn several times a second; input
// goes to the dialog through the session, which refuses what the dialog would refuse (a
// disabled RUN, a list during an update, any input while a box is open). Texts come from the
// package and the drives, so they are shown only as printable characters, cut to the screen.
#include "lab.h"
#include "view_text.h"

#include "sim/dialog.h"
#include "sim/sim.h"

#define NCURSES_WIDECHAR 1
#include <curses.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cwchar>
#include <exception>
#include <string>
#include <thread>
#include <vector>

namespace lab {
namespace {

using term::Fit;
using term::Pad;
using term::Show;
using term::Width;
using term::Wrap;

constexpr int kMinCols = 40;
constexpr int kMinRows = 16;
// Rows of the screen besides the drive list: the dialog's frame, RUN row, separator, five
// labels, status and progress, then the notice, machine and key-help lines.
constexpr int kFixedRows = 14;
// Without --realtime the virtual clock runs kPace times as fast as real time while the view is
// open: the view moves it along between key presses (so that the program's timers fire and
// drives come back), and each move the program makes itself (an update's waits) also takes
// 1/kPace of its length in real time, at most kPaceCapMs, so that the progress bar is seen
// moving. With --realtime the clock keeps real time.
constexpr uint64_t kPace = 2;
constexpr uint64_t kPaceCapMs = 2000;
// The view moves the clock by at most this much real time at once (after a stall).
constexpr uint64_t kMaxStepMs = 1000;
// Redraw period while something moves, and while the screen waits for a key.
constexpr int kBusyTickMs = 80;
constexpr int kIdleTickMs = 250;
constexpr int kDialogCancel = 2; // the close box / Escape of the dialog

constexpr int kKeyEscape = 27;
constexpr int kKeyEnterCr = '\r';
constexpr int kKeyEnterLf = '\n';
constexpr int kKeyTab = '\t';

void Put(int y, int x, const std::wstring& text, int width, attr_t attr = A_NORMAL) {
    if (y < 0 || y >= LINES || x < 0 || x >= COLS) return;
    width = std::min(width, COLS - x);
    const std::wstring shown = Fit(text, width);
    attron(attr);
    mvaddnwstr(y, x, shown.c_str(), static_cast<int>(shown.size()));
    attroff(attr);
}

void Fill(int y, int x, int width, wchar_t c, attr_t attr = A_NORMAL) {
    if (width <= 0) return;
    Put(y, x, std::wstring(static_cast<size_t>(width), c), width, attr);
}

// A frame from (top, left) of h rows and w columns, caption in its top edge, inside blank.
void Frame(int top, int left, int h, int w, const std::wstring& caption) {
    for (int y = top; y < top + h; ++y) {
        Put(y, left, L"|", 1);
        Fill(y, left + 1, w - 2, L' ');
        Put(y, left + w - 1, L"|", 1);
    }
    std::wstring edge = L"+" + std::wstring(static_cast<size_t>(std::max(0, w - 2)), L'-') + L"+";
    Put(top, left, edge, w);
    Put(top + h - 1, left, edge, w);
    if (!caption.empty() && w > 8)
        Put(top, left + 2, L" " + Fit(caption, w - 8) + L" ", w - 4, A_BOLD);
}

// ---- the view's own state ----

enum class Picker { None, Unplug, Plug };

struct Ui {
    std::wstring notice; // one line under the dialog: what a key did or why not
    int boxSeen = -1;    // the open box the focus belongs to
    int boxFocus = 0;    // focused button of the open box
    Picker picker = Picker::None;
    int pickerLine = 0;
    bool confirmRestart = false; // an update runs: the restart waits for a yes
    size_t shutdownsSeen = 0;
    int listTop = 0; // first list line on screen
    std::string machineName;
    int dialogRows = 0; // height of the dialog as last drawn: boxes are centred on it
};

struct Button {
    const wchar_t* label;
    int answer;
};

std::vector<Button> ButtonsOf(uint32_t type) {
    switch (type & 0x0F) {
    case kBoxOkCancel:
        return {{L"OK", kAnswerOk}, {L"Cancel", kAnswerCancel}};
    case kBoxYesNo:
        return {{L"Yes", kAnswerYes}, {L"No", kAnswerNo}};
    default:
        return {{L"OK", kAnswerOk}};
    }
}

// Drives a picker offers: present ones to unplug, absent ones to plug back.
std::vector<const DriveFirmware*> PickerDrives(const State& s, Picker picker) {
    std::vector<const DriveFirmware*> out;
    for (const DriveFirmware& d : s.drives)
        if (d.present == (picker == Picker::Unplug)) out.push_back(&d);
    return out;
}

std::wstring DriveSummary(const DriveFirmware& d) {
    std::string text = d.name;
    if (d.present)
        text += "  PhysicalDrive" + std::to_string(d.number);
    else
        text += "  (away)";
    if (!d.kind.empty()) text += "  " + d.kind;
    if (!d.revision.empty()) text += "  " + d.revision;
    return Show(text);
}

// ---- drawing ----

void DrawProgress(int y, int x, int width, const State& s) {
    // The position within the range, as the bar control shows it (outside: at its end).
    const int64_t span = static_cast<int64_t>(s.progress_max) - s.progress_min;
    int percent = 0;
    if (span > 0) {
        const int64_t at = std::clamp<int64_t>(s.progress, s.progress_min, s.progress_max);
        percent = static_cast<int>((at - s.progress_min) * 100 / span);
    }
    const int barWidth = std::max(1, width - 7);
    const int filled = barWidth * percent / 100;
    std::wstring bar = L"[" + std::wstring(static_cast<size_t>(filled), L'#') +
                       std::wstring(static_cast<size_t>(barWidth - filled), L'.') + L"]";
    wchar_t number[8];
    std::swprintf(number, 8, L" %3d%%", percent);
    Put(y, x, bar + number, width);
}

void DrawDialog(const State& s, Ui& ui, int listRows) {
    const int w = COLS;
    const int h = kFixedRows - 3 + listRows;
    ui.dialogRows = h;
    Frame(0, 0, h, w, Show(s.title.empty() ? std::string("(no title)") : s.title));
    const int inner = w - 4;
    int y = 1;

    // The drop-down list, open, with RUN beside it.
    const std::wstring run = s.run_enabled ? L"[ RUN ]" : L"( RUN )";
    Put(y, 2, s.list_enabled ? L"Drives" : L"Drives (disabled)", inner - 9);
    Put(y, w - 2 - Width(run), run, Width(run), s.run_enabled ? A_BOLD : A_DIM);
    ++y;
    const int count = static_cast<int>(s.lines.size());
    if (s.selected >= 0) {
        if (s.selected < ui.listTop) ui.listTop = s.selected;
        if (s.selected >= ui.listTop + listRows) ui.listTop = s.selected - listRows + 1;
    }
    ui.listTop = std::clamp(ui.listTop, 0, std::max(0, count - listRows));
    if (count == 0) Put(y, 4, L"(no drive listed)", inner - 2, A_DIM);
    for (int row = 0; row < listRows; ++row) {
        const int line = ui.listTop + row;
        if (line >= count) break;
        const bool selected = line == s.selected;
        std::wstring text = (selected ? L"> " : L"  ") + Show(s.lines[static_cast<size_t>(line)]);
        attr_t attr = selected ? A_REVERSE : A_NORMAL;
        if (!s.list_enabled) attr |= A_DIM;
        Put(y + row, 2, Pad(text, inner - 2), inner - 2, attr);
        if (row == 0 && ui.listTop > 0) Put(y + row, w - 3, L"^", 1);
        if (row == listRows - 1 && line < count - 1) Put(y + row, w - 3, L"v", 1);
    }
    y += listRows;
    Fill(y, 2, inner, L'-');
    ++y;

    const std::pair<const wchar_t*, const std::string*> labels[] = {
        {L"Model ", &s.model},
        {L"Serial No. ", &s.serial},
        {L"Interface ", &s.interface_text},
        {L"Firmware ", &s.firmware},
        {L"Capacity ", &s.capacity}};
    for (const auto& [name, value] : labels) {
        Put(y, 2, name, 12);
        Put(y, 14, Show(*value), w - 16);
        ++y;
    }
    Put(y, 2, Show(s.status), inner);
    ++y;
    DrawProgress(y, 2, inner, s);
}

void DrawBox(const MessageBoxShown& box, const Ui& ui) {
    const std::vector<Button> buttons = ButtonsOf(box.type);
    int buttonsWidth = 0;
    for (const Button& b : buttons)
        buttonsWidth += static_cast<int>(std::wcslen(b.label)) + 6;
    const int maxWidth = std::max(20, COLS - 4);
    int textWidth = 0;
    for (const std::wstring& line : Wrap(box.text, maxWidth - 4))
        textWidth = std::max(textWidth, Width(line));
    const int w = std::min(
        maxWidth, std::max({textWidth + 4, buttonsWidth + 4, Width(Show(box.caption)) + 8, 30}));
    std::vector<std::wstring> lines = Wrap(box.text, w - 4);
    const int maxLines = std::max(1, LINES - 6);
    if (static_cast<int>(lines.size()) > maxLines) {
        lines.resize(static_cast<size_t>(maxLines));
        lines.back() = Fit(lines.back() + L" ...", w - 4);
    }
    const int h = static_cast<int>(lines.size()) + 4;
    const int top = std::max(0, (std::max(ui.dialogRows, h) - h) / 2);
    const int left = std::max(0, (COLS - w) / 2);
    Frame(top, left, h, w, Show(box.caption));
    for (size_t i = 0; i < lines.size(); ++i)
        Put(top + 1 + static_cast<int>(i), left + 2, lines[i], w - 4);
    int x = left + (w - buttonsWidth) / 2;
    for (size_t i = 0; i < buttons.size(); ++i) {
        const bool focused = static_cast<int>(i) == ui.boxFocus;
        const std::wstring label =
            std::wstring(focused ? L">" : L" ") + L"[ " + buttons[i].label + L" ]";
        Put(top + h - 2, x, label, Width(label), focused ? A_REVERSE | A_BOLD : A_NORMAL);
        x += Width(label) + 1;
    }
}

void DrawPicker(const State& s, const Ui& ui) {
    const std::vector<const DriveFirmware*> drives = PickerDrives(s, ui.picker);
    const int w = std::min(COLS - 4, 60);
    const int rows = std::min(static_cast<int>(drives.size()), std::max(1, LINES - 8));
    const int h = rows + 2;
    const int top = std::max(0, (std::max(ui.dialogRows, h) - h) / 2);
    const int left = std::max(0, (COLS - w) / 2);
    Frame(top, left, h, w,
          ui.picker == Picker::Unplug ? L"Unplug which drive?" : L"Plug back which drive?");
    const int first = std::clamp(ui.pickerLine - rows + 1, 0, std::max(0, ui.pickerLine));
    for (int row = 0; row < rows; ++row) {
        const int i = first + row;
        if (i >= static_cast<int>(drives.size())) break;
        const bool focused = i == ui.pickerLine;
        Put(top + 1 + row, left + 2,
            Pad((focused ? L"> " : L"  ") + DriveSummary(*drives[static_cast<size_t>(i)]), w - 4),
            w - 4, focused ? A_REVERSE : A_NORMAL);
    }
}

// The machine under the dialog: its drives, those away, the restarts.
std::wstring MachineLine(const State& s, const Ui& ui) {
    std::string away;
    for (const DriveFirmware& d : s.drives)
        if (!d.present) away += (away.empty() ? "" : ", ") + d.name;
    std::string text =
        "Machine " + ui.machineName + ": " + std::to_string(s.drives.size()) + " drive(s)";
    text += away.empty() ? ", none away" : ", away: " + away;
    if (s.restarts > 0) text += ", restarted " + std::to_string(s.restarts) + "x";
    return Show(text);
}

std::wstring HelpLine(const State& s, const Ui& ui) {
    if (ui.confirmRestart) return L" y restart now (the update is cut off)   n/Esc keep running";
    if (ui.picker != Picker::None) return L" Up/Down choose   Enter pick   Esc back";
    if (s.open_box >= 0 && s.open_box < static_cast<int>(s.boxes.size())) {
        const uint32_t kind = s.boxes[static_cast<size_t>(s.open_box)].type & 0x0F;
        if (kind == kBoxYesNo) return L" y Yes   n No   Left/Right/Tab choose   Enter answer";
        if (kind == kBoxOkCancel)
            return L" o OK   c/Esc Cancel   Left/Right/Tab choose   Enter answer";
        return L" Enter/o OK";
    }
    if (COLS < 76) return L" Up/Dn drive  Enter RUN  u/p unplug/plug  b restart  q quit";
    return L" Up/Down drive  Enter/r RUN  u unplug  p plug back  b restart machine  q quit";
}

void Draw(const State& s, Ui& ui) {
    erase();
    if (COLS < kMinCols || LINES < kMinRows) {
        Put(0, 0, L"Terminal too small", COLS);
        Put(1, 0, L"(40x16 at least)", COLS);
        Put(2, 0, L"q quits", COLS);
        refresh();
        return;
    }
    // The list as long as it is (at least five rows), as long as the screen allows.
    const int listRows =
        std::max(1, std::min(std::max(static_cast<int>(s.lines.size()), 5), LINES - kFixedRows));
    DrawDialog(s, ui, listRows);
    Put(LINES - 3, 1, ui.notice, COLS - 2, A_BOLD);
    Put(LINES - 2, 1, MachineLine(s, ui), COLS - 2);
    Fill(LINES - 1, 0, COLS, L' ', A_REVERSE);
    Put(LINES - 1, 0, HelpLine(s, ui), COLS, A_REVERSE);
    if (ui.picker != Picker::None)
        DrawPicker(s, ui);
    else if (s.open_box >= 0 && s.open_box < static_cast<int>(s.boxes.size()))
        DrawBox(s.boxes[static_cast<size_t>(s.open_box)], ui);
    refresh();
}

// ---- pacing of the virtual clock ----

std::atomic<uint64_t> g_pacedClock{0};
std::thread::id g_viewThread;

void PaceAlong(uint64_t now) {
    const uint64_t before = g_pacedClock.exchange(now);
    // The view's own moves stand for time that has passed already.
    if (now > before && std::this_thread::get_id() != g_viewThread)
        std::this_thread::sleep_for(
            std::chrono::milliseconds(std::min((now - before) / kPace, kPaceCapMs)));
}

// ---- keys ----

bool IsEnter(int key) {
    return key == kKeyEnterCr || key == kKeyEnterLf || key == KEY_ENTER;
}

void AnswerBox(Session& session, const State& s, Ui& ui, int key) {
    const MessageBoxShown& box = s.boxes[static_cast<size_t>(s.open_box)];
    const std::vector<Button> buttons = ButtonsOf(box.type);
    const int n = static_cast<int>(buttons.size());
    int answer = 0;
    const uint32_t kind = box.type & 0x0F;
    if (key == KEY_LEFT || key == KEY_BTAB) {
        ui.boxFocus = (ui.boxFocus + n - 1) % n;
    } else if (key == KEY_RIGHT || key == kKeyTab) {
        ui.boxFocus = (ui.boxFocus + 1) % n;
    } else if (IsEnter(key) || key == ' ') {
        answer = buttons[static_cast<size_t>(std::clamp(ui.boxFocus, 0, n - 1))].answer;
    } else if ((key == 'y' || key == 'Y') && kind == kBoxYesNo) {
        answer = kAnswerYes;
    } else if ((key == 'n' || key == 'N') && kind == kBoxYesNo) {
        answer = kAnswerNo;
    } else if ((key == 'o' || key == 'O') && kind != kBoxYesNo) {
        answer = kAnswerOk;
    } else if ((key == 'c' || key == 'C') && kind == kBoxOkCancel) {
        answer = kAnswerCancel;
    } else if (key == kKeyEscape) {
        // Escape answers as the box's close button does: Cancel, No, or OK on a box with one
        // button.
        answer = kind == kBoxYesNo ? kAnswerNo : kind == kBoxOkCancel ? kAnswerCancel : kAnswerOk;
    }
    if (answer != 0) {
        if (session.Answer(answer))
            ui.notice = L"Answered " + Show(AnswerName(answer)) + L".";
        else
            ui.notice = L"The box had already closed.";
    }
}

void PickDrive(Session& session, const State& s, Ui& ui, int key) {
    const std::vector<const DriveFirmware*> drives = PickerDrives(s, ui.picker);
    const int n = static_cast<int>(drives.size());
    if (key == kKeyEscape || key == 'q') {
        ui.picker = Picker::None;
        return;
    }
    if (n == 0) {
        ui.picker = Picker::None;
        return;
    }
    if (key == KEY_UP) ui.pickerLine = std::max(0, ui.pickerLine - 1);
    if (key == KEY_DOWN) ui.pickerLine = std::min(n - 1, ui.pickerLine + 1);
    if (!IsEnter(key)) return;
    const DriveFirmware& d = *drives[static_cast<size_t>(std::clamp(ui.pickerLine, 0, n - 1))];
    const Picker what = ui.picker;
    ui.picker = Picker::None;
    try {
        if (what == Picker::Unplug) {
            session.Unplug(d.name);
            ui.notice = L"Unplugged " + Show(d.name) + L".";
        } else {
            session.Plug(d.name);
            ui.notice = L"Plugged " + Show(d.name) + L" back in.";
        }
    } catch (const std::exception& e) {
        ui.notice = Show(e.what());
    }
}

void OpenPicker(const State& s, Ui& ui, Picker picker) {
    if (PickerDrives(s, picker).empty()) {
        ui.notice = picker == Picker::Unplug ? L"No drive is plugged in." : L"No drive is away.";
        return;
    }
    ui.picker = picker;
    ui.pickerLine = 0;
}

void Restart(Session& session, Ui& ui) {
    ui.confirmRestart = false;
    ui.notice = L"Restarting the machine...";
    Draw(session.Snapshot(), ui);
    try {
        session.Restart();
        ui.notice = L"The machine restarted; the program started again.";
    } catch (const std::exception& e) {
        ui.notice = Show(e.what());
    }
    ui.shutdownsSeen = session.Snapshot().shutdown_requests.size();
    ui.boxSeen = -1;
}

// Handles one key; false when the view should end.
bool OnKey(Session& session, const State& s, Ui& ui, int key) {
    if (ui.confirmRestart) {
        if (key == 'y' || key == 'Y')
            Restart(session, ui);
        else if (key == 'n' || key == 'N' || key == kKeyEscape)
            ui.confirmRestart = false;
        return true;
    }
    if (ui.picker != Picker::None) {
        PickDrive(session, s, ui, key);
        return true;
    }
    if (s.open_box >= 0 && s.open_box < static_cast<int>(s.boxes.size())) {
        AnswerBox(session, s, ui, key);
        return true;
    }
    if (!s.dialog_running) return key != 'q' && key != 'Q' && key != kKeyEscape;
    const int count = static_cast<int>(s.lines.size());
    auto select = [&](int line) {
        if (count == 0) return;
        line = std::clamp(line, 0, count - 1);
        if (line == s.selected) return;
        if (!session.Select(line))
            ui.notice = s.updating ? L"The drive list is disabled while the update runs."
                                   : L"The drive list did not take the choice.";
        else
            ui.notice.clear();
    };
    switch (key) {
    case KEY_UP:
    case 'k':
        select(s.selected < 0 ? 0 : s.selected - 1);
        break;
    case KEY_DOWN:
    case 'j':
        select(s.selected < 0 ? 0 : s.selected + 1);
        break;
    case KEY_HOME:
        select(0);
        break;
    case KEY_END:
        select(count - 1);
        break;
    case 'r':
    case 'R':
    case kKeyEnterCr:
    case kKeyEnterLf:
    case KEY_ENTER:
        ui.notice = session.PressRun() ? L"RUN pressed." : L"RUN is disabled.";
        break;
    case 'u':
    case 'U':
        OpenPicker(s, ui, Picker::Unplug);
        break;
    case 'p':
    case 'P':
        OpenPicker(s, ui, Picker::Plug);
        break;
    case 'b':
    case 'B':
        if (s.updating)
            ui.confirmRestart = true;
        else
            Restart(session, ui);
        break;
    case 'q':
    case 'Q':
    case kKeyEscape:
        // The dialog's close box: the program refuses it while an update runs (and says so in a
        // box of its own).
        if (!sim::DialogCommand(kDialogCancel)) ui.notice = L"The dialog did not take the close.";
        break;
    default:
        break;
    }
    return true;
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

// The view until the dialog has closed; the last state seen.
State ViewLoop(Session& session) {
    const bool realtime = session.Config().realtime;
    Ui ui;
    ui.machineName = session.Config().machine_file.empty()
                         ? std::string("(description)")
                         : BaseName(session.Config().machine_file);
    auto lastMove = std::chrono::steady_clock::now();
    State s = session.Snapshot();
    for (;;) {
        if (s.open_box != ui.boxSeen) {
            ui.boxSeen = s.open_box;
            ui.boxFocus = 0;
        }
        if (s.shutdown_requests.size() > ui.shutdownsSeen) {
            ui.shutdownsSeen = s.shutdown_requests.size();
            ui.notice = L"The program asked the machine to restart or power off: press b to "
                        L"restart it.";
        }
        if (!s.dialog_running && s.open_box < 0) ui.notice = L"The program has ended. Press q.";
        Draw(s, ui);

        const int tick = s.updating ? kBusyTickMs : kIdleTickMs;
        // With --realtime the lab's own clock listener sleeps as long as each move of the clock
        // on the thread that moves it: the view's move below is its wait.
        timeout(realtime ? 0 : tick);
        const int key = getch();
        // On a screen too small to show the dialog only q is taken (nothing answers unseen).
        const bool tooSmall = COLS < kMinCols || LINES < kMinRows;
        if (key != ERR && key != KEY_RESIZE && (!tooSmall || key == 'q' || key == 'Q') &&
            !OnKey(session, s, ui, key))
            break;
        if (realtime) {
            const auto before = std::chrono::steady_clock::now();
            sim::ClockAdvance(static_cast<uint64_t>(tick));
            const auto spent = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - before);
            if (spent.count() < tick) napms(tick - static_cast<int>(spent.count()));
        } else {
            const auto passed = std::chrono::duration_cast<std::chrono::milliseconds>(
                std::chrono::steady_clock::now() - lastMove);
            if (passed.count() > 0)
                sim::ClockAdvance(
                    std::min<uint64_t>(static_cast<uint64_t>(passed.count()), kMaxStepMs) * kPace);
            lastMove = std::chrono::steady_clock::now();
        }
        const bool wasRunning = s.dialog_running;
        s = session.Snapshot();
        // The dialog closed: the person quit (or the program ended by itself).
        if (wasRunning && !s.dialog_running && s.open_box < 0) break;
    }
    return s;
}

} // namespace

int RunInteractive(Session& session) {
    std::setlocale(LC_ALL, "");
    if (initscr() == nullptr) {
        std::fprintf(stderr, "fwrenew-lab: the terminal view cannot start on this terminal\n");
        return 2;
    }
    cbreak();
    noecho();
    nonl();
    keypad(stdscr, TRUE);
    set_escdelay(25);
    curs_set(0);

    int subscription = 0;
    if (!session.Config().realtime) {
        g_viewThread = std::this_thread::get_id();
        g_pacedClock = sim::ClockNow();
        subscription = sim::ClockSubscribe(PaceAlong);
    }
    int status = 0;
    std::string failure;
    State last;
    try {
        last = ViewLoop(session);
    } catch (const std::exception& e) {
        failure = e.what();
        status = 2;
    }
    if (subscription != 0) sim::ClockUnsubscribe(subscription);
    // The terminal is given back before anything is printed.
    endwin();
    if (status != 0)
        std::fprintf(stderr, "fwrenew-lab: the terminal view stopped: %s\n", failure.c_str());
    else
        std::printf("%s", StateText(last).c_str());
    return status;
}

} // namespace lab
