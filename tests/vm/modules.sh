#!/bin/sh
# Build, once, the drivers Debian's ARM kernels lack, for one of them: the counter
# subsystem with ti-eqep, pruss, its interrupt controller and pru_rproc, and
# uio_pdrv_genirq (the UIO device of the PRU memories; Debian builds the UIO core). From
# Debian's own packages for that kernel: the headers, kbuild, and linux-source for the
# driver files. modpost is rebuilt from the same source: the one of Debian's kbuild for
# this machine knows its own architecture's device tables, not the ARM kernel's, and may
# want a newer C library than this machine's.
#
#   modules.sh CACHE [VERSION]  -> CACHE/modules-VERSION/{counter,ti-eqep,pruss,irq-pruss-intc,pru_rproc,uio_pdrv_genirq}.ko
#
# VERSION is a Debian armmp kernel's (`uname -r`): 6.1.0-N-armmp (bookworm) or
# 7.x.y+debN-armmp (trixie-backports); by default the board VM's (CACHE/armhf/version).
set -eu
cache=$1
kv=${2:-$(cat "$cache/armhf/version")}
out=$cache/modules-$kv
ready() { [ -f "$out/ready" ] && [ -f "$out/uio_pdrv_genirq.ko" ]; }
ready && exit 0
command -v arm-linux-gnueabihf-gcc >/dev/null && command -v make >/dev/null || {
  echo "modules.sh: needs arm-linux-gnueabihf-gcc and make" >&2; exit 2; }
mkdir -p "$cache"
exec 9>"$cache/fetch.lock"
flock 9
ready && exit 0
tmp=$(mktemp -d)
trap 'rm -rf "$tmp"' EXIT
. "$(dirname "$0")/../../tools/private-apt.sh"
echo "building the eQEP and PRU drivers for $kv (once, about 170 MB of packages; cached in $out)"
private_apt "$cache/apt" "$tmp" armhf,amd64 trixie-backports bookworm
cd "$tmp"
series=$(echo "$kv" | sed 's/^\([0-9]*\.[0-9]*\).*/\1/')
common=$(echo "$kv" | sed 's/-armmp$//')
get() { apt-get download -qq "$1" >/dev/null 2>&1; }
for p in "linux-headers-$kv" "linux-headers-$common-common" "linux-source-$series"; do
  get "$p" || { echo "modules.sh: $p is not served" >&2; exit 1; }
done
# kbuild: one a build from 7.x on, one a series before.
get "linux-kbuild-$common:amd64" || get "linux-kbuild-$series:amd64" ||
  { echo "modules.sh: no linux-kbuild for $kv is served" >&2; exit 1; }
mkdir x
for d in ./*.deb; do
  case $d in *linux-source*) dpkg-deb --fsys-tarfile "$d" | tar -x -C x ./usr/src/linux-source-$series.tar.xz ;;
             *) dpkg-deb -x "$d" x ;; esac
done
src=linux-source-$series
# (Some of these files came with later kernels: tar says which it did not find.)
tar -xJf "x/usr/src/$src.tar.xz" --wildcards "$src/drivers/counter/*" "$src/drivers/soc/ti/pruss*" \
  "$src/drivers/remoteproc/pru_rproc*" "$src/drivers/remoteproc/remoteproc_internal.h" \
  "$src/drivers/remoteproc/remoteproc_elf_helpers.h" "$src/drivers/irqchip/irq-pruss-intc.c" \
  "$src/drivers/uio/uio_pdrv_genirq.c" \
  "$src/scripts/mod/*" "$src/scripts/include/*" "$src/include/linux/license.h" \
  "$src/include/linux/module_symbol.h" "$src/include/linux/mod_devicetable.h" "$src/include/linux/device-id/*" \
  2>/dev/null || true
[ -f "$src/drivers/counter/ti-eqep.c" ] && [ -f "$src/drivers/remoteproc/pru_rproc.c" ] ||
  { echo "modules.sh: $src has no ti-eqep or pru_rproc" >&2; exit 1; }
h=$tmp/x/usr/src/linux-headers-$kv
kbuild=$(find "$tmp/x/usr/lib" -maxdepth 1 -name 'linux-kbuild-*' | head -n 1)
# The headers name absolute /usr/src paths: point them at the unpacked tree.
printf 'KBUILD_OUTPUT=%s\ninclude %s/Makefile\n' "$h" "$tmp/x/usr/src/linux-headers-$common-common" > "$h/Makefile"
make="make -s -C $h ARCH=arm CROSS_COMPILE=arm-linux-gnueabihf- CC=arm-linux-gnueabihf-gcc"
mkdir m p u
cp $src/drivers/counter/counter-core.c $src/drivers/counter/counter-sysfs.[ch] $src/drivers/counter/counter-chrdev.[ch] \
  $src/drivers/counter/ti-eqep.c m/
printf 'obj-m := counter.o ti-eqep.o\ncounter-y := counter-core.o counter-sysfs.o counter-chrdev.o\n' > m/Kbuild
# modpost, from the same source: its generated headers the Kbuild way.
cp $src/scripts/mod/devicetable-offsets.c m/
$make M="$tmp/m" devicetable-offsets.s >/dev/null
sed -ne 's:^[[:space:]]*\.ascii[[:space:]]*"\(.*\)".*:\1:; /^->/{s:->#\(.*\):/* \1 */:; s:^->\([^ ]*\) [\$#]*\([^ ]*\) \(.*\):#define \1 \2 /* \3 */:; s:->::; p;}' \
  m/devicetable-offsets.s > $src/scripts/mod/devicetable-offsets.h
rm m/devicetable-offsets.*
echo 'int x;' | arm-linux-gnueabihf-gcc -x c -c -o empty.o -
gcc -o mk_elfconfig $src/scripts/mod/mk_elfconfig.c
./mk_elfconfig < empty.o > $src/scripts/mod/elfconfig.h
(cd $src/scripts/mod && gcc -O2 -I../include -I. -I../../include/linux -o modpost \
  $(ls modpost.c file2alias.c sumversion.c symsearch.c 2>/dev/null))
cp $src/scripts/mod/modpost "$kbuild/scripts/mod/modpost"
cp $src/drivers/soc/ti/pruss.[ch] $src/drivers/remoteproc/pru_rproc.[ch] $src/drivers/remoteproc/remoteproc_internal.h \
  $src/drivers/remoteproc/remoteproc_elf_helpers.h $src/drivers/irqchip/irq-pruss-intc.c p/
# Their headers hide the prototypes behind IS_ENABLED(): say the drivers are modules.
cat > p/Kbuild <<'KBUILD'
ccflags-y := -DCONFIG_TI_PRUSS_MODULE=1 -DCONFIG_PRU_REMOTEPROC_MODULE=1 -DCONFIG_TI_PRUSS_INTC_MODULE=1
obj-m := pruss.o irq-pruss-intc.o pru_rproc.o
KBUILD
cp $src/drivers/uio/uio_pdrv_genirq.c u/
printf 'obj-m := uio_pdrv_genirq.o\n' > u/Kbuild
for dir in m p u; do
  $make M="$tmp/$dir" modules 2>&1 | grep -v -E 'pahole version|built with:|You are using:|kernel was built with' || true
done
rm -rf "$out" && mkdir -p "$out"
cp m/counter.ko m/ti-eqep.ko p/pruss.ko p/irq-pruss-intc.ko p/pru_rproc.ko u/uio_pdrv_genirq.ko "$out/"
echo "$kv" > "$out/ready"
echo "eQEP and PRU drivers for $kv ready"
