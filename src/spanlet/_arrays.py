"""Argument and result conversion between user inputs and the native module.

The native functions take exactly what their text signatures say: one- and two-dimensional
``float64`` arrays, native ``Space`` objects, and return sparse matrices as the tuple
``(indptr, indices, data, shape)``. Everything here converts towards those forms and back,
without touching the numbers: a conversion either succeeds exactly or raises.
"""

from __future__ import annotations

import copy
import math
import operator
from typing import Any

import numpy as np
import scipy.sparse

from spanlet import _spanlet

__all__: list[str] = []


def real_array(value: Any, name: str) -> np.ndarray:
    if np.iscomplexobj(value):
        # float() of a complex array drops the imaginary part with only a warning.
        raise TypeError(f"argument '{name}': expected real numbers, got complex values")
    try:
        return np.asarray(value, dtype=np.float64)
    except (TypeError, ValueError) as error:
        raise TypeError(f"argument '{name}': expected an array_like of real numbers ({error})") from error


def vector(value: Any, name: str, scalar: bool = False) -> np.ndarray:
    """A contiguous one-dimensional float64 copy-or-view of ``value``.

    With ``scalar``, a single number is taken as an array of one value (a point, or a parameter
    shared by every element).
    """
    array = real_array(value, name)
    if scalar and array.ndim == 0:
        array = array.reshape(1)
    if array.ndim != 1:
        expected = "a number or a 1-dimensional array" if scalar else "a 1-dimensional array"
        raise ValueError(f"{name} must be {expected}, got shape {array.shape}")
    return np.ascontiguousarray(array)


def rows(value: Any, name: str, single_row: bool = False) -> np.ndarray:
    """A contiguous two-dimensional float64 array; with ``single_row`` a 1-D input is one row."""
    array = real_array(value, name)
    if single_row and array.ndim == 1:
        array = array[np.newaxis, :]
    if array.ndim != 2:
        raise ValueError(f"{name} must be a 2-dimensional array, got shape {array.shape}")
    return np.ascontiguousarray(array)


def check_finite(array: np.ndarray, name: str) -> None:
    if not np.isfinite(array).all():
        raise ValueError(f"{name} must not hold NaN or inf (pass check_finite=False to skip this check)")


# The checks below run before a native call so that a refusal names the caller's argument and
# index; the native messages speak of elements ("delta position", "box needs a < b") instead.

def _first(bad: np.ndarray) -> int:
    return int(np.flatnonzero(bad)[0])


def finite(array: np.ndarray, name: str) -> None:
    bad = ~np.isfinite(array)
    if bad.any():
        i = _first(bad)
        raise ValueError(f"{name} must be finite, got {float(array[i])!r} at index {i}")


def positive(array: np.ndarray, name: str) -> None:
    """Finite and > 0 (NaN included in the refusal)."""
    bad = ~(np.isfinite(array) & (array > 0))
    if bad.any():
        i = _first(bad)
        raise ValueError(f"{name} must be finite and > 0, got {float(array[i])!r} at index {i}")


def increasing(array: np.ndarray, name: str) -> None:
    bad = ~(array[1:] > array[:-1])
    if bad.any():
        i = _first(bad) + 1
        raise ValueError(f"{name} must be strictly increasing, got {float(array[i])!r} at index {i} "
                         f"after {float(array[i - 1])!r}")


def degree(value: Any) -> None:
    """B-spline degrees are 0 to 3; anything that is not an integer is left to the native check."""
    try:
        p = operator.index(value)
    except TypeError:
        return
    if not 0 <= p <= 3:
        raise ValueError(f"degree must be 0, 1, 2 or 3, got {p}")


def cosine_frequency(weight: Any) -> Any:
    """``weight`` unchanged after checking it is None or one non-zero finite number."""
    if weight is None or isinstance(weight, str):
        return weight  # a str is refused by the native call, with its type named
    if np.ndim(weight) != 0:
        raise TypeError("weight must be None or a single number, the frequency ω of the weight cos(ωt), "
                        f"got an array of shape {np.shape(weight)}")
    try:
        omega = float(weight)
    except (TypeError, ValueError):
        return weight
    if not (math.isfinite(omega) and omega != 0):
        raise ValueError(f"weight must be None or a non-zero finite number, got {omega!r}")
    return weight


def choice(value: Any, choices: tuple[str, ...], what: str) -> None:
    """Names outside ``choices`` are refused with the list; non-strings go on to the native check."""
    if isinstance(value, str) and value not in choices:
        listed = ", ".join(f'"{c}"' for c in choices)
        raise ValueError(f'unknown {what} "{value}": expected one of {listed}')


def last_axis(value: Any, name: str, check: bool) -> tuple[np.ndarray, tuple[int, ...]]:
    """Data of any shape (..., n) as a contiguous (k, n) array, plus the leading shape."""
    array = real_array(value, name)
    if array.ndim == 0:
        raise ValueError(f"{name} must have at least 1 dimension, got a scalar")
    if check:
        check_finite(array, name)
    lead = array.shape[:-1]
    # The row count is spelt out: reshape cannot infer -1 when the last axis is empty.
    return np.ascontiguousarray(array.reshape(math.prod(lead), array.shape[-1])), lead


def recorded(value: Any) -> Any:
    """A copy of a call argument that later changes by the caller cannot reach.

    Recipes (pickles, reprs) replay what they record, so they must keep what was built, not the
    caller's array or list. Numbers, strings and native spaces are kept as they are (a package space
    copies as itself).
    """
    if value is None or isinstance(value, (int, float, complex, str, bytes, np.generic, _spanlet.Space)):
        return value
    try:
        return copy.deepcopy(value)
    except Exception:  # not copyable: the native call judges it as it is
        return value


def native_space(value: Any, name: str) -> Any:
    """The native ``Space`` behind a package ``Space`` (a native one passes as it is)."""
    native = getattr(value, "_native", value)
    if not isinstance(native, _spanlet.Space):
        raise TypeError(f"argument '{name}': expected a spanlet.Space, got {type(value).__name__}")
    return native


def csr(parts: tuple) -> scipy.sparse.csr_array:
    """A ``scipy.sparse.csr_array`` from the native ``(indptr, indices, data, shape)`` tuple."""
    indptr, indices, data, shape = parts
    return scipy.sparse.csr_array((data, indices, indptr), shape=shape)

