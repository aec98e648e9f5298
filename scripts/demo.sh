#!/usr/bin/env bash
# The token walk-through: a signature made by a token module through the
# bridge and checked by the JDK, each step printed with its Cryptoki result.
#
#   scripts/demo.sh                      a software token of its own, made
#                                        afresh in a temporary folder
#   scripts/demo.sh --module PATH --pin PIN [--slot ID]
#                                        any module and token
#   --key rsa                            an RSA key pair instead of EC P-256
#   --build-dir DIR                      the CMake build folder (default
#                                        build-demo/, tests off)
#   --installed                          no build: the JVM finds the installed
#                                        library by name on its default path
#   --jvm PROGRAM                        the java launcher (default: java on
#                                        PATH), e.g. the MIPS32 guest's
#   --softhsm2 PATH                      the module for the token of its own
#                                        (default: the system's SoftHSM2)
#   --trace                              the bridge's call trace on stderr
#                                        beside the steps (ORVJNI_TRACE)
#   --trace-file FILE                    the call trace into FILE instead
#
# Builds the library first when it is missing or out of date, and runs the
# JVM under -Xcheck:jni: a checker warning fails the demo like a failed step.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-demo"
installed=0
module=""
pin=""
jvm=java
softhsm2=/usr/lib/softhsm/libsofthsm2.so
demo_args=()
trace=""

while [ $# -gt 0 ]; do
  case "$1" in
    --module) module="${2:?--module needs a path}"; shift 2 ;;
    --pin) pin="${2:?--pin needs a value}"; shift 2 ;;
    --slot | --key) demo_args+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    --installed) installed=1; shift ;;
    --jvm) jvm="${2:?--jvm needs a program}"; shift 2 ;;
    --softhsm2) softhsm2="${2:?--softhsm2 needs a path}"; shift 2 ;;
    --trace) trace=stderr; shift ;;
    --trace-file) trace="$(cd "$(dirname "${2:?--trace-file needs a file}")" && pwd)/$(basename "$2")"; shift 2 ;;
    --build-dir) build="$(mkdir -p "${2:?--build-dir needs a folder}" && cd "$2" && pwd)"; shift 2 ;;
    -h | --help) awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; exit 0 ;;
    *) echo "demo: unknown argument $1 (see --help)" >&2; exit 2 ;;
  esac
done
if [ -n "$module" ] && [ -z "$pin" ]; then
  echo "demo: --module needs --pin" >&2
  exit 2
fi

bash "$root/scripts/setup.sh" demo

# Quiet unless something goes wrong.
quietly() {
  local out
  if ! out="$("$@" 2>&1)"; then
    printf '%s\n' "$out" >&2
    echo "demo: failed: $*" >&2
    exit 1
  fi
}
scratch="$(mktemp -d "${TMPDIR:-/tmp}/orvjni-demo.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT

if [ "$installed" -eq 1 ]; then
  # System.loadLibrary("orvjni64") searches java.library.path, which on
  # Debian holds the multiarch jni folder the package installs into.
  library_option=()
  classes="$scratch/classes"
else
  # Tests off: the demo needs neither GoogleTest nor JUnit.
  if [ ! -f "$build/CMakeCache.txt" ]; then
    quietly cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DORVJNI_TESTS=OFF
  fi
  quietly cmake --build "$build" -j2 --target orvjni
  # liborvjni64.so in the host tree, liborvjni.so in the MIPS32 one.
  library=""
  for candidate in "$build"/bin/liborvjni64.so "$build"/bin/liborvjni.so; do
    [ -f "$candidate" ] && { library=$candidate; break; }
  done
  [ -n "$library" ] || { echo "demo: no bridge library in $build/bin" >&2; exit 1; }
  library_option=(-Dorvjni.library="$library")
  classes="$build/demo/classes"
fi

# The demo with the bridge's Java stand-in and the Cryptoki layout helper.
rm -rf "$classes"
mkdir -p "$classes"
javac -encoding UTF-8 --release 17 -Xlint:all -Werror -d "$classes" \
  "$root/tests/java/src/Orvalith/Base/JNI.java" \
  "$root/tests/java/src/Orvalith/Test/Ck.java" \
  "$root/demo/TokenDemo.java"

if [ -z "$module" ]; then
  # A token of our own: never the system's token folder.
  module=$softhsm2
  pin=246813579
  mkdir "$scratch/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$scratch/tokens" \
    >"$scratch/softhsm2.conf"
  export SOFTHSM2_CONF="$scratch/softhsm2.conf"
  quietly softhsm2-util --init-token --free --label "orvjni demo" --so-pin 1357924680 --pin "$pin"
fi

log="$scratch/demo.log"
set +e
# ORVJNI_JVM_ENV: NAME=VALUE words for the JVM alone (the test suite sets
# the sanitizer runtimes to preload when it runs the demo on that build).
# shellcheck disable=SC2086
env ${ORVJNI_JVM_ENV:-} ${trace:+ORVJNI_TRACE="$trace"} "$jvm" -Xcheck:jni ${library_option[@]+"${library_option[@]}"} -cp "$classes" Orvalith.Demo.TokenDemo \
  --module "$module" --pin "$pin" ${demo_args[@]+"${demo_args[@]}"} 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e

if grep -E -q 'WARNING in native method|FATAL ERROR in native method|WARNING: JNI local refs' "$log"; then
  echo "demo: -Xcheck:jni reported a problem" >&2
  [ "$status" -ne 0 ] || status=1
fi
if grep -E -q 'ERROR: AddressSanitizer|runtime error:|SUMMARY: UndefinedBehaviorSanitizer' "$log"; then
  echo "demo: a sanitizer reported a fault" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
