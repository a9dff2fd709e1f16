"""Argument and result conversion between user inputs and the native module.

The native functions take exactly what their text signatures say: one- and two-dimensional
``float64`` arrays, native ``Space`` objects, and return sparse matrices as the tuple
``(indptr, indices, data, shape)``. Everything here converts towards those forms and back,
without touching the numbers: a conversion either succeeds exactly or raises.
"""

from __future__ import annotations

import copy
import math
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

