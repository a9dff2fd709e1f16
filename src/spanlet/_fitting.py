"""Spline fits of point data in the manner of scipy.interpolate, built on Fit."""

from __future__ import annotations

from typing import Any

from spanlet._arrays import check_finite as _check_finite
from spanlet._arrays import increasing, real_array, vector
from spanlet._operators import Fit
from spanlet._space import Space
from spanlet._spline import Spline

__all__ = ["lsq_spline", "smoothing_spline"]


def _samples(x: Any, y: Any, check: bool) -> tuple:
    points, values = vector(x, "x"), real_array(y, "y")
    if check:
        _check_finite(points, "x")
        _check_finite(values, "y")
    return points, values


def lsq_spline(x: Any, y: Any, breakpoints: Any, degree: int = 3, check_finite: bool = True) -> Spline:
    r"""The least-squares spline through samples :math:`(x_i, y_i)`.

    Minimises :math:`\sum_i (y_i - f(x_i))^2` over the clamped B-spline space of ``degree`` on
    ``breakpoints``: the fit of ``scipy.interpolate.make_lsq_spline(x, y, t, k=degree)`` with
    ``t`` the breakpoints with ``degree`` extra copies of each end.

    Parameters
    ----------
    x : array_like, shape (m,)
        Sample positions within ``[breakpoints[0], breakpoints[-1]]``; samples at both ends count.
    y : array_like, shape (..., m)
        Sample values along the last axis; leading axes fit several curves at once.
    breakpoints : array_like, shape (b,)
        Strictly increasing.
    degree : int, optional
        0 to 3 (default 3).
    check_finite : bool, optional
        Refuse NaN or inf in ``x`` or ``y`` with a ValueError (default True).

    Returns
    -------
    Spline
        On ``Space.bsplines_clamped(breakpoints, degree, closed=True)``, so the curve is defined
        up to and including the last breakpoint; coefficients of shape (..., b + degree - 1).

    Raises
    ------
    SingularError
        If the samples do not determine every coefficient (some interval holds too few samples).

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> x = np.linspace(0, 2, 9)
    >>> f = spanlet.lsq_spline(x, x ** 3 - x, [0, 1, 2])
    >>> print(np.round(f([0.5, 1.5, 2]), 12))
    [-0.375  1.875  6.   ]
    """
    points, values = _samples(x, y, check_finite)
    model = Space.bsplines_clamped(breakpoints, degree, closed=True)
    fit = Fit(Space.deltas(points), model, "none", 0.0, "difference", 0)
    return fit.curve(values, check_finite=False)


def smoothing_spline(x: Any, y: Any, lam: float, check_finite: bool = True) -> Spline:
    r"""The cubic smoothing spline of samples :math:`(x_i, y_i)` for the penalty weight
    :math:`\lambda`.

    Minimises :math:`\sum_i (y_i - f(x_i))^2 + \lambda \int f''(t)^2\,dt` over the cubic splines
    with knots at the samples, as ``scipy.interpolate.make_smoothing_spline(x, y, lam=lam)``
    does (the minimiser is the natural cubic spline). It is ``Fit.from_lambda`` with point
    kernels, the clamped cubic space on ``x`` and the order-2 derivative penalty.

    Parameters
    ----------
    x : array_like, shape (m,)
        Strictly increasing sample positions.
    y : array_like, shape (..., m)
        Sample values along the last axis.
    lam : float
        The penalty weight :math:`\lambda \ge 0`; 0 interpolates.
    check_finite : bool, optional
        Refuse NaN or inf in ``x`` or ``y`` with a ValueError (default True).

    Returns
    -------
    Spline
        Defined on ``[x[0], x[-1]]`` (both ends included) and 0 outside; scipy's spline
        extrapolates linearly there instead.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> x = np.linspace(0, 1, 11)
    >>> f = spanlet.smoothing_spline(x, 3 * x + 1, lam=0.1)
    >>> print(np.round(f([0, 0.55, 1]), 10))
    [1.   2.65 4.  ]
    """
    points, values = _samples(x, y, check_finite)
    increasing(points, "x")  # the knots are the samples: say so in terms of x, not of breakpoints
    model = Space.bsplines_clamped(points, 3, closed=True)
    fit = Fit.from_lambda(Space.deltas(points), model, "none", lam, "derivative", 2)
    return fit.curve(values, check_finite=False)
