#!/bin/sh
# The token walk-through with the call trace on, and the trace held against
# the walk-through's own account of its steps:
#   check_demo_trace.sh SCRATCH DEMO-ARGS...
# Every Cryptoki call the demo prints as a step must appear in the trace in
# the same order, each answered CKR_OK, with nothing in between that the
# demo did not ask for; the demo's PIN must appear nowhere in it.
set -eu
scratch=$1
shift
mkdir -p "$scratch"
trace="$scratch/demo-trace.log"
steps="$scratch/demo-steps.log"
rm -f "$trace"
bash "$(dirname "$0")/../../scripts/demo.sh" --trace-file "$trace" "$@" >"$steps" 2>&1 || {
    cat "$steps"
    echo "check_demo_trace.sh: the walk-through failed" >&2
    exit 1
}
cat "$steps"

# "  9  c_OpenSession (with a notification callback) CKR_OK  session 0x1"
sed -n 's/^ *[0-9][0-9]*  *\(c_[A-Za-z]*\) .*/\1/p' "$steps" >"$scratch/asked"
# "<time> tid=<n> c_OpenSession(module=..., ...) = CKR_OK (0x0) in 7.7 us"
sed -n 's/^[^ ]* tid=[0-9]* \(c_[A-Za-z]*\)(.*/\1/p' "$trace" >"$scratch/traced"
status=0
if ! diff -u "$scratch/asked" "$scratch/traced"; then
    echo "check_demo_trace.sh: the trace's calls differ from the walk-through's steps" >&2
    status=1
fi
if [ ! -s "$scratch/asked" ]; then
    echo "check_demo_trace.sh: the walk-through printed no Cryptoki step" >&2
    status=1
fi
if grep ' tid=[0-9]* c_' "$trace" | grep -v ') = CKR_OK (0x0) in [0-9.]* us$'; then
    echo "check_demo_trace.sh: the calls above were not answered CKR_OK" >&2
    status=1
fi
for line in 'loadExternalModule("' 'unloadExternalModule(module=0x'; do
    grep -q " tid=[0-9]* $line" "$trace" || { echo "check_demo_trace.sh: no $line in the trace" >&2; status=1; }
done
# The PIN of the demo's own token (scripts/demo.sh).
if grep -n 246813579 "$trace"; then
    echo "check_demo_trace.sh: the PIN is in the trace" >&2
    status=1
fi
[ "$status" -ne 0 ] || echo "check_demo_trace.sh: $(wc -l <"$scratch/asked") Cryptoki calls traced in order, all CKR_OK"
exit $status
