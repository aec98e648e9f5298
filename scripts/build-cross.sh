#!/bin/sh
# Configures and builds the cross deliverables and runs their tests where
# they run:
#   build-mips/  Linux MIPS32 (liborvjni.so): native suite under qemu-mipsel;
#                Java suite and demo in the guest's own JVM with its own
#                token modules (scripts/mips-sysroot.sh lays them out)
#   build-win/   Windows x86 (orvjni32.dll), tests under Wine (cmake/wine-run.sh)
#   build-mac/   macOS x86_64 (liborvjni64.dylib): linked and checked, not run
#
# usage: scripts/build-cross.sh [mips|win|mac]...   (default: all three)
# Environment: JOBS (default 2), CTEST_ARGS (extra arguments for ctest).
set -eu

repo=$(cd "$(dirname "$0")/.." && pwd)
jobs=${JOBS:-2}
targets=${*:-mips win mac}
status=0

for target in $targets; do
    extra=""
    case $target in
        mips)
            toolchain=mipsel-linux-gnu.cmake
            echo "== mips: guest system"
            extra="-DORVJNI_GUEST_ROOT=$(bash "$repo/scripts/mips-sysroot.sh")" ;;
        win) toolchain=mingw-i686.cmake ;;
        mac)
            toolchain=macos-x86_64.cmake
            echo "== mac: SDK files"
            extra="-DORVJNI_MACOS_SDK=$(bash "$repo/scripts/macos-sdk.sh")" ;;
        *) echo "build-cross.sh: unknown target '$target' (mips, win or mac)" >&2; exit 2 ;;
    esac
    build="$repo/build-$target"
    echo "== $target: configure"
    # shellcheck disable=SC2086
    cmake -S "$repo" -B "$build" -DCMAKE_BUILD_TYPE=RelWithDebInfo \
        -DCMAKE_TOOLCHAIN_FILE="$repo/cmake/toolchains/$toolchain" $extra
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
