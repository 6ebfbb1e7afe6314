#!/usr/bin/env bash
# Whole-process timings of tarn-wemb next to floors that do the same work straight on tpm2-tss,
# OpenSSL and PAM (bench/floor*.c), tool and floor alternately, on a private swtpm.
#
#   bench/run.sh [BINARY | SOURCE-TREE]     default: this tree, built Release in build-bench
#
# As root every command runs as a throwaway account; the "open" row needs its password.
# The TPM is the test runner's private swtpm, or the one TARN_WEMB_TCTI names when it is set.
# TARN_BENCH_ROWS picks rows (default "seal-items open seal-6m 8m seal-1g status");
# TARN_BENCH_RUNS (7), TARN_BENCH_OPEN_RUNS (3) and TARN_BENCH_STATUS_RUNS (31) count runs.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
[[ -n ${TARN_WEMB_TCTI:-} ]] || exec "$HERE/../tests/blackbox/run.py" --with-swtpm "$0" "$@"
TARGET=$(realpath "${1:-$HERE/..}")
ROWS=" ${TARN_BENCH_ROWS:-seal-items open seal-6m 8m seal-1g status} "
RUNS=${TARN_BENCH_RUNS:-7}
OPEN_RUNS=${TARN_BENCH_OPEN_RUNS:-3}
STATUS_RUNS=${TARN_BENCH_STATUS_RUNS:-31}
ITEMS=5000
BIG=$((6 * 1024 * 1024))

WORK=$(mktemp -d /tmp/tarn-bench.XXXXXX)
chmod 755 "$WORK"
ACCOUNT=-
cleanup() {
  if [[ $ACCOUNT != - ]]; then userdel -f "$ACCOUNT" 2>/dev/null || true; fi
  rm -rf "$WORK"
}
trap cleanup EXIT
trap 'exit 130' INT TERM
say() { printf '%s\n' "$*" >&2; }
want() { [[ $ROWS == *" $1 "* ]]; }

build() { # source build-directory cmake-options...
  { cmake -S "$1" -B "$2" -DCMAKE_BUILD_TYPE=Release "${@:3}" && cmake --build "$2" -j2; } \
    >"$WORK/build.log" 2>&1 || { cat "$WORK/build.log" >&2; exit 1; }
}
FLOORS=$HERE/../build-bench-floors
build "$HERE" "$FLOORS"
if [[ -d $TARGET ]]; then
  say "building $TARGET in $TARGET/build-bench"
  build "$TARGET" "$TARGET/build-bench" -DTARN_TESTS=OFF
  TOOL=$TARGET/build-bench/tarn-wemb
else
  TOOL=$TARGET
fi
MEASURE=$FLOORS/measure FLOOR=$FLOORS/floor FLOOR_STATUS=$FLOORS/floor_status
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

mkdir "$WORK/home"
STORE=$WORK/home/store
if [[ $(id -u) == 0 ]]; then
  ACCOUNT=tarn-b-$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')
  PASSWORD=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
  useradd --no-create-home --shell /usr/sbin/nologin --user-group "$ACCOUNT"
  printf '%s:%s\n' "$ACCOUNT" "$PASSWORD" | chpasswd
  chown "$ACCOUNT:" "$WORK/home"
elif want open; then
  say "not root: no account, so no \"open\" row"
  ROWS=${ROWS/ open / }
fi

python3 - "$WORK" "$ITEMS" "$BIG" <<'EOF'
import json, random, sys
work, items, big = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
def write(name, text):
    with open(f"{work}/{name}", "w", encoding="utf-8", newline="") as f:
        f.write(text)
