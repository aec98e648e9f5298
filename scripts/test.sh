#!/usr/bin/env bash
# Builds every deliverable and runs every suite:
#  - host (64-bit): native suite, Java suite under -Xcheck:jni, install check
#  - host again with AddressSanitizer and UndefinedBehaviorSanitizer: the
#    native suite, and the Java suite and demo in JVMs that preload them
#  - the fuzz targets (clang, libFuzzer), each for a bounded time
#  - Linux MIPS32 under qemu-user (native suite, export checks, and the
#    Java suite and demo in the guest's own JVM with its own token modules)
#    and Windows x86 under Wine (native suite and export checks)
#  - macOS x86_64: the dylib linked and its binary checked
#  - the Debian packages: lintian, then the demo and a consumer build
#    against the unpacked host packages (scripts/check-packages.sh)
set -euo pipefail
cd "$(dirname "$0")/.."
cross_targets=${ORVJNI_CROSS_TARGETS:-mips win mac}
# Wine, and with it the i386 architecture, only when the Windows tree runs.
case " $cross_targets " in *" win "*) bash scripts/setup.sh test windows ;; *) bash scripts/setup.sh test ;; esac

jobs=${ORVJNI_JOBS:-2}

run_tree() {  # run_tree DIR [cmake options...]
  local dir=$1; shift
  cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo "$@" >/dev/null
  cmake --build "$dir" -j "$jobs"
  # A hung test fails on its own instead of holding the whole run.
  ctest --test-dir "$dir" --output-on-failure -j "$jobs" --timeout 600
}

echo "== host"
run_tree build
echo "== host, ASan + UBSan (native suite, and the Java suite with the runtimes preloaded)"
ASAN_OPTIONS=detect_leaks=1 run_tree build-asan -DORVJNI_SANITIZE=ON
echo "== fuzz targets, ${ORVJNI_FUZZ_SECONDS:-45} s each"
bash scripts/fuzz.sh "${ORVJNI_FUZZ_SECONDS:-45}"
if [ -f scripts/build-cross.sh ]; then
  echo "== 32-bit deliverables"
  # No retries here: a failure counts the first time.  The one failure of
  # Wine's own under the emulator that is retried is retried by
  # cmake/wine-run.sh, which prints it.
  bash scripts/build-cross.sh $cross_targets
fi
echo "== packages"
package_trees=(build)
case " $cross_targets " in *" mips "*) package_trees+=(build-mips) ;; esac
bash scripts/check-packages.sh "${package_trees[@]}"
echo "== all suites passed"
