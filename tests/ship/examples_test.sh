#!/bin/bash
# Runs examples/call.py and examples/call.js as a caller would, against the real binary and the
# custody service in front of the TPM in TARN_WEMB_TCTI, as a throwaway account whose password the
# stand-in pinentry types.
# Usage (as root): tests/ship/examples_test.sh BUILD_DIR/tarn-wemb
set -euo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
binary=$(realpath "$1")
account=tarn-ex-$$ password=ex-$RANDOM$RANDOM work=$(mktemp -d -p /run tarn-ex.XXXXXX)
. "$here/scripts/custody.sh"
trap 'custody_stop; userdel "$account" 2>/dev/null; rm -rf "$work"' EXIT
custody_start "$work/custody" "$(dirname "$binary")"
install -D -m 0755 "$here/tests/blackbox/pinentry" "$work/bin/pinentry"
printf '{"TARN_TEST_PINENTRY_ANSWERS": "pin:%s"}\n' "$password" >"$work/script"
useradd --no-create-home --home-dir "$work" --shell /usr/sbin/nologin "$account"
echo "$account:$password" | chpasswd
chmod 755 "$work"
install -d -o "$account" -m 0700 "$work/py store" "$work/js store" # a space: --dir stays one argument
# The leak checker cannot stop a setgid process to look: with it, the build's copy in the group.
group=(--regid "$account" --init-groups)
if [ -n "${ASAN_OPTIONS:-}" ]; then TARN_WEMB_COMMAND=$binary group=(--regid tarn-wemb --clear-groups); fi
as_account() { # the setgid copy reaches the service only at the installed path
  "$here/scripts/at-socket" "$TARN_WEMB_SOCKET" \
    setpriv --reuid "$account" "${group[@]}" env -i HOME="$work" GPG_TTY=/dev/null \
    PATH="$work/bin:/usr/bin:/bin" \
    TARN_WEMB="$TARN_WEMB_COMMAND" TARN_WEMB_SOCKET="$TARN_WEMB_SOCKET" \
    ${ASAN_OPTIONS:+ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+UBSAN_OPTIONS="$UBSAN_OPTIONS"} "$@"
}
py=$(as_account python3 "$here/examples/call.py" "$work/py store")
js=$(as_account node "$here/examples/call.js" "$work/js store")
[ "$py" = '["first secret", "za\u017c\u00f3\u0142\u0107 g\u0119\u015bl\u0105 ja\u017a\u0144 \ud83d\udd10"]' ] ||
  { echo "call.py printed: $py"; exit 1; }
[ "$js" = '["first secret","zażółć gęślą jaźń 🔐"]' ] || { echo "call.js printed: $js"; exit 1; }
