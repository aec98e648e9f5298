#!/usr/bin/env bash
# Builds the Debian packages of built trees, checks them with lintian, and
# uses the host packages the way a user of them would.
#
#   scripts/check-packages.sh [HOST_BUILD [CROSS_BUILD...]]
#                                   (default: build/, built beforehand)
#
# Every tree: cpack into TREE/packages, then lintian; an error fails the
# check, warnings and notes are listed.  The host packages are then unpacked
# (dpkg -x) into a scratch root, and that root is laid over /usr with
# overlayfs in a private mount namespace (unshare -m): inside it the files
# sit where the packages install them, and the demo (System.loadLibrary, no
# java.library.path) and the consumer builds (find_package, pkg-config, no
# search paths) run against them.  Nothing is installed on the machine and
# nothing outside the namespace sees the scratch root.  Needs root.
set -euo pipefail

root="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
trees=("$@")
[ ${#trees[@]} -gt 0 ] || trees=("$root/build")

say() { printf 'packages: %s\n' "$*" >&2; }
if [ "$(id -u)" -ne 0 ]; then
  say "needs root, for the private mount namespace"
  exit 1
fi

debs=()
for tree in "${trees[@]}"; do
  tree="$(cd "$tree" && pwd)"
  rm -rf "$tree/packages"
  cpack --config "$tree/CPackConfig.cmake" -B "$tree/packages" >"$tree/packages.log" 2>&1 ||
    { cat "$tree/packages.log" >&2; say "cpack failed in $tree"; exit 1; }
  for deb in "$tree"/packages/*.deb; do
    say "built $(basename "$deb"): Depends: $(dpkg-deb -f "$deb" Depends)"
    debs+=("$deb")
  done
done

say "lintian"
status=0
report="$(lintian --fail-on error --display-info "${debs[@]}" 2>&1)" || status=$?
# Run as root, lintian adds a notice saying so; it is not about the packages.
printf '%s\n' "$report" | grep -v '^running with root privileges' >&2 || true
if [ "$status" -ne 0 ]; then
  say "lintian found errors"
  exit 1
fi

host_arch="$(dpkg --print-architecture)"
host_debs=()
for deb in "${debs[@]}"; do
  [ "$(dpkg-deb -f "$deb" Architecture)" = "$host_arch" ] && host_debs+=("$deb")
done
[ ${#host_debs[@]} -gt 0 ] || { say "no $host_arch packages to use"; exit 1; }

scratch="$(mktemp -d "${TMPDIR:-/tmp}/orvjni-packages.XXXXXX")"
trap 'rm -rf "$scratch"' EXIT
for deb in "${host_debs[@]}"; do
  dpkg -x "$deb" "$scratch/root"
done

# What the dev package names must be there: the check needs them, and a
# missing one would otherwise look like a fault of the package.
for deb in "${host_debs[@]}"; do
  for dep in $(dpkg-deb -f "$deb" Depends | tr ',' '\n' | sed 's/(.*)//; s/[[:space:]]//g' | grep -v '^liborvjni'); do
    dpkg-query -W -f='${Status}' "$dep" 2>/dev/null | grep -q 'install ok installed' ||
      { say "$(basename "$deb") depends on $dep, which is not installed"; exit 1; }
  done
done

say "demo and consumer against the unpacked packages, no path options"
unshare --mount --propagation private -- bash -euo pipefail -c '
  scratch=$1 repo=$2
  mount -t overlay orvjni-packages -o lowerdir="$scratch/root/usr:/usr" /usr
  library="/usr/lib/$(dpkg-architecture -qDEB_HOST_MULTIARCH)/jni/liborvjni64.so"
  cmp -s "$library" "$(find "$scratch/root" -name liborvjni64.so)"
  unset CLASSPATH LD_LIBRARY_PATH PKG_CONFIG_PATH CMAKE_PREFIX_PATH JAVA_TOOL_OPTIONS _JAVA_OPTIONS
  bash "$repo/scripts/demo.sh" --installed >"$scratch/demo.log" 2>&1 ||
    { cat "$scratch/demo.log" >&2; echo "packages: the demo failed" >&2; exit 1; }
  tail -1 "$scratch/demo.log" >&2
  cmake -DAPP_DIR="$repo/tests/consumer/app" -DWORK_DIR="$scratch/consumer" -P "$repo/tests/consumer/run.cmake"
' check-packages "$scratch" "$root"

say "all packages passed"
