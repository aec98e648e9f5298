#!/bin/sh
# How cmake/wine-run.sh reports the way a Windows test program ended, run
# against a stand-in Wine (and a stand-in qemu-i386) in a root of its own:
# exit codes pass through, a program killed early is not called a hang, a
# hang is stopped at the limit, only the emulator's own early crash is run
# again, with the retry printed, a crashed server is replaced and its
# programs run again, a first start stuck after writing the prefix is
# ended, and tests that left a threaded part out are listed
# in the report.
#
# usage: wine_run_test.sh REPO
set -u

repo=$1
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0

# The stand-in Wine takes the "program" as a word saying how to end.
mkdir -p "$work/wine"
cat >"$work/wine/wine" <<'WINE'
#!/bin/sh
case $1 in
    exit3) echo "[==========] ran"; exit 3 ;;
    killed) kill -9 $$ ;;
    hangs) exec sleep 30 ;;
    crash-once)
        if [ ! -f "$STANDIN_STATE" ]; then
            : >"$STANDIN_STATE"
            echo "qemu: uncaught target signal 11 (Segmentation fault) - core dumped"
            exit 139
        fi
        echo "[==========] ran"; exit 0 ;;
    # Hangs as a client of a dead server does; the marker in its command
    # line is what the runner looks for among the emulated Wine processes.
    server-crash-once | stalls-once)
        if [ ! -f "$STANDIN_STATE" ]; then
            : >"$STANDIN_STATE"
            if [ "$1" = server-crash-once ]; then
                sleep 1
                echo "wineserver crashed, please enable coredumps (ulimit -c unlimited) and restart." \
                    >>"$ORVJNI_WINE_ROOT/server.log"
            fi
            exec sh -c 'while :; do sleep 1; done' stalled -E "LD_PRELOAD=$ORVJNI_WINE_SHIM" x
        fi
        echo "[==========] ran"; exit 0 ;;
    leaves-out)
        printf '[ LEFT OUT ] Suite.Threads: its part on a second thread\r\n'
        echo "[==========] ran"; exit 0 ;;
    # Writes the prefix, says so, and then waits for good, as a first start
    # whose service lost a thread does.
    wineboot.exe)
        mkdir -p "$WINEPREFIX/drive_c/windows/system32"
        : >"$WINEPREFIX/system.reg"
        : >"$WINEPREFIX/drive_c/windows/system32/kernel32.dll"
        echo "wine: configuration in L\"$WINEPREFIX\" has been updated."
        exec sh -c 'while :; do sleep 1; done' stalled -E "LD_PRELOAD=$ORVJNI_WINE_SHIM" x ;;
    crash-late)
        echo "Running main() from gtest_main.cc"
        echo "qemu: uncaught target signal 11 (Segmentation fault) - core dumped"
        exit 139 ;;
esac
exit 99
WINE
# The stand-in emulator drops "-E VAR=VALUE" and runs the rest.
cat >"$work/qemu-i386" <<'QEMU'
#!/bin/sh
[ "$1" = -E ] && shift 2
exec "$@"
QEMU
# The real server lives on after "-p" with the descriptors it was given;
# the stand-in notes whether one of them was the runner's lock.
cat >"$work/wine/wineserver32" <<'SERVER'
#!/bin/sh
if [ "$1" = -p ] && [ -e /proc/self/fd/9 ]; then echo "server started holding fd 9" >>"$ORVJNI_WINE_ROOT/held-lock"; fi
exit 0
SERVER
chmod +x "$work/wine/wine" "$work/wine/wineserver32" "$work/qemu-i386"

# A root whose prefix is set up and whose path is already decided, as
# wine-run.sh --start leaves it.
root_for() {  # root_for PATH
    r="$work/root-$1-$(date +%s%N)"
    mkdir -p "$r/prefix"
    : >"$r/prefix/.orvjni-ready"
    echo "$1" >"$r/path"
    : >"$r/retries"
    echo "$r"
}

# check WHAT PATH LIMIT PROGRAM RC PRESENT ABSENT
check() {
    what=$1 path=$2 limit=$3 program=$4 want_rc=$5 present=$6 absent=$7
    root=$(root_for "$path")
    out="$work/out"
    ORVJNI_WINE_ROOT=$root ORVJNI_WINE_LIB=$work/wine ORVJNI_QEMU_I386=$work/qemu-i386 \
        ORVJNI_WINE_TIMEOUT=$limit STANDIN_STATE=$root/state \
        sh "$repo/cmake/wine-run.sh" "$program" >"$out" 2>&1
    rc=$?
    report=$(ORVJNI_WINE_ROOT=$root sh "$repo/cmake/wine-run.sh" --report)
    ok=1
    [ "$rc" -eq "$want_rc" ] || { echo "  exit $rc, wanted $want_rc"; ok=0; }
    if [ -n "$present" ] && ! grep -q -- "$present" "$out"; then
        echo "  no line with '$present'"; ok=0
    fi
    if [ -n "$absent" ] && grep -q -- "$absent" "$out"; then
        echo "  a line with '$absent'"; ok=0
    fi
    case $present in
        *RETRY*) echo "$report" | grep -q "RETRY" || { echo "  --report shows no retry"; ok=0; } ;;
        *) echo "$report" | grep -q "no retries" || { echo "  --report shows a retry"; ok=0; } ;;
    esac
    if [ $ok -eq 1 ]; then
        echo "ok: $what"
    else
        echo "FAILED: $what"; sed 's/^/  | /' "$out"
        failures=$((failures + 1))
    fi
}

