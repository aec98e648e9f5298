#!/bin/sh
# wine-run.sh PROGRAM.exe [ARGS...]   run a Windows x86 test program
# wine-run.sh --start                 set Wine up for a test run
# wine-run.sh --stop                  stop this prefix's Wine server
# wine-run.sh --report                print the run's path and every retry
#
# CTest's emulator for the Windows toolchain.  The program's exit code is
# passed through.  The Windows tree runs --start once before its tests and
# --stop after them (a CTest fixture), so that every program of the run
# meets a prefix that exists and one Wine server that is already up: two
# Wine programs that both find no server each start one, and under the
# emulator that has hung a run.
#
# --start decides, once per run, how Wine runs here:
#   native    the kernel runs i386 programs itself (wine --version answers
#             within a few seconds): Wine is started as it is;
#   emulated  it does not: Wine's 32-bit programs are started through
#             qemu-i386 explicitly, the first one by this script and the
#             ones Wine starts itself (its server, wineboot, services.exe,
#             ...) through a small preloaded shim (wine-exec-shim.c beside
#             this script) that turns such an exec into a qemu-i386 one.
#             Nothing relies on the kernel handing i386 programs to an
#             emulator by itself (binfmt_misc).
# and prints which.  It then creates the prefix if it does not exist yet
# and starts the prefix's server in persistent mode.  Wine keeps the prefix
# under a temporary directory for later runs; ORVJNI_WINE_ROOT moves it.
#
# A program that still runs after ORVJNI_WINE_TIMEOUT seconds (default
# 600) is stopped, and the script fails with 124.  The largest program, the
# native suite, takes about 110 s under the emulator on an idle machine
# and has taken over 300 s while builds ran beside it; the limit is for
# hangs, not for a busy machine.  There is no retry for anything but two
# failures that are Wine's own under the emulator, each recognised by what
# the emulator or Wine writes:
#   - a Wine process died of a signal before the test program printed its
#     first line ("qemu: uncaught target signal" in the program's output);
#   - the Wine server died of a signal ("wineserver crashed" in its log).
#     Its clients would wait for it until the limit; the program is ended
#     at once instead, with every other process of the dead server, and a
#     new server is started.
# Such a program is run once more, and says so; --report lists every retry.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
root=${ORVJNI_WINE_ROOT:-${TMPDIR:-/tmp}/orvjni-wine-$(id -u)}
wine_lib=${ORVJNI_WINE_LIB:-/usr/lib/wine}
i386_libc=${ORVJNI_I386_LIBC:-/usr/lib/i386-linux-gnu/libc.so.6}
limit=${ORVJNI_WINE_TIMEOUT:-600}
# Creating a prefix boots Wine's whole first-start chain; under the
# emulator on a busy machine that has taken 299 s, too close to the limit
# of one test program.  The wine_start test's own limit (1200 s) is above
# this and the wait for the services after it.
boot_limit=${ORVJNI_WINE_BOOT_TIMEOUT:-600}
settle_limit=${ORVJNI_WINE_SETTLE_TIMEOUT:-120}

export WINEPREFIX="$root/prefix"
export WINEARCH=win32
export WINEDEBUG=-all
# A test's own overrides (a recording double, a disabled DLL) come on top.
export WINEDLLOVERRIDES="mscoree,mshtml=;winedbg.exe=d${WINEDLLOVERRIDES:+;$WINEDLLOVERRIDES}"

mkdir -p "$root"

# Whether this machine runs i386 programs itself: Wine's own loader is one.
detect_path() {
    if timeout -k 5 10 "$wine_lib/wine" --version >/dev/null 2>&1; then
        echo native
    else
        echo emulated
    fi
}

