#!/usr/bin/env bash
# Builds every preset and runs every suite: Linux under ASan+UBSan, the threaded suites under
# ThreadSanitizer, and the Windows cross build under wine. Exits non-zero when anything failed.
# Each ctest run is kept in build/<preset>/ctest.log; the GoogleTest case counts are taken from
# those logs, so a Windows program that wine never really started cannot pass unnoticed.
set -uo pipefail
cd "$(dirname "$0")/.."
status=0
total_pass=0
total_fail=0

count_cases() { # log -> "passed failed" GoogleTest cases
  local log=$1
  local p f
  p=$(grep -aoE '\[  PASSED  \] [0-9]+ test' "$log" | awk '{s+=$4} END {print s+0}')
  f=$(grep -aoE '\[  FAILED  \] [0-9]+ test' "$log" | awk '{s+=$4} END {print s+0}')
  echo "$p $f"
}

run_preset() { # preset [ctest args...]
  local preset=$1
  shift
  echo "=== $preset: configure and build"
  if ! cmake --preset "$preset" >"build-$preset.configure.log" 2>&1; then
    cat "build-$preset.configure.log"; rm -f "build-$preset.configure.log"
    echo "=== $preset: configure FAILED"; status=1; return
  fi
  rm -f "build-$preset.configure.log"
  if ! cmake --build --preset "$preset"; then
    echo "=== $preset: build FAILED"; status=1; return
  fi
  echo "=== $preset: tests"
  local log=build/$preset/ctest.log
  ctest --preset "$preset" -V "$@" >"$log" 2>&1
  local rc=$?
  grep -aE '^ *[0-9]+/[0-9]+ Test +#|tests passed|tests failed out of' "$log"
  read -r p f < <(count_cases "$log")
  local programs
  programs=$(grep -acE '^ *[0-9]+/[0-9]+ Test +#' "$log")
  local where="natively"
  [ "$preset" = windows ] && where="as Windows programs under wine"
  echo "=== $preset: $programs test programs run $where, $p test cases passed, $f failed"
  if [ "$rc" -ne 0 ] || [ "$programs" -eq 0 ] || [ "$p" -eq 0 ]; then
    grep -aE '\[  FAILED  \]|error|Error' "$log" | head -40
    echo "=== $preset: FAILED (ctest exit $rc; full log in $log)"
    status=1
  fi
  total_pass=$((total_pass + p))
  total_fail=$((total_fail + f))
}

run_preset linux
run_preset linux-tsan
# The first wine start in a new prefix sets the prefix up; do it once before the tests run.
mkdir -p build
WINEPREFIX=$PWD/build/wineprefix WINEDEBUG=-all wineboot -i >/dev/null 2>&1 || true
run_preset windows
for extra in scripts/test-extra-*.sh; do
  [ -e "$extra" ] || continue
  echo "=== $extra"
  bash "$extra" || { echo "=== $extra FAILED"; status=1; }
done

echo
echo "GoogleTest cases in all builds:"
echo "total: $total_pass passed, $total_fail failed"
[ $status -eq 0 ] && echo "make test: all suites passed" || echo "make test: FAILED"
exit $status
