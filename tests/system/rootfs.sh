#!/usr/bin/env bash
# Makes (once) the Debian 12 root file system the system test boots, and prints its directory.
#
#   rootfs.sh CACHE_DIR
#
# The tree is made by mmdebstrap from Debian packages only and kept under CACHE_DIR, named after
# a digest of everything that goes into it (packages, sources, customisation), so a changed list
# makes a new tree and an unchanged one is reused as it is. The test boots it with
# --volatile=overlay, which never writes to it. Root only.
set -euo pipefail

if [ "$#" -ne 1 ]; then
  echo "usage: $0 CACHE_DIR" >&2
  exit 2
fi
cache=$1

# What the installed service needs and what the test looks at, nothing more: systemd as PID 1
# with the journal and polkit (pkexec) on D-Bus, OpenConnect and the distribution's vpnc-script,
# the libraries the daemon and the control tool link, ip and ping, and the locale OpenConnect's
# environment names; systemd-resolved and its name-service module, off unless a case turns them on.
packages=(
  systemd systemd-sysv dbus polkitd pkexec systemd-resolved libnss-resolve
  openconnect vpnc-scripts iproute2 iputils-ping procps ca-certificates locales
  libicu72 liburiparser1 libssl3 libstdc++6
)
suites=(
  "deb http://deb.debian.org/debian bookworm main"
  "deb http://deb.debian.org/debian bookworm-updates main"
  "deb http://deb.debian.org/debian-security bookworm-security main"
)

# Runs inside mmdebstrap with the tree as $1. The container boots without a network manager or
# a login prompt; ocserv, should a dependency ever bring it in, must not start beside ours.
# shellcheck disable=SC2016 # expanded by mmdebstrap's shell
customize='set -e
r=$1
echo "en_US.UTF-8 UTF-8" >"$r/etc/locale.gen"
chroot "$r" locale-gen >/dev/null
echo vt-system >"$r/etc/hostname"
chroot "$r" useradd --create-home --shell /bin/sh vtuser
for unit in ocserv.service console-getty.service getty@.service systemd-timesyncd.service \
    apt-daily.timer apt-daily-upgrade.timer dpkg-db-backup.timer e2scrub_all.timer \
    fstrim.timer; do
  ln -sf /dev/null "$r/etc/systemd/system/$unit"
done
rm -f "$r/etc/machine-id" && : >"$r/etc/machine-id"
# The resolver as most machines have it: a plain file; the systemd-resolved case turns the
# service, its stub link and its name-service entry on in the overlay of the container.
ln -sf /dev/null "$r/etc/systemd/system/systemd-resolved.service"
rm -f "$r/etc/resolv.conf" && echo "nameserver 192.0.2.53" >"$r/etc/resolv.conf"
sed -i -E "s/ resolve( \\[[^]]*\\])?//" "$r/etc/nsswitch.conf"
'

key=$( {
  printf '%s\n' "${packages[@]}" "${suites[@]}"
  printf '%s' "$customize"
  dpkg-query -W -f='${Version}\n' mmdebstrap 2>/dev/null || true
} | sha256sum | cut -c1-16)
tree=$cache/rootfs-$key
if [ -f "$tree/.complete" ]; then
  echo "$tree"
  exit 0
fi

for tool in mmdebstrap systemd-nspawn nsenter; do
  if ! command -v "$tool" >/dev/null; then
    echo "rootfs: $tool is missing (Debian packages mmdebstrap, systemd-container, util-linux)" >&2
    exit 1
  fi
done
mkdir -p "$cache"
# Older trees are another package list's: they are never booted again.
for old in "$cache"/rootfs-*; do
  [ -e "$old" ] && [ "$old" != "$tree" ] && rm -rf --one-file-system -- "$old"
done
staging=$tree.partial
rm -rf --one-file-system -- "$staging"
log=$cache/mmdebstrap.log
include=$(IFS=,; echo "${packages[*]}")
if ! mmdebstrap --variant=minbase --mode=root --format=directory --include="$include" \
  --customize-hook="sh -c '$customize' customize \"\$1\"" \
  bookworm "$staging" "${suites[@]}" >"$log" 2>&1; then
  echo "rootfs: mmdebstrap failed; the end of $log:" >&2
  tail -n 30 "$log" >&2
  rm -rf --one-file-system -- "$staging"
  exit 1
fi
: >"$staging/.complete"
mv -- "$staging" "$tree"
echo "$tree"
