#!/usr/bin/env python3
"""FwRenew.exe driven end to end under wine, on a virtual X server with a window manager.

    gui_test.py sim  --exe FwRenewSim.exe --prefix WINEPREFIX --out DIR --package PACKAGE.zip
                     [--machine MACHINE.json [--drive-gone]]
    gui_test.py real --exe FwRenew.exe    --prefix WINEPREFIX --out DIR --package PACKAGE.zip

"sim": the test build with a simulated machine (a drive behind a USB bridge: the embedded one,
or MACHINE.json). The test picks the drive in the list with the mouse and the keyboard, presses
RUN, answers the confirmation and the closing message with Return, and checks through the program's state file (not pixels):
the bridge drive took the firmware, the window's list refresh after the device change shows the
new revision, the restart offer was recorded (never acted on), nothing was left open, and
closing removed the working folder. With --drive-gone the drive stays away after its bridge's
power cycle: the update still succeeds, the line is marked " - Disconnect", and the refresh
after the removal empties the list.

"real": FwRenew.exe itself, on wine's machine without drives: its dialog comes up under the
package's title, closes on Escape, and the working folder it made is gone while its parent
stays.

Screenshots go to DIR/screens. Every wait is bounded; on failure the test prints what it saw,
and in every case it ends wine (its own prefix only), the window manager and the X server it
started.
"""
import argparse
import configparser
import json
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time
import zipfile

WINE_ENV = {"WINEDEBUG": "-all", "WINEDLLOVERRIDES": "mscoree,mshtml="}


class Failure(Exception):
    pass


def wait_for(what, predicate, timeout, interval=0.1, session=None):
    """Polls predicate until it gives a true value (returned) or timeout seconds passed; with a
    session, fails at once when its program has ended."""
    deadline = time.monotonic() + timeout
    while True:
        value = predicate()
        if value:
            return value
        if session is not None and not session.running():
            raise Failure(f"the program ended (exit {session.program.returncode}) while waiting "
                          f"for {what}; its output: {session.output()!r}")
        if time.monotonic() >= deadline:
            raise Failure(f"timed out after {timeout} s waiting for {what}")
        time.sleep(interval)


def run(args, env, timeout=20, check=True):
    r = subprocess.run(args, env=env, capture_output=True, text=True, timeout=timeout)
    if check and r.returncode != 0:
        raise Failure(f"{' '.join(args)} exited {r.returncode}: {r.stderr.strip()}")
    return r


def package_settings(package):
    """The [UPDATEINFO] values of the package's FwRenewInfo.ini (UTF-16 with a BOM)."""
    with zipfile.ZipFile(package) as z:
        text = z.read("FwRenewInfo.ini").decode("utf-16")
    ini = configparser.ConfigParser(interpolation=None)
    ini.optionxform = str
    ini.read_string(text)
    values = dict(ini["UPDATEINFO"])
    for key in ("BeforeMessage", "AfterMessage"):
        values[key] = values.get(key, "").replace("<BR>", "\r\n")
    return values


