#!/bin/sh
# Build, once, GNU as and ld for the PRU (pru-elf) from Debian's own binutils sources
# (the binutils-source package carries the upstream tarball). No Debian release packages
# them. About 1.5 minutes on two cores; the result is cached, keyed by version, as the
# VM kernels are:
#
#   firmware/binutils.sh [CACHE]   -> CACHE/pru-binutils-VERSION/bin/pru-elf-{as,ld}
#                                     (CACHE defaults to /var/cache/halvex-pru)
#
# The build finds them there. The ready mark is written last: a build cut off half-way
# is started again.
set -eu
cache=${1:-/var/cache/halvex-pru}
cd "$(dirname "$0")/.."
. tools/deps.sh
# (flex: the binutils directory that ld depends on regenerates a lexer.)
hx_need binutils-source gcc g++ make xz-utils flex bison
tarball=$(ls /usr/src/binutils/binutils-*.tar.xz | sort -V | tail -n 1)
version=$(basename "$tarball" .tar.xz | sed 's/^binutils-//')
out=$cache/pru-binutils-$version
[ -f "$out/ready" ] && { echo "$out"; exit 0; }
mkdir -p "$cache"
exec 9>"$cache/build.lock"
flock 9
[ -f "$out/ready" ] && { echo "$out"; exit 0; }
echo "building the PRU assembler and linker from binutils $version (once, about 1.5 minutes; cached in $cache)" >&2
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
tar -C "$tmp" -xJf "$tarball"
rm -rf "$out"
mkdir -p "$tmp/build"
( cd "$tmp/build" &&
  "../binutils-$version/configure" --target=pru-elf --prefix="$out" --disable-gdb --disable-sim \
    --disable-nls --disable-werror --disable-gold --disable-gprofng --disable-libctf --without-zstd \
    MAKEINFO=true > "$tmp/log" 2>&1 &&
  make -j "$(nproc)" all-gas all-ld MAKEINFO=true >> "$tmp/log" 2>&1 &&
  make install-gas install-ld MAKEINFO=true >> "$tmp/log" 2>&1 ) ||
  { tail -n 30 "$tmp/log" >&2; echo "firmware/binutils.sh: the build failed" >&2; exit 1; }
strip "$out"/bin/* 2>/dev/null || true
rm -rf "$out/share"
touch "$out/ready"
echo "$out"
