#!/usr/bin/env bash
# Whole-process timings of tarn-wemb next to floors that do the same work straight on tpm2-tss,
# OpenSSL and PAM (bench/floor*.c), and next to an older tree's tool, alternately, on a private
# swtpm. The command runs as users run it: a setgid copy, as a throwaway account, talking to the
# custody service started by systemd-socket-activate as the Accept=no socket starts it.
#
#   bench/run.sh [SOURCE-TREE [OLD-TREE]]   default: this tree; each built Release in build-bench
#
# Needs root: the account, the group tarn-wemb, the setgid copy and the service's secret.
# TARN_BENCH_ROWS picks rows (default "seal-items open seal-6m 8m seal-1g status");
# TARN_BENCH_RUNS (7), TARN_BENCH_OPEN_RUNS (3) and TARN_BENCH_STATUS_RUNS (31) count runs.
# The TPM is the test runner's private swtpm, or the one TARN_WEMB_TCTI names when it is set.
set -euo pipefail
HERE=$(cd "$(dirname "$0")" && pwd)
[[ -n ${TARN_WEMB_TCTI:-} ]] || exec "$HERE/../tests/blackbox/run.py" --with-swtpm "$0" "$@"
TARGET=$(realpath "${1:-$HERE/..}")
OLD=${2:+$(realpath "$2")}
ROWS=" ${TARN_BENCH_ROWS:-seal-items open seal-6m 8m seal-1g status} "
RUNS=${TARN_BENCH_RUNS:-7}
OPEN_RUNS=${TARN_BENCH_OPEN_RUNS:-3}
STATUS_RUNS=${TARN_BENCH_STATUS_RUNS:-31}
ITEMS=5000
BIG=$((6 * 1024 * 1024))

