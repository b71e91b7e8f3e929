#!/bin/sh
# Fetch, once, the board's own trees as Debian's armmp kernels ship them: bookworm's 6.1
# .dtb, trixie-backports' newest 7.x .dtb, and the board's tree built with symbols
# (dtc -@) from trixie-backports' linux-source of that series. Each is found by its
# content (the tree whose GPIO bank 2 names its lines SVO1 .. SVO8), never by name.
# Everything comes from the archive this machine already uses, through a private apt
# configuration (tools/private-apt.sh).
#
#   trees.sh CACHE  -> CACHE/trees/{bookworm,trixie-backports,symbols}.dtb and versions
set -eu
cache=$1
out=$cache/trees
[ -f "$out/ready" ] && exit 0
for tool in apt-get dpkg-deb dtc cpp xz; do
  command -v $tool >/dev/null || { echo "trees.sh: needs $tool" >&2; exit 2; }
done
mkdir -p "$cache"
exec 9>"$cache/fetch.lock"
flock 9
[ -f "$out/ready" ] && exit 0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/../../tools/private-apt.sh"
echo "fetching the board's trees of Debian's kernels (once, about 210 MB; cached in $out)"
private_apt "$cache/apt" "$tmp" armhf trixie-backports bookworm
cd "$tmp"
rm -rf "$out" && mkdir -p "$out"

# The board's tree among the .dtb files below $1.
board_tree() {
  for f in $(find "$1" -name '*.dtb' | sort); do
    all=1
    for line in SVO1 SVO2 SVO3 SVO4 SVO5 SVO6 SVO7 SVO8; do grep -q -a -F "$line" "$f" || { all=0; break; }; done
    [ $all = 1 ] && { echo "$f"; return 0; }
  done
  return 1
}
# The newest package matching $1 that the archive serves, downloaded; its name.
newest() {
  for p in $(apt-cache search --names-only "$1" | awk '{print $1}' | sort -V -r); do
    apt-get download -qq "$p" >/dev/null 2>&1 && { echo "$p"; return 0; }
  done
  return 1
}

p=$(newest '^linux-image-6\.1\.0-[0-9]*-armmp$') || { echo "trees.sh: no bookworm 6.1 armmp kernel served" >&2; exit 1; }
dpkg-deb -x ./"$p"_*.deb k61
cp "$(board_tree k61)" "$out/bookworm.dtb"
echo "bookworm $p $(dpkg-deb -f ./"$p"_*.deb Version)" > "$out/versions"

p=$(newest '^linux-base-7\.[0-9.]*[+]deb[0-9]*-armmp$') || { echo "trees.sh: no trixie-backports 7.x armmp kernel served" >&2; exit 1; }
dpkg-deb -x ./"$p"_*.deb k7
cp "$(board_tree k7)" "$out/trixie-backports.dtb"
echo "trixie-backports $p $(dpkg-deb -f ./"$p"_*.deb Version)" >> "$out/versions"

series=$(echo "$p" | sed 's/^linux-base-\([0-9]*\.[0-9]*\).*/\1/')
s=$(newest "^linux-source-$series\$") || { echo "trees.sh: linux-source-$series not served" >&2; exit 1; }
src=linux-source-$series
dpkg-deb --fsys-tarfile ./"$s"_*.deb | tar -x ./usr/src/$src.tar.xz
tar -xJf usr/src/$src.tar.xz --wildcards "$src/arch/arm/boot/dts/ti/omap/*" "$src/include/dt-bindings/*" \
  --no-wildcards-match-slash "$src/arch/arm/boot/dts/*.dtsi"
dts=$(grep -l -F SVO1 $src/arch/arm/boot/dts/ti/omap/*.dts | head -n 1)
# As the kernel's build does: cpp for the includes and macros, dtc for the rest, with
# symbols.
cpp -nostdinc -undef -D__DTS__ -x assembler-with-cpp -P -I $src/arch/arm/boot/dts/ti/omap -I $src/include "$dts" |
  dtc -q -@ -i $src/arch/arm/boot/dts/ti/omap -I dts -O dtb -o "$out/symbols.dtb" -
echo "symbols $s $(dpkg-deb -f ./"$s"_*.deb Version)" >> "$out/versions"
echo ok > "$out/ready"
echo "the board's trees ready: $(cut -d ' ' -f 1,2 "$out/versions" | tr '\n' ';')"
