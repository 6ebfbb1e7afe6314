#!/bin/bash
# Builds the libFuzzer targets with clang, AddressSanitizer and UBSan, seeds them from the test
# vectors, and runs each for a bounded time (FUZZ_SECONDS, default 60). Any finding fails.
set -euo pipefail
cd "$(dirname "$0")/.."
seconds=${FUZZ_SECONDS:-60}
CC=clang CXX=clang++ cmake -S . -B build-fuzz -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DTARN_FUZZ=ON -DTARN_SANITIZE=ON -DTARN_TESTS=OFF >/dev/null
cmake --build build-fuzz -j "$(nproc)"

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
/usr/bin/python3 - "$work" <<'PY'
import json, pathlib, sys
out = pathlib.Path(sys.argv[1])
vectors = json.loads(pathlib.Path("tests/envelope/vectors.json").read_text())
seeds = {"envelope": [], "base64": [], "request": [], "text": [], "assuan": [], "wire": []}
for case in vectors["seal"] + vectors["open"]:
    seeds["envelope"].append(case["sealed"].encode())
    seeds["base64"].append(case["sealed"].encode())
sealed = [c["sealed"] for c in vectors["seal"]]
seeds["request"] += [b"", b"{}", b"[]", b"42", b"\n",
                     json.dumps({"items": sealed, "reason": "Tarn Studio"}).encode(),
                     b'{"items":["a",7],"items":[]}', b'{"reason":"e\xcc\x81\xf0\x9f\x91\xa8\xe2\x80\x8d\xf0\x9f\x91\xa9"}']
seeds["assuan"] += [b"OK Pleased to meet you", b"ERR 83886179 Operation cancelled <Pinentry>",
                   b"D pass%25word%0A", b"S PASSWORD_FROM_CACHE", b"# comment", b"INQUIRE QUALITY abc", b"ERR"]
seeds["wire"] += [b'{"call":"status"}', b'{"call":"agree","key":"AAAA","points":["BA==","BB=="]}',
                 b'{"ask":"Password: ","visible":false}', b'{"say":"Touch","warning":true}', b'{"refused":true}',
                 b'{"secrets":["' + b"A" * 43 + b'="],"point":"BA=="}', b'{"call":"x","call":"y"}', b'{"answer":"\\u0000"}']
seeds["text"] += [b"plain", b"\xff\xfe broken", "e\u0301\U0001F468\u200d\U0001F469 \U0001F1F5\U0001F1F1".encode()]
for target, items in seeds.items():
    d = out / target
    d.mkdir()
    for i, data in enumerate(items):
        (d / f"seed{i}").write_bytes(data)
PY

status=0
for target in request base64 envelope text assuan wire; do
  echo "== fuzz_$target for ${seconds}s"
  if ! build-fuzz/fuzz/fuzz_$target "$work/$target" -max_total_time="$seconds" -max_len=65536 \
    -artifact_prefix="$work/$target-" -print_final_stats=1 >"$work/$target.log" 2>&1; then
    status=1
    tail -40 "$work/$target.log"
    for crash in "$work/$target"-*; do [ -e "$crash" ] && { echo "finding: $crash"; base64 "$crash"; }; done
  else
    grep -E "^stat::number_of_executed_units" "$work/$target.log" || true
  fi
done
exit $status
