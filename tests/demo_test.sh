#!/bin/sh
# The README's main job: the simulated board's tour shows each part working (wheels
# turning on all four channels, one backwards; 11 bytes back on every bus; full then
# minimum throttle on all eight servo channels in PRU core 1's R30, exact to the cycle;
# the buttons' presses). Then the README's commands for checking a board's kernel, on a
# vendor 4.x and a mainline kernel.
set -eu
simboard=$1
out=$(mktemp)
trap 'rm -f "$out"' EXIT
fail=0
need() { grep -q -- "$1" "$out" || { echo "missing: $1"; fail=1; }; }

"$simboard" > "$out" 2>&1
# Encoder channels 1-3: counts moved between the first and last of three reads.
set -- $(sed -n 's/^read 1, 2, 3 = \(-*[0-9]*\), \(-*[0-9]*\), \(-*[0-9]*\)$/\1 \2 \3/p' "$out" | sed -n '1p;3p')
[ $# = 6 ] && [ "$4" -gt "$1" ] && [ "$5" -gt "$2" ] && [ "$6" -lt "$3" ] ||
  { echo "channels 1-3 did not move as their wheels turn: $*"; fail=1; }
set -- $(sed -n 's/^hx_fwquad_read() = \(-*[0-9]*\)$/\1/p' "$out")
[ $# = 3 ] && [ "$3" -gt "$1" ] || { echo "channel 4 did not move: $*"; fail=1; }
need "the shipped firmware on PRU core 0 (the PRU core model runs its image)"
need "PRU core 0 running, firmware am335x-pru0-hx-encoder-fw$"
need "^ten edges forwards: read = -4990$"
[ "$(grep -c '^Received 11 bytes: Hello World $' "$out")" = 2 ] || { echo "bus 1 did not echo twice"; fail=1; }
for bus in 0 2 5; do need "hx_serial_echo $bus: exit status 0, \"Received 11 bytes: Hello World\" 2 times"; done
for ch in 1 2 3 4 5 6 7 8; do
  grep -q "^servo $ch (PRU1 R30 bit [0-9]*): [0-9]* x 2000 us (400000 cycles) [0-9]* x 1000 us (200000 cycles)[ ,]" "$out" ||
    { echo "servo $ch: no full throttle then minimum throttle in R30's record"; fail=1; }
done
for line in "Pause Pressed" "Pause Released" "Mode Pressed" "Mode Released"; do need "^$line\$"; done
[ $fail = 0 ] || { echo "the tour said:"; cat "$out"; exit 1; }

# The README's look at a board's kernel.
"$simboard" --kernel vendor-4.19 -- sh -c 'ls -d /sys/devices/platform/ocp/4830*.epwmss/*.eqep' > "$out"
[ "$(wc -l < "$out")" = 3 ] || { echo "vendor-4.19: eQEP units: $(cat "$out")"; fail=1; }
"$simboard" --kernel mainline-6.12 -- sh -c 'grep . /sys/bus/counter/devices/*/name;
  grep . /sys/class/remoteproc/*/name; ls -l /sys/bus/gpio/devices/' > "$out"
for dev in 48300180.counter 48302180.counter 48304180.counter 4a334000.pru 4a338000.pru 481ac000.gpio; do
  need "$dev"
done
[ $fail = 0 ] || { cat "$out"; exit 1; }
echo "the tour shows every part working; the README's checks find every device"
