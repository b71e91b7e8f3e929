"""Push buttons on GPIO lines, with callbacks on the button service's watcher thread."""

import threading
from types import TracebackType
from typing import Callable, Dict, List, Optional, Tuple, Type

from ._lib import VOID_FN, c_int, check, fn

_init = fn("hx_button_init", c_int, c_int, c_int, c_int, c_int)
_set_callbacks = fn("hx_button_set_callbacks", c_int, c_int, c_int, VOID_FN, VOID_FN)
_cleanup = fn("hx_button_cleanup", c_int)

PRESSED_HIGH = 0
PRESSED_LOW = 1

# The library releases its lines all at once, when the last button goes. Until then a
# line it requested stays its own: a Button on it again takes it over. Every callback
# handed to it is kept alive until then, since one may be running as another replaces it.
_open: Dict[Tuple[int, int], "Button"] = {}
_requested: set = set()
_keep: List[object] = []
_watcher: List[Optional[int]] = [None]
_lock = threading.Lock()


class Button:
    """A push button on line pin of GPIO bank chip (0-3; the board's pause button is
    (2, 5), its mode button (2, 4)). on_press and on_release, when given, are called
    without arguments on the button service's watcher thread, one at a time, with the
    GIL taken: keep them short, and do not close a Button from one. pressed_low: a
    press pulls a normally-high line low (the board's buttons), else drives it high.
    debounce_us: how long a level must last to count.

        with halvex.Button(2, 5, on_press=lambda: print("pause")):
            time.sleep(10)
    """

    _is_open = False

    def __init__(self, chip: int, pin: int, on_press: Optional[Callable[[], None]] = None,
                 on_release: Optional[Callable[[], None]] = None, pressed_low: bool = True,
                 debounce_us: int = 2000) -> None:
        self.line = (chip, pin)
        with _lock:
            if self.line in _open:
                raise ValueError(f"GPIO bank {chip} line {pin} is another Button's")
            if self.line not in _requested:
                check(_init, chip, pin, PRESSED_LOW if pressed_low else PRESSED_HIGH, debounce_us,
                      what=f"hx_button_init({chip}, {pin})")
                _requested.add(self.line)
            # (An empty VOID_FN() is the C NULL: no call.)
            self._press = VOID_FN(self._called(on_press)) if on_press else VOID_FN()
            self._release = VOID_FN(self._called(on_release)) if on_release else VOID_FN()
            _keep.extend([self._press, self._release])
            check(_set_callbacks, chip, pin, self._press, self._release,
                  what=f"hx_button_set_callbacks({chip}, {pin})")
            _open[self.line] = self
            self._is_open = True

    @staticmethod
    def _called(f: Callable[[], None]) -> Callable[[], None]:
        def run() -> None:
            _watcher[0] = threading.get_ident()
            f()
        return run

    def close(self) -> None:
        """No more calls for this button; the last one to close releases every line
        (waiting for a callback still running). Safe to call again."""
        with _lock:
            if not self._is_open:
                return
            if threading.get_ident() == _watcher[0] and len(_open) == 1:
                raise RuntimeError("the last Button cannot be closed from its own callback")
            self._is_open = False
            del _open[self.line]
            _set_callbacks(self.line[0], self.line[1], VOID_FN(), VOID_FN())
            if not _open:
                _cleanup()
                _requested.clear()
                _keep.clear()

    def __enter__(self) -> "Button":
        return self

    def __exit__(self, t: Optional[Type[BaseException]], v: Optional[BaseException],
                 tb: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        if self._is_open:
            self.close()
