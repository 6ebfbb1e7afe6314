#!/bin/bash
# Boots Debian 12 with systemd as PID 1 in systemd-nspawn, installs the .deb the build made and runs
# inside.py there. Usage (root): tests/booted/run.sh BUILD_DIR
# The rootfs is debootstrapped once per package list into /var/cache/tarn-wemb-booted; each run
# boots an overlay of it that is thrown away. A machine that cannot boot it is a failure, said so.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb=$(ls "$1"/tarn-wemb_*.deb)
packages="systemd,systemd-sysv,dbus,libpam-modules,passwd,procps,util-linux,python3,swtpm,swtpm-tools,tpm2-abrmd,
libtss2-tcti-tabrmd0,libtss2-esys-3.0.2-0,libtss2-mu0,libtss2-rc0,libtss2-sys1,libtss2-tctildr0,libtss2-tcti-device0,
libssl3,libutf8proc2,pinentry-curses,adduser"
packages=${packages//$'\n'/}
cache=/var/cache/tarn-wemb-booted/$(sha256sum <<<"bookworm $packages" | cut -c1-16)
mirror=$({ sed -n 's/^URIs: *//p; s/^deb  *\(\[[^]]*\] *\)\{0,1\}\(http[^ ]*\) bookworm .*/\2/p' \
  /etc/apt/sources.list.d/*.sources /etc/apt/sources.list 2>/dev/null || true; } | sed -n 1p)

cannot() {
  echo "booted: cannot boot the container: $*"
  echo "booted: 0 passed, 1 failed"
  exit 1
}

mkdir -p /var/cache/tarn-wemb-booted
exec 9>/var/cache/tarn-wemb-booted/lock
flock 9
if [ ! -x "$cache/sbin/init" ]; then
  rm -rf "$cache.new"
  echo "booted: debootstrapping Debian 12 into $cache"
  timeout 900 debootstrap --variant=minbase --include="$packages" bookworm "$cache.new" "${mirror:-http://deb.debian.org/debian}" \
    >/var/cache/tarn-wemb-booted/debootstrap.log 2>&1 || cannot "debootstrap failed (see /var/cache/tarn-wemb-booted/debootstrap.log)"
  rm -rf "$cache.new"/var/cache/apt/archives/*.deb
  mv "$cache.new" "$cache"
fi

work=$(mktemp -d /var/tmp/tarn-booted.XXXXXX)
cgroups=()
nspawn=""
cleanup() {
  set +e
  [ -n "$nspawn" ] && kill -KILL "$nspawn" 2>/dev/null && wait "$nspawn" 2>/dev/null
  mountpoint -q "$work/root" && umount -l "$work/root"
  for _ in $(seq 50); do  # the container's systemd made cgroups below ours: deepest first, until gone
    for g in "${cgroups[@]}"; do
      find "$g" -depth -type d 2>/dev/null | while read -r d; do
        xargs -r kill -KILL <"$d/cgroup.procs" 2>/dev/null
        rmdir "$d" 2>/dev/null
      done
    done
    ls -d "${cgroups[@]}" >/dev/null 2>&1 || break
    sleep 0.1
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP
mkdir "$work/upper" "$work/scratch" "$work/root"
mount -t overlay overlay -o "lowerdir=$cache,upperdir=$work/upper,workdir=$work/scratch" "$work/root" ||
  cannot "no overlay mount"
mkdir "$work/root/booted"
cp "$deb" "$here/inside.py" "$here/../blackbox/pinentry" "$work/root/booted/"
cat >"$work/root/etc/systemd/system/tarn-wemb-booted.service" <<'EOF'
[Unit]
After=multi-user.target
SuccessAction=poweroff-force
FailureAction=poweroff-force
[Service]
Type=oneshot
ExecStart=/usr/bin/python3 /booted/inside.py
StandardOutput=file:/booted/log
StandardError=inherit
TimeoutStartSec=600
EOF
# Every per-connection line must reach the journal to be counted.
mkdir -p "$work/root/etc/systemd/journald.conf.d" "$work/root/etc/systemd/system/multi-user.target.wants"
printf '[Journal]\nRateLimitIntervalSec=0\n' >"$work/root/etc/systemd/journald.conf.d/booted.conf"
ln -s ../tarn-wemb-booted.service "$work/root/etc/systemd/system/multi-user.target.wants/"

# The container's own cgroup in every hierarchy the host mounts: nspawn keeps it (--keep-unit),
# with no machined to ask for a scope, and the container's systemd delegates below it.
for h in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup; do
  if [ -w "$h/cgroup.procs" ] && mkdir "$h/tarn-booted-$$"; then cgroups+=("$h/tarn-booted-$$"); fi
done
(
  for g in "${cgroups[@]}"; do echo "$BASHPID" >"$g/cgroup.procs"; done
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec timeout 900 systemd-nspawn --quiet --boot --directory="$work/root" \
    --register=no --keep-unit --private-network --capability=CAP_BPF --system-call-filter=bpf \
    --console=read-only
) >"$work/console" 2>&1 </dev/null &
nspawn=$!
status=0
wait "$nspawn" || status=$?
nspawn=""
if [ ! -s "$work/root/booted/log" ]; then
  tail -n 30 "$work/console"
  cannot "the container ran no check (systemd-nspawn exited $status)"
fi
cat "$work/root/booted/log"
if ! grep -qE '^booted: [0-9]+ passed, [0-9]+ failed$' "$work/root/booted/log"; then
  tail -n 30 "$work/console"
  cannot "the check did not finish (systemd-nspawn exited $status)"
fi
grep -qE '^booted: [0-9]+ passed, 0 failed$' "$work/root/booted/log"
