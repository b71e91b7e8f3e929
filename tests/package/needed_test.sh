#!/bin/sh
# Each program names in its dynamic section the libraries it is linked against:
# libhalvex.so.1, libm.so.6, librt.so.1, libpthread.so.0 and libc.so.6 (and, on ARM,
# the GCC runtime for unwinding), whatever the linker's --as-needed would drop.
set -eu
dir=$1
for p in hx_serial_echo serial_probe hx_throttle_cal hx_press_monitor; do
  needed=$(readelf -d "$dir/$p" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v '^libgcc_s.so.1$' | tr '\n' ' ')
  [ "$needed" = "libhalvex.so.1 libm.so.6 librt.so.1 libpthread.so.0 libc.so.6 " ] ||
    { echo "$p needs: $needed"; exit 1; }
done
echo "the four programs name libhalvex.so.1 libm.so.6 librt.so.1 libpthread.so.0 libc.so.6"
