#!/usr/bin/env python3
"""What the board's kernel offers halvex, as hx_board_check finds it; exit status 1
when anything is missing or wrong."""
import sys

import halvex

findings = halvex.board_check()
for f in findings:
    print(f"{f.service:16} {'' if f.found else f.status.upper() + ': '}{f.where}")
sys.exit(0 if all(f.found or f.status == "unknown" for f in findings) else 1)
