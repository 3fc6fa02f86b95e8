#!/bin/bash
# One interactive session of fwrenew-lab in a real terminal: a detached tmux session of 80x24
# on a server of its own, keys sent as a person would type them, the pane read back.
#
# On the mixed example machine with the built-in nvme package: pick the first drive, press
# RUN, answer Yes, see the bar move while RUN is disabled, see the completion box with the bar
# full, answer OK, restart the machine and find the new revision on the selected drive; unplug
# that drive and plug it back; quit. Every wait is bounded; the tmux server is killed whatever
# happens. The panes are kept in the output folder (screen-*.txt).
#
# usage: interactive_tmux.sh FWRENEW_LAB MACHINE.json OUTPUT_FOLDER
set -u
lab=$1
machine=$2
out=$3

if ! command -v tmux >/dev/null 2>&1; then
    echo "SKIPPED: tmux is not installed (Debian package tmux), so the terminal view cannot be driven"
    exit 77
fi
mkdir -p "$out"
rm -f "$out"/screen-*.txt "$out"/pane.txt "$out"/exit-status "$out"/stderr.txt

socket="fwrenew-lab-view-$$"
t() { tmux -L "$socket" -f /dev/null "$@"; }
trap 't kill-server >/dev/null 2>&1' EXIT
trap 'exit 1' TERM INT HUP # a time-out of ctest still ends the tmux server

fail() {
    echo "FAIL: $*"
    echo "---- the pane ----"
    cat "$out/pane.txt" 2>/dev/null
    echo "---- stderr of fwrenew-lab ----"
    cat "$out/stderr.txt" 2>/dev/null
    exit 1
}

capture() { t capture-pane -p -t view >"$out/pane.txt" 2>/dev/null; }

# wait_for SECONDS WHAT GREP-ARGS...: until the pane matches (grep -E), at most SECONDS.
wait_for() {
    local seconds=$1 what=$2
    shift 2
    local deadline=$((SECONDS + seconds))
    while ((SECONDS < deadline)); do
        capture
        if grep -qE "$@" "$out/pane.txt"; then return 0; fi
        sleep 0.2
    done
    fail "waited $seconds s for $what"
}

keep() { cp "$out/pane.txt" "$out/screen-$1.txt"; }

# The field of a dialog label on the pane ("| Firmware    FW100000   |" -> FW100000).
label() { sed -n "s/^| $1 *\([^ |]*\).*/\1/p" "$out/pane.txt" | head -n 1; }

t new-session -d -s view -x 80 -y 24 "sh -c '\"$lab\" --interactive --machine \"$machine\" --package nvme 2>\"$out/stderr.txt\"; echo \$? >\"$out/exit-status\"; sleep 600'" ||
    fail "tmux did not start"

wait_for 60 "the dialog with its drive list" '^\| > FW NVMe SSD 500GB'
wait_for 20 "RUN enabled" '\[ RUN \]'
keep start
[ "$(label Firmware)" = FW100000 ] || fail "the first drive should run FW100000 before the update"

# The first drive, RUN, and the question before the update.
t send-keys -t view Home
t send-keys -t view Enter
wait_for 20 "the question before the update" 'If FW is not back compatible'
grep -qE '>\[ Yes \]  \[ No \]' "$out/pane.txt" || fail "the question should offer Yes and No"
keep question
t send-keys -t view y

# While the update runs: RUN and the list disabled, the bar part-way.
wait_for 60 "the bar moving while the update runs" '\( RUN \).*|\[#+\.+\] +([1-9]|[1-9][0-9])%'
wait_for 60 "the bar part-way" '\[#+\.+\] +([1-9]|[1-9][0-9])%'
grep -q '( RUN )' "$out/pane.txt" || fail "RUN should be disabled while the update runs"
grep -q 'Drives (disabled)' "$out/pane.txt" || fail "the list should be disabled while the update runs"
keep updating

# The completion box, the bar full.
wait_for 90 "the completion box" 'Update complete\.'
wait_for 10 "the full bar" '\[#+\] 100%'
grep -q '>\[ OK \]  \[ Cancel \]' "$out/pane.txt" || fail "the completion box should offer OK and Cancel"
keep complete
t send-keys -t view o
wait_for 20 "the restart the program asked for" 'asked the machine to restart'

# Restart the simulated machine: the program starts again and shows the new revision.
t send-keys -t view b
wait_for 60 "the restarted program" 'The machine restarted'
wait_for 20 "the first drive listed again" '^\| > FW NVMe SSD 500GB'
[ "$(label Firmware)" = FW100002 ] || fail "after the restart the drive should run FW100002"
keep restarted

# Unplug the drive: it leaves the list; plug it back: it returns.
t send-keys -t view u
wait_for 20 "the drives to unplug" 'Unplug which drive\?'
t send-keys -t view Enter
wait_for 30 "the drive away" 'away: system'
wait_for 30 "the list without it" -v 'FW NVMe SSD 500GB'
t send-keys -t view p
wait_for 20 "the drives to plug back" 'Plug back which drive\?'
t send-keys -t view Enter
wait_for 30 "the drive back in the list" 'FW NVMe SSD 500GB'
grep -q 'none away' "$out/pane.txt" || fail "no drive should be away"

# Quit: the dialog closes, the program prints its final state and ends with 0.
t send-keys -t view q
deadline=$((SECONDS + 30))
while [ ! -s "$out/exit-status" ] && ((SECONDS < deadline)); do sleep 0.2; done
# The final state runs past the pane's height: read the history too, wrapped lines joined.
t capture-pane -p -J -S - -t view >"$out/pane.txt" 2>/dev/null
[ -s "$out/exit-status" ] || fail "fwrenew-lab did not end after q"
[ "$(cat "$out/exit-status")" = 0 ] || fail "fwrenew-lab ended with status $(cat "$out/exit-status")"
grep -q '^Result     1 (updated)' "$out/pane.txt" || fail "the final state should show the update's result"
# The restart activated the committed image: its internal version, one activation.
grep -q '^  system: PhysicalDrive0, nvme, revision FW100002, internal version 2.10.A.1, .*activations 1$' \
    "$out/pane.txt" || fail "the final state should show the drive running the new image"
keep final
echo "PASSED: pick, RUN, Yes, progress, completion, OK, restart (FW100000 -> FW100002), unplug, plug, quit"
echo "screens in $out"
