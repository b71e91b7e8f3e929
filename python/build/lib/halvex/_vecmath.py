"""The library's two double-precision kernels, on Python's buffers."""

import ctypes
from typing import Any, Sequence, Union

from ._lib import c_double, c_int, fn

_dot = fn("__vectorized_mult_accumulate", c_double, ctypes.c_void_p, ctypes.c_void_p, c_int)
_sumsq = fn("__vectorized_square_accumulate", c_double, ctypes.c_void_p, c_int)

Doubles = Union[Sequence[float], memoryview, Any]
_INT_MAX = 2**31 - 1


def _doubles(x: Doubles) -> "tuple[Any, int]":
    """x as (something ctypes passes as a pointer to its doubles, their number),
    without a copy where x is a writable contiguous buffer of float64."""
    try:
        view = memoryview(x)
    except TypeError:
        values = [float(v) for v in x]
        return (c_double * len(values))(*values), len(values)
    if view.format not in ("d", "@d", "=d", "<d") or view.itemsize != 8:
        raise TypeError(f"a buffer of float64 is wanted, not one of format {view.format!r}")
    if not view.c_contiguous:
        raise ValueError("the buffer must be contiguous")
    n = view.nbytes // 8
    if n > _INT_MAX:
        raise ValueError("more doubles than the kernels count (2**31 - 1)")
    if n == 0:
        return None, 0
    flat = view.cast("B")
    if flat.readonly:
        # ctypes points only into writable buffers: a read-only one is copied once.
        return (c_double * n).from_buffer_copy(flat), n
    return (c_double * n).from_buffer(flat), n


def dot(a: Doubles, b: Doubles) -> float:
    """The dot product of a and b: buffers of float64 (array('d'), a numpy float64
    array, a memoryview), read in place, or sequences of floats. Summed in any order
    (fast-math), so it may differ from the in-order sum within rounding."""
    pa, n = _doubles(a)
    pb, m = _doubles(b)
    if n != m:
        raise ValueError(f"a has {n} doubles, b {m}")
    return float(_dot(pa, pb, n)) if n else 0.0


def sumsq(a: Doubles) -> float:
    """The sum of the squares of a (as dot)."""
    pa, n = _doubles(a)
    return float(_sumsq(pa, n)) if n else 0.0
