#!/usr/bin/env bash
# Checks the Debian package on a clean Debian 12 root: builds it, installs it with only the
# packages it declares (no recommends) into a fresh minbase root made by debootstrap, and runs
# korvel-batch on two copies of the example rig there, one with an image missing, without any
# display. Needs root, network access to a Debian mirror and about 1 GB.
#   scripts/check-package.sh [root folder (default: a temporary one, removed at the end)]
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/build.sh >/dev/null
(cd build && cpack -G DEB >/dev/null)
deb=$(ls build/korvel_*_amd64.deb)
root=${1:-$(mktemp -d)}
[ -n "${1:-}" ] || trap 'umount "$root/proc" 2>/dev/null; rm -rf "$root"' EXIT
command -v debootstrap >/dev/null || apt-get install -y -qq debootstrap >/dev/null
[ -x "$root/usr/bin/apt-get" ] ||
  debootstrap --variant=minbase bookworm "$root" http://deb.debian.org/debian >/dev/null
cp /etc/resolv.conf "$root/etc/resolv.conf"
mountpoint -q "$root/proc" || mount -t proc proc "$root/proc"
rm -rf "$root/root/t" && mkdir -p "$root/root/t/shots"
cp "$deb" "$root/root/t/"
for p in p1 p2; do
  cp -r examples/ring13 "$root/root/t/shots/$p"
  rm "$root/root/t/shots/$p/rig-truth.pts"
done
rm "$root/root/t/shots/p2/ring07.jpg"
chroot "$root" env -i PATH=/usr/bin:/bin HOME=/root DEBIAN_FRONTEND=noninteractive bash -c '
  set -e
  cd /root/t
  apt-get update -qq
  apt-get install -y -qq --no-install-recommends ./korvel_*_amd64.deb >/dev/null
  korvel --version
  korvel-batch --jobs 2 shots || true
  korvel -e shots/p1/rig.cp.pts 2>/dev/null | grep "^sum:"'
