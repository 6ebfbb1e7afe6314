#!/bin/bash
# Boots Debian 12 with systemd as PID 1 in systemd-nspawn, installs the .deb the build made and runs
# inside.py there. Usage (root): tests/booted/run.sh BUILD_DIR
# The rootfs is debootstrapped once per package list into /var/cache/tarn-wemb-booted; each run
# boots a throwaway overlay of it. A machine that cannot boot it is a failure, and says so.
set -euo pipefail
here=$(cd "$(dirname "$0")" && pwd)
deb=$(ls "$1"/tarn-wemb_*.deb)
packages=systemd,systemd-sysv,dbus,libpam-modules,passwd,procps,util-linux,python3,swtpm,swtpm-tools,tpm2-abrmd,\
libtss2-tcti-tabrmd0,libtss2-esys-3.0.2-0,libtss2-mu0,libtss2-rc0,libtss2-sys1,libtss2-tctildr0,libtss2-tcti-device0,\
libssl3,libutf8proc2,pinentry-curses,adduser
cache=/var/cache/tarn-wemb-booted/$(sha256sum <<<"bookworm $packages" | cut -c1-16)
# The mirror apt already uses (deb822 or one-line form).
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
  timeout 900 debootstrap --variant=minbase --include="$packages" bookworm "$cache.new" "${mirror:-http://deb.debian.org/debian}" \
    >"$cache.log" 2>&1 || cannot "debootstrap failed (see $cache.log)"
  rm -rf "$cache.new"/var/cache/apt/archives/*.deb
  mv "$cache.new" "$cache"
fi

work=$(mktemp -d /var/tmp/tarn-booted.XXXXXX)
cgroups=()
cleanup() {
  set +e
  mountpoint -q "$work/root" && umount -l "$work/root"
  # Every process of the container is in our cgroups, which its systemd filled: deepest first.
  for _ in $(seq 50); do
    find "${cgroups[@]}" -depth -type d 2>/dev/null | while read -r d; do
      xargs -r kill -KILL <"$d/cgroup.procs" && rmdir "$d"
    done 2>/dev/null
    ls -d "${cgroups[@]}" >/dev/null 2>&1 || break
    sleep 0.1
  done
  rm -rf "$work"
}
trap cleanup EXIT
trap "exit 1" INT TERM HUP
mkdir "$work/upper" "$work/scratch" "$work/root"
mount -t overlay overlay -o "lowerdir=$cache,upperdir=$work/upper,workdir=$work/scratch" "$work/root" || cannot "no overlay mount"
mkdir "$work/root/booted"
cp "$deb" "$here/inside.py" "$here/../blackbox/pinentry" "$work/root/booted/"
cp "$here/tarn-wemb-booted.service" "$work/root/etc/systemd/system/"
mkdir -p "$work/root/etc/systemd/journald.conf.d" "$work/root/etc/systemd/system/multi-user.target.wants"
ln -s ../tarn-wemb-booted.service "$work/root/etc/systemd/system/multi-user.target.wants/"
# Every per-connection line must reach the journal to be counted.
printf '[Journal]\nRateLimitIntervalSec=0\n' >"$work/root/etc/systemd/journald.conf.d/booted.conf"

# A cgroup of its own in each hierarchy: nspawn keeps it (--keep-unit, as no machined is there to
# make a scope), and the container's systemd takes it over.
for h in /sys/fs/cgroup/unified /sys/fs/cgroup/systemd /sys/fs/cgroup; do
  if [ -w "$h/cgroup.procs" ] && mkdir "$h/tarn-booted-$$"; then cgroups+=("$h/tarn-booted-$$"); fi
done
(
  for g in "${cgroups[@]}"; do echo "$BASHPID" >"$g/cgroup.procs"; done
  SYSTEMD_NSPAWN_UNIFIED_HIERARCHY=1 exec timeout 900 systemd-nspawn --quiet --boot --directory="$work/root" \
    --register=no --keep-unit --private-network --capability=CAP_BPF --system-call-filter=bpf --console=read-only
) >"$work/console" 2>&1 </dev/null &
status=0
wait $! || status=$?  # in the background, so that a signal to this script is handled at once
cat "$work/root/booted/log" 2>/dev/null || true
if ! grep -qE '^booted: [0-9]+ passed, [0-9]+ failed$' "$work/root/booted/log" 2>/dev/null; then
  tail -n 30 "$work/console"
  cannot "the check did not run to its end (systemd-nspawn exited $status)"
fi
grep -qE '^booted: [0-9]+ passed, 0 failed$' "$work/root/booted/log"
