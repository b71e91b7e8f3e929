#!/bin/busybox sh
# /init of the board VM: the AM335x's eQEP and PRU drivers (built for this kernel from
# Debian's sources) bound at the board's addresses (registers in guest RAM), the pads as
# pinctrl-single wrote them from the board's merged tree, prurun playing the two PRU
# cores; boardcheck drives the library and the programs and reads
# the registers back. Reports on the console, then powers off.
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=/lib
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs dev /dev
mount -t debugfs debugfs /sys/kernel/debug
# Kernel messages on the console would land inside the lines the host reads.
dmesg -n 1
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
mkdir -p /tmp
for m in $(cat /icss.order); do insmod "/modules/$m.ko" || echo "RESULT insmod-$m FAIL"; done
echo "VM up: $(uname -r) $(uname -m)"
for c in /sys/bus/counter/devices/counter*; do echo "$(basename "$c") -> $(cat "$c/name")"; done
for r in /sys/class/remoteproc/remoteproc*; do echo "$(basename "$r") -> $(cat "$r/name")"; done
rules counter remoteproc
boardcheck pinmux
boardcheck eqep
mkfifo /tmp/wheel
prurun /tmp/wheel /tmp/prurun.status /tmp/r30 &
boardcheck fwquad /tmp/wheel /tmp/prurun.status 2> /tmp/fwquad.err
sed 's/^/| /' /tmp/fwquad.err
boardcheck servo /tmp/prurun.status /tmp/r30
boardcheck calibration /bin/hx_throttle_cal /tmp/prurun.status /tmp/r30
boardcheck kill9 /bin/robot /tmp/prurun.status /tmp/r30
hx_board_check > /tmp/check.out 2>&1
echo "BOARDCHECK exit status $?"
sed 's/^/BOARDCHECK | /' /tmp/check.out

# Now the PRU memories' UIO device (the generic UIO driver on the additions' node), and
# the packages' udev rules applied by udev itself, as on a board after the packages.
while read -r m args; do insmod "/modules/$m.ko" $args || echo "RESULT insmod-$m FAIL"; done < /uio.order
u=/sys/class/uio/uio0
if [ "$(cat $u/name 2>/dev/null)" = pru-memories ]; then
  echo "RESULT uio-device PASS uio0 ($(cat $u/name)): map0 $(cat $u/maps/map0/addr)+$(cat $u/maps/map0/size)," \
    "map1 $(cat $u/maps/map1/addr)+$(cat $u/maps/map1/size), the pruss driver bound beside it: $(ls /sys/bus/platform/drivers/pruss 2>/dev/null | grep -c 4a300000)"
else
  echo "RESULT uio-device FAIL no uio0 named pru-memories: $(for d in /sys/class/uio/*; do echo "$d $(cat $d/name)"; done)"
fi
/lib/systemd/systemd-udevd --daemon --resolve-names=early 2>/tmp/udevd.err
udevadm trigger --action=add
udevadm settle --timeout=30
r=$(for p in /sys/class/remoteproc/remoteproc0/state /sys/bus/counter/devices/counter0/count0/count /dev/uio0; do
  stat -c '%n %G %a' $(readlink -f $p); done | tr '\n' ';')
case $r in *"state halvex 664;"*"count halvex 664;"*"/dev/uio0 halvex 660;") echo "RESULT udev-rules PASS $r" ;;
  *) echo "RESULT udev-rules FAIL $r $(cat /tmp/udevd.err)" ;; esac
boardcheck users /tmp/wheel /tmp/prurun.status /tmp/r30
boardcheck calibration /bin/hx_throttle_cal.robot /tmp/prurun.status /tmp/r30 | sed 's/^RESULT calibration /RESULT calibration-as-robot /'
asuser 1000 1000,999 /bin/hx_board_check > /tmp/robot.check 2>&1
sed 's/^/| /' /tmp/robot.check
if grep -q '^PRU memories     /dev/uio0 (pru-memories' /tmp/robot.check &&
   grep -q '^privileges       uid 1000 (robot), in group halvex$' /tmp/robot.check &&
   grep -q '^encoder 4 (PRU)  remoteproc0 (4a334000.pru)$' /tmp/robot.check; then
  echo "RESULT board-check-as-robot PASS the PRU memories through uio0, the cores and units this user's by the rules"
else
  echo "RESULT board-check-as-robot FAIL"
fi
asuser 1001 1001 /bin/hx_board_check > /tmp/outsider.check 2>&1
sed 's/^/| outsider: /' /tmp/outsider.check
echo "RESULT end"
poweroff -f