rng = random.Random(1)
letters = "abcdefghijklmnopqrstuvwxyz ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789.,"
texts = ["".join(rng.choice(letters) for _ in range(100)) for _ in range(items)]
write("items.json", json.dumps({"items": texts}, separators=(",", ":")))
write("items.txt", "".join(texts))
# 64-byte lines, partly not ASCII; in the request each line's end is an escape.
line = "Zażółć gęślą jaźń, "
line += "abcdefghijklmnopqrstuvwxyz0123456789"[: 63 - len(line.encode())] + "\n"
text = line * (big // len(line.encode()))
assert len(text.encode()) == big
write("big.txt", text)
write("big.json", json.dumps({"items": [text]}, ensure_ascii=False))
# Exactly 8 MiB of small objects a few levels deep, none of them read by the command.
head, unit, tail = '{"other":[', '{"a":{"b":[1,"c",{"d":null}]},"e":true},', '{}],"items":["hi"]}'
count = (8 * 1024 * 1024 - len(head) - len(tail)) // len(unit)
write("nested.json", head + unit * count + " " * (8 * 1024 * 1024 - len(head) - len(tail)
                                                    - count * len(unit)) + tail)
# And exactly 8 MiB holding one item: the most any request of that size makes the tool hold.
write("one-8m.json", '{"items":["' + "abcdefghijklmnop" * (8 * 65536 - 1) + 'ab"]}')
EOF

once() { # label input command...
  "$MEASURE" "$WORK/$1.runs" "$ACCOUNT" "${@:3}" <"$2" >"$WORK/$1.reply"
}
# Tool and floor alternate, the order swapped every run, so drift and load hit both alike.
pair() { # runs label tool-input floor-input tool-command... -- floor-command...
  local runs=$1 label=$2 toolInput=$3 floorInput=$4 r
  shift 4
  local -a tool=()
  while [[ $1 != -- ]]; do tool+=("$1"); shift; done
  shift
  say "row $label: $runs runs"
  for ((r = 0; r < runs; r++)); do
    if ((r % 2)); then once "$label.floor" "$floorInput" "$@"; fi
    once "$label.tool" "$toolInput" "${tool[@]}"
    if ((r % 2 == 0)); then once "$label.floor" "$floorInput" "$@"; fi
  done
}

# The key, made by the tool's first "seal"; then every binary and input once into the caches.
once setup /dev/null "$TOOL" seal --dir "$STORE"
[[ -s $STORE/klucz.se ]] || { say "the tool made no key file in $STORE"; exit 1; }
once setup "$WORK/big.json" "$TOOL" seal --dir "$STORE"
once setup "$WORK/big.txt" "$FLOOR" seal "$STORE" 1 "$BIG"

if want seal-items; then
  pair "$RUNS" seal-items "$WORK/items.json" "$WORK/items.txt" "$TOOL" seal --dir "$STORE" -- \
    "$FLOOR" seal "$STORE" "$ITEMS" 100
fi
if want open; then
  # Envelopes of the same texts, sealed by the floor: an independent sealer of the same format.
  once envelopes "$WORK/items.txt" "$FLOOR" seal "$STORE" "$ITEMS" 100
  python3 -c 'import json, sys; print(json.dumps({"items": open(sys.argv[1]).read().split(),
    "reason": "Benchmark"}))' "$WORK/envelopes.reply" >"$WORK/open.json"
  install -D -m 0755 "$HERE/../tests/blackbox/pinentry" "$WORK/bin/pinentry"
  (
    export PATH="$WORK/bin:/usr/bin:/bin" DISPLAY=:99 TARN_BENCH_PASSWORD=$PASSWORD
    export TARN_TEST_PINENTRY_ANSWERS="pin:$PASSWORD"
    unset WAYLAND_DISPLAY GPG_TTY
    pair "$OPEN_RUNS" open "$WORK/open.json" "$WORK/envelopes.reply" "$TOOL" open --dir "$STORE" \
      -- "$FLOOR" open "$STORE"
  )
fi
if want seal-6m; then
  pair "$RUNS" seal-6m "$WORK/big.json" "$WORK/big.txt" "$TOOL" seal --dir "$STORE" -- \
    "$FLOOR" seal "$STORE" 1 "$BIG"
fi
if want 8m; then
  say "rows seal-8m and nested: 3 runs each"
  for _ in 1 2 3; do
    once seal-8m.tool "$WORK/one-8m.json" "$TOOL" seal --dir "$STORE"
    once nested.tool "$WORK/nested.json" "$TOOL" seal --dir "$STORE"
  done
fi
if want seal-1g; then
  say "row seal-1g: 1 run"
  { printf '{"items":["'; head -c 1100M /dev/zero | tr '\0' a; } |
    once seal-1g.tool /dev/stdin "$TOOL" seal --dir "$STORE" || true
