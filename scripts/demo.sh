#!/usr/bin/env bash
# The demonstration of what is built so far, end to end on the example package and the mixed
# example machine:
#   1. check the example NVMe package (examples/nvme, built into a ZIP package by fwrenew-pack
#      during the build) and extract it with fwrenew-unzip, the updater's own archive reader;
#   2. enumerate the drives of examples/machines/mixed.json (one drive on every path) with
#      fwrenew-scan, NVMe and SATA, showing each drive record and the diagnostic log, and
#      summing up the request trace it wrote;
#   3. run the same scan as a Windows program under wine and compare the two outputs;
#   4. run the updater itself (its dialog, checks and update worker) on the mixed machine with
#      fwrenew-lab, scripted: update the first listed drive, restart the simulated machine, and
#      show the dialog's end state and the drive's new firmware.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/demo
rm -rf "$out"
mkdir -p "$out"

echo "=== Building (linux-release and the Windows tools)"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target fwrenew-unzip fwrenew-scan fwrenew-pack fwrenew-lab example-packages >/dev/null
cmake --preset windows >/dev/null
cmake --build --preset windows --target fwrenew-scan fwrenew-unzip >/dev/null
bin=build/linux-release/tools

echo
echo "=== 1. The firmware package"
# examples/nvme: FwRenewInfo.ini and images.txt, from which the build generated the images and
# packed build/linux-release/examples/nvme.zip with fwrenew-pack (checked first).
"$bin/pack/fwrenew-pack" check build/linux-release/examples/nvme.zip
"$bin/unzip/fwrenew-unzip" build/linux-release/examples/nvme.zip "$out/extracted"
echo "extracted files:"
(cd "$out/extracted" && sha256sum -- * | sed 's/^/  /')
cmp -s build/linux-release/examples/nvme/YMTC-X2-9060_2.fw "$out/extracted/YMTC-X2-9060_2.fw" && echo "  images identical to the packed ones"
echo "configuration:"
iconv -f UTF-16 -t UTF-8 "$out/extracted/FwRenewInfo.ini" | tr -d '\r' | sed 's/^/  /'

echo
echo "=== 2. Drives of the simulated machine examples/machines/mixed.json"
"$bin/scan/fwrenew-scan" --trace "$out/trace.jsonl" examples/machines/mixed.json | tee "$out/scan-linux.txt"
echo
echo "Every request that reached the simulated storage stack is in $out/trace.jsonl:"
python3 - "$out/trace.jsonl" <<'PY'
import collections, json, sys
records = [json.loads(line) for line in open(sys.argv[1])]
by_path = collections.Counter(r["path"] for r in records)
failed = sum(1 for r in records if not r["ok"])
print(f"  {len(records)} requests, {failed} refused, on {len(by_path)} device paths:")
for path, n in sorted(by_path.items()):
    print(f"    {n:4d}  {path}")
PY
echo
"$bin/scan/fwrenew-scan" --sata examples/machines/mixed.json

echo
echo "=== 3. The same scan as a Windows program under wine"
WINEPREFIX=$PWD/build/wineprefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
scripts/wine-run.sh build/windows/tools/scan/fwrenew-scan.exe examples/machines/mixed.json | tr -d '\r' >"$out/scan-wine.txt"
if diff -u "$out/scan-linux.txt" "$out/scan-wine.txt"; then
  echo "fwrenew-scan.exe under wine printed exactly the same $(grep -c '^drive ' "$out/scan-wine.txt") drive records and log lines as the Linux build."
else
  echo "The Windows build's output differs (above)." >&2
  exit 1
fi

echo
echo "=== 4. The updater on the simulated machine: fwrenew-lab"
# The real application (dialog procedure, drive list, checks, update worker) over the headless
# dialog host: pick line 0 (the in-box NVMe system drive), press RUN, answer every box with
# yes, then restart the simulated machine, which activates what the drive committed, and start
# the application again.
echo "\$ fwrenew-lab --machine examples/machines/mixed.json --package nvme --select 0 --run --restart"
"$bin/lab/fwrenew-lab" --machine examples/machines/mixed.json --package nvme --select 0 --run --restart \
  --trace "$out/lab-trace.jsonl" | tee "$out/lab.txt"
"$bin/lab/fwrenew-lab" --machine examples/machines/mixed.json --package nvme --list --json >"$out/lab-before.json"
"$bin/lab/fwrenew-lab" --machine examples/machines/mixed.json --package nvme --select 0 --run --restart \
  --json >"$out/lab-after.json"
python3 - "$out/lab-before.json" "$out/lab-after.json" "$out/lab-trace.jsonl" <<'PY'
import json, sys
before = {d["name"]: d for d in json.load(open(sys.argv[1]))["drives"]}
after = json.load(open(sys.argv[2]))
trace = [json.loads(line) for line in open(sys.argv[3])]
print()
print(f"Result {after['result']}; the dialog now shows firmware {after['labels']['firmware']} for "
      f"{after['labels']['model']}.")
for d in after["drives"]:
    if d["activations"] > 0:
        b = before[d["name"]]
        sent = sum(1 for r in trace if r.get("drive") == d["name"])
        print(f"Drive {d['name']} (PhysicalDrive{d['number']}): revision {b['revision']} -> {d['revision']}, "
              f"internal version {b['internal_version']} -> {d['internal_version']}, "
              f"{sent} requests reached it ({len(trace)} in all, in {sys.argv[3]}).")
PY
