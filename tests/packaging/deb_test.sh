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

lib_pkg=kyrhidlib-1.0-0.0.0 dev_pkg=kyrhidlib-dev tools_pkg=kyrhidlib-tools sim_pkg=kyrhidlib-sim
doc_pkg=kyrhidlib-doc py_pkg=python3-kyrhid
all_pkgs="$lib_pkg $dev_pkg $tools_pkg $sim_pkg $doc_pkg $py_pkg"
arch() { case $1 in $doc_pkg|$py_pkg) echo all ;; *) echo amd64 ;; esac; }
deb() { echo "$work/cpack/${1}_${version}_$(arch "$1").deb"; }
for p in $all_pkgs; do
  [ -f "$(deb $p)" ] || fail "no package $(basename "$(deb $p)"): $(ls "$work/cpack")"
done
[ "$(find "$work/cpack" -maxdepth 1 -name '*.deb' | wc -l)" -eq 6 ] || fail "not exactly six packages"

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
for p in $all_pkgs; do expect $p "./usr/share/doc/$p/copyright" "./usr/share/doc/$p/changelog.gz"; done
# The udev rule comes with the library: a program that depends on it alone can open the devices.
expect $lib_pkg "./usr/$libdir/KyrHIDLib-1.0.so.0.0.0" ./usr/lib/udev/rules.d/70-kyrhid.rules
expect $dev_pkg ./usr/include/KyrHIDLib/KyrHIDLib.h ./usr/include/KyrHIDLib/KyrDeviceIds.h \
  "./usr/$libdir/libKyrHIDLib-1.0.so -> KyrHIDLib-1.0.so.0.0.0" \
  "./usr/$libdir/pkgconfig/KyrHIDLib-1.0.pc" "./usr/$libdir/cmake/KyrHIDLib/KyrHIDLibConfig.cmake"
expect $tools_pkg ./usr/bin/kyrhid ./usr/share/man/man1/kyrhid.1.gz
# The touchscreen bridge: daemon, the unit and udev rule that start it, its page.
expect $tools_pkg ./usr/sbin/kyrtouchd "./usr/lib/systemd/system/kyrtouchd@.service" \
  ./usr/lib/udev/rules.d/71-kyrtouchd.rules ./usr/share/man/man8/kyrtouchd.8.gz
expect $sim_pkg ./usr/bin/kyrsim ./usr/share/man/man1/kyrsim.1.gz "./usr/share/doc/$sim_pkg/README.md"
expect $doc_pkg "./usr/share/doc/$doc_pkg/html/index.html" "./usr/share/doc/$doc_pkg/html/KyrHIDLib_8h.html" \
  "./usr/share/doc/$doc_pkg/threads-and-processes.md" "./usr/share/doc/$doc_pkg/examples/list_devices.c" \
  "./usr/share/doc/$doc_pkg/examples/CMakeLists.txt"
# Every module of python/kyrhid, whatever they are now, and its metadata.
py_site=./usr/lib/python3/dist-packages
expect $py_pkg "$py_site/kyrhid/py.typed" "$py_site/kyrhid-$version.dist-info/METADATA" \
  $(cd "$src/python" && find kyrhid -name '*.py' -not -path '*/__pycache__/*' | sed "s|^|$py_site/|")
expect $py_pkg $(cd "$src/python/examples" && find . -type f -not -path '*/__pycache__/*' |
  sed "s|^\./|./usr/share/doc/$py_pkg/examples/|")
if contents $py_pkg | grep -q '__pycache__\|\.pyc$'; then fail "$py_pkg holds compiled files"; fi
# One owner per file, or the packages cannot be installed together.
dups=$(for p in $all_pkgs; do contents $p | sed 's/ -> .*//'; done | sort | uniq -d)
[ -z "$dups" ] || fail "files in more than one package: $dups"
# The library package is what programs need at run time, nothing more.
[ "$(contents $lib_pkg | grep -vc '^./usr/share/doc/')" -eq 2 ] || fail "$lib_pkg holds more than the library and the rule"
if contents $dev_pkg | sed 's/ -> .*//' | grep -q '\.so\.0\.0\.0$'; then fail "$dev_pkg holds the library itself"; fi
# The tools do without the emulator.
if contents $tools_pkg | grep -q kyrsim; then fail "$tools_pkg holds kyrsim"; fi

# ---- control fields ----
field() { dpkg-deb -f "$(deb "$1")" "$2"; }
for p in $all_pkgs; do
  [ "$(field $p Package)" = "$p" ] || fail "$p: Package is '$(field $p Package)'"
  [ "$(field $p Version)" = "$version" ] || fail "$p: Version is '$(field $p Version)'"
  [ "$(field $p Architecture)" = "$(arch $p)" ] || fail "$p: Architecture $(field $p Architecture)"
  [ "$(field $p Priority)" = optional ] || fail "$p: Priority"
  grep -qE '^.+ <[^@ ]+@[^ ]+>$' <<<"$(field $p Maintainer)" || fail "$p: Maintainer '$(field $p Maintainer)'"
  # A one-line synopsis, then an extended description.
  [ "$(field $p Description | wc -l)" -ge 3 ] || fail "$p: Description has no extended part"
