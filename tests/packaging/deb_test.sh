#!/usr/bin/env bash
# Builds the Debian packages from a build tree with CPack and judges them as a
# user's dpkg and the archive's checks would: what each package holds (every
# installed file in exactly one), its control fields and control files, that
# the unpacked packages work (tools run, the C example builds), and lintian.
# Usage: deb_test.sh <build dir> <source dir> <libdir relative to the prefix> <version>
set -euo pipefail
build=$1 src=$2 libdir=$3 version=$4
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() { echo "deb_test: $*" >&2; exit 1; }

(cd "$build" && cpack --config CPackConfig.cmake -G DEB -B "$work/cpack" >"$work/cpack.log" 2>&1) ||
  { cat "$work/cpack.log" >&2; fail "cpack failed"; }

lib_pkg=kyrhidlib-1.0-0.0.0 dev_pkg=kyrhidlib-dev tools_pkg=kyrhidlib-tools
deb() { echo "$work/cpack/${1}_${version}_amd64.deb"; }
for p in $lib_pkg $dev_pkg $tools_pkg; do
  [ -f "$(deb $p)" ] || fail "no package ${p}_${version}_amd64.deb: $(ls "$work/cpack")"
done
[ "$(find "$work/cpack" -maxdepth 1 -name '*.deb' | wc -l)" -eq 3 ] || fail "not exactly three packages"

# ---- contents ----
# "path" or "path -> target" per entry, directories left out.
contents() { dpkg-deb -c "$(deb "$1")" | awk '$1 !~ /^d/ { $1=$2=$3=$4=$5=""; sub(/^ +/, ""); print }'; }
expect() { # package, then one exact line each
  local p=$1; shift
  local have; have=$(contents "$p")
  for line in "$@"; do
    grep -qxF -- "$line" <<<"$have" || fail "$p lacks '$line'; it holds:
$have"
  done
}
expect $lib_pkg "./usr/$libdir/KyrHIDLib-1.0.so.0.0.0" \
  "./usr/share/doc/$lib_pkg/copyright" "./usr/share/doc/$lib_pkg/changelog.gz"
expect $dev_pkg ./usr/include/KyrHIDLib/KyrHIDLib.h ./usr/include/KyrHIDLib/KyrDeviceIds.h \
  "./usr/$libdir/libKyrHIDLib-1.0.so -> KyrHIDLib-1.0.so.0.0.0" \
  "./usr/$libdir/pkgconfig/KyrHIDLib-1.0.pc" "./usr/$libdir/cmake/KyrHIDLib/KyrHIDLibConfig.cmake" \
  "./usr/share/doc/$dev_pkg/copyright" "./usr/share/doc/$dev_pkg/changelog.gz"
expect $tools_pkg ./usr/bin/kyrhid ./usr/bin/kyrsim ./usr/lib/udev/rules.d/70-kyrhid.rules \
  ./usr/share/man/man1/kyrhid.1.gz ./usr/share/man/man1/kyrsim.1.gz \
  "./usr/share/doc/$tools_pkg/copyright" "./usr/share/doc/$tools_pkg/changelog.gz"
# The touchscreen bridge: daemon, the unit and udev rule that start it, its page.
expect $tools_pkg ./usr/sbin/kyrtouchd "./usr/lib/systemd/system/kyrtouchd@.service" \
  ./usr/lib/udev/rules.d/71-kyrtouchd.rules ./usr/share/man/man8/kyrtouchd.8.gz
# One owner per file, or the packages cannot be installed together.
dups=$(for p in $lib_pkg $dev_pkg $tools_pkg; do contents $p | sed 's/ -> .*//'; done | sort | uniq -d)
[ -z "$dups" ] || fail "files in more than one package: $dups"
# The library package is what programs need at run time, nothing more.
[ "$(contents $lib_pkg | grep -vc '^./usr/share/doc/')" -eq 1 ] || fail "$lib_pkg holds more than the library"
if contents $dev_pkg | sed 's/ -> .*//' | grep -q '\.so\.0\.0\.0$'; then fail "$dev_pkg holds the library itself"; fi

# ---- control fields ----
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
for p in $lib_pkg $dev_pkg $tools_pkg; do
  [ "$(field $p Package)" = "$p" ] || fail "$p: Package is '$(field $p Package)'"
  [ "$(field $p Version)" = "$version" ] || fail "$p: Version is '$(field $p Version)'"
  [ "$(field $p Architecture)" = amd64 ] || fail "$p: Architecture"
  [ "$(field $p Priority)" = optional ] || fail "$p: Priority"
  grep -qE '^.+ <[^@ ]+@[^ ]+>$' <<<"$(field $p Maintainer)" || fail "$p: Maintainer '$(field $p Maintainer)'"
  # A one-line synopsis, then an extended description.
  [ "$(field $p Description | wc -l)" -ge 3 ] || fail "$p: Description has no extended part"
