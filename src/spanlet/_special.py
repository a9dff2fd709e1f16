"""Special functions of the line-shape profiles."""

from __future__ import annotations

from typing import Any

import numpy as np

from spanlet import _spanlet
from spanlet._arrays import real_array

__all__ = ["faddeeva_re"]


def faddeeva_re(x: Any, y: Any) -> Any:
    r"""The real part of the Faddeeva function, :math:`\operatorname{Re} w(x + iy)` for :math:`y \ge 0`.

    :math:`w(z) = e^{-z^2} \operatorname{erfc}(-iz)`; its real part is the Voigt line shape:
    :math:`V(t; \sigma, \gamma) = \operatorname{Re} w\big((t + i\gamma) / (\sigma\sqrt 2)\big) /
    (\sigma \sqrt{2\pi})`. Computed with a 40-term rational expansion (Weideman), accurate to
    about 1e-13; no range check is made for :math:`y < 0`.

    Parameters
    ----------
    x, y : array_like or float
        Broadcast against each other.

    Returns
    -------
    float or numpy.ndarray
        A float for two scalars, else an array of the broadcast shape.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> print(round(spanlet.faddeeva_re(1, 0), 12), round(float(np.exp(-1)), 12))
    0.367879441171 0.367879441171
    >>> spanlet.faddeeva_re([0, 1], [[0], [1]]).shape
    (2, 2)
    """
    xs, ys = np.broadcast_arrays(real_array(x, "x"), real_array(y, "y"))
    if xs.ndim == 0:
        return _spanlet.faddeeva_re(float(xs), float(ys))
    native = _spanlet.faddeeva_re
    return np.array([native(a, b) for a, b in zip(xs.ravel().tolist(), ys.ravel().tolist())],
                    dtype=np.float64).reshape(xs.shape)
