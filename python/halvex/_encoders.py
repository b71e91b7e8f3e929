"""Encoder channels 1-3 (the eQEP units, hwquad) and channel 4 (PRU firmware, fwquad)."""

from types import TracebackType
from typing import Iterable, Optional, Type

from ._lib import Error, c_int, call, check, errno_now, fn

_hw_init = fn("hx_hwquad_init", c_int)
_hw_read = fn("hx_hwquad_read", c_int, c_int)
_hw_write = fn("hx_hwquad_write", c_int, c_int, c_int)
_hw_cleanup = fn("hx_hwquad_cleanup", c_int)
_fw_init = fn("hx_fwquad_init", c_int)
_fw_read = fn("hx_fwquad_read", c_int)
_fw_write = fn("hx_fwquad_write", c_int, c_int)
_fw_cleanup = fn("hx_fwquad_cleanup", None)

# The library's modules are set up once a process; how many open Encoders use each
# (a second init of the firmware would restart it and lose the count).
_users = {"hw": 0, "fw": 0}


class Encoders:
    """The board's encoder channels: 1-3 counted by the eQEP units, 4 by the firmware
    on PRU core 0, which starts when 4 is among the channels.

    A position is a signed 32-bit count, four a line of the encoder, zero when the
    channel is first set up. Use it in a ``with`` block, or call close(): what it set
    up is released when the last open Encoders using it closes.

        with halvex.Encoders(channels=(1, 4)) as enc:
            print(enc.read(1), enc.read(4))
    """

    _open = False

    def __init__(self, channels: Iterable[int] = (1, 2, 3)) -> None:
        self.channels = tuple(sorted(set(channels)))
        if not self.channels or any(ch not in (1, 2, 3, 4) for ch in self.channels):
            raise ValueError(f"channels must be among 1, 2, 3 and 4, not {tuple(channels)!r}")
        self._hw = any(ch <= 3 for ch in self.channels)
        self._fw = 4 in self.channels
        self._open = False
        if self._hw:
            if _users["hw"] == 0:
                check(_hw_init, what="hx_hwquad_init()")
            _users["hw"] += 1
        if self._fw:
            try:
                if _users["fw"] == 0:
                    check(_fw_init, what="hx_fwquad_init()")
            except Error:
                self._release_hw()
                raise
            _users["fw"] += 1
        self._open = True

    def _release_hw(self) -> None:
        if self._hw:
            _users["hw"] -= 1
            if _users["hw"] == 0:
                _hw_cleanup()

    def _channel(self, ch: int) -> None:
        if not self._open:
            raise ValueError("the encoders are closed")
        if ch not in self.channels:
            raise ValueError(f"channel {ch} is not one of {self.channels}")

    def read(self, ch: int) -> int:
        """The position of channel ch."""
        self._channel(ch)
        if ch == 4:
            return int(_fw_read())
        pos = int(call(_hw_read, ch))
        # -1 is a position too: a failed read (of the unit's attribute) leaves an errno.
        if pos == -1 and errno_now():
            raise Error(errno_now(), f"hx_hwquad_read({ch})")
        return pos

    def write(self, ch: int, pos: int) -> None:
        """Set the count of channel ch to pos (at a standstill, for channel 4)."""
        self._channel(ch)
        if ch == 4:
            check(_fw_write, pos, what=f"hx_fwquad_write({pos})")
        else:
            check(_hw_write, ch, pos, what=f"hx_hwquad_write({ch}, {pos})")

    def close(self) -> None:
        """Release what this set up, once no other open Encoders uses it (the firmware
        stopped, the units' attributes closed). Safe to call again."""
        if not self._open:
            return
        self._open = False
        if self._fw:
            _users["fw"] -= 1
            if _users["fw"] == 0:
                _fw_cleanup()
        self._release_hw()

    def __enter__(self) -> "Encoders":
        return self

    def __exit__(self, t: Optional[Type[BaseException]], v: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()
