#!/usr/bin/env bash
# The benchmarks: the same token work through the bridge (careful and
# naive), the JDK's Cryptoki wrapper, JNA, the foreign function API (when a
# JDK 22 or later is installed) and plain C, against one SoftHSM2 token
# made afresh in a temporary folder; then the block registry's cost, and a
# profile of where the bridge's time goes (callgrind, and perf if present).
#
#   scripts/bench.sh
#
# Writes results/bench.md (printed at the end), results/overhead.png and the
# raw figures in results/raw/.  Nothing here asserts a time.
#
# Knobs (environment):
#   BENCH_WARMUP_MS  warm-up per operation, ms      (default 300)
#   BENCH_RUN_MS     length of one timed run, ms    (default 100)
#   BENCH_RUNS       timed runs per operation and round (default 5)
#   BENCH_ROUNDS     rounds: every route once per round, runs pooled (default 3)
#   PROFILE_CALLS    calls per native under callgrind (default 200)
#   BENCH_PERF_SECONDS  length of the perf-sampled loop (default 4)
#   BENCH_PROFILE=0  skip both profiles
#   BENCH_ONLY=registry  only the block registry: no token, routes or profiles
#   BENCH_ROUTES     the routes to run, by name (default: all), e.g.
#                    "bridge-careful bridge-traced c"
#   BENCH_BASELINE_LIBRARY  another build of the bridge (an earlier commit's,
#                    say): route bridge-baseline runs the careful route with
#                    it, in the same rounds, for a before/after figure
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-bench"
results="$root/results"
raw="$results/raw"
export BENCH_WARMUP_MS="${BENCH_WARMUP_MS:-300}" BENCH_RUN_MS="${BENCH_RUN_MS:-100}" BENCH_RUNS="${BENCH_RUNS:-5}"
rounds="${BENCH_ROUNDS:-3}"
only="${BENCH_ONLY:-}"
export PROFILE_CALLS="${PROFILE_CALLS:-200}"
perf_seconds="${BENCH_PERF_SECONDS:-4}"
jdk17=/usr/lib/jvm/java-17-openjdk-amd64
jna=/usr/share/java/jna.jar
module=/usr/lib/softhsm/libsofthsm2.so
pin=246813579
label="orvjni bench"

bash "$root/scripts/setup.sh" bench

say() { printf 'bench: %s\n' "$*" >&2; }
quietly() {
  local out
  if ! out="$("$@" 2>&1)"; then
    printf '%s\n' "$out" >&2
    echo "bench: failed: $*" >&2
    exit 1
  fi
}

# An optimised bridge of its own: the test tree in build/ is built without
# optimisation, which is not what anyone would measure.
say "building the bridge (RelWithDebInfo) and the native programs"
if [ ! -f "$build/lib/CMakeCache.txt" ]; then
  quietly cmake -S "$root" -B "$build/lib" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVJNI_TESTS=OFF
fi
quietly cmake --build "$build/lib" -j2 --target orvjni
library="$build/lib/bin/liborvjni64.so"
if [ ! -f "$build/native/CMakeCache.txt" ]; then
  quietly cmake -S "$root/bench" -B "$build/native" -G Ninja -DORVJNI_JDK_HOME="$jdk17"
fi
quietly cmake --build "$build/native" -j2

say "compiling the Java routes"
classes="$build/classes"
rm -rf "$classes" "$build/classes22"
mkdir -p "$classes"
quietly "$jdk17/bin/javac" -encoding UTF-8 -Xlint:all -Werror -d "$classes" -cp "$jna" \
  --add-modules jdk.crypto.cryptoki --add-exports jdk.crypto.cryptoki/sun.security.pkcs11.wrapper=ALL-UNNAMED \
  "$root/tests/java/src/Orvalith/Base/JNI.java" "$root/tests/java/src/Orvalith/Test/Ck.java" \
  "$root"/bench/java/Orvalith/Bench/*.java

# The newest JDK of version 22 or later, for the foreign function API.
jdk22=""
best=0
for release in /usr/lib/jvm/*/release; do
  [ -f "$release" ] || continue
  major="$(sed -n 's/^JAVA_VERSION="\([0-9]*\).*/\1/p' "$release")"
  home="$(dirname "$release")"
  if [ -n "$major" ] && [ "$major" -ge 22 ] && [ "$major" -gt "$best" ] && [ -x "$home/bin/javac" ]; then
    best="$major"
    jdk22="$home"
  fi
