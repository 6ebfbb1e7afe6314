#!/bin/sh
# Installs tarn-wemb's PAM service file. Usage: install-pam.sh [root], root defaults to /.
set -eu
here=$(cd "$(dirname "$0")/.." && pwd)
root=${1:-/}
install -d -m 0755 "$root/etc/pam.d"
install -m 0644 "$here/pam/tarn-wemb" "$root/etc/pam.d/tarn-wemb"