done
[ "$(field $lib_pkg Section)" = libs ] || fail "$lib_pkg: Section"
[ "$(field $dev_pkg Section)" = libdevel ] || fail "$dev_pkg: Section"
[ "$(field $tools_pkg Section)" = utils ] || fail "$tools_pkg: Section"
depends() { field "$1" Depends | tr ',' '\n' | sed 's/^ *//'; }
grep -qx 'libusb-1.0-0 (>= .*)' <<<"$(depends $lib_pkg)" || fail "$lib_pkg does not depend on libusb: $(depends $lib_pkg)"
grep -qxF "$lib_pkg (= $version)" <<<"$(depends $dev_pkg)" || fail "$dev_pkg: $(depends $dev_pkg)"
grep -qx 'libusb-1.0-0-dev' <<<"$(depends $dev_pkg)" || fail "$dev_pkg: no libusb-1.0-0-dev (pkg-config needs it)"
grep -qxF "$lib_pkg (= $version)" <<<"$(depends $tools_pkg)" || fail "$tools_pkg: $(depends $tools_pkg)"
grep -qx 'umockdev' <<<"$(depends $tools_pkg)" || fail "$tools_pkg: no umockdev (kyrsim runs umockdev-wrapper)"

# ---- control files of the library package ----
dpkg-deb -e "$(deb $lib_pkg)" "$work/control"
grep -qxF "KyrHIDLib-1.0 0.0.0 $lib_pkg (>= $version)" "$work/control/shlibs" || fail "shlibs: $(cat "$work/control/shlibs")"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "no ldconfig trigger"

# ---- the unpacked packages work ----
root=$work/root
for p in $lib_pkg $dev_pkg $tools_pkg; do dpkg-deb -x "$(deb $p)" "$root"; done
# The package name and the shlibs entry follow the library's real soname.
soname=$(readelf -d "$root/usr/$libdir/KyrHIDLib-1.0.so.0.0.0" | sed -n 's/.*(SONAME).*\[\(.*\)\]/\1/p')
[ "$soname" = KyrHIDLib-1.0.so.0.0.0 ] || fail "soname '$soname' is not the one the packages are named after"
env -u LD_LIBRARY_PATH "$root/usr/bin/kyrhid" --help | grep -q 'list' || fail "unpacked kyrhid does not run"
"$root/usr/bin/kyrsim" --help | grep -q 'usage: kyrsim' || fail "unpacked kyrsim does not run"
env -u LD_LIBRARY_PATH "$root/usr/sbin/kyrtouchd" --help | grep -q 'sysfs' || fail "unpacked kyrtouchd does not run"
grep -qx 'ExecStart=/.*/sbin/kyrtouchd --sysfs %I' "$root/usr/lib/systemd/system/kyrtouchd@.service" ||
  fail "the unit does not start the installed kyrtouchd"
grep -q 'ENV{SYSTEMD_WANTS}+="kyrtouchd@%k.service"' "$root/usr/lib/udev/rules.d/71-kyrtouchd.rules" ||
  fail "the udev rule does not start the unit"
PKG_CONFIG_PATH="$root/usr/$libdir/pkgconfig" cc -std=c99 -Wall -Wextra -Werror "$src/examples/list_devices.c" \
  $(PKG_CONFIG_PATH="$root/usr/$libdir/pkgconfig" pkg-config --cflags --libs KyrHIDLib-1.0) -o "$work/list_devices" ||
  fail "the C example does not build against the unpacked development package"

# ---- lintian ----
suppress=$work/suppress
grep -v '^#' "$src/packaging/debian/lintian-overrides" >"$suppress"
case $libdir in
  lib/*-linux-gnu) ;;
  # A tree configured for /usr/local puts the .pc in lib/pkgconfig; the packages
  # of ./dev package (prefix /usr) use the multiarch directory, which this tag
  # asks for.
  *) echo pkg-config-unavailable-for-cross-compilation >>"$suppress" ;;
esac
lintian --fail-on error,warning --suppress-tags-from-file "$suppress" "$work"/cpack/*.deb 2>/dev/null ||
  fail "lintian (above)"
echo "packages $lib_pkg, $dev_pkg and $tools_pkg: contents, metadata and lintian as expected"
