#!/usr/bin/env python3
"""Print every press and release of the board's pause and mode buttons until Ctrl-C
(or for the seconds given).

    sudo python3 buttons.py [SECONDS]
"""
import sys
import time

import halvex

seconds = float(sys.argv[1]) if len(sys.argv) > 1 else float("inf")
with halvex.Button(2, 5, on_press=lambda: print("Pause Pressed", flush=True),
                   on_release=lambda: print("Pause Released", flush=True)), \
     halvex.Button(2, 4, on_press=lambda: print("Mode Pressed", flush=True),
                   on_release=lambda: print("Mode Released", flush=True)):
    print("Press buttons to see response", flush=True)
    try:
        time.sleep(seconds)
    except KeyboardInterrupt:
        pass
