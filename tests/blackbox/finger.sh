#!/bin/sh
# A fingerprint reader for pam_exec: only for accounts the test gave a reader in /tmp. It asks
# for a finger, in words JSON must escape (not a word when the test put a "silent" there), then
# succeeds when the test puts a "finger" there and fails on a "fail".
reader=/tmp/tarn-finger-$PAM_USER
[ -d "$reader" ] || exit 1
[ -e "$reader/silent" ] || printf '%s\n' 'Place your "finger" on the \ reader	(tab)'
for _ in $(seq 300); do
  [ -e "$reader/finger" ] && exit 0
  [ -e "$reader/fail" ] && exit 1
  sleep 0.1
done
exit 1
