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
echo "RESULT end"
poweroff -f
