#!/usr/bin/env bash
# Builds the fuzz targets (clang, libFuzzer, AddressSanitizer, UBSan) in
# build-fuzz/ and runs each for a bounded time, one after the other, with
# one process: the machine is shared.
#
#   scripts/fuzz.sh [SECONDS] [TARGET...]
#
# SECONDS per target (default 60); targets default to all of them
# (pointer_fuzz, token_fuzz, fields_fuzz).  Each starts from its seed corpus
# in tests/fuzz/corpus/TARGET and keeps what it finds in
# build-fuzz/corpus/TARGET.  Any finding (a crash, a sanitizer report, a
# failed harness check, a leak, a timeout) fails the script and leaves the
# input in build-fuzz/findings/TARGET.  The last status line of each run
# (executions per second, cov:, ft:) is printed.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-fuzz"
seconds="${1:-60}"
shift || true
targets=("$@")
[ ${#targets[@]} -gt 0 ] || targets=(pointer_fuzz token_fuzz fields_fuzz)

if [ ! -f "$build/CMakeCache.txt" ]; then
  CC=clang-14 CXX=clang++-14 cmake -S "$root" -B "$build" -G Ninja \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVJNI_FUZZ=ON >/dev/null
fi
cmake --build "$build" -j2 --target "${targets[@]}"

status=0
for target in "${targets[@]}"; do
  corpus="$build/corpus/$target"
  findings="$build/findings/$target"
  mkdir -p "$corpus" "$findings"
  log="$build/$target.log"
  echo "== fuzz: $target for ${seconds}s"
  # The target loads the test module from its own folder, by full path.
  if (cd "$build/bin" && ASAN_OPTIONS="${ASAN_OPTIONS:-detect_leaks=1}" \
      "./$target" -max_total_time="$seconds" -timeout=20 -rss_limit_mb=2048 \
      -print_final_stats=1 -artifact_prefix="$findings/" \
      "$corpus" "$root/tests/fuzz/corpus/$target") >"$log" 2>&1; then
    grep -E '^#[0-9]+' "$log" | tail -1
    grep -E '^stat::(number_of_executed_units|average_exec_per_sec)' "$log" || true
  else
    status=1
    echo "fuzz: $target found something; input in $findings, log in $log" >&2
    grep -E 'fuzz check failed|ERROR: |SUMMARY: |runtime error' "$log" | head -5 >&2 || true
  fi
done
exit $status
