#!/bin/bash
# Runs examples/call.py and examples/call.js against the real binary on a TPM with a throwaway
# account and a scripted pinentry (correct password, wrong password, cancel, a broken key file),
# and once against a stand-in that crashes.
# Usage: tests/ship/examples_test.sh [path/to/tarn-wemb]   (TARN_WEMB_TCTI names the TPM)
set -uo pipefail
here=$(cd "$(dirname "$0")/../.." && pwd)
binary=$(realpath -m "${1:-${TARN_WEMB:-$here/build/tarn-wemb}}")
python=/usr/bin/python3
node=$(command -v node)
texts='["first secret", "zażółć gęślą jaźń 🔐"]'
export PYTHONDONTWRITEBYTECODE=1 # importing call.py must leave nothing behind in examples/

. "$(dirname "$0")/check.sh"
same_json() { "$python" -c 'import json,sys; sys.exit(json.loads(sys.argv[1]) != json.loads(sys.argv[2]))' "$1" "$2" 2>/dev/null; }

work=$(mktemp -d)
chmod 755 "$work"
account=""
cleanup() {
  [ -n "$account" ] && userdel "$account" 2>/dev/null
  rm -rf "$work"
}
trap cleanup EXIT

example() { # lang (py or js), store dir, then a command prefix: output in $work/out and $work/err
  local lang=$1 store=$2 runner=$python
  [ "$lang" = js ] && runner=$node
  "${@:3}" "$runner" "$here/examples/call.$lang" "$store" >"$work/out" 2>"$work/err"
}

# A caller must survive a tarn-wemb that dies without a reply; the real binary never does.
crash=$work/crashing-tarn-wemb
printf '#!/bin/sh\nkill -SEGV $$\n' >"$crash"
chmod 755 "$crash"
for lang in py js; do
  example "$lang" "$work/store" env TARN_WEMB="$crash"
  check "$lang crash: exit status 1" [ $? = 1 ]
  check "$lang crash: says 'gave no reply'" grep -qF "gave no reply" "$work/err"
  check "$lang crash: prints no texts" [ ! -s "$work/out" ]
done

# The excerpts shown to callers must be the code that runs: run() is quoted whole in the docs.
in_docs() { # example file, first line of run(), last line of run()
  "$python" - "$here" "$@" <<'PY'
import pathlib, sys
here, example, first, last = sys.argv[1:]
code = (pathlib.Path(here) / example).read_text()
start = code.index(first)
body = code[start:code.index(last, start) + len(last)]
docs = [pathlib.Path(here) / name for name in ("README.md",)]
sys.exit(not any(d.exists() and body in d.read_text() for d in docs))
PY
}
check "docs quote call.py's run() as it is" in_docs examples/call.py 'def run(' '    return reply'
check "docs quote call.js's run() as it is" in_docs examples/call.js 'function run(' $'  });\n}'

# --- Against the real binary.
real() {
  if [ -z "${TARN_WEMB_TCTI:-}" ]; then
    echo "SKIP real binary: TARN_WEMB_TCTI is not set (for example swtpm:host=127.0.0.1,port=2321)"
    return
  fi
  if [ "$(id -u)" -ne 0 ]; then
    echo "SKIP real binary: needs root to make a throwaway account for the password prompt"
    return
  fi
  if [ ! -x "$binary" ]; then
    echo "FAIL: no binary at $binary"
    failed=$((failed + 1))
    return
  fi
  account="tarn-ex-$$"
  local password
  password="ex-$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n')"
  useradd --no-create-home --home-dir "$work" --shell /usr/sbin/nologin "$account" || return
  echo "$account:$password" | chpasswd

  as_user() { # pinentry behaviour (right, wrong or cancel), command...
    local answer="pin:$password"
    [ "$1" = wrong ] && answer="pin:not-$password"
    [ "$1" = cancel ] && answer=cancel
    shift
    setpriv --reuid "$account" --regid "$account" --init-groups \
      env -i PATH="$(dirname "$binary")/tests/pinentry-bin:/usr/bin:/bin" HOME="$work" \
      GPG_TTY=/dev/null TARN_TEST_PINENTRY_ANSWERS="$answer" \
      TARN_WEMB="$binary" TARN_WEMB_TCTI="$TARN_WEMB_TCTI" "$@"
  }

  # pinentry behaviour | key file before the run | example exit status | text on standard error
  local lang got
  while IFS='|' read -r pin keyfile status expected; do
    for lang in py js; do
      local store="$work/store $lang $pin $keyfile" # a space: --dir must be passed as one argument
      install -d -o "$account" -m 0700 "$store"
      [ "$keyfile" = junk ] && install -o "$account" -m 0600 /dev/null "$store/klucz.se" &&
        head -c 300 /dev/urandom >"$store/klucz.se"
      example "$lang" "$store" as_user "$pin"
      got=$?
      check "$lang real $pin $keyfile: exit status $got ($(head -c 200 "$work/err"))" [ "$got" = "$status" ]
      if [ -z "$expected" ]; then
        check "$lang real $pin: texts" same_json "$(cat "$work/out")" "$texts"
      else
        check "$lang real $pin $keyfile: says '$expected'" grep -qF -- "$expected" "$work/err"
        check "$lang real $pin $keyfile: prints no texts" [ ! -s "$work/out" ]
      fi
      check "$lang real $pin $keyfile: key file in the store" [ -f "$store/klucz.se" ]
    done
  done <<'TABLE'
right|none|0|
wrong|none|1|The password was not accepted
cancel|none|1|You cancelled the password prompt
right|junk|1|tarn-wemb: 
TABLE

  # "status" never reads its input: a large request must not break the caller on a closed pipe.
  check "py status with unread input" as_user right "$python" -c \
    'import sys; sys.path.insert(0, sys.argv[1]); import call; assert call.run("status", {"pad": "x" * 1000000})["secureEnclave"] is True' \
    "$here/examples"
  check "js status with unread input" as_user right "$node" -e \
    'require(process.argv[1]).run("status", {pad: "x".repeat(1e6)}).then((r) => process.exit(r.secureEnclave === true ? 0 : 1), () => process.exit(1))' \
    "$here/examples/call.js"

  # The library function carries the error text: "open" on a store without a key.
  install -d -o "$account" -m 0700 "$work/empty"
  check "py run() raises no-key" as_user right "$python" -c \
    'import sys; sys.path.insert(0, sys.argv[1]); import call
try: call.run("open", {"items": []}, sys.argv[2])
except call.TarnError as e: sys.exit(e.text != "no-key")
sys.exit(1)' "$here/examples" "$work/empty"
  check "js run() rejects with no-key" as_user right "$node" -e \
    'const { run, TarnError } = require(process.argv[1]);
run("open", { items: [] }, process.argv[2]).then(() => process.exit(1),
  (e) => process.exit(e instanceof TarnError && e.text === "no-key" ? 0 : 1))' \
    "$here/examples/call.js" "$work/empty"
}
real

finish
