#!/usr/bin/env bash
# Whole-process timings of tarn-wemb against floor programs that do the same work straight on
# tpm2-tss, OpenSSL and PAM, side by side on a private swtpm; prints one table of ratios.
#
#   bench/run.sh            (as root for the "open" row: it needs a throwaway account)
#
# Environment: TARN_BENCH_BUILD (build directory, default build-bench), TARN_BENCH_RUNS (7),
# TARN_BENCH_OPEN_RUNS (3), TARN_BENCH_STATUS_RUNS (31), TARN_BENCH_ITEMS (5000).
set -euo pipefail

ROOT=$(cd "$(dirname "$0")/.." && pwd)
BUILD=${TARN_BENCH_BUILD:-$ROOT/build-bench}
RUNS=${TARN_BENCH_RUNS:-7}
OPEN_RUNS=${TARN_BENCH_OPEN_RUNS:-3}
STATUS_RUNS=${TARN_BENCH_STATUS_RUNS:-31}
ITEMS=${TARN_BENCH_ITEMS:-5000}

WORK=$(mktemp -d /tmp/tarn-bench.XXXXXX)
chmod 755 "$WORK"
SWTPM_PID=
ACCOUNT=

cleanup() {
  if [[ -n $SWTPM_PID ]]; then
    kill "$SWTPM_PID" 2>/dev/null || true
    wait "$SWTPM_PID" 2>/dev/null || true
  fi
  if [[ -n $ACCOUNT ]]; then userdel "$ACCOUNT" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM

say() { printf '%s\n' "$*" >&2; }

# --- build (Release) ---------------------------------------------------------------------------
say "building in $BUILD"
if ! { cmake -S "$ROOT" -B "$BUILD" -DCMAKE_BUILD_TYPE=Release -DTARN_BENCH=ON -DTARN_TESTS=ON &&
  cmake --build "$BUILD" -j2 --target tarn-wemb test-pinentry floor_seal floor_open floor_status \
    measure; } >"$WORK/build.log" 2>&1; then
  cat "$WORK/build.log" >&2
  exit 1
fi
TOOL=$BUILD/tarn-wemb
MEASURE=$BUILD/bench/measure
FLOOR_SEAL=$BUILD/bench/floor_seal
FLOOR_OPEN=$BUILD/bench/floor_open
FLOOR_STATUS=$BUILD/bench/floor_status
PINENTRY_DIR=$BUILD/tests/pinentry-bin

# --- a private swtpm on a free port pair ------------------------------------------------------
free_port() { # $1 = how many consecutive ports must be free
  python3 - "$1" <<'EOF'
import random, socket, sys
count = int(sys.argv[1])
for _ in range(1000):
    port = random.randint(20000, 60000)
    held = []
    try:
        for p in range(port, port + count):
            s = socket.socket(); held.append(s); s.bind(("127.0.0.1", p))
        print(port); break
    except OSError:
        pass
    finally:
        for s in held: s.close()
EOF
}

mkdir "$WORK/tpmstate"
PORT=$(free_port 2)
swtpm socket --tpm2 --server "type=tcp,port=$PORT,bindaddr=127.0.0.1" \
  --ctrl "type=tcp,port=$((PORT + 1)),bindaddr=127.0.0.1" --flags startup-clear,not-need-init \
  --tpmstate "dir=$WORK/tpmstate" </dev/null >/dev/null 2>&1 &
SWTPM_PID=$!
export TARN_WEMB_TCTI="swtpm:host=127.0.0.1,port=$PORT"
for _ in $(seq 100); do
  [[ $("$FLOOR_STATUS") == true ]] && break
  sleep 0.1
done
[[ $("$FLOOR_STATUS") == true ]] || { say "swtpm did not start on port $PORT"; exit 1; }
CLOSED_TCTI="swtpm:host=127.0.0.1,port=$(free_port 2)"

# --- a throwaway account, so that PAM has a password to check ---------------------------------
AS=()
if [[ $(id -u) == 0 ]]; then
  ACCOUNT=tarn-b-$(python3 -c 'import secrets; print(secrets.token_hex(4))')
  PASSWORD=$(python3 -c 'import secrets; print(secrets.token_urlsafe(12))')
  useradd --no-create-home --shell /usr/sbin/nologin --user-group "$ACCOUNT"
  printf '%s:%s\n' "$ACCOUNT" "$PASSWORD" | chpasswd
  mkdir "$WORK/home"
  chown "$ACCOUNT:" "$WORK/home"
  AS=(--user "$ACCOUNT")
else
  say "not root: no account, so no \"open\" row"
  mkdir "$WORK/home"
fi
STORE=$WORK/home/store

# --- inputs ------------------------------------------------------------------------------------
python3 - "$WORK" "$ITEMS" <<'EOF'
import json, random, sys
work, items = sys.argv[1], int(sys.argv[2])
rng = random.Random(1)
letters = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,"
texts = ["".join(rng.choice(letters) for _ in range(100)) for _ in range(items)]
with open(f"{work}/seal-items.json", "w") as f:
    json.dump({"items": texts}, f, separators=(",", ":"))
# The same texts back to back: floor_seal's 100-byte windows of it are exactly the texts.
with open(f"{work}/texts.raw", "w") as f:
    f.write("".join(texts))
# Exactly 8 MiB: 16-byte units "abcdefghij\u00e9" that decode to 12 bytes of text each.
head, tail, unit, size = '{"items":["', '"]}', "abcdefghij\\u00e9", 8 * 1024 * 1024
count = (size - len(head) - len(tail)) // len(unit)
fill = size - len(head) - len(tail) - count * len(unit)
body = head + unit * count + "x" * fill + tail
assert len(body) == size
with open(f"{work}/seal-8m.json", "w") as f:
    f.write(body)
with open(f"{work}/seal-8m.size", "w") as f:
    f.write(str(count * 12 + fill))
with open(f"{work}/seal-none.json", "w") as f:
    f.write('{"items":[]}')
with open(f"{work}/huge-head.json", "w") as f:
    f.write('{"items":["')
EOF
BIG_TEXT=$(cat "$WORK/seal-8m.size")

# One run of one command; appends "wall rss status" to $WORK/<label>.runs, keeps its reply.
once() { # label input pad -- command...
  local label=$1 input=$2 pad=$3
  shift 4
  local -a padding=()
  [[ $pad != - ]] && padding=(--pad "$pad")
  "$MEASURE" --input "$input" "${padding[@]}" --output "$WORK/$label.reply" "${AS[@]}" -- "$@" |
    sed 's/[a-z_]*=//g' >>"$WORK/$label.runs"
}

# Tool and floor alternately, the order swapped every run, so drift hits both alike.
pair() { # runs label tool-input floor-input -- tool command... -- floor command...
  local runs=$1 label=$2 input=$3 floorInput=$4
  shift 5
  local -a tool=() floor=()
  while [[ $1 != -- ]]; do tool+=("$1"); shift; done
  shift
  floor=("$@")
  say "row $label: $runs runs"
  for ((r = 0; r < runs; r++)); do
    if ((r % 2 == 0)); then
      once "$label.tool" "$input" - -- "${tool[@]}"
      once "$label.floor" "$floorInput" - -- "${floor[@]}"
    else
      once "$label.floor" "$floorInput" - -- "${floor[@]}"
      once "$label.tool" "$input" - -- "${tool[@]}"
    fi
  done
}

# The key, made by the tool as its first "seal" does (it comes before the request is read).
"$MEASURE" "${AS[@]}" -- "$TOOL" seal --dir "$STORE" >/dev/null
[[ -s $STORE/klucz.se ]] || { say "the tool made no key file in $STORE"; exit 1; }

# Envelopes for the "open" row, by the floor (an independent sealer of the same format).
"$MEASURE" --input "$WORK/texts.raw" --output "$WORK/envelopes.txt" "${AS[@]}" -- \
  "$FLOOR_SEAL" --dir "$STORE" --items "$ITEMS" --size 100 >/dev/null
python3 - "$WORK" <<'EOF'
import json, sys
work = sys.argv[1]
sealed = open(f"{work}/envelopes.txt").read().split()
with open(f"{work}/open-items.json", "w") as f:
    json.dump({"items": sealed, "reason": "Benchmark"}, f, separators=(",", ":"))
EOF

# Warm the page cache for every binary and input before anything is timed.
once warmup "$WORK/seal-8m.json" - -- "$TOOL" seal --dir "$STORE"
once warmup "$WORK/seal-8m.json" - -- "$FLOOR_SEAL" --dir "$STORE" --items 1 --size "$BIG_TEXT"

# --- rows ----------------------------------------------------------------------------------------
# Not a target: the fixed cost of "seal" (start, key load, reply) next to the floor's.
pair "$STATUS_RUNS" seal-none "$WORK/seal-none.json" "$WORK/seal-none.json" -- \
  "$TOOL" seal --dir "$STORE" -- "$FLOOR_SEAL" --dir "$STORE" --items 0

pair "$RUNS" seal-items "$WORK/seal-items.json" "$WORK/seal-items.json" -- "$TOOL" seal --dir "$STORE" -- \
  "$FLOOR_SEAL" --dir "$STORE" --items "$ITEMS" --size 100

if [[ -n $ACCOUNT ]]; then
  (
    export PATH="$PINENTRY_DIR:/usr/bin:/bin" DISPLAY=:99 TARN_TEST_PINENTRY_ANSWERS="pin:$PASSWORD"
    export TARN_BENCH_PASSWORD=$PASSWORD
    unset WAYLAND_DISPLAY GPG_TTY
    pair "$OPEN_RUNS" open-items "$WORK/open-items.json" "$WORK/envelopes.txt" -- \
      "$TOOL" open --dir "$STORE" -- "$FLOOR_OPEN" --dir "$STORE"
  )
fi

pair "$RUNS" seal-8m "$WORK/seal-8m.json" "$WORK/seal-8m.json" -- "$TOOL" seal --dir "$STORE" -- \
  "$FLOOR_SEAL" --dir "$STORE" --items 1 --size "$BIG_TEXT"

say "row seal-1g: 1 run"
once seal-1g.tool "$WORK/huge-head.json" $((1024 * 1024 * 1024)) -- "$TOOL" seal --dir "$STORE"

pair "$STATUS_RUNS" status-tpm /dev/null /dev/null -- "$TOOL" status --dir "$STORE" -- "$FLOOR_STATUS"
(
  export TARN_WEMB_TCTI=$CLOSED_TCTI
  pair "$STATUS_RUNS" status-none /dev/null /dev/null -- "$TOOL" status --dir "$STORE" -- "$FLOOR_STATUS"
)

# --- table ---------------------------------------------------------------------------------------
python3 - "$WORK" "$ITEMS" <<'EOF'
import json, os, statistics, sys
work, items = sys.argv[1], int(sys.argv[2])
MiB = 1024 * 1024

def runs(label):
    path = f"{work}/{label}.runs"
    if not os.path.exists(path):
        return None
    rows = [line.split() for line in open(path) if line.strip()]
    return {"wall": statistics.median(float(r[0]) for r in rows),
            "rss": max(int(r[1]) for r in rows) * 1024,
            "status": sorted({int(r[2]) for r in rows}), "n": len(rows)}

def reply(label):
    try:
        return json.loads(open(f"{work}/{label}.reply").read() or "null")
    except (OSError, ValueError):
        return None

def expect(label, check):
    got = reply(label)
    return (True, "") if check(got) else (False, "reply " + json.dumps(got)[:60])

texts = json.load(open(f"{work}/seal-items.json"))["items"]
rows = [
    ("seal, no items (info)", "seal-none", None, None,
     lambda r: isinstance(r, dict) and r.get("sealed") == []),
    ("seal, %d x 100 B" % items, "seal-items", 1.2, None,
     lambda r: isinstance(r, dict) and len(r.get("sealed", [])) == items),
    ("open, %d items" % items, "open-items", 1.15, None,
     lambda r: isinstance(r, dict) and r.get("items") == texts),
    ("seal, one 8 MiB request", "seal-8m", 1.5, 3 * 8 * MiB + 16 * MiB,
     lambda r: isinstance(r, dict) and len(r.get("sealed", [])) == 1),
    ("seal, 1 GiB on stdin", "seal-1g", None, 32 * MiB, lambda r: r == {"error": "input"}),
    ("status, with a TPM", "status-tpm", 1.3, None,
     lambda r: isinstance(r, dict) and r.get("secureEnclave") is True),
    ("status, no TPM", "status-none", 1.3, None,
     lambda r: isinstance(r, dict) and r.get("secureEnclave") is False),
]
head = ("row", "tool s", "floor s", "ratio", "target", "tool RSS", "RSS limit", "result", "note")
print("%-26s %9s %9s %6s %6s %9s %9s %-7s %s" % head)
for name, label, target, limit, check in rows:
    tool, floor = runs(label + ".tool"), runs(label + ".floor")
    if tool is None:
        print("%-26s %s" % (name, "not measured"))
        continue
    ok, note = expect(label + ".tool", check)
    ratio = tool["wall"] / floor["wall"] if floor else None
    passed = ok
    if target is not None and ratio is not None:
        passed = passed and ratio <= target
    if limit is not None:
        passed = passed and tool["rss"] <= limit
    if floor and floor["status"] != [0]:
        ok, note = False, "floor exit %s" % floor["status"]
    # The floor's envelopes must open to the texts: a floor that skipped work would not.
    if label == "open-items" and floor and \
            open(f"{work}/{label}.floor.reply").read().split("\n")[:-1] != texts:
        ok, note = False, "floor opened other texts"
    result = "PASS" if passed else ("FAIL" if ok else "INVALID")
    if ok and target is None and limit is None:
        result = "info"
    print("%-26s %9.4f %9s %6s %6s %8.1fM %9s %-7s %s" % (
        name, tool["wall"], "%.4f" % floor["wall"] if floor else "-",
        "%.3f" % ratio if ratio is not None else "-",
        "<=%.2f" % target if target is not None else "-", tool["rss"] / MiB,
        "%.0fM" % (limit / MiB) if limit else "-", result,
        (note + " " if note else "") + "n=%d" % tool["n"]))
EOF
printf '\nmachine: %s cores, %s, Linux %s\n' "$(nproc)" \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" "$(uname -r)"
printf 'date: %s; tarn-wemb %s; %s\n' "$(date -u '+%Y-%m-%d %H:%M UTC')" \
  "$(git -C "$ROOT" rev-parse --short HEAD 2>/dev/null || echo '?')" "$(swtpm --version 2>&1 | head -1)"
printf 'medians of wall time (fork to reaped); RSS is the peak over runs (wait4)\n'
