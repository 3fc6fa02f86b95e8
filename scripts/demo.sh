#!/usr/bin/env bash
# The demonstration of what the program does so far: builds the Linux and Windows presets and
# runs the foundation's suites natively and as Windows programs under wine, showing the
# formatter and the diagnostic log at work on both.
set -euo pipefail
cd "$(dirname "$0")/.."
for preset in linux windows; do
  cmake --preset "$preset" >/dev/null
  cmake --build --preset "$preset" >/dev/null
done
echo "--- Linux build"
build/linux/tests/base/base_tests --gtest_brief=0
echo "--- Windows build, under wine"
WINEPREFIX=$PWD/build/wineprefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
scripts/wine-run.sh build/windows/tests/base/base_tests.exe --gtest_brief=0
