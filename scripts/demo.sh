#!/usr/bin/env bash
# The demonstration of what is built so far, end to end on the example package and the mixed
# example machine:
#   1. check the example NVMe package (examples/nvme, built into a ZIP package by fwrenew-pack
#      during the build) and extract it with fwrenew-unzip, the updater's own archive reader;
#   2. enumerate the drives of examples/machines/mixed.json (one drive on every path) with
#      fwrenew-scan, NVMe and SATA, showing each drive record and the diagnostic log, and
#      summing up the request trace it wrote;
#   3. run the same scan as a Windows program under wine and compare the two outputs.
set -euo pipefail
cd "$(dirname "$0")/.."
out=build/demo
rm -rf "$out"
mkdir -p "$out"

echo "=== Building (linux-release and the Windows tools)"
cmake --preset linux-release >/dev/null
cmake --build --preset linux-release --target fwrenew-unzip fwrenew-scan fwrenew-pack example-packages >/dev/null
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
