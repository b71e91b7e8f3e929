#!/bin/sh
# Fetch, once, Debian 11's own Python 3.9 for armhf: the interpreter, its standard
# library and what it links (libffi for ctypes, zlib, expat), as the ARM VM runs it on Debian
# 11's C library. From the archive this machine already uses (tools/private-apt.sh).
#
#   python.sh CACHE  -> CACHE/bullseye-armhf-python (a root: usr/bin/python3.9, usr/lib/...)
set -eu
cache=$1
out=$cache/bullseye-armhf-python
[ -f "$out/ready" ] && { echo "$out"; exit 0; }
mkdir -p "$cache"
exec 9>"$cache/fetch.lock"
flock 9
[ -f "$out/ready" ] && { echo "$out"; exit 0; }
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/../../tools/private-apt.sh"
echo "fetching Debian 11's Python 3.9 for armhf (once, about 7 MB; cached in $out)" >&2
private_apt "$cache/apt-bullseye" "$tmp" armhf bullseye
cd "$tmp"
for p in python3.9-minimal libpython3.9-minimal libpython3.9-stdlib libffi7 zlib1g libexpat1; do
  apt-get download -qq "$p" >/dev/null 2>&1 || { echo "python.sh: bullseye's $p for armhf is not served" >&2; exit 1; }
done
rm -rf "$out" && mkdir -p "$out"
for d in ./*.deb; do dpkg-deb -x "$d" "$out"; done
touch "$out/ready"
echo "$out"
