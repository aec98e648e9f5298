#!/usr/bin/env bash
# Installs, as root from Debian 12's packages, what one command needs, and
# does nothing when it is all in place:
#
#   scripts/setup.sh demo      the host library, the JDK and SoftHSM2
#   scripts/setup.sh bench     demo, plus JNA, gnuplot and valgrind
#   scripts/setup.sh test      everything the test suites and the package
#                              check need, the Windows tree's Wine aside
#   scripts/setup.sh windows   Wine for the Windows tree (adds the i386
#                              architecture: only this profile does)
#
# Profiles add up: `setup.sh test windows` is the full test run, and what
# runs with no profile named.
#   --list     print the packages of the named profiles and stop
set -euo pipefail

# The host tree with its tests off: compilers, CMake and Ninja, the JDK for
# jni.h, and the Cryptoki header.  The demo's token is SoftHSM2.
demo_packages=(
  build-essential cmake ninja-build
  openjdk-17-jdk-headless
  libp11-kit-dev
  softhsm2
)
bench_packages=(
  libjna-java
  gnuplot-nox
  valgrind
)
# The full test run, on top of demo and bench: one package a line.
test_packages=(
  pkg-config
  junit5
  libgtest-dev
  googletest
  libnss3
  libnss3-tools
  p11-kit-modules
  opensc-pkcs11
  g++-mipsel-linux-gnu
  qemu-user
  g++-mingw-w64-i686-posix
  lintian
)
windows_packages=(wine wine32:i386)

usage() { awk 'NR > 1 && /^#/ { sub(/^# ?/, ""); print; next } NR > 1 { exit }' "$0"; }

list=0
profiles=()
for arg in "$@"; do
  case "$arg" in
    demo | bench | test | windows) profiles+=("$arg") ;;
    --list) list=1 ;;
    -h | --help) usage; exit 0 ;;
    *) echo "setup: unknown profile $arg" >&2; usage >&2; exit 2 ;;
  esac
done
[ ${#profiles[@]} -gt 0 ] || profiles=(test windows)

wanted=()
windows=0
for profile in "${profiles[@]}"; do
  case "$profile" in
    demo) wanted+=("${demo_packages[@]}") ;;
    bench) wanted+=("${demo_packages[@]}" "${bench_packages[@]}") ;;
    test) wanted+=("${demo_packages[@]}" "${bench_packages[@]}" "${test_packages[@]}") ;;
    windows) windows=1 ;;
  esac
done
# Each package once, in the order first named.
mapfile -t wanted < <(printf '%s\n' ${wanted[@]+"${wanted[@]}"} | awk 'NF && !seen[$0]++')

if [ "$list" -eq 1 ]; then
  [ ${#wanted[@]} -eq 0 ] || printf '%s\n' "${wanted[@]}"
  [ "$windows" -eq 0 ] || printf '%s\n' "${windows_packages[@]}"
  exit 0
fi

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

need=($(missing ${wanted[@]+"${wanted[@]}"}))
need_windows=()
[ "$windows" -eq 0 ] || need_windows=($(missing "${windows_packages[@]}"))
if [ ${#need[@]} -eq 0 ] && [ ${#need_windows[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${need[*]} ${need_windows[*]}); run as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
if [ ${#need_windows[@]} -gt 0 ] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  # Wine's 32-bit half comes from the i386 architecture.
  dpkg --add-architecture i386
fi
apt-get update -qq
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
if [ ${#need_windows[@]} -gt 0 ]; then
  # When the mirror's i386 security index lags behind amd64, the plain
  # install refuses with "generated breaks"; pinning the release helps.
  apt-get install -y -qq --no-install-recommends "${need_windows[@]}" ||
    apt-get install -y -qq -t bookworm --no-remove --no-install-recommends "${need_windows[@]}"
fi
