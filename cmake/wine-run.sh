#!/bin/sh
# wine-run.sh PROGRAM.exe [ARGS...]
#
# Runs a Windows x86 test program under Wine: CTest's emulator for the
# Windows toolchain.  The program's exit code is passed through.
#
# The build hosts need not be able to execute 32-bit x86 Linux binaries,
# and nothing here relies on the kernel handing them to an emulator by
# itself (binfmt_misc).  Wine's 32-bit programs are started through
# qemu-i386 explicitly: the first one by this script, and the ones Wine
# starts itself (its server, wineboot, services.exe, ...) through a small
# preloaded shim (wine-exec-shim.c beside this script) that turns such an
# exec into a qemu-i386 one.
#
# Wine keeps a prefix of its own under a temporary directory, created on
# first use (a lock keeps parallel tests from creating it twice) and kept
# for later runs.  ORVJNI_WINE_ROOT moves it.
#
# Now and then a Wine process under the emulator never ends (its server or
# one of its own services stops answering).  A program still running after
# ORVJNI_WINE_TIMEOUT seconds (default 300) is killed together with the
# prefix's Wine server, so that a retry starts from a clean server; the
# script then fails with 124.
set -eu

if [ $# -lt 1 ]; then
    echo "usage: wine-run.sh PROGRAM.exe [ARGS...]" >&2
    exit 2
fi

here=$(cd "$(dirname "$0")" && pwd)
root=${ORVJNI_WINE_ROOT:-${TMPDIR:-/tmp}/orvjni-wine-$(id -u)}
wine_lib=${ORVJNI_WINE_LIB:-/usr/lib/wine}
i386_libc=${ORVJNI_I386_LIBC:-/usr/lib/i386-linux-gnu/libc.so.6}
qemu=$(command -v "${ORVJNI_QEMU_I386:-qemu-i386}") || {
    echo "wine-run.sh: qemu-i386 not found" >&2
    exit 1
}

export WINEPREFIX="$root/prefix"
export WINEARCH=win32
export WINEDEBUG=-all
# A test's own overrides (a recording double, a disabled DLL) come on top.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"
# Tests learn that they run on emulated Wine, where a new thread brings the
# emulator down, and leave out what needs one.
export ORVJNI_EMULATED_WINE=1
# The loader would re-exec itself to reserve memory early; under qemu-user
# that is neither possible nor needed.
export WINELOADERNOEXEC=1
# A 2 GiB guest address space, the user space of 32-bit Windows.  Without a
# limit, Wine's start-up reserves the rest of the 4 GiB in 64 KiB steps,
# each a pair of emulated system calls: most of a minute per process.
export QEMU_RESERVED_VA=${ORVJNI_WINE_RESERVED_VA:-0x88000000}
export ORVJNI_WINE_QEMU="$qemu"
export ORVJNI_WINE_SHIM="$root/wine-exec-shim.so"

limit=${ORVJNI_WINE_TIMEOUT:-300}

mkdir -p "$root"
(
    flock 9
    if [ ! -f "$ORVJNI_WINE_SHIM" ] || [ "$here/wine-exec-shim.c" -nt "$ORVJNI_WINE_SHIM" ]; then
        cc=${CC_FOR_BUILD:-gcc}
        "$cc" -m32 -O2 -fPIC -ffreestanding -fno-stack-protector -c "$here/wine-exec-shim.c" \
            -o "$root/wine-exec-shim.o"
        ld -m elf_i386 -shared -o "$ORVJNI_WINE_SHIM.tmp" "$root/wine-exec-shim.o" "$i386_libc"
        mv -f "$ORVJNI_WINE_SHIM.tmp" "$ORVJNI_WINE_SHIM"
    fi
    if [ ! -f "$WINEPREFIX/.orvjni-ready" ]; then
        timeout -k 30 "$limit" \
            "$qemu" -E LD_PRELOAD="$ORVJNI_WINE_SHIM" "$wine_lib/wine" wineboot.exe --init \
            </dev/null >"$root/wineboot.log" 2>&1 || true
        if [ ! -f "$WINEPREFIX/system.reg" ] || [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
            echo "wine-run.sh: could not create the Wine prefix $WINEPREFIX (see $root/wineboot.log)" >&2
            exit 1
        fi
        touch "$WINEPREFIX/.orvjni-ready"
    fi
) 9>"$root/lock"

status=0
# --foreground keeps the program in the caller's process group, where a
# test driver that gives up on it can still reach it.
timeout --foreground -k 30 "$limit" \
    "$qemu" -E LD_PRELOAD="$ORVJNI_WINE_SHIM" "$wine_lib/wine" "$@" || status=$?
if [ "$status" -eq 124 ] || [ "$status" -eq 137 ]; then
    echo "wine-run.sh: $1 still ran after $limit s; stopping the Wine server" >&2
    timeout -k 10 60 "$qemu" -E LD_PRELOAD="$ORVJNI_WINE_SHIM" "$wine_lib/wineserver32" -k \
        >/dev/null 2>&1 || true
    # Whatever the server's end left behind of this prefix's processes.
    pkill -KILL -f "LD_PRELOAD=$ORVJNI_WINE_SHIM" 2>/dev/null || true
    exit 124
fi
exit "$status"
