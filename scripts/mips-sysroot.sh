#!/usr/bin/env bash
# Lays out a Linux MIPS32 (mipsel) system on a tmpfs for running the
# bridge in a real JVM: Debian 12's own mipsel Java runtime (the Zero
# interpreter VM) and software token module, and the user-mode emulator
# that runs them.
#
#   scripts/mips-sysroot.sh            prints the folder (ORVJNI_MIPS_ROOT,
#                                      default /dev/shm/orvjni-mips)
#
# Everything comes from Debian's archive through apt-get, in a private apt
# tree: the host's package state is never changed, nothing is installed,
# no binfmt registration is needed.  The packages are unpacked with
# dpkg-deb -x; no maintainer script runs.  The result is kept: a second
# run with the same package list only prints the folder.
#
# Why a tmpfs: under qemu-user a 32-bit guest's readdir() fails with
# EOVERFLOW on ext4 (64-bit directory cookies), and then the JDK's
# security configuration scan and the token module's token search fail.
#
# Why Debian 11's emulator: qemu 7.2 (Debian 12) stops the Zero VM with
# SIGBUS at its first bytecodes (8-byte FPU loads and stores on 4-byte
# aligned stack slots, which a real MIPS kernel fixes up); qemu 5.2 runs
# them.  Its qemu-mipsel-static is taken out of the .deb, not installed.
set -euo pipefail

root=${ORVJNI_MIPS_ROOT:-/dev/shm/orvjni-mips}
mirror=${ORVJNI_DEBIAN_MIRROR:-http://deb.debian.org/debian}
security=${ORVJNI_DEBIAN_SECURITY:-http://deb.debian.org/debian-security}
keyring=/usr/share/keyrings/debian-archive-keyring.gpg

# What the guest needs; apt adds their dependencies.  The token modules
# are those that the host's Java suite opens, in their mipsel builds.
guest_packages=(openjdk-17-jre-headless softhsm2 libsofthsm2 libnss3 p11-kit-modules opensc-pkcs11)
emulator_package=qemu-user-static   # from Debian 11, for the host

sysroot=$root/sysroot
stamp=$root/ready
# Build trees share the layout: one of them lays it out, the others wait.
mkdir -p "$(dirname "$root")"
exec 9>"$root.lock"
flock 9
want="guest: ${guest_packages[*]}; emulator: bullseye $emulator_package; layout 1"
if [ -f "$stamp" ] && [ "$(cat "$stamp")" = "$want" ]; then
  echo "$root"
  exit 0
fi

log() { echo "mips-sysroot: $*" >&2; }

# apt_tree DIR ARCH SOURCES: an apt configuration of its own under DIR.
apt_tree() {
  local dir=$1 arch=$2 sources=$3
  mkdir -p "$dir/etc/apt/apt.conf.d" "$dir/etc/apt/preferences.d" "$dir/etc/apt/trusted.gpg.d" \
    "$dir/var/lib/apt/lists/partial" "$dir/var/cache/apt/archives/partial" "$dir/var/lib/dpkg"
  : >"$dir/var/lib/dpkg/status"
  printf '%s\n' "$sources" >"$dir/etc/apt/sources.list"
  cat >"$dir/etc/apt/apt.conf" <<CONF
Dir "$dir/";
Dir::State::status "$dir/var/lib/dpkg/status";
APT::Architecture "$arch";
APT::Architectures { "$arch"; };
APT::Install-Recommends "false";
APT::Sandbox::User "root";
Acquire::Languages "none";
CONF
}

# in_tree DIR apt-get ARGS...: apt-get with that tree's configuration only.
in_tree() {
  local dir=$1; shift
  APT_CONFIG="$dir/etc/apt/apt.conf" "$@"
}

# unpack DEB...: into the sysroot, as dpkg would lay the files out.
unpack() {
  local deb
  for deb in "$@"; do
    dpkg-deb -x "$deb" "$sysroot"
  done
}

# Absolute symbolic links (lib/jvm.cfg -> /etc/java-17-openjdk/...) would
# point into the host: make each relative to the sysroot.
relative_links() {
  local link target dir rel
  while IFS= read -r -d '' link; do
    target=$(readlink "$link")
    case $target in
      /*)
        dir=$(dirname "${link#"$sysroot"}")
        rel=$(realpath -m --relative-to="$dir" "$target")
        ln -sfn "$rel" "$link"
        ;;
    esac
  done < <(find "$sysroot" -type l -print0)
}

mkdir -p "$root"
case $(stat -f -c %T "$root") in
  tmpfs | ramfs) ;;
  *) log "warning: $root is not on a tmpfs; a 32-bit guest may fail to list its folders" ;;
esac
rm -rf "$sysroot" "$stamp" "$root/bin"

guest_apt=$root/apt-mipsel
log "fetching ${guest_packages[*]} (mipsel) and their dependencies"
apt_tree "$guest_apt" mipsel "deb [signed-by=$keyring] $mirror bookworm main
deb [signed-by=$keyring] $mirror bookworm-updates main
deb [signed-by=$keyring] $security bookworm-security main"
in_tree "$guest_apt" apt-get -qq update
# Only this list's packages get unpacked: none left from an earlier list.
rm -f "$guest_apt"/var/cache/apt/archives/*.deb
in_tree "$guest_apt" apt-get -qq -y --download-only install "${guest_packages[@]}" >/dev/null

host_apt=$root/apt-bullseye
log "fetching Debian 11's $emulator_package (amd64)"
apt_tree "$host_apt" amd64 "deb [signed-by=$keyring] $mirror bullseye main
deb [signed-by=$keyring] $security bullseye-security main"
in_tree "$host_apt" apt-get -qq update
rm -f "$host_apt"/var/cache/apt/archives/*.deb
(cd "$host_apt/var/cache/apt/archives" && in_tree "$host_apt" apt-get -qq download "$emulator_package")

log "unpacking"
mkdir -p "$sysroot"
unpack "$guest_apt"/var/cache/apt/archives/*.deb
relative_links

mkdir -p "$root/bin" "$root/emulator"
dpkg-deb -x "$host_apt"/var/cache/apt/archives/${emulator_package}_*.deb "$root/emulator"
cp "$root/emulator/usr/bin/qemu-mipsel-static" "$root/bin/qemu-mipsel"
rm -rf "$root/emulator"

jdk=$(cd "$sysroot" && echo usr/lib/jvm/java-17-openjdk-mipsel)
[ -x "$sysroot/$jdk/bin/java" ] || { log "no $jdk/bin/java in the packages"; exit 1; }

# bin/java: the guest's JVM started through the emulator, usable as a
# host program (a child JVM is started the same way, through it).
cat >"$root/bin/java" <<JAVA
#!/bin/sh
exec "$root/bin/qemu-mipsel" -L "$sysroot" "$sysroot/$jdk/bin/java" "\$@"
JAVA
chmod +x "$root/bin/java"

count=$(find "$guest_apt/var/cache/apt/archives" -name '*.deb' | wc -l)
# The tmpfs is memory: the package lists and archives go once unpacked.
rm -rf "$guest_apt" "$host_apt"
echo "$want" >"$stamp"
log "ready: $count packages in $sysroot"
echo "$root"
