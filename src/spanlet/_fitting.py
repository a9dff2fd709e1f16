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


def lsq_spline(x: Any, y: Any, breakpoints: Any, degree: int = 3, check_finite: bool = True, *, w: Any = None,
               variance: Any = None, std: bool = False) -> Spline:
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
    w : array_like, shape (m,), optional
        Weights as in ``make_lsq_spline``: they multiply the residuals, so the fit minimises
        :math:`\sum_i (w_i (y_i - f(x_i)))^2` (:math:`w_i = 1/\sigma_i`).
    variance : array_like, shape (m,), optional
        The data variances :math:`\sigma_i^2` instead of ``w`` (the same fit); the standard
        errors then use them as they are.
    std : bool, optional
        Give the curve its coefficient covariance, so that ``curve.std(x)`` is the pointwise
        standard error (default False; one curve only). Without ``variance`` the variance scale
        is estimated from the residuals.

    Returns
    -------
    Spline
        On ``Space.bsplines_clamped(breakpoints, degree, closed=True)``, so the curve is defined
        up to and including the last breakpoint; coefficients of shape (..., b + degree - 1).
        Outside the breakpoints it continues the end polynomial pieces, as scipy's spline does
        (``Spline(..., extrapolate=False)`` gives 0 there instead).

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
    if w is not None:
        w = real_array(w, "w") ** 2  # scipy's weights multiply the residuals, ours their squares
    fit = Fit(Space.deltas(points), model, "none", 0.0, "difference", 0, w=w, variance=variance)
    return fit.curve(values, check_finite=False, std=std)


def smoothing_spline(x: Any, y: Any, lam: float | None = None, check_finite: bool = True, *, method: str = "gcv",
                     w: Any = None, variance: Any = None, std: bool = False, full_output: bool = False) -> Any:
    r"""The cubic smoothing spline of samples :math:`(x_i, y_i)` for the penalty weight
    :math:`\lambda`, given or chosen from the data.

    Minimises :math:`\sum_i w_i (y_i - f(x_i))^2 + \lambda \int f''(t)^2\,dt` over the cubic
    splines with knots at the samples, as ``scipy.interpolate.make_smoothing_spline(x, y, w,
    lam)`` does (the minimiser is the natural cubic spline); :math:`\lambda` is scipy's ``lam``
    unchanged. It is ``Fit.from_lambda`` (or, with ``lam=None``, :meth:`Fit.select`) with point
    kernels, the clamped cubic space on ``x`` and the order-2 derivative penalty.

    With ``lam=None`` the weight minimises the GCV score
    :math:`n \sum_i w_i r_i^2 / (n - \operatorname{tr} H)^2`; for unit weights that is
    scipy's criterion, so both choose the same :math:`\lambda` (scipy's bounded search stops at
    an absolute tolerance of 1e-5 in :math:`\lambda`, ours at 1e-10 relative). With weights
    scipy's score sums unweighted residuals; ours weights them, as mgcv does.

    Parameters
    ----------
    x : array_like, shape (m,)
        Strictly increasing sample positions.
    y : array_like, shape (..., m)
        Sample values along the last axis.
    lam : float, optional
        The penalty weight :math:`\lambda \ge 0`; 0 interpolates. None (default): chosen from the
        data by ``method`` (one curve only).
    check_finite : bool, optional
        Refuse NaN or inf in ``x`` or ``y`` with a ValueError (default True).
    method : {"gcv", "reml"}, optional
        The criterion that chooses :math:`\lambda` (see :meth:`Fit.select`).
    w : array_like, shape (m,), optional
        Weights of the squared residuals as in ``make_smoothing_spline`` (inverse variances).
    variance : array_like, shape (m,), optional
        The data variances instead of ``w``; the standard errors then use them as they are.
    std : bool, optional
        Give the curve its coefficient covariance (the Bayesian covariance of
        :meth:`Fit.covariance`), so that ``curve.std(x)`` is the pointwise standard error.
    full_output : bool, optional
        Also return the :class:`SmoothingChoice` (for ``lam=None``) or None.

    Returns
    -------
    Spline, or (Spline, SmoothingChoice or None) with ``full_output``
        Defined on ``[x[0], x[-1]]`` (both ends included); outside it continues the end cubic
        pieces, as scipy's spline does (``Spline(..., extrapolate=False)`` gives 0 there).

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
    kernels = Space.deltas(points)
    choice = None
    if lam is None:
        choice = Fit.select(kernels, model, "none", values, "derivative", 2, method=method, w=w, variance=variance,
                            check_finite=False)
        fit = choice.fit
    else:
        fit = Fit.from_lambda(kernels, model, "none", lam, "derivative", 2, w=w, variance=variance)
    curve = fit.curve(values, check_finite=False, std=std)
    return (curve, choice) if full_output else curve
