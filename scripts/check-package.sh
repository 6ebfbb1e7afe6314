#!/bin/bash
# Builds the Debian package from a configured, built tree and holds it to Debian's own checks:
# lintian at error and warning level, hardening-check on the binary, then what lintian cannot know:
# Depends covers every library the binary links or loads, and the PAM service is a conffile.
# Usage: scripts/check-package.sh [build dir]   (leaves tarn-wemb_VERSION_ARCH.deb in it)
set -euo pipefail
source=$(cd "$(dirname "$0")/.." && pwd)
build=$(realpath "${1:-$source/build}")
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
fail() {
  echo "package: $*"
  exit 1
}

rm -f "$build"/tarn-wemb_*.deb
(cd "$build" && cpack -G DEB >/dev/null)
deb=$(echo "$build"/tarn-wemb_*.deb)
[ -f "$deb" ] || fail "cpack made no package in $build"

lintian --allow-root --fail-on error,warning "$deb" || fail "lintian refuses $(basename "$deb")"
dpkg-deb -x "$deb" "$work/root"
binary=$work/root/usr/bin/tarn-wemb
# Debian 12's own crt files carry no IBT/SHSTK note, so no binary linked there (Debian's own neither) has one.
hardening-check --quiet --nocfprotection "$binary" || fail "hardening-check refuses usr/bin/tarn-wemb"

mkdir "$work/debian"
printf 'Source: tarn-wemb\n\nPackage: tarn-wemb\nArchitecture: any\n' >"$work/debian/control"
linked=$(cd "$work" && dpkg-shlibdeps -O "$binary" 2>/dev/null | sed -n 's/^shlibs:Depends=//p')
[ -n "$linked" ] || fail "dpkg-shlibdeps found no libraries"
depends=$(dpkg-deb --field "$deb" Depends)
# The TPM device driver and libpam are opened by name at run time; pinentry is run.
for name in $(tr ',|' '\n' <<<"$linked" | sed 's/(.*//') libtss2-tcti-device0 libpam0g pinentry-curses; do
  grep -qE "(^|[,|] *)$name( |,|$)" <<<"$depends" || fail "Depends lacks $name: $depends"
done

[ "$(dpkg-deb --info "$deb" conffiles)" = /etc/pam.d/tarn-wemb ] || fail "the PAM service is not the one conffile"
cmp -s "$work/root/etc/pam.d/tarn-wemb" "$source/pam/tarn-wemb" || fail "the PAM service differs from pam/tarn-wemb"
reply=$("$binary" </dev/null) || true
[[ $reply == '{"error":"usage: '* ]] || fail "the packaged binary answered: $reply"
echo "package: $(basename "$deb") passes lintian, hardening-check, Depends, conffiles"
