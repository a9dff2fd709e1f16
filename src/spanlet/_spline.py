"""A function expanded in a space: the fitted curve that fits and projections hand back."""

from __future__ import annotations

import math
from typing import Any

import numpy as np
import scipy.sparse

from spanlet._arrays import native_space, vector
from spanlet._functions import evaluate

__all__ = ["Spline"]


class Spline:
    r"""The function :math:`f(t) = \sum_j c_j\, \phi_j(t)` for a basis ``Space`` and coefficients.

    Coefficients may carry leading batch dimensions, shape ``(..., len(basis))``: one curve per
    leading index, for example one per fitted spectrum.

    Parameters
    ----------
    basis : Space
        The basis :math:`\phi_j`.
    coefficients : array_like, shape (..., len(basis))
        The coefficients :math:`c_j` along the last axis.
    covariance : array_like or scipy sparse matrix, shape (len(basis), len(basis)), optional
        The covariance of the coefficients (for one curve), as fits give it: dense, or sparse
        holding at least the entries between elements that overlap. It gives :meth:`std`.
    extrapolate : bool or "periodic", optional
        The curve outside the base interval of the basis, as in ``scipy.interpolate.BSpline``.
        True: the end polynomial pieces continued. False: 0, the values of :func:`evaluate` as
        they are. "periodic": the curve repeats with the period of the base interval. None
        (default): "periodic" for ``Space.bsplines_periodic``, True for ``Space.bsplines`` and
        ``Space.bsplines_clamped`` (and their derivatives), False for every other basis.

    Raises
    ------
    ValueError
        For coefficients or a covariance of the wrong shape, an unknown ``extrapolate``, or True
        or "periodic" for a basis that is not made of polynomial pieces with known breakpoints.

    Notes
    -----
    Inside the base interval the values come from :func:`evaluate` and follow its half-open
    convention. The base interval is :math:`[t_p, t_{m-p-1})` for B-splines of degree :math:`p` on
    knots :math:`t_0 \dots t_{m-1}` (the breakpoints' span for clamped and periodic ones), the
    nodes' span for hats and the edges' span for boxes; True and "periodic" work on these bases,
    so a rebinned spectrum (boxes) or a hat curve can extend its end pieces on request. The
    defaults follow what users of each basis expect: the fits of :func:`lsq_spline` and
    :func:`smoothing_spline` extrapolate as scipy's splines do, a periodic fit gives at the
    period end the value at the start, and boxes, hats and the line shapes stay 0 where they do
    not reach. :meth:`integral` always integrates over the support of the basis only.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> basis = spanlet.Space.hats([0, 1, 2])
    >>> f = spanlet.Spline(basis, [0, 2, 1])
    >>> print(f([0.5, 1.5]))
    [1.  1.5]
    >>> print(f.derivative()([0.5, 1.5]), f.integral())
    [ 2. -1.] 2.5
    >>> g = spanlet.Spline(basis, [[0, 2, 1], [1, 1, 1]])
    >>> g(np.zeros((2, 3))).shape
    (2, 2, 3)
    >>> print(f(2.5), spanlet.Spline(basis, [0, 2, 1], extrapolate=True)(2.5))
    0.0 0.5
    >>> square = spanlet.Spline(spanlet.Space.bsplines_clamped([0, 1], 2), [0, 0, 1])  # t**2 on [0, 1)
    >>> print(square.extrapolate, square([-1, 2]))
    True [1. 4.]
    >>> wave = spanlet.Spline(spanlet.Space.bsplines_periodic([0, 1, 2, 3], 1), [1, 2, 3])
    >>> print(wave.extrapolate, wave([0.5, 3.0, 3.5, -0.5]))
    periodic [1.5 1.  1.5 2. ]
    """

    __slots__ = ("_basis", "_coefficients", "_covariance", "_extrapolate", "_ends")

    def __init__(self, basis: Any, coefficients: Any, covariance: Any = None,
                 extrapolate: bool | str | None = None) -> None:
        n = len(native_space(basis, "basis"))
        c = np.array(coefficients, dtype=np.float64)
        if c.ndim == 0 or c.shape[-1] != n:
            raise ValueError(f"coefficients must have shape (..., {n}) for a basis of {n} elements, "
                             f"got shape {c.shape}")
        c.flags.writeable = False
        self._basis = basis
        self._coefficients = c
        self._covariance = None
        if covariance is not None:
            if scipy.sparse.issparse(covariance):
                cov = scipy.sparse.csr_array(covariance, dtype=np.float64)
            else:
                cov = np.array(covariance, dtype=np.float64)
                cov.flags.writeable = False
            if cov.shape != (n, n):
                raise ValueError(f"covariance must have shape ({n}, {n}), got {cov.shape}")
            self._covariance = cov
        self._extrapolate = _extrapolation(basis, extrapolate)
        self._ends: Any = None  # the end pieces as Taylor rows, made on first need
    @property
    def basis(self) -> Any:
        """The basis ``Space``."""
        return self._basis

    @property
    def coefficients(self) -> np.ndarray:
        """The coefficients, shape ``(..., len(basis))`` (read-only)."""
        return self._coefficients

    @property
    def covariance(self) -> Any:
        """The covariance of the coefficients, or None."""
        return self._covariance

    @property
    def extrapolate(self) -> bool | str:
        """What the curve is outside the base interval of its basis: True, False or "periodic"."""
        return self._extrapolate

    def _values(self, points: np.ndarray) -> scipy.sparse.csr_array:
        """The basis values at the points (1-D), extrapolated as the spline says."""
        if self._extrapolate is False:
            return evaluate(self._basis, points)
        lo, hi, _, _ = _pieces(self._basis)
        if self._extrapolate == "periodic":
            wrapped = lo + np.mod(points - lo, hi - lo)
            # A point just below a period start can round up to hi: it belongs to the last piece.
            wrapped[wrapped >= hi] = np.nextafter(hi, -np.inf)
            return evaluate(self._basis, wrapped)
        left, right = points < lo, points >= hi
        values = evaluate(self._basis, points)
        if not (left.any() or right.any()):
            return values
        if self._ends is None:
            self._ends = _end_pieces(self._basis)
        inside = (~(left | right)).astype(np.float64)
        values = scipy.sparse.csr_array(scipy.sparse.diags_array(inside) @ values)
        for mask, (center, derivatives) in zip((left, right), self._ends):
            at = np.flatnonzero(mask)
            if at.size == 0:
                continue
            k = np.arange(derivatives.shape[0])
            powers = (points[at, None] - center) ** k / np.array([math.factorial(i) for i in k])
            place = scipy.sparse.csr_array((np.ones(at.size), (at, np.arange(at.size))), shape=(points.size, at.size))
            values = values + place @ scipy.sparse.csr_array(powers @ derivatives)
        return scipy.sparse.csr_array(values)

    def std(self, x: Any) -> np.ndarray:
        r"""The pointwise standard error :math:`\sqrt{b(x)^T C\, b(x)}`, with :math:`b(x)` the basis
        values at ``x`` and :math:`C` the coefficient covariance.

        Raises
        ------
        ValueError
            If the spline has no covariance, or a sparse covariance lacks an entry that a point
            needs (two elements nonzero at one point).

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> f = spanlet.Spline(spanlet.Space.hats([0, 1]), [0, 0], covariance=np.diag([4.0, 1.0]))
        >>> print(f.std([0, 0.5, 1]))
        [2.         1.11803399 1.        ]
        """
        if self._covariance is None:
            raise ValueError("this spline has no covariance: fit it with std=True or pass covariance=")
        points = np.asarray(x, dtype=np.float64)
        b = self._values(vector(points.reshape(-1), "x"))
        cov = self._covariance
        if scipy.sparse.issparse(cov):
            pairs = scipy.sparse.csr_array(b.T @ b)
            pairs.data[:] = 1.0
            held = scipy.sparse.csr_array(cov, copy=True)
            held.data[:] = 1.0  # the stored pattern, zeros included
            if pairs.multiply(held).count_nonzero() != pairs.count_nonzero():
                raise ValueError("the sparse covariance lacks entries between elements that overlap at x; "
                                 "pass the full covariance")
            variance = np.asarray((b @ cov).multiply(b).sum(axis=1)).reshape(-1)
        else:
            variance = np.einsum("ij,ij->i", (b @ cov), b.toarray())
        return np.sqrt(np.maximum(variance, 0.0)).reshape(points.shape)

    def __call__(self, x: Any) -> np.ndarray:
        """The values at ``x`` of any shape; the result has shape ``coefficients.shape[:-1] + x.shape``.

        Examples
        --------
        >>> import spanlet
        >>> f = spanlet.Spline(spanlet.Space.boxes([0, 1, 2]), [3, 4])
        >>> print(f(1.5), f([[0, 1], [2, 3]]).tolist())
        4.0 [[3.0, 4.0], [0.0, 0.0]]
        """
        points = np.asarray(x, dtype=np.float64)
        values = self._values(vector(points.reshape(-1), "x"))
        c = self._coefficients
        lead = c.shape[:-1]
        out = values @ c.reshape(math.prod(lead), c.shape[-1]).T  # -1 is ambiguous for an empty basis
        return np.ascontiguousarray(out.T).reshape(lead + points.shape)

    def derivative(self, order: int = 1) -> Spline:
        r"""The curve :math:`f^{(\mathrm{order})}`, with the same coefficients on the derivative space.

        Examples
        --------
        >>> import spanlet
        >>> f = spanlet.Spline(spanlet.Space.bsplines_clamped([0, 1], 2), [0, 0, 1])
        >>> print(f.derivative(2)(0.5))
        2.0
        """
        basis = self._basis.derivative(order)
        return Spline(basis, self._coefficients, extrapolate=self._extrapolate if _pieces(basis) else False)

    def integral(self, weight: float | None = None) -> Any:
        r"""The integral :math:`\int f(t)\, w(t)\, dt` over the whole support of the basis.

        Parameters
        ----------
        weight : float, optional
            None for :math:`w = 1`, or :math:`\omega` for :math:`w(t) = \cos(\omega t)`.

        Returns
        -------
        float or numpy.ndarray of shape ``coefficients.shape[:-1]``

        Examples
        --------
        >>> import spanlet
        >>> print(spanlet.Spline(spanlet.Space.boxes([0, 1, 3]), [1, 2]).integral())
        5.0
        """
        result = self._coefficients @ self._basis.integrals(weight)
        return float(result) if np.ndim(result) == 0 else result

    def __reduce__(self) -> tuple:
        return (Spline, (self._basis, self._coefficients, self._covariance, self._extrapolate))

    def __repr__(self) -> str:
        return f"Spline({self._basis!r}, coefficients of shape {self._coefficients.shape})"


