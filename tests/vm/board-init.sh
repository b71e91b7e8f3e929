#!/bin/busybox sh
# /init of the board VM: the kernel's own AM335x PWM drivers bound at the board's
# addresses (registers in guest RAM); boardcheck drives the library and the programs and
# reads the registers back. Reports on the console, then powers off.
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=/lib
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs dev /dev
mkdir -p /dev/pts && mount -t devpts devpts /dev/pts
for m in $(cat /modules.order); do insmod "/modules/$m.ko" || echo "RESULT insmod-$m FAIL"; done
echo "VM up: $(uname -r) $(uname -m)"
for c in /sys/class/pwm/pwmchip*; do
  echo "$(basename "$c") -> $(basename "$(readlink "$c/device")"), npwm $(cat "$c/npwm")"
done
pwmrules
boardcheck outputs
boardcheck calibration /bin/hx_throttle_cal
for how in kill9 int term-all stall; do boardcheck guardian $how /bin/robot; done
echo "RESULT end"
poweroff -f