[[ $(id -u) == 0 ]] || { echo "bench/run.sh needs root" >&2; exit 2; }
WORK=$(mktemp -d /tmp/tarn-bench.XXXXXX)
chmod 755 "$WORK"
# The setgid copy and the pinentry: the command runs a pinentry only from a root-owned chain.
PRIVATE=$(mktemp -d /usr/local/lib/tarn-bench-XXXXXX)
chmod 755 "$PRIVATE"
ACCOUNT=- GROUP_MADE=no SERVICES=()
cleanup() {
  # each status tested, so errexit cannot end the clean-up half-way
  for pid in "${SERVICES[@]}"; do { kill "$pid" && wait "$pid"; } 2>/dev/null || true; done
  if [[ $ACCOUNT != - ]]; then userdel -f "$ACCOUNT" 2>/dev/null || true; fi
  if [[ $GROUP_MADE == yes ]]; then groupdel tarn-wemb 2>/dev/null || true; fi
  rm -rf "$WORK" "$PRIVATE"
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
for tree in "$TARGET" $OLD; do
  say "building $tree in $tree/build-bench"
  build "$tree" "$tree/build-bench" -DTARN_TESTS=OFF
done
SERVICE=$TARGET/build-bench/tarn-wemb-custody
OLD_TOOL=${OLD:+$OLD/build-bench/tarn-wemb}
if ! getent group tarn-wemb >/dev/null; then groupadd --system tarn-wemb && GROUP_MADE=yes; fi
TOOL=$PRIVATE/tarn-wemb
cp "$TARGET/build-bench/tarn-wemb" "$TOOL"
chown root:tarn-wemb "$TOOL"
chmod 2755 "$TOOL"
MEASURE=$FLOORS/measure FLOOR=$FLOORS/floor FLOOR_STATUS=$FLOORS/floor_status
LOAD_BEFORE=$(cut -d' ' -f1-3 /proc/loadavg)

mkdir "$WORK/home"
STORE=$WORK/home/store OLD_STORE=$WORK/home/old-store
ACCOUNT=tarn-b-$(od -An -N4 -tx1 /dev/urandom | tr -d ' \n')
PASSWORD=$(od -An -N12 -tx1 /dev/urandom | tr -d ' \n')
useradd --no-create-home --shell /usr/sbin/nologin --user-group "$ACCOUNT"
printf '%s:%s\n' "$ACCOUNT" "$PASSWORD" | chpasswd
chown "$ACCOUNT:" "$WORK/home"
USER_ID=$(id -u "$ACCOUNT")

# The custody service as the socket unit starts it: the door, which starts a worker per connection.
export STATE_DIRECTORY=$WORK/state TARN_WEMB_SOCKET=$WORK/socket
mkdir -m 700 "$STATE_DIRECTORY" && mkdir -m 755 "$WORK/run"
"$SERVICE" --make-secret
serve() { # socket tcti [service cpu-results [accept]]: with cpu-results, the service's own rusage
  # (the door's, its reaped workers' included, written when it ends; with accept, the older tree's
  # service started per connection, a line each)
  local -a service=("$SERVICE") accept=()
  if (($# > 2)); then service=("$MEASURE" "$4" - "$3"); fi
  if (($# > 4)); then accept=(--accept); fi
  systemd-socket-activate "${accept[@]}" -l "$1" -E TARN_WEMB_TCTI="$2" -E STATE_DIRECTORY \
    -E RUNTIME_DIRECTORY="$WORK/run" "${service[@]}" >>"$WORK/service.log" 2>&1 &
  SERVICES+=($!)
  for _ in $(seq 100); do [[ -S $1 ]] && break; sleep 0.05; done
  chmod 666 "$1"
}
serve "$TARN_WEMB_SOCKET" "$TARN_WEMB_TCTI"

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

once() { # label input command...       as the account, or as $AS ("-": as root)
  # the setgid copy finds the service only at the installed path, bound in a namespace of its own
  "$HERE/../scripts/at-socket" "$TARN_WEMB_SOCKET" \
    "$MEASURE" "$WORK/$1.runs" "${AS:-$ACCOUNT}" "${@:3}" <"$2" >"$WORK/$1.reply"
}
# Tool and floor alternate, the order swapped every run, so drift and load hit both alike.
# The floor runs as $FLOOR_AS when set.
pair() { # runs label tool-input floor-input tool-command... -- floor-command...
  local runs=$1 label=$2 toolInput=$3 floorInput=$4 r
  shift 4
  local -a tool=()
  while [[ $1 != -- ]]; do tool+=("$1"); shift; done
  shift
  say "row $label: $runs runs"
  for ((r = 0; r < runs; r++)); do
    if ((r % 2)); then AS=${FLOOR_AS:-} once "$label.floor" "$floorInput" "$@"; fi
    once "$label.tool" "$toolInput" "${tool[@]}"
    if ((r % 2 == 0)); then AS=${FLOOR_AS:-} once "$label.floor" "$floorInput" "$@"; fi
  done
}

# The key, made by the tool's first "seal"; then every binary and input once into the caches.
once setup /dev/null "$TOOL" seal --dir "$STORE"
[[ -s $STORE/klucz.se ]] || { say "no key file made: $(cat "$WORK/setup.reply" "$WORK/service.log")"; exit 1; }
once setup "$WORK/big.json" "$TOOL" seal --dir "$STORE"
AS=- once setup "$WORK/big.txt" "$FLOOR" seal "$STORE" "$USER_ID" 1 "$BIG"
if [[ -n $OLD ]]; then once setup "$WORK/items.json" "$OLD_TOOL" seal --dir "$OLD_STORE"; fi

if want seal-items; then
  FLOOR_AS=- pair "$RUNS" seal-items "$WORK/items.json" "$WORK/items.txt" \
    "$TOOL" seal --dir "$STORE" -- "$FLOOR" seal "$STORE" "$USER_ID" "$ITEMS" 100
  if [[ -n $OLD ]]; then
    pair "$RUNS" seal-items-old "$WORK/items.json" "$WORK/items.json" \
      "$TOOL" seal --dir "$STORE" -- "$OLD_TOOL" seal --dir "$OLD_STORE"
  fi
fi
if want open; then
  # Envelopes of the same texts, sealed by the floor: an independent sealer of the same format.
  AS=- once envelopes "$WORK/items.txt" "$FLOOR" seal "$STORE" "$USER_ID" "$ITEMS" 100
  python3 -c 'import json, sys; print(json.dumps({"items": open(sys.argv[1]).read().split(),
    "reason": "Benchmark"}))' "$WORK/envelopes.reply" >"$WORK/open.json"
  install -D -m 0755 "$HERE/../tests/blackbox/pinentry" "$PRIVATE/bin/pinentry"
  # the stand-in reads its answers beside its directory: the command passes it none of ours
  printf '{"TARN_TEST_PINENTRY_ANSWERS": "pin:%s"}\n' "$PASSWORD" >"$PRIVATE/script"
  # the services of these rows measured by their own rusage, each on a socket of its own, started
  # here so that the clean-up knows them
  serve "$WORK/socket-open" "$TARN_WEMB_TCTI" "$SERVICE" "$WORK/open.service"
  OPEN_DOOR=${SERVICES[-1]}
  if [[ -n $OLD ]]; then
    # the older tool with its own service, setgid as installed, on the same key
    serve "$WORK/socket-old" "$TARN_WEMB_TCTI" "$OLD/build-bench/tarn-wemb-custody" \
      "$WORK/open-old.service" accept
    install -o root -g tarn-wemb -m 2755 "$OLD_TOOL" "$PRIVATE/tarn-wemb-old"
  fi
  (
    export PATH="$PRIVATE/bin:/usr/bin:/bin" DISPLAY=:99 TARN_BENCH_PASSWORD=$PASSWORD
    unset WAYLAND_DISPLAY GPG_TTY
    export TARN_WEMB_SOCKET=$WORK/socket-open
    FLOOR_AS=- pair "$OPEN_RUNS" open "$WORK/open.json" "$WORK/envelopes.reply" \
      "$TOOL" open --dir "$STORE" -- "$FLOOR" open "$STORE" "$USER_ID"
    FLOOR_AS=- pair "$OPEN_RUNS" open-nosession "$WORK/open.json" "$WORK/envelopes.reply" \
      "$TOOL" open --dir "$STORE" -- "$FLOOR" open-nosession "$STORE" "$USER_ID"
    if [[ -n $OLD ]]; then
      pair "$OPEN_RUNS" open-old "$WORK/open.json" "$WORK/open.json" \
        "$TOOL" open --dir "$STORE" -- env TARN_WEMB_SOCKET="$WORK/socket-old" \
        "$PRIVATE/tarn-wemb-old" open --dir "$STORE"
    fi
  )
  # the door writes its rusage, its workers' included, when it ends (measure is its parent)
  pkill -TERM -P "$OPEN_DOOR" || true
  wait "$OPEN_DOOR" 2>/dev/null || true
fi
if want seal-6m; then
  FLOOR_AS=- pair "$RUNS" seal-6m "$WORK/big.json" "$WORK/big.txt" "$TOOL" seal --dir "$STORE" \
    -- "$FLOOR" seal "$STORE" "$USER_ID" 1 "$BIG"
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
status() { # label
  pair "$STATUS_RUNS" "$1" /dev/null /dev/null "$TOOL" status --dir "$STORE" -- "$FLOOR_STATUS"
  if [[ -n $OLD ]]; then
    pair "$STATUS_RUNS" "$1-old" /dev/null /dev/null "$TOOL" status --dir "$STORE" -- \
      "$OLD_TOOL" status --dir "$OLD_STORE"
  fi
}
if want status; then
  status status-tpm
  # Nothing listens on port 1: the connection is refused at once.
  serve "$WORK/socket-none" "swtpm:host=127.0.0.1,port=1"
  (
    export TARN_WEMB_TCTI="swtpm:host=127.0.0.1,port=1" TARN_WEMB_SOCKET=$WORK/socket-none
    status status-none
  )
fi

python3 - "$WORK" "$ITEMS" "$BIG" "${OLD:+$(git -C "$OLD" rev-parse --short HEAD)}" <<'EOF'
import json, os, statistics, sys
work, items, big, old = sys.argv[1], int(sys.argv[2]), int(sys.argv[3]), sys.argv[4]
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
enclave = lambda present: lambda r: isinstance(r, dict) and r.get("secureEnclave") is present
rows = [  # name, label, base, ratio target, RSS limit in MiB, tool reply check, base reply check
    ("seal, %d x 100 B" % items, "seal-items", "floor", 1.20, None, sealed(items, 100),
     lambda: len(floorLines("seal-items")) == items),
    ("seal, %d x 100 B" % items, "seal-items-old", old, 1.50, None, sealed(items, 100), None),
    ("open, %d items" % items, "open", "floor", 1.10, None, lambda r: r == {"items": texts},
     lambda: floorLines("open") == texts),
    ("open, %d items" % items, "open-nosession", "no-sess", None, None,
     lambda r: r == {"items": texts}, lambda: floorLines("open-nosession") == texts),
    ("open, %d items" % items, "open-old", old, 1 / 3, None, lambda r: r == {"items": texts},
     None),
    ("seal, one 6 MiB item", "seal-6m", "floor", 1.30, 48, sealed(1, big),
     lambda: len(floorLines("seal-6m")) == 1),
    ("seal, one 8 MiB request", "seal-8m", "-", None, 40, sealed(1, 8 * MiB - 14), None),
    ("8 MiB of nested objects", "nested", "-", None, 40, sealed(1, 2), None),
    ("seal, 1 GiB on stdin", "seal-1g", "-", None, 32, lambda r: r == {"error": "input"}, None),
    ("status, with a TPM", "status-tpm", "floor", None, None, enclave(True),
     lambda: floorLines("status-tpm") == ["true"]),
    ("status, with a TPM", "status-tpm-old", old, 2.00, None, enclave(True), None),
    ("status, no TPM", "status-none", "floor", None, None, enclave(False),
     lambda: floorLines("status-none") == ["false"]),
    ("status, no TPM", "status-none-old", old, 2.00, None, enclave(False), None),
]
print("%-25s %-8s %8s %8s %6s %6s %8s %6s %s" %
      ("row", "base", "tool s", "base s", "ratio", "target", "tool RSS", "limit", "result"))
for name, label, base, target, limit, check, floorCheck in rows:
    tool, floor = runs(label + ".tool"), runs(label + ".floor")
    if tool is None:
        continue
    # an older tool is checked as the tool is
    floorCheck = floorCheck or (lambda: check(reply(label + ".floor")))
    ratio = tool["wall"] / floor["wall"] if floor else None
    passed = (ratio is None or target is None or ratio <= target) and (
        limit is None or tool["rss"] <= limit * MiB)
    if not check(reply(label + ".tool")):
        result = "INVALID (tool reply)"
    elif floor and (floor["status"] != {0} or not floorCheck()):
        result = "INVALID (base)"
    else:
        result = ("PASS" if passed else "FAIL") if target or limit else "info"
    print("%-25s %-8s %8.4f %8s %6s %6s %7.1fM %6s %s n=%d" % (
        name, base, tool["wall"], "%.4f" % floor["wall"] if floor else "-",
        "%.3f" % ratio if ratio else "-", "<=%.2f" % target if target else "-",
        tool["rss"] / MiB, "%dM" % limit if limit else "-", result, tool["n"]))
# The services' own CPU over every open run they served, per agreement (the items and the check of
# the key against the generator, once per connection that loaded it).
for label, runs in (("open", ("open", "open-nosession", "open-old")), ("open-old", ("open-old",))):
    path = f"{work}/{label}.service"
    if not os.path.exists(path):
        continue
    cpu = sum(float(line.split()[3]) for line in open(path))
    side = "floor" if label == "open-old" else "tool"
    count = sum(len(open(f"{work}/{r}.{side}.runs").readlines())
                for r in runs if os.path.exists(f"{work}/{r}.{side}.runs"))
    print("service CPU per agreement, %-8s %.4f ms (%.2f s over %d runs of %d items)" % (
        label, cpu / (count * items) * 1000, cpu, count, items))
EOF
printf '\nmachine: %s cores, %s, Linux %s; load average %s before, %s after\n' "$(nproc)" \
  "$(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ *//')" "$(uname -r)" \
  "$LOAD_BEFORE" "$(cut -d' ' -f1-3 /proc/loadavg)"
printf 'tool: %s at %s (sha256 %.12s); %s\n' "$TARGET" \
  "$(git -C "$TARGET" describe --always --dirty 2>/dev/null || echo '?')" "$(sha256sum <"$TOOL")" \
  "$(swtpm --version 2>&1 | head -1)"
if [[ -n $OLD ]]; then printf 'base: %s at %s\n' "$OLD" "$(git -C "$OLD" rev-parse --short HEAD)"; fi
printf 'medians of whole-process wall time (fork to reaped); RSS: peak of the command (not the service) over runs\n'
