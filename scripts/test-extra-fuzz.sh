#!/usr/bin/env bash
# Fuzzes the package archive reader for a bounded time: the libFuzzer target fuzz/archive_fuzz.cpp
# (OpenArchive, GetArchiveItem, ExtractArchiveItem and TestArchiveItem on arbitrary bytes) is
# built with clang under AddressSanitizer and UndefinedBehaviorSanitizer and run from the
# archive fixtures as seeds. Any input that crashes it is left in build/fuzz/artifacts/; once
# the fault is mended, keep it in tests/package/fixtures/fuzz-crashes/ so that every build
# replays it. FUZZ_SECONDS sets the time (default 60).
set -euo pipefail
cd "$(dirname "$0")/.."
root=$PWD
out=$root/build/fuzz
seconds=${FUZZ_SECONDS:-60}
mkdir -p "$out/corpus" "$out/artifacts"

echo "fuzz: building the archive target"
clang++ -std=c++20 -O1 -g -fno-omit-frame-pointer \
  -fsanitize=fuzzer,address,undefined -fno-sanitize-recover=all \
  -I"$root/src" -I"$root/tests/package" -I"$root/tests" \
  "$root/fuzz/archive_fuzz.cpp" "$root/src/package/archive.cpp" \
  "$root/src/base/text.cpp" "$root/src/base/format.cpp" "$root/src/base/log.cpp" \
  "$root"/src/platform/posix/{codepage,debug_output,thread,files}.cpp \
  -lz -lpthread -o "$out/archive_fuzz"

# Seeds: the small archives of the fixtures and every kept crash.
find "$root/tests/package/fixtures" -type f -size -32k ! -name '*.md' ! -name '*.tsv' \
  ! -name SHA256SUMS -exec cp -n {} "$out/corpus/" \; 2>/dev/null || true

echo "fuzz: running for ${seconds}s"
cd "$out"
rc=0
./archive_fuzz corpus -max_total_time="$seconds" -max_len=32768 -timeout=10 \
  -rss_limit_mb=2048 -print_final_stats=1 -artifact_prefix="$out/artifacts/" \
  >"$out/fuzz.log" 2>&1 || rc=$?
grep -E '^#[0-9]+ *DONE|stat::number_of_executed_units|stat::peak_rss_mb' "$out/fuzz.log" || true
if [ $rc -ne 0 ]; then
  grep -E 'ERROR|SUMMARY|Test unit written' "$out/fuzz.log" | head -20
  echo "fuzz: FAILED (exit $rc); log in $out/fuzz.log. Keep the input in tests/package/fixtures/fuzz-crashes/ once mended."
  exit 1
fi
echo "fuzz: no crash"
