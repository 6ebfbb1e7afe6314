#!/bin/bash
# Checks what "cmake --install" lays down and the Debian package cpack builds from it.
# Usage: tests/ship/install_test.sh [existing build dir]   (without one, configures and builds a fresh one)
set -uo pipefail
source_dir=$(cd "$(dirname "$0")/../.." && pwd)
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

. "$(dirname "$0")/check.sh"

if [ $# -ge 1 ]; then
  build=$(realpath "$1")
else
  build=$work/build
  cmake -S "$source_dir" -B "$build" -DTARN_TESTS=OFF >"$work/configure.log" 2>&1 &&
    cmake --build "$build" -j2 >"$work/build.log" 2>&1
  check "configure and build ($work/build.log)" [ -x "$build/tarn-wemb" ]
  [ "$failed" -eq 0 ] || { tail -20 "$work/build.log"; finish; }
fi
version=$(sed -n 's/^CMAKE_PROJECT_VERSION:STATIC=//p' "$build/CMakeCache.txt")
check "project version known" [ -n "$version" ]

# --- cmake --install into a staging root.
root=$work/root
DESTDIR=$root cmake --install "$build" --prefix /usr >"$work/install.log" 2>&1
check "cmake --install succeeds" [ $? -eq 0 ]

quoted() { sed 's/[][\\.*^$+?(){}|]/\\&/g' <<<"$1"; } # literal text as an extended regex
listed() { grep -qE "(^|, )$(quoted "$1")( \\(|,|$)" <<<"$depends"; } # a whole entry of Depends

mode_of() { stat -c %a "$1" 2>/dev/null; }
# path under the staging root | mode
while IFS='|' read -r path mode; do
  check "$path is there with mode $mode (got $(mode_of "$root/$path"))" [ "$(mode_of "$root/$path")" = "$mode" ]
done <<'TABLE'
usr/bin/tarn-wemb|755
etc/pam.d/tarn-wemb|644
usr/share/man/man1/tarn-wemb.1.gz|644
usr/share/doc/tarn-wemb/README.md|644
TABLE
shopt -s nullglob
for doc in "$source_dir"/docs/*.md; do
  name=$(basename "$doc")
  check "docs/$name installed unchanged" cmp -s "$doc" "$root/usr/share/doc/tarn-wemb/$name"
done
check "PAM service installed unchanged" cmp -s "$source_dir/pam/tarn-wemb" "$root/etc/pam.d/tarn-wemb"
check "nothing installed outside /usr and /etc/pam.d" \
  [ -z "$(cd "$root" && find . -type f ! -path './usr/*' ! -path './etc/pam.d/*')" ]

man=$root/usr/share/man/man1/tarn-wemb.1.gz
check "manual page is the source page, gzipped" cmp -s <(zcat "$man" 2>/dev/null) "$source_dir/docs/tarn-wemb.1"
check "manual page renders without warnings" \
  [ -z "$(zcat "$man" | groff -man -Tutf8 -ww -z 2>&1)" ]
rendered=$(MANWIDTH=80 man -l "$man" 2>/dev/null)
# every section a caller looks for, and every error text the binary can give
while read -r expected; do
  check "manual page mentions '$expected'" grep -qF -- "$expected" <<<"$rendered"
done <<'TABLE'
NAME
SYNOPSIS
COMMANDS
OPTIONS
ERRORS
EXIT STATUS
ENVIRONMENT
FILES
SECURITY
EXAMPLES
usage: tarn-wemb status|seal|open|verify [--dir path]
TARN_WEMB_TCTI
GPG_TTY
WAYLAND_DISPLAY
klucz.se
/etc/pam.d/tarn-wemb
no-key
sealed-format
no-secure-enclave
access: description
no-authentication: description
cancelled
denied
{"error":"output"}
TABLE

# --- the Debian package.
arch=$(dpkg --print-architecture)
deb=$work/deb/tarn-wemb_${version}_${arch}.deb
(cd "$build" && cpack -G DEB -B "$work/deb" >"$work/cpack.log" 2>&1)
check "cpack builds $(basename "$deb")" [ -f "$deb" ]
[ -f "$deb" ] || { tail -20 "$work/cpack.log"; finish; }

info=$(dpkg-deb --info "$deb")
depends=$(dpkg-deb --field "$deb" Depends)
check "package name" [ "$(dpkg-deb --field "$deb" Package)" = tarn-wemb ]
check "package version" [ "$(dpkg-deb --field "$deb" Version)" = "$version" ]
check "maintainer set" [ -n "$(dpkg-deb --field "$deb" Maintainer)" ]
check "description has a summary and a body" [ "$(dpkg-deb --field "$deb" Description | wc -l)" -ge 2 ]
# each runtime dependency as a whole name in the comma-separated Depends list
while read -r package; do
  check "Depends names $package" listed "$package"
done <<'TABLE'
libc6
libssl3
libtss2-esys-3.0.2-0
libtss2-mu0
libtss2-rc0
libtss2-tctildr0
libtss2-tcti-device0
libutf8proc2
libpam0g
pinentry-curses | pinentry
TABLE
# what the linker actually asked for must be covered by the hand-written list
mkdir -p "$work/shl/debian"
printf 'Source: tarn-wemb\n\nPackage: tarn-wemb\nArchitecture: any\n' >"$work/shl/debian/control"
needed=$(cd "$work/shl" && dpkg-shlibdeps -O "$root/usr/bin/tarn-wemb" 2>/dev/null |
  sed -n 's/^shlibs:Depends=//p' | tr ',' '\n' | sed 's/ *(.*//; s/^ *//')
check "dpkg-shlibdeps has an answer" [ -n "$needed" ]
for package in $needed; do
  check "Depends covers linked $package" listed "$package"
done

check "control lists conffiles" grep -qE '^ +[0-9]+ bytes, +[0-9]+ lines? +conffiles' <<<"$info"
check "conffiles is exactly /etc/pam.d/tarn-wemb" \
  [ "$(dpkg-deb --info "$deb" conffiles 2>/dev/null)" = /etc/pam.d/tarn-wemb ]

contents=$(dpkg-deb --contents "$deb")
# permissions and owner | path in the package
while IFS='|' read -r perms path; do
  check "package holds $path as $perms" grep -qE "^$perms root/root +[0-9]+ .* \\./$path\$" <<<"$contents"
done <<'TABLE'
-rwxr-xr-x|usr/bin/tarn-wemb
-rw-r--r--|etc/pam.d/tarn-wemb
-rw-r--r--|usr/share/man/man1/tarn-wemb.1.gz
-rw-r--r--|usr/share/doc/tarn-wemb/README.md
TABLE
check "package and cmake --install lay down the same files" \
  cmp -s <(cd "$root" && find . -type f | sort) <(sed -n 's/^-[^ ]* [^ ]* *[0-9]* [^ ]* [^ ]* \(\.\/.*\)$/\1/p' <<<"$contents" | sort)
dpkg-deb -x "$deb" "$work/unpacked"
check "packaged binary is stripped" [ -z "$(readelf -S "$work/unpacked/usr/bin/tarn-wemb" | grep -F .debug_info)" ]
check "packaged binary runs and answers in JSON" \
  grep -qE '^\{"error":"usage: ' <(cd "$work" && "$work/unpacked/usr/bin/tarn-wemb" </dev/null 2>&1)

finish
