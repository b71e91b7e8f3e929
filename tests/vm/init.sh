#!/bin/busybox sh
# /init of the test VM: bring up the kernel's GPIO simulator and the looped-back UART,
# run the board's programs and the service checks, report on the console, power off.
/bin/busybox --install -s /bin
export PATH=/bin LD_LIBRARY_PATH=/lib
mount -t proc proc /proc
mount -t sysfs sysfs /sys
mount -t devtmpfs dev /dev
# As a Debian system mounts it: the board check reads the pin mux there.
mount -t debugfs debugfs /sys/kernel/debug
# Kernel messages on the console would land inside the lines the host reads.
dmesg -n 1
for m in $(cat /modules.order); do insmod "/modules/$m.ko" || echo "RESULT insmod-$m FAIL"; done
mount -t configfs configfs /sys/kernel/config

# Three simulated banks; the one the kernel numbers gpiochip2 is "bank 2" for the
# button service on a machine without the board's banks.
g=/sys/kernel/config/gpio-sim/chip0
mkdir $g
for b in 0 1 2; do mkdir $g/bank$b; echo 8 > $g/bank$b/num_lines; done
echo 1 > $g/live
for b in 0 1 2; do [ "$(cat $g/bank$b/chip_name)" = gpiochip2 ] && bank=$b; done
sim=/sys/devices/platform/$(cat $g/dev_name)/gpiochip2
[ -n "${bank:-}" ] && [ -d "$sim" ] || echo "RESULT gpio-sim FAIL no gpiochip2"
echo pull-up > $sim/sim_gpio5/pull
echo pull-up > $sim/sim_gpio4/pull

# The looped-back UART is /dev/ttyS1 (on ARM the PL011, linked there).
[ -e /dev/ttyS1 ] && [ ! -e /dev/ttyAMA0 ] || ln -sf ttyAMA0 /dev/ttyS1
echo "VM up: $(uname -r) $(uname -m), C library: $(/lib/libc.so.6 2>/dev/null | head -n 1)"

# The real hx_press_monitor, with presses played on the simulated lines.
hx_press_monitor > /tmp/monitor.out 2>&1 &
pid=$!
sleep 1
vmcheck drive "$sim"
kill -INT $pid
wait $pid
status=$?
echo "hx_press_monitor, presses played on the GPIO simulator's lines 5 and 4, then Ctrl-C:"
sed 's/^/| /' /tmp/monitor.out
printf 'Press buttons to see response\nPause Pressed\nPause Released\nMode Pressed\nMode Released\n' > /tmp/monitor.want
if [ $status = 0 ] && cmp -s /tmp/monitor.out /tmp/monitor.want; then
  echo "RESULT monitor PASS"
else
  echo "RESULT monitor FAIL status $status: $(tr '\n' ';' < /tmp/monitor.out)"
fi

# The programs as a robot's service runs them: a user in the groups halvex and dialout,
# no capability. On the board the udev rules give bank 2's chip to halvex and Debian's
# give the UARTs to dialout; this VM's chip is the GPIO simulator's, so it is given here
# as those rules give bank 2.
tty=$(readlink -f /dev/ttyS1)
chgrp 999 /dev/gpiochip2 && chmod 660 /dev/gpiochip2 && chgrp 20 "$tty" && chmod 660 "$tty"
asuser 1000 1000,999,20 /bin/hx_press_monitor > /tmp/umonitor.out 2>&1 &
pid=$!
sleep 1
vmcheck drive "$sim"
kill -INT $pid
wait $pid
status=$?
if [ $status = 0 ] && cmp -s /tmp/umonitor.out /tmp/monitor.want; then
  echo "RESULT user-monitor PASS uid 1000 (halvex, dialout; CapEff 0): every press and release"
else echo "RESULT user-monitor FAIL status $status: $(tr '\n' ';' < /tmp/umonitor.out)"; fi
asuser 1000 1000,999,20 /bin/hx_serial_echo 1 > /tmp/uecho.out 2>&1
status=$?
n=$(grep -c '^Received 11 bytes: Hello World $' /tmp/uecho.out)
if [ $status = 0 ] && [ "$n" = 2 ]; then echo "RESULT user-serial-echo PASS uid 1000: both echoes"
else echo "RESULT user-serial-echo FAIL status $status: $(tr '\n' ';' < /tmp/uecho.out)"; fi
asuser 1000 1000,999,20 /bin/serial_probe 1 > /tmp/uprobe.out 2>&1
status=$?
if [ $status = 0 ]; then echo "RESULT user-serial-probe PASS uid 1000"
else echo "RESULT user-serial-probe FAIL status $status: $(tr '\n' ';' < /tmp/uprobe.out)"; fi
asuser 1001 1001 /bin/hx_press_monitor > /tmp/omonitor.out 2>&1
s1=$?
asuser 1001 1001 /bin/hx_serial_echo 1 > /tmp/oecho.out 2>&1
s2=$?
if [ $s1 = 255 ] && [ $s2 = 255 ] && grep -q '(group halvex, mode 0660)' /tmp/omonitor.out &&
   grep -q '(group dialout, mode 0660)' /tmp/oecho.out; then
  echo "RESULT user-outsider PASS uid 1001 refused, each with its group: $(grep -h 'group' /tmp/omonitor.out /tmp/oecho.out | tr '\n' ';')"