done
[ "$(field $lib_pkg Section)" = libs ] || fail "$lib_pkg: Section"
[ "$(field $dev_pkg Section)" = libdevel ] || fail "$dev_pkg: Section"
[ "$(field $tools_pkg Section)" = utils ] || fail "$tools_pkg: Section"
[ "$(field $doc_pkg Section)" = doc ] || fail "$doc_pkg: Section"
[ "$(field $py_pkg Section)" = python ] || fail "$py_pkg: Section"
depends() { field "$1" Depends | tr ',' '\n' | sed 's/^ *//'; }
grep -qx 'libusb-1.0-0 (>= .*)' <<<"$(depends $lib_pkg)" || fail "$lib_pkg does not depend on libusb: $(depends $lib_pkg)"
grep -qxF "$lib_pkg (= $version)" <<<"$(depends $dev_pkg)" || fail "$dev_pkg: $(depends $dev_pkg)"
grep -qx 'libusb-1.0-0-dev' <<<"$(depends $dev_pkg)" || fail "$dev_pkg: no libusb-1.0-0-dev (pkg-config needs it)"
for p in $tools_pkg $sim_pkg; do
  grep -qxF "$lib_pkg (= $version)" <<<"$(depends $p)" || fail "$p: $(depends $p)"
done
# Only the emulator needs umockdev (kyrsim runs umockdev-wrapper).
grep -qx 'umockdev' <<<"$(depends $sim_pkg)" || fail "$sim_pkg: no umockdev: $(depends $sim_pkg)"
for p in $lib_pkg $dev_pkg $tools_pkg $doc_pkg $py_pkg; do
  if grep -q umockdev <<<"$(depends $p)"; then fail "$p depends on umockdev"; fi
done
grep -qxF "$lib_pkg (>= $version)" <<<"$(depends $py_pkg)" || fail "$py_pkg: $(depends $py_pkg)"
grep -qx 'python3:any' <<<"$(depends $py_pkg)" || fail "$py_pkg: no python3: $(depends $py_pkg)"

# ---- control files of the library package ----
dpkg-deb -e "$(deb $lib_pkg)" "$work/control"
grep -qxF "KyrHIDLib-1.0 0.0.0 $lib_pkg (>= $version)" "$work/control/shlibs" || fail "shlibs: $(cat "$work/control/shlibs")"
grep -qx 'activate-noawait ldconfig' "$work/control/triggers" || fail "no ldconfig trigger"

# ---- the unpacked packages work ----
root=$work/root
for p in $all_pkgs; do dpkg-deb -x "$(deb $p)" "$root"; done
# The symbols file lists exactly what the packaged library exports.
(cd "$work" && dpkg-gensymbols -c4 -p$lib_pkg -v"$version" -P"$root" -e"$root/usr/$libdir/KyrHIDLib-1.0.so.0.0.0" \
  -I"$work/control/symbols" -O"$work/symbols.out" >"$work/symbols.diff" 2>&1) ||
  fail "the library's exports differ from packaging/debian/symbols; bring the file in step (a new symbol gets
the version that adds it, as '+' lines below show):
$(cat "$work/symbols.diff")"
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
# The Python package imports from where Debian's python3 looks, and knows its version.
[ "$(KYRHID_LIBRARY="$root/usr/$libdir/KyrHIDLib-1.0.so.0.0.0" PYTHONPATH="$root/usr/lib/python3/dist-packages" python3 -c \
  'import importlib.metadata, kyrhid; print(importlib.metadata.version("kyrhid"))')" = "$version" ] ||
  fail "the unpacked Python package does not import or has not version $version"
# Files the manual pages name under /usr/share/doc ship in some package.
for page in kyrhid kyrsim; do
  for path in $(zcat "$root/usr/share/man/man1/$page.1.gz" | sed 's/\\-/-/g' | grep -o '/usr/share/doc/[^ ,]*'); do
    [ -e "$root$path" ] || fail "$page.1 names $path, which no package holds"
  done
  if zcat "$root/usr/share/man/man1/$page.1.gz" | grep -qi 'source tree'; then fail "$page.1 points into the source tree"; fi
done

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
# Hardening is the package preset's flags (./dev package); other trees build without them.
if ! grep -q '^CMAKE_CXX_FLAGS:STRING=.*_FORTIFY_SOURCE' "$build/CMakeCache.txt"; then
  printf '%s\n' hardening-no-bindnow hardening-no-fortify-functions >>"$suppress"
fi
lintian -I --fail-on error,warning,info --suppress-tags-from-file "$suppress" "$work"/cpack/*.deb 2>/dev/null ||
  fail "lintian (above)"
echo "packages $all_pkgs: contents, metadata, symbols and lintian as expected"
