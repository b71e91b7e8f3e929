"""A serial bus: the SoC's UART as /dev/ttyS<bus>, raw, 8 data bits."""

import ctypes
from types import TracebackType
from typing import Optional, Type

from ._lib import c_float, c_int, c_void_p, check, fn

_init = fn("hx_uart_init", c_int, c_int, c_int, c_float, c_int, c_int, c_int)
_close = fn("hx_uart_close", c_int, c_int)
_flush = fn("hx_uart_flush", c_int, c_int)
_write = fn("hx_uart_write", c_int, c_int, c_void_p, c_int)
_read = fn("hx_uart_read_bytes", c_int, c_int, c_void_p, c_int)
_read_line = fn("hx_uart_read_line", c_int, c_int, c_void_p, c_int)


class Serial:
    """UART bus (0-5) at baud bits a second; every read gives up after timeout seconds
    (0 to 25.5). stop_bits 1 or 2; parity True for even parity. Opening a bus that is
    open already opens it anew.

        with halvex.Serial(1) as s:
            s.write(b"hello\\n")
            print(s.readline())
    """

    _open = False

    def __init__(self, bus: int, baud: int = 115200, timeout: float = 0.5,
                 stop_bits: int = 1, parity: bool = False) -> None:
        self.bus = bus
        check(_init, bus, baud, timeout, 0, stop_bits, int(parity),
              what=f"hx_uart_init({bus}, {baud}, {timeout})")
        self._open = True

    def _bus(self) -> int:
        if not self._open:
            raise ValueError(f"serial bus {self.bus} is closed")
        return self.bus

    def write(self, data: bytes) -> int:
        """Send data (bytes-like) whole; the number of bytes sent."""
        data = bytes(data)
        return check(_write, self._bus(), data, len(data), what=f"hx_uart_write({self.bus})")

    def read(self, n: int) -> bytes:
        """Up to n bytes, fewer (or none) when the time-out ran out first."""
        buf = ctypes.create_string_buffer(max(n, 1))
        got = check(_read, self._bus(), buf, n, what=f"hx_uart_read_bytes({self.bus}, {n})")
        return buf.raw[:got]

    def readline(self, size: int = 32) -> bytes:
        """One line up to and including b"\\n", at most size bytes of it; b"" when nothing
        came within the time-out. Bytes after the line stay queued."""
        if size < 1:
            raise ValueError("size must be at least 1")
        buf = ctypes.create_string_buffer(size + 1)
        got = check(_read_line, self._bus(), buf, size + 1, what=f"hx_uart_read_line({self.bus})")
        return buf.raw[:got]

    def flush(self) -> None:
        """Drop what was received and not read, and what was written and not sent."""
        check(_flush, self._bus(), what=f"hx_uart_flush({self.bus})")

    def close(self) -> None:
        """Close the bus. Safe to call again."""
        if self._open:
            self._open = False
            _close(self.bus)

    def __enter__(self) -> "Serial":
        return self

    def __exit__(self, t: Optional[Type[BaseException]], v: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()
