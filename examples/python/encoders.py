#!/usr/bin/env python3
"""Print the four encoder channels' positions ten times a second (channel 4 starts the
firmware on PRU core 0). Ctrl-C, or the number of readings given, ends it.

    sudo python3 encoders.py [READINGS]
"""
import sys
import time

import halvex

readings = int(sys.argv[1]) if len(sys.argv) > 1 else -1
with halvex.Encoders(channels=(1, 2, 3, 4)) as enc:
    try:
        while readings != 0:
            print(" ".join(f"{enc.read(ch):8d}" for ch in (1, 2, 3, 4)), flush=True)
            readings -= 1
            time.sleep(0.1)
    except KeyboardInterrupt:
        pass
