#!/bin/bash
# Builds tarn-wemb, starts a private software TPM, and shows "status", "seal" and "open"
# with each request and reply. Everything it starts it stops again.
set -euo pipefail
cd "$(dirname "$0")/.."
scripts/install-deps.sh
cmake -S . -B build -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null
cmake --build build -j "$(nproc)" >/dev/null

work=$(mktemp -d)
chmod 755 "$work"
swtpm_pid=""
account=""
cleanup() {
  [ -n "$swtpm_pid" ] && kill "$swtpm_pid" 2>/dev/null && wait "$swtpm_pid" 2>/dev/null
  [ -n "$account" ] && userdel "$account" 2>/dev/null && echo "(removed the demo account $account)"
  rm -rf "$work"
}
trap cleanup EXIT

free_port() {
  python3 - <<'PY'
import random, socket
while True:
    p = random.randint(20000, 60000)
    try:
        for q in (p, p + 1):
            s = socket.socket(); s.bind(("127.0.0.1", q)); s.close()
        print(p); break
    except OSError:
        pass
PY
}
port=$(free_port)
mkdir -p "$work/tpm"
swtpm socket --tpm2 --server type=tcp,port="$port" --ctrl type=tcp,port=$((port + 1)) \
  --flags startup-clear,not-need-init --tpmstate dir="$work/tpm" >/dev/null 2>&1 &
swtpm_pid=$!
for _ in $(seq 50); do (exec 3<>/dev/tcp/127.0.0.1/"$port") 2>/dev/null && break; sleep 0.1; done
export TARN_WEMB_TCTI="swtpm:host=127.0.0.1,port=$port"
echo "private software TPM on 127.0.0.1:$port (TARN_WEMB_TCTI=$TARN_WEMB_TCTI)"

# "open" asks for the account password through pinentry. The demo makes a throwaway account
# and answers the prompt with the tests' stand-in pinentry, which prints nothing.
account="tarn-demo-$$"
password="demo-$(od -An -N4 -tx4 /dev/urandom | tr -d ' ')"
useradd --no-create-home --home-dir "$work" --shell /usr/sbin/nologin "$account"
echo "$account:$password" | chpasswd
echo "(created the demo account $account with password $password; removed at the end)"
store="$work/store"
install -d -o "$account" -m 0700 "$store"

ask() {
  local input=$1
  shift
  printf '\n$ tarn-wemb %s\n> %s\n' "$*" "$input"
  printf '%s' "$input" | setpriv --reuid "$account" --regid "$account" --init-groups \
    env PATH="$PWD/build/tests/pinentry-bin:/usr/bin:/bin" HOME="$work" \
    TARN_TEST_PINENTRY_MODE=password TARN_TEST_PINENTRY_PASSWORD="$password" \
    GPG_TTY=/dev/null TARN_WEMB_TCTI="$TARN_WEMB_TCTI" \
    build/tarn-wemb "$@" | tee "$work/reply"
}

ask '' status --dir "$store"
ask '{"items":["Dzień dobry","p@ssw0rd","🔐 sealed"]}' seal --dir "$store"
sealed=$(python3 -c 'import json,sys; print(json.dumps(json.load(open(sys.argv[1]))["sealed"]))' "$work/reply")
ask "{\"items\":$sealed,\"reason\":\"Show the demo texts\"}" open --dir "$store"
ask '' status --dir "$store"
