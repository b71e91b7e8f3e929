#!/usr/bin/env python3
"""Send a line on a serial bus and print what comes back: wire the bus's RX to its TX.

    sudo python3 serial_echo.py [BUS]
"""
import sys

import halvex

bus = int(sys.argv[1]) if len(sys.argv) > 1 else 1
with halvex.Serial(bus, baud=115200, timeout=0.5) as s:
    s.flush()
    s.write(b"hello from halvex\n")
    line = s.readline(size=64)
    print(f"bus {bus} sent 'hello from halvex', got {line!r}")
    sys.exit(0 if line == b"hello from halvex\n" else 1)
