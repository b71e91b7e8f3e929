#!/usr/bin/env python3
"""The library's dot product and sum of squares on a million doubles, in place."""
import array
import math

import halvex

a = array.array("d", (math.sin(i) for i in range(1_000_000)))
b = array.array("d", (math.cos(i) for i in range(1_000_000)))
print(f"dot    {halvex.dot(a, b):.6f}")
print(f"sumsq  {halvex.sumsq(a):.6f}")
