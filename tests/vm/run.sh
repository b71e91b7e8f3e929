#!/bin/sh
# One real-kernel test VM: the board's programs (from the Debian packages in PACKAGES
# when they are there, else from BUILD: the board build for armhf, the PC build for
# amd64) in an initramfs with a Debian kernel that has the GPIO simulator,
# booted under qemu (TCG) with a UART wired RX to TX through a FIFO. The guest reports
# "RESULT name PASS|FAIL" lines on its console; the UART's line settings are proven
# from qemu's trace of the UART registers.
#
#   run.sh armhf|amd64 BUILD [PACKAGES [CACHE]]
set -eu
arch=$1 build=$(cd "$2" && pwd) pkgs=${3:-} cache=${4:-/var/cache/halvex-vm}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
case $arch in
  armhf) qemu=qemu-system-arm sysroot=/usr/arm-linux-gnueabihf/lib triplet=arm-linux-gnueabihf ;;
  amd64) qemu=qemu-system-x86_64 sysroot=/lib/x86_64-linux-gnu triplet=x86_64-linux-gnu ;;
  *) echo "run.sh: unknown architecture $arch" >&2; exit 2 ;;
esac
if ! command -v "$qemu" >/dev/null || ! command -v cpio >/dev/null; then
  echo "SKIP: $qemu or cpio is not installed: this machine cannot run the VM"
  exit 77
fi
"$here/fetch.sh" "$arch" "$cache"
k=$cache/$arch

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
root=$work/root
make_root "$root" "$k" "$here/init.sh"
cp "$k/modules.order" "$root/modules.order"
tools_deb=$(ls "$pkgs"/halvex-tools_*_"$arch".deb 2>/dev/null | head -n 1 || true)
lib_deb=$(ls "$pkgs"/libhalvex1_*_"$arch".deb 2>/dev/null | head -n 1 || true)
if [ -n "$pkgs" ] && [ -n "$tools_deb" ] && [ -n "$lib_deb" ]; then
  from="the packages $(basename "$tools_deb") and $(basename "$lib_deb")"
  dpkg-deb -x "$tools_deb" "$work/pkg"
  dpkg-deb -x "$lib_deb" "$work/pkg"
  cp "$work/pkg/usr/bin/"* "$root/bin/"
  cp -L "$work/pkg/usr/lib/$triplet/libhalvex.so.1" "$root/lib/"
else
  from="the build tree $build"
  for p in hx_serial_echo serial_probe hx_throttle_cal hx_press_monitor hx_board_check; do cp "$build/examples/$p" "$root/bin/"; done
  cp -L "$build/library/libhalvex.so.1" "$root/lib/"
fi

# The users of a robot's board: robot in the groups halvex and dialout, outsider in none.
mkdir -p "$root/etc"
printf 'root:x:0:0::/:/bin/sh\nrobot:x:1000:1000::/tmp:/bin/sh\noutsider:x:1001:1001::/tmp:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\ndialout:x:20:robot\nhalvex:x:999:robot\nrobot:x:1000:\noutsider:x:1001:\n' > "$root/etc/group"
cp "$build/tests/vm/asuser" "$root/bin/"

