#!/bin/sh
# Fetch, once, what a small VM needs to run the board's programs on a real kernel: a
# Debian kernel that has the GPIO simulator (trixie-backports, 7.x), the modules it
# needs, and a static busybox, for ARCH (amd64 or armhf).
# Everything comes from the archive this machine already uses, through a private apt
# configuration; the archive's address is read from the machine's own apt sources.
# Builds whose files the archive lists but cannot serve are skipped for the next older
# one.
#
#   fetch.sh ARCH CACHE  -> CACHE/ARCH/{vmlinuz,busybox,modules/,modules.order,version}
#
# CACHE/ARCH/ready is written last and names the modules fetched: a fetch cut off
# half-way, or one that fetched fewer modules than now wanted, is done again. Fetches
# share one apt state, so one fetch at a time holds CACHE/fetch.lock.
set -eu
arch=$1 cache=$2
out=$cache/$arch
wanted="configfs gpio_sim uio"
fetched() { [ -f "$out/ready" ] && [ "$(cat "$out/ready")" = "$wanted" ]; }
fetched && exit 0
mkdir -p "$cache"
exec 9>"$cache/fetch.lock"
flock 9
# Another run may have fetched it while this one waited.
fetched && exit 0
case $arch in
  amd64) flavour=amd64 ;;
  armhf) flavour=armmp ;;
  *) echo "fetch.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
command -v apt-get >/dev/null && command -v dpkg-deb >/dev/null && command -v modinfo >/dev/null || {
  echo "fetch.sh: needs apt-get, dpkg-deb and modinfo (kmod)" >&2; exit 2; }

tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
mkdir -p "$out"
. "$(dirname "$0")/../../tools/private-apt.sh"
echo "fetching a 7.x kernel for $arch (once; cached in $cache)"
private_apt "$cache/apt" "$tmp" "$arch" trixie-backports bookworm
cd "$tmp"

get() {  # download package NAME into $tmp; false if the archive does not serve it
  apt-get download -qq "$1" >/dev/null 2>&1
}

get busybox-static || { echo "fetch.sh: busybox-static for $arch not available" >&2; exit 1; }
dpkg-deb -x busybox-static_*.deb bb
cp bb/bin/busybox "$out/busybox"

# The modules wanted and what they depend on, in load order, from the unpacked kernel
# in k.
take_modules() {
  moddir=$(find k -type d -path "*/lib/modules/*" -prune | head -n 1)
  rm -rf "$out/modules" && mkdir "$out/modules"
  : > "$out/modules.order"
  need() {
    local f dep name  # (dash and busybox sh have local)
    f=$(find "$moddir" -name "$1.ko*" -o -name "$(echo "$1" | tr _ -).ko*" | head -n 1)
    [ -n "$f" ] || { echo "fetch.sh: module $1 not found" >&2; exit 1; }
    for dep in $(modinfo -F depends "$f" | tr , ' '); do need "$dep"; done
    name=$(basename "$f" | sed 's/\.ko.*//')
    grep -qx "$name" "$out/modules.order" && return 0
    case $f in
      *.xz) xz -dc "$f" > "$out/modules/$name.ko" ;;
      *.zst) zstd -qdc "$f" > "$out/modules/$name.ko" ;;
      *) cp "$f" "$out/modules/$name.ko" ;;
    esac
    echo "$name" >> "$out/modules.order"
  }
  for m in $wanted; do need "$m"; done
}

# The plain flavour only (not -rt-, not -cloud-).
for kv in $(apt-cache search --names-only "^linux-binary-7\.[0-9.]*[+]deb[0-9]*-$flavour\$" | awk '{print $1}' |
            sed "s/^linux-binary-//" | sort -V -r); do
  rm -rf k ./*.deb.part
  get "linux-binary-$kv" && get "linux-base-$kv" || { echo "  $kv: not served, trying an older one"; continue; }
  mkdir k
  for d in linux-binary-"$kv"_*.deb linux-base-"$kv"_*.deb; do dpkg-deb -x "$d" k; done
  config=$(find k -name "config-*" -o -path "*/modules/*/config" | head -n 1)
  [ -n "$config" ] && grep -q '^CONFIG_GPIO_SIM=m' "$config" ||
    { echo "  $kv: no GPIO simulator module"; rm -f ./*.deb; continue; }
  get "linux-modules-$kv" || { echo "  $kv: modules not served"; rm -f ./*.deb; continue; }
  dpkg-deb -x linux-modules-"$kv"_*.deb k
  cp "$(find k -name "vmlinuz*" -type f | head -n 1)" "$out/vmlinuz"
  cp "$config" "$out/config"
  take_modules
  echo "$kv" > "$out/version"
  echo "$wanted" > "$out/ready"
  echo "kernel $kv for $arch ready"
  exit 0
done
echo "fetch.sh: no kernel with the GPIO simulator could be fetched for $arch" >&2
exit 1
