#!/bin/sh
# A Debian 11 (bullseye) sysroot for ARCH: its C library (glibc 2.31) and kernel headers,
# fetched from the archive this machine already uses through a private apt
# configuration (the archive's address is read from the machine's own apt sources), and
# cached. The packages build against it, so that they install on Debian 11 and newer.
#
#   tools/sysroot.sh ARCH [CACHE]   -> CACHE/bullseye-ARCH  (CACHE: /var/cache/halvex-vm)
#
# It holds libc6, libc6-dev and linux-libc-dev, with libc6's control files in DEBIAN/
# (its symbols file: dpkg-shlibdeps -S reads the dependencies there), and bullseye's
# libgcc-s1 apart in runtime/ (a VM runs the programs on bullseye's libraries).
# The ready mark is written last; one fetch at a time holds CACHE/fetch.lock.
set -eu
arch=$1 cache=${2:-/var/cache/halvex-vm}
out=$cache/bullseye-$arch
[ -f "$out/ready" ] && { echo "$out"; exit 0; }
mkdir -p "$cache"
exec 9>"$cache/fetch.lock"
flock 9
[ -f "$out/ready" ] && { echo "$out"; exit 0; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/private-apt.sh"
echo "fetching Debian 11's C library for $arch (once; cached in $out)" >&2
private_apt "$cache/apt-bullseye" "$tmp" "$arch" bullseye
cd "$tmp"
for p in libc6 libc6-dev linux-libc-dev libgcc-s1; do
  apt-get download -qq "$p" >/dev/null 2>&1 || { echo "sysroot.sh: bullseye's $p for $arch is not served" >&2; exit 1; }
done
rm -rf "$out" && mkdir -p "$out/runtime"
for d in libc6_*.deb libc6-dev_*.deb linux-libc-dev_*.deb; do dpkg-deb -x "$d" "$out"; done
dpkg-deb -e libc6_*.deb "$out/DEBIAN"
dpkg-deb -x libgcc-s1_*.deb "$out/runtime"
# Links such as usr/lib/<triplet>/librt.so -> /lib/<triplet>/librt.so.1 would reach the
# machine's own libraries: point them into the sysroot.
find "$out" -type l | while read -r l; do
  t=$(readlink "$l")
  case $t in /*) ln -sfn "$out$t" "$l" ;; esac
done
touch "$out/ready"
echo "$out"
