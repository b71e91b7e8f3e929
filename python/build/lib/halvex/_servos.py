"""The servo header: eight channels on PRU core 1's outputs, one pulse a call."""

from types import TracebackType
from typing import Optional, Type

from ._lib import c_double, c_int, check, fn

_init = fn("hx_servo_init", c_int)
_pulse = fn("hx_servo_send_pulse_us", c_int, c_int, c_int)
_esc = fn("hx_servo_send_esc_pulse_normalized", c_int, c_int, c_double)
_rail = fn("hx_servo_power_rail", c_int, c_int)
_cleanup = fn("hx_servo_cleanup", c_int)

ALL = 0
CHANNELS = 8


class Servos:
    """The servo firmware started on PRU core 1. Every send is one pulse, on channel ch
    (1-8) or on all eight (ch 0): send one every 20 ms. Nothing pulses without a send,
    so the outputs go quiet within one pulse of the program's last call, however it
    ends. Closing stops the firmware and turns the servo rail off.

        with halvex.Servos() as servos:
            servos.send_esc(0, 0.0)
    """

    _open = False

    def __init__(self) -> None:
        check(_init, what="hx_servo_init()")
        self._open = True

    def _check_open(self) -> None:
        if not self._open:
            raise ValueError("the servos are closed")

    def send_pulse_us(self, ch: int, us: int) -> None:
        """One pulse of us microseconds (1 to the service's maximum) on ch."""
        self._check_open()
        check(_pulse, ch, us, what=f"hx_servo_send_pulse_us({ch}, {us})")

    def send_esc(self, ch: int, width: float) -> None:
        """One ESC pulse: width 0.0 (1000 us, no throttle) to 1.0 (2000 us, full)."""
        self._check_open()
        check(_esc, ch, width, what=f"hx_servo_send_esc_pulse_normalized({ch}, {width})")

    def power_rail(self, on: bool) -> None:
        """The header's supply (the servo rail) on or off; ESCs bring their own."""
        self._check_open()
        check(_rail, int(bool(on)), what=f"hx_servo_power_rail({int(bool(on))})")

    def close(self) -> None:
        """Stop the firmware (a pulse in flight is cut) and the rail. Safe to call again."""
        if self._open:
            self._open = False
            _cleanup()

    def __enter__(self) -> "Servos":
        return self

    def __exit__(self, t: Optional[Type[BaseException]], v: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        self.close()