# The C library and whatever else the programs need, and the loader where they ask.
interp=$(readelf -l "$root/bin/hx_serial_echo" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
mkdir -p "$root$(dirname "$interp")"
libc="this machine's"
bullseye=""
if [ "$arch" = armhf ] && [ "$from" != "the build tree $build" ]; then
  # The packages are built for Debian 11 and newer: run them on Debian 11's own loader and
  # C library. vmcheck, a test helper built here, runs on bookworm's from /bookworm.
  bullseye=$("$here/../../tools/sysroot.sh" armhf "$cache")
fi
if [ -n "$bullseye" ]; then
  for f in "$root/bin/"hx_* "$root/bin/serial_probe" "$root/lib/libhalvex.so.1"; do
    copy_needs "$f" "$bullseye/lib/$triplet" "$root/lib"
  done
  cp -L "$bullseye/runtime/lib/$triplet/libgcc_s.so.1" "$root/lib/"
  cp -L "$bullseye/lib/$triplet/$(basename "$interp")" "$root$interp"
  cp -L "$bullseye/lib/$triplet/libc.so.6" "$root/lib/"
  # Before 2.34 the C library reads /etc/group through this module (the groups' names).
  cp -L "$bullseye/lib/$triplet/libnss_files.so.2" "$root/lib/"
  libc="Debian 11's ($(ls "$bullseye/lib/$triplet/" | sed -n 's/^libc-\(.*\)\.so$/glibc \1/p'))"
  # Debian 11's own Python with python3-halvex installed, where Debian puts it.
  py_deb=$(ls "$pkgs"/python3-halvex_*_all.deb 2>/dev/null | head -n 1 || true)
  if [ -n "$py_deb" ] && python=$("$here/python.sh" "$cache"); then
    cp -a "$python/usr" "$python/lib" "$root/" 2>/dev/null || cp -a "$python/usr" "$root/"
    dpkg-deb -x "$py_deb" "$root"
    for f in "$root/usr/bin/python3.9" "$root/usr/lib/python3.9/lib-dynload/_ctypes."*.so; do
      for dir in "$python/lib/$triplet" "$python/usr/lib/$triplet" "$bullseye/lib/$triplet"; do
        copy_needs "$f" "$dir" "$root/lib"
      done
    done
    cp "$here/robot.py" "$root/bin/robot.py"
    from="$from, $(basename "$py_deb")"
    python_checks="python-import python-buttons python-serial python-vecmath python-encoders"
  fi
  mkdir -p "$root/bookworm"
  cp "$build/tests/vm/vmcheck" "$root/bin/vmcheck.bin"
  copy_needs "$root/bin/vmcheck.bin" "$sysroot" "$root/bookworm"
  copy_needs "$root/lib/libhalvex.so.1" "$sysroot" "$root/bookworm"
  cp -L "$sysroot/$(basename "$interp")" "$root/bookworm/"
  printf '#!/bin/sh\nexec /bookworm/%s --library-path /bookworm:/lib /bin/vmcheck.bin "$@"\n' "$(basename "$interp")" > "$root/bin/vmcheck"
  chmod +x "$root/bin/vmcheck"
  # (asuser too, built here; the programs it runs then load Debian 11's C library.)
  mv "$root/bin/asuser" "$root/bin/asuser.bin"
  printf '#!/bin/sh\nexec /bookworm/%s --library-path /bookworm /bin/asuser.bin "$@"\n' "$(basename "$interp")" > "$root/bin/asuser"
  chmod +x "$root/bin/asuser"
else
  cp "$build/tests/vm/vmcheck" "$root/bin/"
  for f in "$root/bin/"hx_* "$root/bin/serial_probe" "$root/bin/vmcheck" "$root/bin/asuser" "$root/lib/libhalvex.so.1"; do
    copy_needs "$f" "$sysroot" "$root/lib"
  done
  cp -L "$sysroot/$(basename "$interp")" "$root$interp"
fi
from="$from, on $libc C library"
echo "building the initramfs: busybox, kernel $(cat "$k/version") modules, the programs from $from"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz"

mkfifo "$work/loop"
console=$work/console.log
case $arch in
  armhf)
    set -- -M virt,highmem=off -cpu cortex-a15 -m 512 \
      -device virtio-serial-pci -device virtconsole,chardev=con -append "console=hvc0 panic=-1 quiet" \
      -chardev pipe,id=loop,path="$work/loop" -serial chardev:loop -trace pl011_write ;;
  amd64)
    set -- -accel tcg -cpu max -m 256 -append "console=ttyS0 panic=-1 quiet" \
      -serial chardev:con -chardev pipe,id=loop,path="$work/loop" -serial chardev:loop \
      -trace serial_update_parameters ;;
esac
echo "booting the $arch VM under $qemu (about 10-20 s)"
started=$(date +%s)
# The guest's clock counts its instructions (icount), not the host's time: a host too
# busy to run the guest for a while (a loaded CI machine) stretches no interval the
# guest times, such as the glitch shorter than the buttons' 2 ms debounce.
timeout 150 "$qemu" -smp 1 -display none -monitor none -nic none -no-reboot -icount shift=0,sleep=on \
  -kernel "$k/vmlinuz" -initrd "$work/initrd.gz" -chardev stdio,id=con,signal=off \
  -D "$work/trace.log" "$@" < /dev/null > "$console" 2>&1 || true
took=$(( $(date +%s) - started ))

echo "$arch VM, kernel $(cat "$k/version"), $took s, programs from $from:"
grep -a -E '^(VM up|RESULT|ERROR|hx_|\| )' "$console" | tr -d '\r' || true
fail=0
grep -a -q '^RESULT end' "$console" || { echo "the guest did not finish; its console:"; tail -n 40 "$console"; fail=1; }
grep -a -q 'RESULT .* FAIL' "$console" && fail=1
for check in monitor own-debounce no-v2 serial-echo serial-probe serial-line serial-placeholder user-monitor \
  user-serial-echo user-serial-probe user-outsider ${python_checks:-}; do
  grep -a -q "^RESULT $check PASS" "$console" || { echo "missing: $check"; fail=1; }
done
board_check_result "$console" "$here/board-check.$arch.expected" "$work" "$(cat "$k/version")" || fail=1

# The settings reached the UART: 8 data bits, even parity, two stop bits.
case $arch in
  armhf)  # PL011 line control register (offset 0x2c): WLEN=8 (0x60), STP2 0x8, EPS 0x4, PEN 0x2
    ok=0
    for v in $(sed -n 's/.*pl011_write addr 0x0*2c value \(0x[0-9a-f]*\).*/\1/p' "$work/trace.log"); do
      [ $((v & 0x6e)) -eq $((0x6e)) ] && ok=1
    done
    if [ $ok = 1 ]; then
      echo "RESULT uart-registers PASS (PL011 LCR_H: 8 data bits, even parity, 2 stop bits)"
    else echo "RESULT uart-registers FAIL"; grep -a 'addr 0x0*2c' "$work/trace.log" | tail -n 5; fail=1; fi ;;
  amd64)
    if grep -a -q "parity='E' data=8 stop=2" "$work/trace.log"; then
      echo "RESULT uart-registers PASS (16550: $(grep -a -o "baudrate=[0-9]* parity='E' data=8 stop=2" "$work/trace.log" | tail -n 1))"
    else echo "RESULT uart-registers FAIL"; grep -a serial_update "$work/trace.log" | tail -n 5; fail=1; fi ;;
esac
exit $fail