else echo "RESULT user-outsider FAIL $s1 $s2: $(cat /tmp/omonitor.out /tmp/oecho.out | tr '\n' ';')"; fi
chgrp 0 /dev/gpiochip2 "$tty" && chmod 600 /dev/gpiochip2 "$tty"

# Debian 11's Python with the packages: import halvex, and a robot program in Python.
if [ -x /usr/bin/python3.9 ]; then
  out=$(/usr/bin/python3.9 -c "import halvex; print(halvex.__version__, halvex.library_version)" 2>&1)
  case $out in "1."*) echo "RESULT python-import PASS python3.9 -c 'import halvex': $out" ;;
    *) echo "RESULT python-import FAIL $out" ;; esac
  rm -f /tmp/python.ready
  /usr/bin/python3.9 /bin/robot.py > /tmp/robot.out 2>&1 &
  pid=$!
  for i in $(seq 100); do [ -e /tmp/python.ready ] && break; sleep 0.1; done
  vmcheck drive "$sim"
  wait $pid
  grep -v '^RESULT' /tmp/robot.out | sed 's/^/| /'
  grep '^RESULT' /tmp/robot.out
fi

vmcheck own-debounce "$sim"
vmcheck no-v2

hx_serial_echo 1 > /tmp/echo.out 2>&1
status=$?
echo "hx_serial_echo 1, on the UART wired RX to TX:"
sed 's/^/| /' /tmp/echo.out
n=$(grep -c '^Received 11 bytes: Hello World $' /tmp/echo.out)
if [ $status = 0 ] && [ "$n" = 2 ]; then echo "RESULT serial-echo PASS"
else echo "RESULT serial-echo FAIL status $status: $(tr '\n' ';' < /tmp/echo.out)"; fi

serial_probe 1 > /tmp/probe.out 2>&1
status=$?
printf '\ntesting UART bus 1\n\nSending  11 bytes: Hello World \nreading bytes:\n' > /tmp/probe.want
if [ $status = 0 ] && cmp -s /tmp/probe.out /tmp/probe.want; then echo "RESULT serial-probe PASS"
else echo "RESULT serial-probe FAIL status $status: $(tr '\n' ';' < /tmp/probe.out)"; fi

vmcheck serial-line

# A port the serial driver registered with no UART behind it (Debian's kernels keep the
# 8250 core's four ports, UARTs or not): it opens, and then answers EIO; hx_uart_init
# says what it found.
placeholder=""
for n in 2 3; do
  readlink -f "/sys/class/tty/ttyS$n" 2>/dev/null | grep -q '/serial8250/' && { placeholder=$n; break; }
done
if [ -n "$placeholder" ]; then
  serial_probe "$placeholder" > /tmp/placeholder.out 2> /tmp/placeholder.err
  status=$?
  want="ERROR in hx_uart_init, /dev/ttyS$placeholder has no UART behind it (the serial driver's placeholder): is uart$placeholder"
  if [ $status = 255 ] && grep -q "^$want" /tmp/placeholder.err && grep -q "^Failed to hx_uart_init$placeholder\$" /tmp/placeholder.out; then
    echo "RESULT serial-placeholder PASS $(cat /tmp/placeholder.err)"
  else
    echo "RESULT serial-placeholder FAIL status $status: $(tr '\n' ';' < /tmp/placeholder.err) $(tr '\n' ';' < /tmp/placeholder.out)"
  fi
else
  echo "RESULT serial-placeholder SKIP no placeholder port on this kernel"
fi

# The board check, as a robot builder runs it first: its whole output, for the host to
# compare line by line.
hx_board_check > /tmp/check.out 2>&1
echo "BOARDCHECK exit status $?"
sed 's/^/BOARDCHECK | /' /tmp/check.out

echo "RESULT end"
poweroff -f
