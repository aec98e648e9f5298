#!/bin/sh
# Configures and builds the two 32-bit deliverables and runs their tests
# where they run:
#   build-mips/  Linux MIPS32 (liborvjni.so), tests under qemu-mipsel
#   build-win/   Windows x86 (orvjni32.dll), tests under Wine (cmake/wine-run.sh)
#
# usage: scripts/build-cross.sh [mips|win]...   (default: both)
# Environment: JOBS (default 2), CTEST_ARGS (extra arguments for ctest).
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
targets=${*:-mips win}
status=0

for target in $targets; do
    case $target in
        mips) toolchain=mipsel-linux-gnu.cmake ;;
        win) toolchain=mingw-i686.cmake ;;
        *) echo "build-cross.sh: unknown target '$target' (mips or win)" >&2; exit 2 ;;
    esac
    build="$repo/build-$target"
    echo "== $target: configure"
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/$toolchain"
    echo "== $target: build"
    cmake --build "$build" -j"$jobs"
    echo "== $target: test"
    # No test may hold the run for long: a Wine program has a watchdog of
    # its own (cmake/wine-run.sh); this bound catches everything else.
    # shellcheck disable=SC2086
    if ! (cd "$build" && ctest --output-on-failure -j"$jobs" --timeout 900 ${CTEST_ARGS:-}); then
        status=1
    fi
    # Which way Wine ran, and any retry of Wine's own failure, in the output.
    if [ "$target" = win ]; then sh "$repo/cmake/wine-run.sh" --report; fi
done

exit $status
