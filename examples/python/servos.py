#!/usr/bin/env python3
"""Sweep servo 1 from 1000 to 2000 us and back, one pulse every 20 ms, then hold the
ESCs on every channel at no throttle for a second. Each send is one pulse: when the
program stops, so do the pulses.

    sudo python3 servos.py
"""
import time

import halvex

with halvex.Servos() as servos:
    for us in list(range(1000, 2001, 20)) + list(range(2000, 999, -20)):
        servos.send_pulse_us(1, us)
        time.sleep(0.02)
    for _ in range(50):
        servos.send_esc(halvex.ALL, 0.0)
        time.sleep(0.02)
print("done")
