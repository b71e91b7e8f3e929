#!/bin/sh
# What the library and every program are linked against, by their dynamic sections: the
# four programs of the board's dialogue name libhalvex.so.1, libm.so.6, librt.so.1,
# libpthread.so.0 and libc.so.6 (and, on ARM, the GCC runtime for unwinding), whatever
# the linker's --as-needed would drop; every other program needs no more than those;
# the library needs only the C library (and the GCC runtime on ARM): no libstdc++.
set -eu
dir=$1 lib=$2
fail=0
for p in hx_serial_echo serial_probe hx_throttle_cal hx_press_monitor; do
  needed=$(readelf -d "$dir/$p" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p' | grep -v '^libgcc_s.so.1$' | tr '\n' ' ')
  [ "$needed" = "libhalvex.so.1 libm.so.6 librt.so.1 libpthread.so.0 libc.so.6 " ] ||
    { echo "$p needs: $needed"; fail=1; }
done
for f in "$dir"/* "$lib"; do
  [ -f "$f" ] && [ -x "$f" ] && head -c 4 "$f" | grep -q ELF || continue
  allowed="libhalvex.so.1 libm.so.6 librt.so.1 libpthread.so.0 libc.so.6 libgcc_s.so.1"
  [ "$f" = "$lib" ] && allowed="libc.so.6 libgcc_s.so.1"
  for need in $(readelf -d "$f" | sed -n 's/.*(NEEDED).*\[\(.*\)\]/\1/p'); do
    case " $allowed " in *" $need "*) ;; *) echo "$(basename "$f") needs $need"; fail=1 ;; esac
  done
done
[ $fail = 0 ] || exit 1
echo "the library needs only the C library; every program, at most libhalvex.so.1 libm.so.6 librt.so.1 libpthread.so.0 libc.so.6"