done
if [ -n "$jdk22" ]; then
  say "foreign function API: $jdk22"
  mkdir -p "$build/classes22"
  quietly "$jdk22/bin/javac" -encoding UTF-8 -Xlint:all -Werror -d "$build/classes22" -cp "$classes" \
    "$root"/bench/java22/Orvalith/Bench/*.java
else
  say "no JDK 22 or later under /usr/lib/jvm: the foreign function API is not measured"
fi

rm -rf "$raw"
mkdir -p "$raw"
{
  echo "date: $(date -u '+%Y-%m-%d %H:%M UTC')"
  echo "cpu: $(sed -n 's/^model name[[:space:]]*: //p' /proc/cpuinfo | head -1)"
  echo "cores: $(nproc)"
  echo "load: $(cut -d' ' -f1-3 /proc/loadavg)"
  echo "module: $module"
  echo "softhsm: $(softhsm2-util --version)"
  echo "jdk17: OpenJDK $(sed -n 's/^JAVA_VERSION="\(.*\)"/\1/p' "$jdk17/release")"
  [ -z "$jdk22" ] || echo "jdk22: $(sed -n 's/^IMPLEMENTOR="\(.*\)"/\1/p' "$jdk22/release") $(sed -n 's/^JAVA_VERSION="\(.*\)"/\1/p' "$jdk22/release")"
  echo "build: RelWithDebInfo (-O2) with $(c++ --version | head -1)"
  echo "runs: $BENCH_RUNS"
  echo "rounds: $rounds"
  echo "run_ms: $BENCH_RUN_MS"
  echo "warmup_ms: $BENCH_WARMUP_MS"
  echo "profile_calls: $PROFILE_CALLS"
} >"$raw/env.txt"

if [ "$only" != registry ]; then
  scratch="$(mktemp -d "${TMPDIR:-/tmp}/orvjni-bench.XXXXXX")"
  trap 'rm -rf "$scratch"' EXIT
  mkdir "$scratch/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$scratch/tokens" \
    >"$scratch/softhsm2.conf"
  export SOFTHSM2_CONF="$scratch/softhsm2.conf"
  quietly softhsm2-util --init-token --free --label "$label" --so-pin 1357924680 --pin "$pin"
  slot="$("$jdk17/bin/java" -Dorvjni.library="$library" -cp "$classes" Orvalith.Bench.Setup "$module" "$label" "$pin")"

  # One JVM (or process) per route, so no route's JIT profile or heap
  # colours another's; every route once per round, so a change in the
  # machine's load over the run touches all routes alike.
  route() {
    case " ${BENCH_ROUTES:-$1} " in *" $1 "*) ;; *) return 0 ;; esac
    say "round $round: $1"
    shift
    "$@" "$module" "$slot" "$pin" | tee -a "$raw/routes.tsv" >&2
  }
  java17=("$jdk17/bin/java" -Dbench.module="$module" -Dorvjni.library="$library")
  [ -z "$jdk22" ] ||
    java22=("$jdk22/bin/java" --enable-native-access=ALL-UNNAMED -Dbench.module="$module" -Dorvjni.library="$library")
  for round in $(seq 1 "$rounds"); do
    route bridge-careful "${java17[@]}" -cp "$classes" Orvalith.Bench.BridgeRoute careful bridge-careful
    # The careful route with the call trace on: every line formatted and
    # written, into /dev/null so that no disk fills up over a long run.
    route bridge-traced env ORVJNI_TRACE=/dev/null "${java17[@]}" -cp "$classes" \
      Orvalith.Bench.BridgeRoute careful bridge-traced
    if [ -n "${BENCH_BASELINE_LIBRARY:-}" ]; then
      route bridge-baseline "$jdk17/bin/java" -Dbench.module="$module" -Dorvjni.library="$BENCH_BASELINE_LIBRARY" \
        -cp "$classes" Orvalith.Bench.BridgeRoute careful bridge-baseline
    fi
    route bridge-naive "${java17[@]}" -cp "$classes" Orvalith.Bench.BridgeRoute naive bridge-naive
    route jdk "${java17[@]}" --add-modules jdk.crypto.cryptoki \
      --add-exports jdk.crypto.cryptoki/sun.security.pkcs11.wrapper=ALL-UNNAMED -cp "$classes" Orvalith.Bench.JdkRoute jdk
    route jna "${java17[@]}" -cp "$classes:$jna" Orvalith.Bench.JnaRoute jna
    if [ -n "$jdk22" ]; then
      route foreign "${java22[@]}" -cp "$build/classes22:$classes" Orvalith.Bench.ForeignRoute foreign
      route bridge-careful-22 "${java22[@]}" -cp "$classes" Orvalith.Bench.BridgeRoute careful bridge-careful-22
    fi
    route c "$build/native/bench_floor" c
  done

fi

# A fixed, pre-touched Java heap, so that the growth of the resident set
# while the registry fills is the native side's.
say "block registry (up to 1,000,000 live blocks)"
"$jdk17/bin/java" -Xms768m -Xmx768m -XX:+AlwaysPreTouch -Dorvjni.library="$library" -cp "$classes" \
  Orvalith.Bench.RegistryBench registry | tee "$raw/registry.tsv" >&2

if [ "$only" != registry ]; then
  say "the bridge's own work per token native, against a module that does nothing"
  "$build/native/bench_handle_check" "$library" | tee "$raw/handle_check.txt" >&2
fi

if [ "${BENCH_PROFILE:-1}" != 0 ] && [ "$only" != registry ]; then
  say "callgrind profile of the careful route's natives"
  mkdir -p "$raw/callgrind"
  if ! valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$raw/callgrind/callgrind.out" \
      --log-file="$raw/callgrind/valgrind.log" \
      "$build/native/bench_profile" "$classes" "$library" "$module" "$slot" "$pin" >"$raw/jni.txt"; then
    say "callgrind run failed (see $raw/callgrind/valgrind.log); no instruction profile"
    rm -f "$raw"/callgrind/callgrind.out.*
  fi

  # Sampling needs no hardware counters: cpu-clock works in most VMs.
  if command -v perf >/dev/null && perf record -e cpu-clock -o "$scratch/probe.data" true >/dev/null 2>&1; then
    say "perf profile of the JIT-compiled loop"
    perf record -e cpu-clock -F 4999 -D 1500 -o "$scratch/perf.data" \
      "${java17[@]}" -XX:+UnlockDiagnosticVMOptions -XX:+DumpPerfMapAtExit -cp "$classes" \
      Orvalith.Bench.ProfileLoop "$module" "$slot" "$pin" "$(awk "BEGIN{print $perf_seconds + 1.5}")" \
      >"$raw/perf-loop.txt" 2>"$raw/perf-record.log" || say "perf record failed (see $raw/perf-record.log)"
    perf report -i "$scratch/perf.data" --stdio --no-children --sort dso >"$raw/perf-dso.txt" 2>/dev/null || true
    perf report -i "$scratch/perf.data" --stdio --no-children --sort dso,sym >"$raw/perf-sym.txt" 2>/dev/null || true
    # The JVM's map of its compiled code, left for perf report: ours only.
    loop_pid="$(sed -n 's/^pid \([0-9]*\).*/\1/p' "$raw/perf-loop.txt")"
    [ -z "$loop_pid" ] || rm -f "/tmp/perf-$loop_pid.map"
  else
    say "perf is not usable here: no sampling profile"
  fi
fi

"$jdk17/bin/java" -cp "$classes" Orvalith.Bench.Report "$raw" "$results" >"$raw/report.out"
if command -v gnuplot >/dev/null && [ "$only" != registry ]; then
  gnuplot -e "datafile='$raw/overhead.dat'; output='$results/overhead.png'" "$root/bench/overhead.gp"
fi
cat "$results/bench.md"
echo
echo "bench: wrote $results/bench.md and $results/overhead.png" >&2
