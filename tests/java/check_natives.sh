#!/bin/sh
# Compares the JNI names that the Java stand-in declares (javac's headers)
# with what the bridge library exports:
#   check_natives.sh LIBRARY HEADER_DIR
lib="$1"
headers="$2"
tmp="${TMPDIR:-/tmp}/check_natives.$$"
mkdir -p "$tmp" || exit 1
trap 'rm -rf "$tmp"' EXIT

cat "$headers"/Orvalith_Base_JNI*.h | grep -o 'Java_Orvalith_Base_JNI_[A-Za-z0-9_]*' | sort -u >"$tmp/declared"
nm -D --defined-only "$lib" | awk '{print $NF}' | grep '^Java_Orvalith_Base_JNI_' | sort -u >"$tmp/exported"

status=0
missing=$(comm -23 "$tmp/declared" "$tmp/exported")
extra=$(comm -13 "$tmp/declared" "$tmp/exported")
if [ -n "$missing" ]; then
    echo "declared by the Java class but not exported by $lib:"
    echo "$missing" | sed 's/^/  /'
    status=1
fi
if [ -n "$extra" ]; then
    echo "exported by $lib but not declared by the Java class:"
    echo "$extra" | sed 's/^/  /'
    status=1
fi
echo "$(wc -l <"$tmp/declared") natives declared, $(wc -l <"$tmp/exported") exported"
exit $status
