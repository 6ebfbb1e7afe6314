# Sourced by scripts that run tarn-wemb without systemd: `custody_start DIR BUILD` starts the
# custody service from BUILD under systemd-socket-activate, as the socket unit would, with its
# state and socket in DIR and the TPM of TARN_WEMB_TCTI, and makes a setgid copy of the command
# as the package installs it. It exports TARN_WEMB_SOCKET and TARN_WEMB_COMMAND (the copy). The
# copy connects only to /run/tarn-wemb/socket: run it under `scripts/at-socket "$TARN_WEMB_SOCKET"`.
# `custody_stop` ends the service. DIR must be root's and closed to others (mktemp -d in /run).

custody_pid=""

custody_start() {
  local dir=$1 build=$2
  getent group tarn-wemb >/dev/null || groupadd --system tarn-wemb
  install -d -m 0700 "$dir/state" "$dir/run"
  install -d -m 0755 "$dir/bin"
  STATE_DIRECTORY=$dir/state "$build/tarn-wemb-custody" --make-secret
  install -o root -g tarn-wemb -m 2755 "$build/tarn-wemb" "$dir/bin/tarn-wemb"
  systemd-socket-activate -l "$dir/socket" -E TARN_WEMB_TCTI="$TARN_WEMB_TCTI" \
    -E STATE_DIRECTORY="$dir/state" -E RUNTIME_DIRECTORY="$dir/run" \
    ${ASAN_OPTIONS:+-E ASAN_OPTIONS="$ASAN_OPTIONS"} ${UBSAN_OPTIONS:+-E UBSAN_OPTIONS="$UBSAN_OPTIONS"} \
    "$build/tarn-wemb-custody" 2>"$dir/service.log" &
  custody_pid=$!
  for _ in $(seq 100); do
    if [ -S "$dir/socket" ]; then
      chmod 0666 "$dir/socket"
      export TARN_WEMB_SOCKET=$dir/socket TARN_WEMB_COMMAND=$dir/bin/tarn-wemb
      return 0
    fi
    sleep 0.05
  done
  echo "the custody service did not start" >&2
  return 1
}

custody_stop() {
  if [ -n "$custody_pid" ]; then
    kill "$custody_pid" 2>/dev/null || true
    wait "$custody_pid" 2>/dev/null || true
    custody_pid=""
  fi
}
