#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds the C example against it
# both ways a user would: pkg-config and CMake's find_package. Then runs them.
# Usage: install_test.sh <build dir> <source dir>
set -euo pipefail
build=$1 src=$2
prefix=$(mktemp -d)
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
lib=$(dirname "$(find "$prefix" -name 'KyrHIDLib-1.0.so.0.0.0' | head -n1)")
test -f "$lib/KyrHIDLib-1.0.so.0.0.0"
test -L "$lib/libKyrHIDLib-1.0.so"
test -f "$prefix/lib/udev/rules.d/70-kyrhid.rules"
# kyrsim's manual page points here.
test -f "$prefix/share/doc/kyrhidlib-sim/README.md"

export PKG_CONFIG_PATH="$lib/pkgconfig"
cc -std=c99 -Wall -Wextra -Werror "$src/examples/list_devices.c" $(pkg-config --cflags --libs KyrHIDLib-1.0) \
  -o "$prefix/list_pc"
LD_LIBRARY_PATH="$lib" "$prefix/list_pc" | grep -q 'interface(s)'
readelf -d "$prefix/list_pc" | grep -q 'NEEDED.*\[KyrHIDLib-1.0.so.0.0.0\]'

cmake -S "$src/examples" -B "$prefix/build" -DCMAKE_PREFIX_PATH="$prefix" >/dev/null
cmake --build "$prefix/build" >/dev/null
LD_LIBRARY_PATH="$lib" "$prefix/build/list_devices" | grep -q 'interface(s)'
echo "installed library usable through pkg-config and find_package"

# Installed programs find the installed library by themselves, through a
# RUNPATH relative to their own directory: in the prefix, and again after the
# whole tree has moved elsewhere.
libdir=${lib#"$prefix"/}
readelf -d "$prefix/bin/kyrhid" | grep -F "(RUNPATH)" | grep -qF "[\$ORIGIN/../$libdir]"
moved=$(mktemp -d)
trap 'rm -rf "$prefix" "$moved"' EXIT
cp -a "$prefix/." "$moved/"
for root in "$prefix" "$moved"; do
  found=$(env -u LD_LIBRARY_PATH LD_TRACE_LOADED_OBJECTS=1 "$root/bin/kyrhid" |
    awk '$1 == "KyrHIDLib-1.0.so.0.0.0" { print $3 }')
  [ "$(realpath "$found")" = "$(realpath "$root/$libdir/KyrHIDLib-1.0.so.0.0.0")" ]
  env -u LD_LIBRARY_PATH "$root/bin/kyrhid" --help | grep -q 'list'
done
echo "installed kyrhid runs from its prefix without LD_LIBRARY_PATH"
