#!/bin/sh
# The board VM: an ARMv7 kernel (7.x from trixie-backports) with the AM335x's eQEP units
# and PRU-ICSS at their addresses in qemu's virt machine, their registers backed by
# guest RAM (am335x.dts), and the kernel's own ti-eqep, pruss and pru_rproc drivers
# (built once from Debian's sources, packaged by tools/kernel-modules: Debian's ARM
# kernels do not build them); prurun
# plays the two PRU cores on the PRU core model. The programs come from the armhf
# packages in PACKAGES (else the board build in BUILD); boardcheck, rules, prurun and the
# robot program from BUILD. The guest prints "RESULT" lines. With HX_HOST_BUILD (the PC
# build), the driver classes' rules as the real drivers answered them are compared with
# the simulated kernel's of the matching profile (mainline-6.12).
#
# The control module's pads: the board's own tree of the same kernel series
# (devicetree/trees.sh) merged with the halvex-device-tree package's overlay (else
# BUILD's), its pin groups given to a pinctrl-single node at 0x44E10800 (registers in
# guest RAM). Each group goes to the device that uses it in the merged tree where the VM
# has that device (the PRU cores, the eQEP units), the rest are the controller's own
# hogs: the real driver writes every pad the merged tree muxes, and refuses a pad two
# groups claim. Which group is whose comes from the PC build's treecheck.
#
#   board.sh BUILD [PACKAGES [CACHE]]
set -eu
build=$(cd "$1" && pwd) pkgs=${2:-} cache=${3:-/var/cache/halvex-vm}
here=$(cd "$(dirname "$0")" && pwd)
. "$here/common.sh"
for tool in qemu-system-arm cpio dtc; do
  command -v $tool >/dev/null || { echo "SKIP: $tool is not installed: this machine cannot run the board VM"; exit 77; }
done
profile=mainline-6.12
treecheck=${HX_HOST_BUILD:-}/tests/devicetree/treecheck
[ -x "$treecheck" ] || { echo "SKIP: the board VM's pads need the PC build's treecheck (HX_HOST_BUILD)"; exit 77; }
"$here/fetch.sh" armhf "$cache" ||
  { echo "SKIP: the board VM's kernel could not be fetched (above says which package)"; exit 77; }
"$here/../devicetree/trees.sh" "$cache" ||
  { echo "SKIP: the board's own tree could not be fetched (see above)"; exit 77; }
k=$cache/armhf
sysroot=/usr/arm-linux-gnueabihf/lib

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The drivers as a board gets them: the package tools/kernel-modules makes for this kernel.
modules_deb=$("$here/../../tools/kernel-modules" -o "$work" "$(cat "$k/version")" | tail -n 1) ||
  { echo "SKIP: the eQEP and PRU drivers could not be built for this kernel (see above)"; exit 77; }
