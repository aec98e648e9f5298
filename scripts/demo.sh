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
#
# Builds the library first when it is missing or out of date, and runs the
# JVM under -Xcheck:jni: a checker warning fails the demo like a failed step.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
build="$root/build-demo"
installed=0
module=""
pin=""
demo_args=()

while [ $# -gt 0 ]; do
  case "$1" in
    --module) module="${2:?--module needs a path}"; shift 2 ;;
    --pin) pin="${2:?--pin needs a value}"; shift 2 ;;
    --slot | --key) demo_args+=("$1" "${2:?$1 needs a value}"); shift 2 ;;
    --installed) installed=1; shift ;;
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
  library_option=(-Dorvjni.library="$build/bin/liborvjni64.so")
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
  module=/usr/lib/softhsm/libsofthsm2.so
  pin=246813579
  mkdir "$scratch/tokens"
  printf 'directories.tokendir = %s\nobjectstore.backend = file\nlog.level = ERROR\n' "$scratch/tokens" \
    >"$scratch/softhsm2.conf"
  export SOFTHSM2_CONF="$scratch/softhsm2.conf"
  quietly softhsm2-util --init-token --free --label "orvjni demo" --so-pin 1357924680 --pin "$pin"
fi

log="$scratch/demo.log"
set +e
java -Xcheck:jni ${library_option[@]+"${library_option[@]}"} -cp "$classes" Orvalith.Demo.TokenDemo \
  --module "$module" --pin "$pin" ${demo_args[@]+"${demo_args[@]}"} 2>&1 | tee "$log"
status=${PIPESTATUS[0]}
set -e

if grep -E -q 'WARNING in native method|FATAL ERROR in native method|WARNING: JNI local refs' "$log"; then
  echo "demo: -Xcheck:jni reported a problem" >&2
  [ "$status" -ne 0 ] || status=1
fi
exit "$status"