# Sets up the environment of the path in $path; "wine" becomes the command
# that starts a Wine program.
use_path() {
    if [ "$path" = native ]; then
        unset ORVJNI_EMULATED_WINE || true
        wine_cmd="$wine_lib/wine"
        server_cmd="$wine_lib/wineserver"
        return
    fi
    qemu=$(command -v "${ORVJNI_QEMU_I386:-qemu-i386}") || {
        echo "wine-run.sh: qemu-i386 not found" >&2
        exit 1
    }
    # Tests learn that they run on emulated Wine, where a new thread brings
    # the emulator down, and leave out what needs one.
    export ORVJNI_EMULATED_WINE=1
    # The loader would re-exec itself to reserve memory early; under
    # qemu-user that is neither possible nor needed.
    export WINELOADERNOEXEC=1
    # A 2 GiB guest address space, the user space of 32-bit Windows.
    # Without a limit, Wine's start-up reserves the rest of the 4 GiB in
    # 64 KiB steps, each a pair of emulated system calls: most of a minute
    # per process.
    export QEMU_RESERVED_VA=${ORVJNI_WINE_RESERVED_VA:-0x88000000}
    export ORVJNI_WINE_QEMU="$qemu"
    export ORVJNI_WINE_SHIM="$root/wine-exec-shim.so"
    wine_cmd="$qemu -E LD_PRELOAD=$ORVJNI_WINE_SHIM $wine_lib/wine"
    server_cmd="$qemu -E LD_PRELOAD=$ORVJNI_WINE_SHIM $wine_lib/wineserver32"
}

build_shim() {
    if [ ! -f "$ORVJNI_WINE_SHIM" ] || [ "$here/wine-exec-shim.c" -nt "$ORVJNI_WINE_SHIM" ]; then
        cc=${CC_FOR_BUILD:-gcc}
        "$cc" -m32 -O2 -fPIC -ffreestanding -fno-stack-protector -c "$here/wine-exec-shim.c" \
            -o "$root/wine-exec-shim.o"
        ld -m elf_i386 -shared -o "$ORVJNI_WINE_SHIM.tmp" "$root/wine-exec-shim.o" "$i386_libc"
        mv -f "$ORVJNI_WINE_SHIM.tmp" "$ORVJNI_WINE_SHIM"
    fi
}

start() {
    path=$(detect_path)
    echo "$path" >"$root/path"
    : >"$root/retries"
    : >"$root/left-out"
    use_path
    if [ "$path" = native ]; then
        echo "wine-run.sh: Wine runs natively (this machine runs i386 programs); every test runs"
    else
        echo "wine-run.sh: Wine runs emulated through qemu-i386; tests that need a second thread are left out"
        build_shim
    fi
    # A server an earlier run of this prefix left behind goes first: it may
    # be a stuck one, and a second server would not start beside it.
    end_server
    if [ ! -f "$WINEPREFIX/.orvjni-ready" ]; then
        started=$(date +%s)
        boot
        if [ ! -f "$WINEPREFIX/system.reg" ] ||
            [ ! -f "$WINEPREFIX/drive_c/windows/system32/kernel32.dll" ]; then
            echo "wine-run.sh: could not create the Wine prefix $WINEPREFIX (see $root/wineboot.log)" >&2
            exit 1
        fi
        touch "$WINEPREFIX/.orvjni-ready"
        echo "wine-run.sh: created the Wine prefix $WINEPREFIX in $(($(date +%s) - started)) s"
    fi
    # One server for the whole run, up before any test program; persistent,
    # so that it outlives the gaps between programs.
    start_server
}

