"""halvex: the board's encoders, vector kernels and services, from Python.

A binding over libhalvex.so.1 (ctypes: no compiler on the board, one package for every
architecture); the library is the one implementation. Importing checks that the library
loaded is one this package was written for.

    import halvex
    with halvex.Encoders(channels=(1, 2, 3, 4)) as enc, halvex.Servos() as servos:
        servos.send_esc(0, 0.0)
        print(enc.read(1), enc.read(4))

Every failure raises halvex.Error, an OSError carrying the errno of the system call
that failed where there was one; the library's own report still goes to standard
error, as it does for C programs.
"""

from ._lib import Error, library_version
from ._board import Finding, board_check
from ._buttons import PRESSED_HIGH, PRESSED_LOW, Button
from ._encoders import Encoders
from ._serial import Serial
from ._servos import ALL, CHANNELS, Servos
from ._vecmath import dot, sumsq

__version__ = "1.0.0"

__all__ = [
    "ALL", "CHANNELS", "PRESSED_HIGH", "PRESSED_LOW", "Button", "Encoders", "Error", "Finding",
    "Serial", "Servos", "board_check", "dot", "library_version", "sumsq",
]