fi
if want status; then
  pair "$STATUS_RUNS" status-tpm /dev/null /dev/null "$TOOL" status --dir "$STORE" -- "$FLOOR_STATUS"
  ( # Nothing listens on port 1: the connection is refused at once.
    export TARN_WEMB_TCTI="swtpm:host=127.0.0.1,port=1"
    pair "$STATUS_RUNS" status-none /dev/null /dev/null "$TOOL" status --dir "$STORE" -- "$FLOOR_STATUS"
  )
fi

python3 - "$WORK" "$ITEMS" "$BIG" <<'EOF'
import json, os, statistics, sys
work, items, big = sys.argv[1], int(sys.argv[2]), int(sys.argv[3])
MiB = 1024 * 1024
texts = open(f"{work}/items.txt").read()
texts = [texts[i : i + 100] for i in range(0, len(texts), 100)]
def runs(label):
    if not os.path.exists(f"{work}/{label}.runs"):
        return None
    rows = [line.split() for line in open(f"{work}/{label}.runs")]
    return {"wall": statistics.median(float(r[0]) for r in rows), "n": len(rows),
            "rss": max(int(r[1]) for r in rows) * 1024, "status": {int(r[2]) for r in rows}}
def reply(label):
    try:
        return json.load(open(f"{work}/{label}.reply"))
    except ValueError:
        return None
def sealed(count, size):
    return lambda r: isinstance(r, dict) and len(r.get("sealed", [])) == count and all(
        len(s) == (size + 94 + 2) // 3 * 4 for s in r["sealed"])
def floorLines(label):
    return open(f"{work}/{label}.floor.reply").read().split("\n")[:-1]
rows = [  # name, label, ratio target, RSS limit in MiB, tool reply check, floor reply check
    ("seal, %d x 100 B" % items, "seal-items", 1.20, None, sealed(items, 100),
     lambda: len(floorLines("seal-items")) == items),
    ("open, %d items" % items, "open", 1.15, None, lambda r: r == {"items": texts},
     lambda: floorLines("open") == texts),
    ("seal, one 6 MiB item", "seal-6m", 1.30, 48, sealed(1, big),
     lambda: len(floorLines("seal-6m")) == 1),
    ("seal, one 8 MiB request", "seal-8m", None, 40, sealed(1, 8 * MiB - 14), None),
    ("8 MiB of nested objects", "nested", None, 40, sealed(1, 2), None),
    ("seal, 1 GiB on stdin", "seal-1g", None, 32, lambda r: r == {"error": "input"}, None),
    ("status, with a TPM", "status-tpm", 1.30, None,
     lambda r: isinstance(r, dict) and r.get("secureEnclave") is True,
     lambda: floorLines("status-tpm") == ["true"]),
    ("status, no TPM", "status-none", 1.30, None,
     lambda r: isinstance(r, dict) and r.get("secureEnclave") is False,
     lambda: floorLines("status-none") == ["false"]),
]
print("%-25s %8s %8s %6s %6s %8s %6s %s" %
      ("row", "tool s", "floor s", "ratio", "target", "tool RSS", "limit", "result"))
for name, label, target, limit, check, floorCheck in rows:
    tool, floor = runs(label + ".tool"), runs(label + ".floor")
    if tool is None:
        continue
    ratio = tool["wall"] / floor["wall"] if floor else None
    passed = (ratio is None or target is None or ratio <= target) and (
        limit is None or tool["rss"] <= limit * MiB)
    if not check(reply(label + ".tool")):
        result = "INVALID (tool reply)"
    elif floor and (floor["status"] != {0} or not floorCheck()):
        result = "INVALID (floor)"
    else:
        result = ("PASS" if passed else "FAIL") if target or limit else "info"
    print("%-25s %8.4f %8s %6s %6s %7.1fM %6s %s n=%d" % (
        name, tool["wall"], "%.4f" % floor["wall"] if floor else "-",
        "%.3f" % ratio if ratio else "-", "<=%.2f" % target if target else "-",
        tool["rss"] / MiB, "%dM" % limit if limit else "-", result, tool["n"]))
EOF
printf '\nmachine: %s cores, %s, Linux %s; load average %s before, %s after\n' "$(nproc)" \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" "$(uname -r)" \
  "$LOAD_BEFORE" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'tool: %s (sha256 %.12s); %s\n' "$TOOL" "$(sha256sum <"$TOOL")" \
  "$(swtpm --version 2>&1 | head -1)"
printf 'medians of whole-process wall time (fork to reaped); RSS: peak over runs (wait4)\n'