def _pieces(basis: Any) -> Any:
    """(lo, hi, degree, breakpoints) of a basis of polynomial pieces, from the call that made it,
    with [lo, hi) its base interval; None for other bases."""
    recipe = getattr(basis, "_recipe", None)
    if recipe is None:
        return None
    method, parent, args = recipe
    if method == "derivative":
        inner = _pieces(parent)
        if inner is None or args[0] > inner[2]:
            return None
        return inner[:2] + (inner[2] - args[0], inner[3])
    if method == "bsplines":
        knots, p = np.asarray(args[0]), int(args[1])
        if knots.size < 2 * p + 2:
            return None
        lo, hi = float(knots[p]), float(knots[knots.size - p - 1])
        inner = knots[(knots >= lo) & (knots <= hi)]
        return (lo, hi, p, np.unique(inner)) if hi > lo else None
    if method in ("bsplines_clamped", "bsplines_clamped_closed", "bsplines_periodic", "hats", "boxes"):
        points = np.asarray(args[0])
        degree = {"hats": 1, "boxes": 0}.get(method, int(args[1]) if len(args) > 1 else 0)
        return (float(points[0]), float(points[-1]), degree, points) if points.size >= 2 else None
    return None


def _periodic(basis: Any) -> bool:
    recipe = getattr(basis, "_recipe", None)
    if recipe is None:
        return False
    method, parent, _ = recipe
    return method == "bsplines_periodic" or (method == "derivative" and _periodic(parent))


