#!/usr/bin/env bash
# Installs everything the build, the tests and the demo need on Debian 12,
# as root, from Debian's packages.  Does nothing when all is in place.
set -euo pipefail

packages=(
  build-essential cmake ninja-build pkg-config
  openjdk-17-jdk-headless junit5 libjna-java
  libgtest-dev googletest libp11-kit-dev
  softhsm2 libnss3 libnss3-tools p11-kit-modules opensc-pkcs11
  g++-mipsel-linux-gnu qemu-user
  g++-mingw-w64-i686-posix
  gnuplot-nox valgrind
  clang-14 libclang-rt-14-dev  # fuzz targets (libFuzzer, sanitizers)
)
wine_packages=(wine wine32:i386)

missing() {
  local p
  for p in "$@"; do
    dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q 'install ok installed' || echo "$p"
  done
}

need=($(missing "${packages[@]}"))
need_wine=($(missing "${wine_packages[@]}"))
if [ ${#need[@]} -eq 0 ] && [ ${#need_wine[@]} -eq 0 ]; then
  exit 0
fi

if [ "$(id -u)" -ne 0 ]; then
  echo "setup: missing packages (${need[*]} ${need_wine[*]}); run as root to install them" >&2
  exit 1
fi

export DEBIAN_FRONTEND=noninteractive
# Wine's 32-bit half comes from the i386 architecture.
if ! dpkg --print-foreign-architectures | grep -qx i386; then
  dpkg --add-architecture i386
fi
apt-get update -qq
if [ ${#need[@]} -gt 0 ]; then
  apt-get install -y -qq --no-install-recommends "${need[@]}"
fi
if [ ${#need_wine[@]} -gt 0 ]; then
  # When the mirror's i386 security index lags behind amd64, the plain
  # install refuses with "generated breaks"; pinning the release helps.
  apt-get install -y -qq --no-install-recommends "${need_wine[@]}" ||
    apt-get install -y -qq -t bookworm --no-remove --no-install-recommends "${need_wine[@]}"
fi
