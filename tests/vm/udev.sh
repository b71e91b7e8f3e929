#!/bin/sh
# Fetch, once, Debian 12's udev for armhf (udevadm, which is also systemd-udevd, and the
# libraries it links), so that the board VM applies the packages' udev rules as a board's
# udev does. From the archive this machine already uses (tools/private-apt.sh).
#
#   udev.sh CACHE  -> CACHE/bookworm-armhf-udev (a root: bin/udevadm, lib/..., usr/lib/...)
set -eu
cache=$1
out=$cache/bookworm-armhf-udev
[ -f "$out/ready" ] && { echo "$out"; exit 0; }
mkdir -p "$cache"
exec 9>"$cache/fetch.lock"
flock 9
[ -f "$out/ready" ] && { echo "$out"; exit 0; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/../../tools/private-apt.sh"
echo "fetching Debian 12's udev for armhf (once, about 5 MB; cached in $out)" >&2
private_apt "$cache/apt-bookworm-armhf" "$tmp" armhf bookworm
cd "$tmp"
for p in udev libkmod2 libacl1 libblkid1 libcap2 libselinux1 libpcre2-8-0 liblzma5 libzstd1 libssl3; do
  apt-get download -qq "$p" >/dev/null 2>&1 || { echo "udev.sh: bookworm's $p for armhf is not served" >&2; exit 1; }
done
rm -rf "$out" && mkdir -p "$out"
for d in ./*.deb; do dpkg-deb -x "$d" "$out"; done
touch "$out/ready"
echo "$out"
