# Sourced by scripts that need a private software TPM: `swtpm_start DIR` starts swtpm on a free
# pair of 127.0.0.1 ports with its state in DIR and exports TARN_WEMB_TCTI; `swtpm_stop` ends it.

swtpm_pid=""

swtpm_start() {
  local state=$1 port
  mkdir -p "$state"
  for _ in $(seq 20); do
    port=$(python3 -c '
import random, socket
p = random.randint(20000, 60000)
for q in (p, p + 1):
    s = socket.socket(); s.bind(("127.0.0.1", q)); s.close()
print(p)' 2>/dev/null) || continue
    swtpm socket --tpm2 --server type=tcp,port="$port",bindaddr=127.0.0.1 \
      --ctrl type=tcp,port=$((port + 1)),bindaddr=127.0.0.1 \
      --flags startup-clear,not-need-init --tpmstate dir="$state" >/dev/null 2>&1 &
    swtpm_pid=$!
    for _ in $(seq 100); do
      if (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
        export TARN_WEMB_TCTI="swtpm:host=127.0.0.1,port=$port"
        return 0
      fi
      kill -0 "$swtpm_pid" 2>/dev/null || break
      sleep 0.05
    done
    kill "$swtpm_pid" 2>/dev/null
    wait "$swtpm_pid" 2>/dev/null
    swtpm_pid=""
  done
  echo "could not start swtpm" >&2
  return 1
}

swtpm_stop() {
  if [ -n "$swtpm_pid" ]; then
    kill "$swtpm_pid" 2>/dev/null
    wait "$swtpm_pid" 2>/dev/null
    swtpm_pid=""
  fi
}
