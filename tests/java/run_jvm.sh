#!/bin/sh
# Runs one JVM test command and judges it by more than its exit code:
#   run_jvm.sh LOGBASE JAVA ARGS...
# Fails when the JVM crashed, when -Xcheck:jni complained about any native
# (warnings do not change the exit code), or when the launcher failed.
# The whole output stays in LOGBASE.log and is echoed for CTest.
log="$1.log"
shift
rm -f "$log"
# ORVJNI_JVM_ENV: variables for the JVM alone (the sanitizer runtimes to
# preload, for one), as NAME=VALUE words.
# shellcheck disable=SC2086
env ${ORVJNI_JVM_ENV:-} "$@" >"$log" 2>&1
rc=$?
cat "$log"

status=0
# The checker's own wording, for warnings and for the fatal errors that
# end the process; local reference overflow has a wording of its own.
# (Its "handler modified" notes are left out: they report signal handlers
# that a token module installs, which no native of ours can prevent.)
checks='WARNING in native method|FATAL ERROR in native method|WARNING: JNI local refs|Warning: Calling other JNI functions in the scope of'
if grep -E -n "$checks" "$log" >/dev/null; then
    echo "run_jvm.sh: -Xcheck:jni reported a problem:" >&2
    grep -E -n -A 3 "$checks" "$log" >&2
    status=1
fi
# AddressSanitizer and UBSan reports, whether or not they ended the process.
sanitizers='ERROR: AddressSanitizer|ERROR: LeakSanitizer|runtime error:|SUMMARY: UndefinedBehaviorSanitizer'
if grep -E -n "$sanitizers" "$log" >/dev/null; then
    echo "run_jvm.sh: a sanitizer reported a fault:" >&2
    grep -E -n -A 20 "$sanitizers" "$log" >&2
    status=1
fi
if grep -F -n 'A fatal error has been detected by the Java Runtime Environment' "$log" >/dev/null || [ "$rc" -gt 128 ]; then
    echo "run_jvm.sh: the JVM crashed (exit code $rc); see the hs_err log beside $log" >&2
    status=1
fi
if [ "$rc" -ne 0 ]; then
    echo "run_jvm.sh: the JVM exited with $rc" >&2
    status=1
fi
exit $status