class Session:
    """Xvfb + openbox + one wine prefix; close() ends everything it started."""

    def __init__(self, prefix, out):
        self.prefix = prefix
        self.out = out
        self.screens = os.path.join(out, "screens")
        os.makedirs(self.screens, exist_ok=True)
        self.xvfb = self.wm = self.program = None
        self.env = dict(os.environ)
        self.env.update(WINE_ENV)
        self.env["WINEPREFIX"] = prefix

    def start_display(self):
        read, write = os.pipe()
        self.xvfb = subprocess.Popen(
            ["Xvfb", "-displayfd", str(write), "-screen", "0", "1024x768x24", "-nolisten", "tcp"],
            pass_fds=(write,), stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        os.close(write)
        number = b""
        deadline = time.monotonic() + 20
        while not number.endswith(b"\n"):
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([read], [], [], left)[0]:
                raise Failure("Xvfb did not report its display")
            chunk = os.read(read, 16)
            if not chunk:
                raise Failure("Xvfb ended before it reported its display")
            number += chunk
        os.close(read)
        self.env["DISPLAY"] = ":" + number.decode().strip()
        # openbox draws title bars and keeps dialogs at their own size.
        self.wm = subprocess.Popen(["openbox", "--sm-disable"], env=self.env,
                                   stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        wait_for("openbox to manage the screen", lambda: "window id" in run(
            ["xprop", "-root", "_NET_SUPPORTING_WM_CHECK"], self.env, check=False).stdout, 20)

    def prepare_prefix(self):
        if not os.path.exists(os.path.join(self.prefix, "system.reg")):
            print(f"creating wine prefix {self.prefix}", flush=True)
            run(["wineboot", "-i"], self.env, timeout=180)
            run(["wineserver", "-w"], self.env, timeout=60, check=False)

    def start(self, exe, extra_env):
        env = dict(self.env)
        env.update(extra_env)
        self.log = open(os.path.join(self.out, os.path.basename(exe) + ".log"), "w")
        self.program = subprocess.Popen(["wine", exe], env=env, stdout=self.log,
                                        stderr=subprocess.STDOUT)

    def running(self):
        return self.program is not None and self.program.poll() is None

    def output(self):
        self.log.flush()
        with open(self.log.name, errors="replace") as f:
            return f.read()[-2000:]

    def windows(self, name):
        r = run(["xdotool", "search", "--onlyvisible", "--name", name], self.env, check=False)
        return [w for w in r.stdout.split()]

    def window_names(self):
        r = run(["xdotool", "search", "--onlyvisible", "--name", "."], self.env, check=False)
        names = []
        for w in r.stdout.split():
            n = run(["xdotool", "getwindowname", w], self.env, check=False).stdout.strip()
            names.append(f"{w} {n!r}")
        return names

    def screenshot(self, name, crop=None):
        """The whole screen into screens/NAME; with crop (a screen rectangle [left, top, right,
        bottom]) also that part of it into screens/NAME-window.png."""
        path = os.path.join(self.screens, name)
        run(["import", "-window", "root", path], self.env, timeout=30)
        if crop:
            left, top, right, bottom = (max(0, v) for v in crop)
            cut = re.sub(r"\.png$", "-window.png", path)
            run(["convert", path, "-crop", f"{right - left}x{bottom - top}+{left}+{top}", "+repage",
                 cut], self.env, timeout=30)
        return path

    def xdotool(self, *args):
        run(["xdotool", *args], self.env)

    def press(self, window, key):
        """Makes window the active one and presses and releases key on the keyboard (XTEST).
        Never `key --window`: for the focused window xdotool uses the keyboard too, and when the
        window closes on the press, the release is never sent and the X server repeats the
        held key into whatever comes next."""
        def active():
            return run(["xdotool", "getactivewindow"], self.env, check=False).stdout.strip()
        try:
            if active() != window:
                self.xdotool("windowactivate", window)
                wait_for(f"window {window} to become the active one", lambda: active() == window,
                         10, session=self)
            self.xdotool("key", key)
        finally:
            run(["xdotool", "keyup", key], self.env, check=False)

    def temp_folder(self):
        """The temporary folder of the prefix's user, as a Linux path."""
        r = run(["wine", "cmd", "/c", "echo", "%TEMP%"], self.env, timeout=60)
        return self.unix_path(r.stdout.strip())

    def unix_path(self, windows_path):
        m = re.match(r"^([A-Za-z]):\\(.*)$", windows_path)
        if not m:
            raise Failure(f"not a drive path: {windows_path!r}")
        drive = os.path.realpath(os.path.join(self.prefix, "dosdevices", m.group(1).lower() + ":"))
        return os.path.join(drive, *m.group(2).split("\\"))

    def close(self):
        def attempt(step):
            try:
                step()
            except (subprocess.SubprocessError, OSError) as e:
                print(f"(while ending the session: {e})", flush=True)

        def end(p):
            if p is not None and p.poll() is None:
                p.send_signal(signal.SIGTERM)
                try:
                    p.wait(timeout=10)
                except subprocess.TimeoutExpired:
                    p.kill()
                    p.wait(timeout=10)

        if self.program is not None and self.program.poll() is None:
            attempt(self.program.kill)
        # Ends every process of this test's own wine prefix and waits for its server to go.
        attempt(lambda: run(["wineserver", "-k"], self.env, check=False, timeout=30))
        attempt(lambda: run(["wineserver", "-w"], self.env, check=False, timeout=30))
        if self.program is not None:
            attempt(lambda: self.program.wait(timeout=10))
            self.log.close()
        for p in (self.wm, self.xvfb):
            attempt(lambda: end(p))


def click(session, rect):
    """Clicks the middle of a screen rectangle [left, top, right, bottom]."""
    x = (rect[0] + rect[2]) // 2
    y = (rect[1] + rect[3]) // 2
    session.xdotool("mousemove", "--sync", str(x), str(y), "click", "1")


class StateFile:
    def __init__(self, path, session=None):
        self.path = path
        self.session = session
        self.last = None
        self.history = []

    def read(self):
        try:
            with open(self.path, encoding="utf-8") as f:
                state = json.load(f)
            if state != self.last:
                self.history.append(state)
            self.last = state
        except (OSError, ValueError):
            pass  # not written yet
        return self.last

    def ever(self, predicate):
        """Whether a state read so far satisfied predicate."""
        return any(predicate(s) for s in self.history)

    def wait(self, what, predicate, timeout):
        def check():
            s = self.read()
            return s is not None and predicate(s)
        wait_for(what, check, timeout, session=self.session)
        return self.last


def open_boxes(state):
    return [b for b in state["boxes"] if b["open"]]


def dialog_window(session, title):
    """The one visible window titled title, once the same one was found several times in a row
    (wine may replace a new window's X window while it sets it up)."""
    seen = []

    def steady():
        ids = session.windows("^" + re.escape(title) + "$")
        seen.append(ids[0] if len(ids) == 1 else None)
        return seen[-1] is not None and seen[-5:] == [seen[-1]] * 5 and seen[-1]
    return wait_for(f"one steady window titled {title!r}", steady, 60, session=session)


def answer_box(session, title, main, key):
    """Sends key to the one message box on the screen (titled title too), once the same window
    was found several times in a row (a box closed just before may still be listed), and waits
    until it is gone."""
    pattern = "^" + re.escape(title) + "$"
    seen = []

    def steady():
        ids = [w for w in session.windows(pattern) if w != main]
        seen.append(ids[0] if len(ids) == 1 else tuple(ids))
        return isinstance(seen[-1], str) and seen[-3:] == [seen[-1]] * 3 and seen[-1]
    try:
        box = wait_for("one steady message box window", steady, 20, session=session)
    except Failure as e:
        raise Failure(f"{e}; besides the dialog {main}, the last searches found {seen[-5:]}")
    session.press(box, key)
    wait_for("the message box to close", lambda: box not in session.windows(pattern), 20,
             session=session)


def check_layout(rects):
    """The dialog's own layout on the real host: it ends one status-line height plus 5 pixels
    below the status line, the progress bar runs 5 pixels high along the bottom of the client
    area over its whole width, and the window is centred on the 1024 x 768 screen."""
    window, status = rects["window"], rects["status"]
    bar, client = rects["progress"], rects["client"]
    width, height = window[2] - window[0], window[3] - window[1]
    wanted = {
        "dialog bottom": (window[3], 2 * status[3] - status[1] + 5),
        "bar height": (bar[3] - bar[1], 5),
        "bar width": (bar[2] - bar[0], client[2]),
        "bar at the client's bottom": (bar[3] - window[1],
                                       height - (width - client[2]) // 2),
        "centred left": (window[0], (1024 - width) // 2),
        "centred top": (window[1], (768 - height) // 2),
    }
    wrong = {k: v for k, v in wanted.items() if v[0] != v[1]}
    if wrong:
        raise Failure(f"layout (seen, wanted): {wrong}; rectangles {rects}")


def drive_back(session, state, drive, line, new):
    """The bridge power cycle took the drive away and brought it back; the window heard of it and
    its 2-second refresh ran; the list shows the drive again, with the new revision."""
    def settled(s):
        d = s["dialog"]
        sel = d["selection"]
        changes = [c for c in s["device_changes"] if c["drive"] == drive["name"]]
        return (not open_boxes(s) and not s["worker_running"]
                and s["device_change_notices"] >= 2 and s["refresh_timers_after_notice"] >= 1
                and [c["arrival"] for c in changes][:2] == [False, True]
                and sel >= 0 and d["lines"][sel] == line and d["labels"]["firmware"] == new
                and d["run_enabled"] and d["list_enabled"] and d["progress"] == 100)
    s = state.wait("the refreshed list with the new firmware", settled, 30)
    session.screenshot("04-final.png", crop=s["dialog"]["rects"]["window"])
    shown = next(d for d in s["drives"] if d["name"] == drive["name"])
    if shown["revision"] != new or shown["last_activation"] != "activated" or shown["number"] < 0:
        raise Failure(f"the drive after the update: {shown!r}")
    return s


def drive_gone(session, state, drive, line):
    """The drive never comes back after its bridge's power cycle. The update still succeeded;
    the worker's last refresh marked the selected line " - Disconnect"; the window's refresh after
    the removal notice, with no worker left, found no drive: an empty list, blank labels, RUN
    disabled."""
    gone = line + " - Disconnect"

    def settled(s):
        d = s["dialog"]
        changes = [c for c in s["device_changes"] if c["drive"] == drive["name"]]
        return (not open_boxes(s) and not s["worker_running"]
                and s["device_change_notices"] >= 1 and s["refresh_timers_after_notice"] >= 1
                and [c["arrival"] for c in changes] == [False] and d["lines"] == []
                and not d["run_enabled"] and d["list_enabled"]
                and not any(d["labels"].values()))
    s = state.wait("the emptied list", settled, 30)
    session.screenshot("04-final.png", crop=s["dialog"]["rects"]["window"])
    if not state.ever(lambda s: s["dialog"]["selection"] >= 0 and
                      s["dialog"]["lines"][s["dialog"]["selection"]] == gone):
        raise Failure(f"the list never showed {gone!r} selected")
    shown = next(d for d in s["drives"] if d["name"] == drive["name"])
    if shown["number"] != -1 or s["drives_away"] != 1:
        raise Failure(f"the drive came back: {shown!r}")
    return s


def test_sim(session, args, settings):
    state = StateFile(os.path.join(args.out, "state.json"), session)
    trace = os.path.join(args.out, "trace.jsonl")
    for p in (state.path, trace):
        if os.path.exists(p):
            os.remove(p)
    env = {"FWRENEW_SIM_STATE": "Z:" + state.path, "FWRENEW_SIM_TRACE": "Z:" + trace}
    if args.machine:
        env["FWRENEW_SIM_MACHINE"] = "Z:" + args.machine
    session.start(args.exe, env)
    title = settings.get("TITLE", "Package Error")

    # The dialog, titled by the package, lists the bridge drive and shows it.
    s = state.wait("the dialog with a listed drive",
                   lambda s: s["dialog_open"] and s["dialog"]["title"] == title
                   and len(s["dialog"]["lines"]) > 0 and s["dialog"]["labels"]["firmware"], 60)
    main = dialog_window(session, title)
    # The window manager may still move the new window: the clicks below go to the control
    # rectangles the program reports once they stayed the same for a few reads.
    seen = []

    def steady():
        seen.append(state.read()["dialog"]["rects"])
        return len(seen) >= 4 and all(r == seen[-1] for r in seen[-4:])
    wait_for("the dialog to stay in place", steady, 20, session=session)
    s = state.last
    check_layout(s["dialog"]["rects"])
    before = s["dialog"]["labels"]["firmware"]
    line = s["dialog"]["lines"][0]
    drive = next(d for d in s["drives"] if d.get("revision") == before)
    print(f"listed: {line!r}, firmware {before}, drive {drive['name']}", flush=True)
    if not s["dialog"]["run_enabled"]:
        raise Failure("RUN is disabled with a drive listed")

    # Pick the drive: open the list with the mouse, take the line with Return.
    click(session, s["dialog"]["rects"]["list"])
    state.wait("the list to drop down", lambda s: s["dialog"]["list_dropped"], 20)
    session.screenshot("01-list.png")
    session.xdotool("key", "Return")
    state.wait("the line picked (CBN_SELENDOK)", lambda s: {"id": 500, "notify": 9} in s["commands"]
               and not s["dialog"]["list_dropped"], 20)

    # RUN, then the confirmation (Yes/No, warning icon): Return answers its default, Yes.
    click(session, state.read()["dialog"]["rects"]["run"])
    s = state.wait("the confirmation box", lambda s: len(open_boxes(s)) == 1, 30)
    box = open_boxes(s)[0]
    if settings.get("BeforeMessage"):
        if (box["caption"], box["text"]) != (title, settings["BeforeMessage"]):
            raise Failure(f"confirmation box {box!r}")
    session.screenshot("02-before-message.png")
    answer_box(session, title, main, "Return")

    # The worker runs; its result 1 brings the closing message (OK/Cancel with a restart offer).
    s = state.wait("the update's result and the closing message",
                   lambda s: s["update_results"] and len(open_boxes(s)) == 1
                   and open_boxes(s)[0]["text"] != box["text"], 60)
    if s["update_results"] != [1]:
        raise Failure(f"update results {s['update_results']}, expected [1]")
    after = open_boxes(s)[0]
    if (after["caption"], after["text"]) != (title, settings.get("AfterMessage")):
        raise Failure(f"closing box {after!r}")
    session.screenshot("03-after-message.png")
    answer_box(session, title, main, "Return")
    # OK took the offer of the package's PowerCtrl 2: one restart, recorded.
    s = state.wait("the restart request", lambda s: s["shutdown_requests"], 10)
    if s["shutdown_requests"] != [2]:
        raise Failure(f"shutdown requests {s['shutdown_requests']}, expected one restart (2)")
    new = settings.get("NEWVERSION", "")
    if args.drive_gone:
        s = drive_gone(session, state, drive, line)
    else:
        s = drive_back(session, state, drive, line, new)

    # What reached the drive: the image download and the commit, through the bridge.
    opcodes = []
    with open(trace) as f:
        for record in map(json.loads, f):
            if record.get("drive") == drive["name"] and record.get("nvme") and record["ok"]:
                opcodes.append(int(record["nvme"][:2], 16))
    if 0x11 not in opcodes or 0x10 not in opcodes or opcodes.index(0x11) > opcodes.index(0x10):
        raise Failure(f"no download followed by a commit in the trace: opcodes {opcodes}")

    # Escape closes the idle dialog; the working folder goes, its parent stays.
    work = session.unix_path(s["work_dir"])
    if not os.path.isdir(work):
        raise Failure(f"working folder {work} missing while the dialog is open")
    session.press(dialog_window(session, title), "Escape")
    wait_for("the program to end", lambda: not session.running(), 30)
    state.session = None  # it has ended
    s = state.wait("the final state", lambda s: s["ended"], 10)
    if os.path.exists(work) or not os.path.isdir(os.path.dirname(work)):
        raise Failure(f"after closing: {work} exists or its parent is gone")
    left = {k: s[k] for k in ("open_handles", "open_device_sets", "page_allocations")}
    if any(left.values()):
        raise Failure(f"left open at the end: {left}")
    if s["shutdown_requests"] != [2]:
        raise Failure(f"shutdown requests at the end {s['shutdown_requests']}")
    outcome = "gone after its power cycle" if args.drive_gone else f"{before} -> {new}"
    print(f"updated {drive['name']}: {outcome}; {s['device_change_notices']} device-change "
          f"notices, {s['refresh_timers']} timer refresh(es); {len(opcodes)} NVMe commands",
          flush=True)


def test_real(session, args, settings):
    title = settings.get("TITLE", "Package Error")
    base = os.path.join(session.temp_folder(), "FwRenew")
    before = set(os.listdir(base)) if os.path.isdir(base) else set()
    session.start(args.exe, {})
    main = dialog_window(session, title)
    made = wait_for("the working folder", lambda: set(os.listdir(base)) - before
                    if os.path.isdir(base) else None, 20, session=session)
    session.screenshot("00-fwrenew-no-drives.png")
    session.press(main, "Escape")
    wait_for("the program to end", lambda: not session.running(), 30)
    if not os.path.isdir(base):
        raise Failure(f"the working folder's parent {base} is gone")
    if set(os.listdir(base)) & made:
        raise Failure(f"working folder {sorted(made)} left behind in {base}")
    print(f"dialog {title!r} came up and closed; working folder {sorted(made)} removed",
          flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("case", choices=("sim", "real"))
    parser.add_argument("--exe", required=True)
    parser.add_argument("--prefix", required=True)
    parser.add_argument("--out", required=True)
    parser.add_argument("--package", required=True)
    parser.add_argument("--machine", help="sim: a machine description instead of the embedded one")
    parser.add_argument("--drive-gone", action="store_true",
                        help="sim: the machine's drive does not come back after its power cycle")
    args = parser.parse_args()
    for name in ("exe", "prefix", "out", "package", "machine"):
        if getattr(args, name):
            setattr(args, name, os.path.abspath(getattr(args, name)))
    for tool in ("Xvfb", "openbox", "xdotool", "xprop", "import", "convert", "wine", "wineserver"):
        if shutil.which(tool) is None:
            print(f"gui test FAILED: {tool} is not installed (scripts/packages.txt)")
            return 1
    settings = package_settings(args.package)
    # A test driver stopped from outside (ctest's time-out) still ends what it started.
    signal.signal(signal.SIGTERM, lambda *_: sys.exit("gui test FAILED: terminated"))
    session = Session(args.prefix, args.out)
    started = time.monotonic()
    try:
        session.start_display()
        session.prepare_prefix()
        (test_sim if args.case == "sim" else test_real)(session, args, settings)
    except (Failure, subprocess.TimeoutExpired) as e:
        print(f"gui test FAILED: {e}")
        if args.case == "sim":
            last = StateFile(os.path.join(args.out, "state.json")).read()
            print("last state:", json.dumps(last, indent=1) if last else "none")
        try:
            print("windows:", session.window_names())
            print("screenshot:", session.screenshot("failure.png"))
        except (Failure, subprocess.TimeoutExpired, OSError) as e2:
            print(f"(no windows or screenshot: {e2})")
        return 1
    finally:
        session.close()
    print(f"gui test passed ({args.case}, {time.monotonic() - started:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
