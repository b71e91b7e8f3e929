"""The board check's findings: what the kernel offers each service, by the library's
own lookups, and each signal's pad as the pin controller muxed it."""

import ctypes
from typing import List, NamedTuple

from ._lib import c_char_p, c_int, fn, lib

_SIZE = ctypes.c_size_t
_eqep = fn("hx_board_eqep", c_int, c_int, c_char_p, _SIZE)
_pru = fn("hx_board_pru", c_int, c_int, c_char_p, _SIZE)
_pru_memory = fn("hx_board_pru_memory", c_int, c_char_p, _SIZE)
_firmware = fn("hx_board_firmware", c_int, c_char_p, c_char_p, _SIZE)
_gpio = fn("hx_board_gpio", c_int, c_int, c_char_p, _SIZE)
_uart = fn("hx_board_uart", c_int, c_int, c_char_p, _SIZE)
_pinctrl = fn("hx_board_pinctrl", c_int, c_char_p, _SIZE)
_pad = fn("hx_board_pad", c_int, c_int, c_char_p, _SIZE)
_signal = fn("hx_board_signal", c_char_p, c_int)
del lib

STATUS = {0: "missing", 1: "found", 2: "not permitted", 3: "unknown"}


class Finding(NamedTuple):
    """One line of the board check: the service (or signal), whether it is there and
    usable, where it was found or what is wrong, and the status in words: "found",
    "missing" (a pad: wrong), "not permitted" (there, not this user's) or "unknown"
    (could not be looked at, e.g. debugfs not mounted)."""

    service: str
    found: bool
    where: str
    status: str


def _ask(service: str, f, *args) -> Finding:  # type: ignore[no-untyped-def]
    buf = ctypes.create_string_buffer(512)
    rc = f(*args, buf, len(buf))
    return Finding(service, rc == 1, buf.value.decode(errors="replace"), STATUS.get(rc, "missing"))


def board_check() -> List[Finding]:
    """Every finding of hx_board_check(1), in its order. Nothing is written."""
    out = [_ask(f"encoder {u}", _eqep, u) for u in (1, 2, 3)]
    images = (b"am335x-pru0-hx-encoder-fw", b"am335x-pru1-hx-servo-fw")
    for core, what in ((0, "encoder 4 (PRU)"), (1, "servos (PRU 1)")):
        out.append(_ask(what, _pru, core))
        out.append(_ask(f"PRU {core} firmware", _firmware, images[core]))
    out.append(_ask("PRU memories", _pru_memory))
    out.append(_ask("buttons", _gpio, 2))
    out += [_ask(f"serial {bus}", _uart, bus) for bus in (0, 1, 2, 5)]
    pinctrl = _ask("pin mux", _pinctrl)
    out.append(pinctrl)
    if pinctrl.found:
        signal = 0
        while (name := _signal(signal)) is not None:
            out.append(_ask(name.decode(), _pad, signal))
            signal += 1
    return out