check "an exit code passes through" native 60 exit3 3 "ran" "still ran"
check "a program killed early is not called a hang" native 60 killed 137 "ended by signal 9" "still ran"
check "a hang is stopped at the limit" native 1 hangs 124 "still ran after 1 s" ""
check "the emulator's early crash is run once more, and says so" emulated 60 crash-once 0 "RETRY crash-once" ""
check "a crash after the program started is not run again" emulated 60 crash-late 139 "uncaught target signal" "RETRY"
check "natively, the emulator's signature earns no retry" native 60 crash-once 139 "uncaught target signal" "RETRY"

# A server that crashes under two programs at once: both are ended at
# once, one new server is started, and each program is run once more.
root=$(root_for emulated)
for program in server-crash-once stalls-once; do
    ORVJNI_WINE_ROOT=$root ORVJNI_WINE_LIB=$work/wine ORVJNI_QEMU_I386=$work/qemu-i386 \
        ORVJNI_WINE_TIMEOUT=120 STANDIN_STATE=$root/state-$program \
        sh "$repo/cmake/wine-run.sh" "$program" >"$work/out-$program" 2>&1 &
    pids="${pids:-} $!"
done
wait_ok=1
for pid in $pids; do wait "$pid" || wait_ok=0; done
generation=$(cat "$root/server-generation" 2>/dev/null || echo 0)
retries=$(grep -c "RETRY" "$root/retries")
if [ $wait_ok -eq 1 ] && [ "$generation" = 1 ] && [ "$retries" = 2 ] && [ ! -e "$root/held-lock" ] &&
    grep -q "RETRY server-crash-once.*wineserver crashed" "$work/out-server-crash-once" &&
    grep -q "RETRY stalls-once.*wineserver crashed" "$work/out-stalls-once"; then
    echo "ok: a crashed server ends its programs, is started once more, and each program runs again"
else
    echo "FAILED: a crashed server (both passed: $wait_ok, server starts: $generation, retries: $retries)"
    cat "$root/held-lock" 2>/dev/null
    sed 's/^/  | /' "$work"/out-server-crash-once "$work"/out-stalls-once "$root/retries"
    failures=$((failures + 1))
fi

# A test that leaves its threaded part out is named in the run's report.
root=$(root_for emulated)
ORVJNI_WINE_ROOT=$root ORVJNI_WINE_LIB=$work/wine ORVJNI_QEMU_I386=$work/qemu-i386 \
    sh "$repo/cmake/wine-run.sh" leaves-out >/dev/null 2>&1
report=$(ORVJNI_WINE_ROOT=$root sh "$repo/cmake/wine-run.sh" --report)
if printf '%s\n' "$report" | grep -qx '    Suite.Threads'; then
    echo "ok: a test that left its threaded part out is listed"
else
    echo "FAILED: a test that left its threaded part out is listed"
    printf '%s\n' "$report" | sed 's/^/  | /'
    failures=$((failures + 1))
fi

# A first start that hangs after it wrote the prefix is ended once the
# settle limit has passed, and the run goes on with the prefix.
root="$work/root-boot"
mkdir -p "$root"
touch "$root/wine-exec-shim.so"  # newer than its source: not built here
started=$(date +%s)
ORVJNI_WINE_ROOT=$root ORVJNI_WINE_LIB=$work/wine ORVJNI_QEMU_I386=$work/qemu-i386 \
    ORVJNI_WINE_SETTLE_TIMEOUT=2 sh "$repo/cmake/wine-run.sh" --start >"$work/out-boot" 2>&1
rc=$?
took=$(($(date +%s) - started))
left=$(pgrep -c -f -- "LD_PRELOAD=$root/wine-exec-shim.so")
if [ $rc -eq 0 ] && [ "$took" -lt 30 ] && [ "$left" -eq 0 ] && [ -f "$root/prefix/.orvjni-ready" ] &&
    grep -q "still ran 2 s after it wrote the prefix" "$work/out-boot"; then
    echo "ok: a first start stuck after writing the prefix is ended and the prefix used"
else
    echo "FAILED: a stuck first start (exit $rc after $took s, processes left: $left)"
    sed 's/^/  | /' "$work/out-boot"
    failures=$((failures + 1))
fi

[ $failures -eq 0 ] || { echo "$failures case(s) failed"; exit 1; }