# Creates the prefix: the only Wine program at this point, which starts a
# server of its own (there is no prefix for one yet).  Wineboot writes the
# prefix, says so in its log, and then waits for the services it started.
# Under the emulator the boot has hung there until its limit, among crashes
# of Wine's processes (most likely a service that lost a thread).  So once the prefix is written the
# rest of the boot gets settle_limit seconds (a boot that is not stuck ends
# well within it), and then it is ended with its server, which saves the
# registry as it stops.  Either way no process of the boot is left when the
# run's own server starts.
boot() {
    # shellcheck disable=SC2086
    timeout -k 30 "$boot_limit" $wine_cmd wineboot.exe --init </dev/null >"$root/wineboot.log" 2>&1 9>&- &
    boot_pid=$!
    written=
    while kill -0 "$boot_pid" 2>/dev/null; do
        if [ -z "$written" ] && grep -q "^wine: configuration in .* has been updated" "$root/wineboot.log"; then
            written=$(date +%s)
        fi
        if [ -n "$written" ] && [ $(($(date +%s) - written)) -ge "$settle_limit" ]; then
            echo "wine-run.sh: Wine's first start still ran $settle_limit s after it wrote the prefix; its programs were ended"
            end_server
            break
        fi
        sleep 2
    done
    wait "$boot_pid" || true
    # Wineboot returns before the services it started have finished; the
    # end of its server says they are done.
    # shellcheck disable=SC2086
    timeout -k 10 "$settle_limit" $server_cmd -w >/dev/null 2>&1 || {
        echo "wine-run.sh: the services of Wine's first start still ran $settle_limit s after it; they were ended"
        end_server
    }
}

# Ends this prefix's server and every process of it.  Under the emulator
# a process stuck after losing a thread may not notice its server going,
# so whatever is left of the emulated processes is killed as well.
end_server() {
    # shellcheck disable=SC2086
    timeout -k 10 60 $server_cmd -k >/dev/null 2>&1 || true
    [ "$path" != emulated ] || kill_emulated
}

# Kills every emulated Wine process of this run (the shim is the run's own).
kill_emulated() {
    for proc in /proc/[0-9]*; do
        tr '\0' ' ' <"$proc/cmdline" 2>/dev/null | grep -qF -- "-E LD_PRELOAD=$ORVJNI_WINE_SHIM " &&
            kill -9 "${proc#/proc/}" 2>/dev/null
    done
    return 0
}

# Starts the prefix's persistent server; its stderr (server.log) is where
# it says it crashed.  Each start bumps the server's generation, so that a
# program can tell that the server it began with is gone.  Neither the
# server nor the services wineboot leaves running may inherit the lock's
# descriptor (9): they would hold the lock for as long as they live.
start_server() {
    # shellcheck disable=SC2086
    timeout -k 10 60 $server_cmd -p </dev/null >"$root/server.log" 2>&1 9>&- || {
        echo "wine-run.sh: could not start the Wine server: exit $? (see $root/server.log)" >&2
        exit 1
    }
    echo $(($(server_generation) + 1)) >"$root/server-generation"
}

server_generation() { cat "$root/server-generation" 2>/dev/null || echo 0; }

# Under the emulator the server itself has died of a signal in the middle
# of a run (it writes this line as it goes); its clients then wait for it
# for good.
server_crashed() {
    [ "$path" = emulated ] && grep -q "^wineserver crashed" "$root/server.log" 2>/dev/null
}

# After a crash of the server of generation $1: ends every emulated Wine
# process of this prefix (the dead server's clients, which would wait for
# it for good) and starts a new server.  Under the lock, and only once per
# crash: whoever comes second finds the generation moved on.
recover_server() {  # recover_server GENERATION
    (
        flock 9
        [ "$(server_generation)" = "$1" ] || exit 0
        kill_emulated
        start_server
    ) 9>"$root/lock"
}

stop() {
    [ -f "$root/path" ] || exit 0
    path=$(cat "$root/path")
    use_path
    end_server
}

# The other failure that earns a second run (the first is a lost server):
# the emulator lost a Wine process to a signal before the program had
# printed anything of its own.
emulator_crash() {  # emulator_crash STATUS LOG
    [ "$path" = emulated ] && [ "$1" -ne 0 ] && [ "$1" -ne 124 ] &&
        grep -q "^qemu: uncaught target signal" "$2" &&
        ! grep -q "^\[==========\]\|^Running main() from" "$2"
}