dpkg-deb -x "$modules_deb" "$work/drivers"
root=$work/root
make_root "$root" "$k" "$here/board-init.sh"
cp "$work/drivers/lib/modules/"*/updates/halvex/*.ko "$root/modules/"
printf 'counter\nti-eqep\npruss\nirq-pruss-intc\npru_rproc\n' > "$root/icss.order"
# Loaded later: until then the PRU memories have no UIO device, as on a tree without
# its node, and root's programs map them through /dev/mem.
printf 'uio\nuio_pdrv_genirq of_id=halvex,pru-memories\n' > "$root/uio.order"
tools_deb=$(ls "$pkgs"/halvex-tools_*_armhf.deb 2>/dev/null | head -n 1 || true)
lib_deb=$(ls "$pkgs"/libhalvex1_*_armhf.deb 2>/dev/null | head -n 1 || true)
fw_deb=$(ls "$pkgs"/halvex-pru-firmware_*_all.deb 2>/dev/null | head -n 1 || true)
dt_deb=$(ls "$pkgs"/halvex-device-tree_*_all.deb 2>/dev/null | head -n 1 || true)
mkdir -p "$root/lib/firmware"
if [ -n "$pkgs" ] && [ -n "$tools_deb" ] && [ -n "$lib_deb" ] && [ -n "$fw_deb" ]; then
  from="the packages $(basename "$tools_deb"), $(basename "$lib_deb") and $(basename "$fw_deb")"
  for deb in "$tools_deb" "$lib_deb" "$fw_deb"; do dpkg-deb -x "$deb" "$work/pkg"; done
  cp "$work/pkg/usr/bin/hx_throttle_cal" "$work/pkg/usr/bin/hx_board_check" "$root/bin/"
  cp -L "$work/pkg/usr/lib/arm-linux-gnueabihf/libhalvex.so.1" "$root/lib/"
  cp "$work/pkg/lib/firmware/"am335x-pru* "$root/lib/firmware/"
else
  from="the build tree $build"
  cp "$build/examples/hx_throttle_cal" "$build/examples/hx_board_check" "$root/bin/"
  cp -L "$build/library/libhalvex.so.1" "$root/lib/"
  cp "$build/firmware/"am335x-pru* "$root/lib/firmware/"
fi
# The packages' udev rules, applied by Debian 12's own udev; the users of a robot's board.
if [ -f "$work/pkg/usr/lib/udev/rules.d/60-halvex.rules" ]; then rules=$work/pkg/usr/lib/udev/rules.d/60-halvex.rules
else rules=$here/../../udev/60-halvex.rules; fi
udev=$("$here/udev.sh" "$cache") || { echo "SKIP: Debian's udev could not be fetched (see above)"; exit 77; }
mkdir -p "$root/usr/lib/udev/rules.d" "$root/lib/systemd" "$root/etc" "$root/run"
cp "$rules" "$root/usr/lib/udev/rules.d/"
cp "$udev/bin/udevadm" "$root/bin/udevadm"
ln -s /bin/udevadm "$root/lib/systemd/systemd-udevd"
# (Its libraries are in both lib/ and usr/lib/ of their packages: one directory of them.)
mkdir -p "$work/udevlib"
cp -a "$udev/lib/arm-linux-gnueabihf/." "$udev/usr/lib/arm-linux-gnueabihf/." "$work/udevlib/"
copy_needs "$root/bin/udevadm" "$work/udevlib" "$root/lib"
printf 'root:x:0:0::/:/bin/sh\nrobot:x:1000:1000::/tmp:/bin/sh\noutsider:x:1001:1001::/tmp:/bin/sh\n' > "$root/etc/passwd"
printf 'root:x:0:\nhalvex:x:999:robot\nrobot:x:1000:\noutsider:x:1001:\n' > "$root/etc/group"
cp "$build/tests/vm/asuser" "$root/bin/"
printf '#!/bin/sh\nexec /bin/asuser 1000 1000,999 /bin/hx_throttle_cal "$@"\n' > "$root/bin/hx_throttle_cal.robot"
chmod +x "$root/bin/hx_throttle_cal.robot"
# An image the kernel's loader refuses, for fwquad's refused start.
cp "$build/sim/images/too-big" "$root/lib/firmware/too-big"
cp "$build/tests/vm/boardcheck" "$build/tests/vm/rules" "$build/tests/vm/prurun" "$build/tests/robot" "$root/bin/"
for f in "$root/bin/"hx_* "$root/bin/"*check "$root/bin/rules" "$root/bin/robot" "$root/bin/prurun" \
  "$root/bin/asuser" "$root/bin/udevadm" "$root/lib/"*.so*; do copy_needs "$f" "$sysroot" "$root/lib"; done
interp=$(readelf -l "$root/bin/boardcheck" | sed -n 's/.*interpreter: \(.*\)\]/\1/p')
mkdir -p "$root$(dirname "$interp")"
cp -L "$sysroot/$(basename "$interp")" "$root$interp"
(cd "$root" && find . | cpio -o -H newc 2>/dev/null | gzip -1) > "$work/initrd.gz"
echo "initrd $(stat -c %s "$work/initrd.gz") bytes"

# The board's tree with the additions, and which of its pin groups each device uses.
if [ -n "$dt_deb" ]; then
  dpkg-deb -x "$dt_deb" "$work/dt"
  overlay=$work/dt/usr/share/halvex/devicetree/halvex-paths.dtbo
  from="$from, the pads from $(basename "$dt_deb")"
else
  overlay=$build/devicetree/halvex-paths.dtbo
fi
fdtoverlay -i "$cache/trees/trixie-backports.dtb" -o "$work/merged.dtb" "$overlay"
pins() { # ADDRESS: the VM's node of the device at ADDRESS takes the groups it has in the merged tree
  groups=$(awk -v a="$1" '$1 == a {$1 = ""; print}' "$work/consumers")
  [ -n "$groups" ] && printf '&{%s} {\n\tpinctrl-names = "default";\n\tpinctrl-0 = <%s>;\n};\n' "$2" "$groups"
}
"$treecheck" --consumers "$work/merged.dtb" > "$work/consumers"
hogs=$(awk '$1 !~ /^(4a334000|4a338000|48300180|48302180|48304180)$/ {$1 = ""; print}' "$work/consumers" | tr '\n' ' ')
dtc -q -I dtb -O dts "$work/merged.dtb" | awk '
  /^\t*pinmux@800 \{$/ {inside = 1; depth = 0; next}
  inside && /\{$/ {depth++; print; next}
  inside && /^\t*\};$/ {if (depth == 0) {inside = 0; next} depth--; print; next}
  inside && depth > 0 {print}' > "$work/groups.dtsi"
# The additions' node of the PRU memories, as the merged tree has it at its root (one
# address cell): in a bus of one cell here.
dtc -q -I dtb -O dts "$work/merged.dtb" | awk '
  /^\tpru-memories@/ {inside = 1}
  inside {print}
  inside && /^\t\};$/ {inside = 0}' > "$work/uio.dtsi"
{
  printf '/ {\n\tpinmux@44e10800 {\n\t\tcompatible = "pinctrl-single";\n\t\treg = <0x0 0x44e10800 0x0 0x238>;\n'
  printf '\t\t#pinctrl-cells = <2>;\n\t\tpinctrl-single,register-width = <32>;\n\t\tpinctrl-single,function-mask = <0x7f>;\n'
  printf '\t\tpinctrl-names = "default";\n\t\tpinctrl-0 = <%s>;\n' "$hogs"
  cat "$work/groups.dtsi"
  printf '\t};\n};\n'
  pins 4a334000 /pruss@4a300000/pru@34000
  pins 4a338000 /pruss@4a300000/pru@38000
  pins 48300180 /counter@48300180
  pins 48302180 /counter@48302180
  pins 48304180 /counter@48304180
  printf '/ {\n\thalvex-bus {\n\t\tcompatible = "simple-bus";\n\t\t#address-cells = <1>;\n\t\t#size-cells = <1>;\n'
  printf '\t\tranges = <0x0 0x0 0x0 0x80000000>;\n'
  cat "$work/uio.dtsi"
  printf '\t};\n};\n'
} > "$work/pads.dts"

# qemu's own tree for this machine, with the board's units and pads added.
set -- -M virt,highmem=off -cpu cortex-a15 -m 512
qemu-system-arm "$@" -display none -machine dumpdtb="$work/virt.dtb" >/dev/null 2>&1
dtc -q -I dtb -O dts "$work/virt.dtb" > "$work/board.dts"
cat "$here/am335x.dts" "$work/pads.dts" >> "$work/board.dts"
dtc -q -I dts -O dtb -o "$work/board.dtb" "$work/board.dts"

# The initramfs goes below the units' registers' RAM (qemu would put it at 0x48000000,
# where it and the tree would overlap them).
size=$(stat -c %s "$work/initrd.gz")
console=$work/console.log
echo "booting the board VM (kernel $(cat "$k/version"), about 30 s)"
started=$(date +%s)
timeout 400 qemu-system-arm "$@" -smp 1 -display none -monitor none -nic none -no-reboot \
  -icount shift=0,sleep=on -kernel "$k/vmlinuz" -dtb "$work/board.dtb" \
  -device loader,file="$work/initrd.gz",addr=0x44000000,force-raw=on \
  -append "console=ttyAMA0 panic=-1 quiet iomem=relaxed initrd=0x44000000,$size" \
  -serial chardev:con -chardev stdio,id=con,signal=off < /dev/null > "$console" 2>&1 || true
took=$(( $(date +%s) - started ))
echo "board VM, kernel $(cat "$k/version"), $took s, programs from $from:"
grep -a -E '^(VM up|RESULT|model:|counter[0-9]|remoteproc[0-9]|\| )' "$console" | tr -d '\r' || true
fail=0
grep -a -q '^RESULT end' "$console" || { echo "the guest did not finish; its console:"; tail -n 40 "$console"; fail=1; }
grep -a -q 'RESULT .* FAIL' "$console" && fail=1
for check in eqep-init-ch3 eqep-read-ch3 eqep-write-ch3 eqep-cleanup fwquad-handshake fwquad-walks fwquad-write \
  fwquad-cleanup fwquad-refused servo-init servo-ch1 servo-ch8 servo-cleanup calibration servo-kill9 \
  pinmux-registers pinmux-debugfs pinmux-owners uio-device udev-rules user-capabilities user-encoders-1-3 \
  user-encoder-4 user-servos user-outsider calibration-as-robot board-check-as-robot; do
  grep -a -q "^RESULT $check PASS" "$console" || { echo "missing: $check"; fail=1; }
done

board_check_result "$console" "$here/board-check.board-7.expected" "$work" "$(cat "$k/version")" || fail=1

# The model against the drivers, rule by rule.
host=${HX_HOST_BUILD:-}
if [ -n "$host" ] && [ -x "$host/tools/simboard" ] && [ -x "$host/tests/vm/rules" ]; then
  grep -a '^RULE' "$console" | tr -d '\r' > "$work/kernel.rules"
  "$host/tools/simboard" --kernel $profile -- "$host/tests/vm/rules" counter remoteproc 2>&1 | grep '^RULE' > "$work/model.rules" || true
  n=$(wc -l < "$work/kernel.rules")
  if [ "$n" -gt 0 ] && cmp -s "$work/kernel.rules" "$work/model.rules"; then
    echo "RESULT model-rules PASS the simulated kernel ($profile) answers all $n rules (counter, remoteproc) as kernel $(cat "$k/version") did"
  else
    echo "RESULT model-rules FAIL the simulated kernel ($profile) differs from kernel $(cat "$k/version") (kernel | model):"
    paste -d'|' "$work/kernel.rules" "$work/model.rules" | awk -F'|' '$1 != $2 {print "  " $1 " | " $2}'
    fail=1
  fi
else
  echo "SKIP model-rules: no PC build (HX_HOST_BUILD) to run the simulated kernel"
fi
exit $fail
