"""Loading libhalvex.so.1 and calling into it: the one place that knows ctypes.

The library stays the one implementation: every call here is a call into it. Its
functions report a failure by printing one report on standard error and returning -1;
here that becomes a halvex.Error carrying the errno the failing system call left, where
it left one.
"""

import ctypes
import os
from typing import Any, Callable

# The library this package was written for: its SONAME, and the oldest version with
# every function called here.
SONAME = "libhalvex.so.1"
WRITTEN_FOR = (1, 0)


class Error(OSError):
    """A call into libhalvex failed. errno is the system's error number where the
    failure had one (else None); the library's own report went to standard error."""


def _load() -> ctypes.CDLL:
    try:
        lib = ctypes.CDLL(SONAME, use_errno=True)
    except OSError as e:
        raise ImportError(
            f"halvex: cannot load {SONAME} ({e}); install the libhalvex1 package"
        ) from e
    try:
        lib.hx_version.restype = ctypes.c_char_p
        lib.hx_version.argtypes = []
        version = lib.hx_version().decode()
    except AttributeError as e:
        raise ImportError(f"halvex: {SONAME} has no hx_version: it is older than 1.0") from e
    major, minor = (int(x) for x in version.split(".")[:2])
    if major != WRITTEN_FOR[0] or minor < WRITTEN_FOR[1]:
        raise ImportError(
            f"halvex: the loaded {SONAME} is version {version}; this package needs "
            f"{WRITTEN_FOR[0]}.{WRITTEN_FOR[1]} or a later {WRITTEN_FOR[0]}.x"
        )
    return lib


lib = _load()
library_version: str = lib.hx_version().decode()

c_int, c_double, c_float, c_char_p, c_void_p = (
    ctypes.c_int, ctypes.c_double, ctypes.c_float, ctypes.c_char_p, ctypes.c_void_p)
VOID_FN = ctypes.CFUNCTYPE(None)


class _Function:
    """The library's function name with its C signature, looked up at its first call: a
    library standing in for part of this one (the tests' fake board) need not have every
    function."""

    def __init__(self, name: str, restype: Any, argtypes: Any) -> None:
        self.__name__ = name
        self._signature = (restype, list(argtypes))
        self._f: Any = None

    def __call__(self, *args: Any) -> Any:
        if self._f is None:
            f = getattr(lib, self.__name__)
            f.restype, f.argtypes = self._signature
            self._f = f
        return self._f(*args)


def fn(name: str, restype: Any, *argtypes: Any) -> Callable[..., Any]:
    """The library's function name, with its C signature."""
    return _Function(name, restype, argtypes)


def fail(what: str) -> Error:
    """The Error for a failed call: what was asked, and the errno it left."""
    err = ctypes.get_errno()
    ctypes.set_errno(0)
    if err:
        return Error(err, f"{what}: {os.strerror(err)}")
    return Error(f"{what} failed (the library's report is on standard error)")


def call(f: Callable[..., Any], *args: Any) -> Any:
    """f(*args) with errno cleared first, so that what it leaves is its own."""
    ctypes.set_errno(0)
    return f(*args)


def check(f: Callable[..., Any], *args: Any, what: str = "") -> int:
    """f(*args), raising Error when it returns the library's -1."""
    rc = call(f, *args)
    if rc == -1:
        raise fail(what or f"{f.__name__}{args!r}".replace(",)", ")"))
    return int(rc)


def errno_now() -> int:
    """The errno the last call left."""
    return ctypes.get_errno()