report() {
    if [ ! -f "$root/path" ]; then
        echo "wine-run.sh: no Windows program ran"
        return
    fi
    case $(cat "$root/path") in
        native) echo "wine-run.sh: this run's Wine path: native (every test ran)" ;;
        *) echo "wine-run.sh: this run's Wine path: emulated through qemu-i386 (tests that need a second thread left out)" ;;
    esac
    if [ -s "$root/left-out" ]; then
        echo "wine-run.sh: tests whose part on a second thread was left out ($(wc -l <"$root/left-out")):"
        sort "$root/left-out" | sed 's/^/    /'
    fi
    if [ -s "$root/retries" ]; then
        cat "$root/retries"
    else
        echo "wine-run.sh: no retries"
    fi
}

case ${1:-} in
    --start) start; exit 0 ;;
    --stop) stop; exit 0 ;;
    --report) report; exit 0 ;;
    "" | -*)
        echo "usage: wine-run.sh PROGRAM.exe [ARGS...] | --start | --stop" >&2
        exit 2
        ;;
esac

# Outside a CTest run (no --start yet), set up here.
if [ ! -f "$root/path" ] || [ ! -f "$WINEPREFIX/.orvjni-ready" ]; then
    (flock 9; start >&2) 9>"$root/lock"
fi
path=$(cat "$root/path")
use_path

# Runs the program; on the emulated path it is watched, and a crash of the
# server it began with ends it at once (rather than at the limit) and
# brings up a new server.  Sets status, ran and lost_server.
run_once() {
    status=0
    lost_server=0
    started=$(date +%s)
    generation=$(server_generation)
    if [ "$path" != emulated ]; then
        # shellcheck disable=SC2086
        timeout --foreground -k 30 "$limit" $wine_cmd "$@" >"$log" 2>&1 || status=$?
    else
        # shellcheck disable=SC2086
        timeout --foreground -k 30 "$limit" $wine_cmd "$@" >"$log" 2>&1 &
        pid=$!
        while kill -0 "$pid" 2>/dev/null; do
            # The recovery ends the program with the dead server's other
            # clients; whoever recovers first does it for all of them.
            if server_crashed; then
                recover_server "$generation"
                break
            fi
            sleep 1
        done
        wait "$pid" || status=$?
        # A program that failed while its server crashed (or was replaced
        # after a crash another program saw) lost its server.
        if [ "$status" -ne 0 ] && { server_crashed || [ "$(server_generation)" != "$generation" ]; }; then
            lost_server=1
            recover_server "$generation"
        fi
    fi
    ran=$(($(date +%s) - started))
}

log=$(mktemp "$root/run.XXXXXX")
attempt=1
while :; do
    run_once "$@"
    cat "$log"
    if [ "$attempt" -eq 1 ] && [ "$lost_server" -eq 1 ]; then
        note="wine-run.sh: RETRY $1 $(date -u +%H:%M:%S): the emulated Wine server crashed (\"wineserver crashed\" in its log) while the program ran (exit $status after $ran s); a new server is up; running it once more"
    elif [ "$attempt" -eq 1 ] && emulator_crash "$status" "$log"; then
        note="wine-run.sh: RETRY $1 $(date -u +%H:%M:%S): the emulator lost a Wine process (exit $status) before the program started; running it once more"
    else
        break
    fi
    echo "$note"
    echo "$note" >>"$root/retries"
    attempt=2
done
# The tests that said they left their threaded part out, for --report.
grep '^\[ LEFT OUT \]' "$log" | tr -d '\r' | sed 's/^\[ LEFT OUT \] //; s/:.*//' >>"$root/left-out" || true
rm -f "$log"
# 137 is timeout's own KILL only once the limit has passed; before that
# something else killed the program, and saying it ran too long would send
# whoever reads the log the wrong way.
if [ "$status" -eq 124 ] || { [ "$status" -eq 137 ] && [ "$ran" -ge "$limit" ]; }; then
    echo "wine-run.sh: $1 still ran after $limit s; stopped" >&2
    exit 124
fi
if [ "$status" -gt 128 ]; then
    echo "wine-run.sh: $1 ended by signal $((status - 128)) after $ran s" >&2
fi
exit "$status"