def _extrapolation(basis: Any, extrapolate: Any) -> bool | str:
    if isinstance(extrapolate, np.bool_):
        extrapolate = bool(extrapolate)
    if extrapolate is None:
        if _periodic(basis):
            return "periodic"
        method = _root_method(basis)
        return method in ("bsplines", "bsplines_clamped", "bsplines_clamped_closed") and _pieces(basis) is not None
    if extrapolate is not True and extrapolate is not False and extrapolate != "periodic":
        raise ValueError(f"extrapolate must be True, False, 'periodic' or None, got {extrapolate!r}")
    if extrapolate is not False and _pieces(basis) is None:
        raise ValueError(f"extrapolate={extrapolate!r} needs a basis of polynomial pieces (B-splines, hats or "
                         f"boxes) with its breakpoints, got {basis!r}; use extrapolate=False")
    return extrapolate


def _root_method(basis: Any) -> str | None:
    recipe = getattr(basis, "_recipe", None)
    if recipe is None:
        return None
    method, parent, _ = recipe
    return _root_method(parent) if method == "derivative" else method


def _end_pieces(basis: Any) -> tuple:
    """For each end, a point c inside the end interval and the rows of the basis derivatives
    0..p at c: the end polynomial at x is sum_k (x - c)^k / k! times row k."""
    _, _, degree, breakpoints = _pieces(basis)
    ends = []
    for a, b in ((breakpoints[0], breakpoints[1]), (breakpoints[-2], breakpoints[-1])):
        center = np.array([0.5 * (a + b)])
        rows = [evaluate(basis if k == 0 else basis.derivative(k), center).toarray()[0] for k in range(degree + 1)]
        ends.append((float(center[0]), np.array(rows)))
    return tuple(ends)
