#!/bin/bash
# Builds tarn-wemb, starts a private software TPM and the custody service in front of it, and
# shows "status", "seal" and "open" with each request and reply. Everything it starts it stops
# again.
set -euo pipefail
cd "$(dirname "$0")/.."
if [ -z "${TARN_WEMB_TCTI:-}" ]; then
  scripts/install-deps.sh
  # the test runner's software TPM: started for this script, stopped when it ends
  exec tests/blackbox/run.py --with-swtpm "$0" "$@"
fi
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" --target tarn-wemb tarn-wemb-custody >/dev/null

. scripts/custody.sh
# Under /run, root's and closed to others: the command takes only a pinentry no one else could
# have put there.
work=$(mktemp -d -p /run tarn-demo.XXXXXX)
chmod 755 "$work"
account=""
cleanup() {
  custody_stop
  if [ -n "$account" ]; then userdel "$account" 2>/dev/null && echo "(removed the demo account $account)"; fi
  rm -rf "$work"
}
trap cleanup EXIT
echo "the TPM: TARN_WEMB_TCTI=$TARN_WEMB_TCTI"
custody_start "$work/custody" build
echo "custody service: TARN_WEMB_SOCKET=$TARN_WEMB_SOCKET"

# "open" asks for the account password through pinentry, checked by PAM. The demo makes a
# throwaway account. At a terminal the prompt is the real pinentry-curses on this terminal and
# you type the password printed below.
account="tarn-demo-$$"
password="demo-$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')"
useradd --no-create-home --home-dir "$work/home" --shell /usr/sbin/nologin "$account"
echo "$account:$password" | chpasswd
echo "(created the demo account $account with password $password; removed at the end)"
install -d -o "$account" -m 0700 "$work/home"
store="$work/home/store"

# Without a terminal the tests' stand-in pinentry types the password.
install -D -m 0755 tests/blackbox/pinentry "$work/bin/pinentry"
printf '{"TARN_TEST_PINENTRY_ANSWERS": "pin:%s"}\n' "$password" >"$work/script" # it reads its script beside its directory
prompt_env=(PATH="$work/bin:/usr/bin:/bin" DISPLAY=:0)
terminal=""
if [ -t 0 ] && [ -t 1 ] && terminal=$(tty) && [ -x /usr/bin/pinentry-curses ]; then
  # the demo account must be able to draw on this terminal while the demo runs
  terminal_mode=$(stat -c %a "$terminal")
  chmod o+rw "$terminal"
  trap 'chmod "$terminal_mode" "$terminal"; cleanup' EXIT
  ln -sf /usr/bin/pinentry-curses "$work/bin/pinentry"
  prompt_env=(PATH="$work/bin:/usr/bin:/bin" GPG_TTY="$terminal" TERM="${TERM:-xterm}")
  echo "At the prompt, type the demo account's password: $password"
fi

ask() {
  local input=$1
  shift
  printf '\n$ tarn-wemb %s\n> %s\n' "$*" "$input"
  # the setgid command connects only to /run/tarn-wemb/socket: here, in a namespace, the demo's
  printf '%s' "$input" | scripts/at-socket "$TARN_WEMB_SOCKET" \
    setpriv --reuid "$account" --regid "$account" --init-groups \
    env -i "${prompt_env[@]}" HOME="$work/home" "$TARN_WEMB_COMMAND" "$@" | tee "$work/reply"
}

ask '' status --dir "$store"
# pinentry-curses covers the screen: the reason keeps the password in sight on the prompt itself
ask "{\"reason\":\"Confirm it is you. The demo password is $password\"}" verify --dir "$store"
ask '{"items":["Dzień dobry","p@ssw0rd","🔐 sealed"]}' seal --dir "$store"
sealed=$(python3 -c 'import json,sys; print(json.dumps(json.load(open(sys.argv[1]))["sealed"]))' "$work/reply")
ask "{\"items\":$sealed,\"reason\":\"Show the demo texts. The demo password is $password\"}" open --dir "$store"
ask '' status --dir "$store"
