#!/bin/sh
# Installs the Debian 12 packages tarn-wemb needs to build, test and run (as root).
set -eu
packages="
  build-essential cmake pkg-config clang clang-format libclang-rt-14-dev
  libssl-dev rapidjson-dev libutf8proc-dev libtss2-dev libpam0g-dev
  libgtest-dev
  swtpm swtpm-tools tpm2-tools tpm2-abrmd libtss2-tcti-tabrmd0 dbus-daemon
  python3 python3-cryptography
  pinentry-curses passwd procps util-linux adduser
  systemd systemd-container debootstrap
  dpkg-dev binutils groff-base man-db gzip nodejs lintian devscripts
"
if [ "$(id -u)" -ne 0 ]; then
  echo "install-deps: run as root (apt-get)" >&2
  exit 1
fi
missing=""
for p in $packages; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "ok installed" || missing="$missing $p"
done
if [ -n "$missing" ]; then
  export DEBIAN_FRONTEND=noninteractive
  apt-get update -qq
  # shellcheck disable=SC2086
  apt-get install -y -qq --no-install-recommends $missing >/dev/null
fi
here=$(dirname "$0")
install -m 0644 "$here/../pam/tarn-wemb" /etc/pam.d/tarn-wemb
