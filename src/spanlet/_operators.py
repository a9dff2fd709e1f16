"""Projection and Fit: operators that are factored once and applied to many rows of data."""

from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np
import scipy.sparse

from spanlet import _spanlet
from spanlet._arrays import cosine_frequency, csr, last_axis, native_space, recorded
from spanlet._functions import inner_products, measure
from spanlet._spline import Spline

__all__ = ["Projection", "Fit"]


def _apply(native_apply: Any, value: Any, name: str, check: bool, *extra: Any) -> np.ndarray:
    # The native call works on (k, n) rows; any leading shape is flattened into k and restored.
    rows, lead = last_axis(value, name, check)
    out = native_apply(rows, *extra)
    return out.reshape(lead + out.shape[-1:])


def _bounds(bounds: Any) -> Any:
    if bounds is None or isinstance(bounds, str) or isinstance(bounds, tuple):
        return bounds
    try:
        return tuple(bounds)
    except TypeError:
        return bounds  # the native call reports it


class Projection:
    r"""Least-squares projection from a source space onto a target space.

    For a function :math:`f = \sum_j f_j s_j` in the source space, the projection finds the
    target coefficients :math:`x` minimising :math:`\| \sum_p x_p d_p - f \|_w^2`:

    .. math:: x = G^{-1} K f, \qquad G_{pq} = \langle d_p, d_q \rangle_w, \quad
              K_{pj} = \langle d_p, s_j \rangle_w .

    :math:`G` is factored once; every application is a sparse product and two banded solves.
    Projecting boxes onto boxes is flux-conserving rebinning.

    Parameters
    ----------
    src : Space
        The source space (length ``n_src``).
    dst : Space
        The target space (length ``n_dst``); its elements must be linearly independent.
    weight : float, optional
        None (default) or :math:`\omega` for the inner product weight :math:`\cos(\omega t)`.

    Raises
    ------
    SingularError
        If the Gram matrix of ``dst`` is not positive definite (dependent or zero elements).

    Notes
    -----
    A projection pickles as its two spaces and the weight and is rebuilt on load: the file stays
    as small as the spaces' recipes, and the rebuilt operator gives bit-identical results.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> fine = spanlet.Space.boxes(np.linspace(0, 1, 5))
    >>> coarse = spanlet.Space.boxes([0, 0.5, 1])
    >>> rebin = spanlet.Projection(fine, coarse)
    >>> rebin
    Projection(n_src=4, n_dst=2)
    >>> print(rebin.apply_last_axis([1, 3, 5, 7]))
    [2. 6.]
    >>> print(rebin.apply_last_axis(np.ones((2, 3, 4))).shape)
    (2, 3, 2)
    """

    __slots__ = ("_native", "_src", "_dst", "_weight")

    def __init__(self, src: Any, dst: Any, weight: float | None = None) -> None:
        weight = recorded(weight)
        self._native = _spanlet.Projection(native_space(src, "src"), native_space(dst, "dst"), cosine_frequency(weight))
        self._src, self._dst, self._weight = src, dst, weight

    @property
    def n_src(self) -> int:
        """The number of source elements (the length of the transformed axis of the input)."""
        return self._native.n_src

    @property
    def n_dst(self) -> int:
        """The number of target elements (the length of the last axis of the result)."""
        return self._native.n_dst

    @property
    def src(self) -> Any:
        """The source space."""
        return self._src

    @property
    def dst(self) -> Any:
        """The target space."""
        return self._dst

    @property
    def native(self) -> Any:
        """The native ``spanlet._spanlet.Projection``."""
        return self._native

    def cross(self) -> scipy.sparse.csr_array:
        r"""The cross matrix :math:`K_{pj} = \langle d_p, s_j \rangle_w`, shape (n_dst, n_src).

        Examples
        --------
        >>> import spanlet
        >>> p = spanlet.Projection(spanlet.Space.boxes([0, 1, 2]), spanlet.Space.boxes([0, 2]))
        >>> print(p.cross().toarray())
        [[1. 1.]]
        """
        return csr(self._native.cross())

    def to_dense(self) -> np.ndarray:
        r"""The dense operator :math:`P = G^{-1} K`, shape (n_dst, n_src).

        Examples
        --------
        >>> import spanlet
        >>> p = spanlet.Projection(spanlet.Space.boxes([0, 1, 2]), spanlet.Space.boxes([0, 2]))
        >>> print(p.to_dense())
        [[0.5 0.5]]
        """
        return self._native.to_dense()

    def apply_last_axis(self, f: Any, bounds: Any = None, check_finite: bool = True) -> np.ndarray:
        r"""Projects source coefficients along the last axis.

        Parameters
        ----------
        f : array_like, shape (..., n_src)
            Source coefficients; a 1-D input gives a 1-D result.
        bounds : None, "local" or (lo, hi), optional
            None (default): the plain projection :math:`G^{-1} K f`. (lo, hi): every target
            coefficient is kept in [lo, hi]. "local": target coefficient :math:`p` is kept
            between the smallest and the largest source coefficient among the source elements
            that overlap target element :math:`p` (no new extrema). Bounded projections preserve
            the integral of the projected function.
        check_finite : bool, optional
            Refuse NaN or inf in ``f`` with a ValueError (default True).

        Returns
        -------
        numpy.ndarray, shape (..., n_dst)

        Examples
        --------
        >>> import spanlet
        >>> src = spanlet.Space.boxes([0, 1, 2, 3])
        >>> dst = spanlet.Space.hats([0, 1.5, 3])
        >>> p = spanlet.Projection(src, dst)
        >>> print(p.apply_last_axis([0, 1, 0]).round(3))
        [-0.333  1.    -0.333]
        >>> print(p.apply_last_axis([0, 1, 0], bounds="local").round(3))
        [0.    0.667 0.   ]
        """
        return _apply(self._native.apply_last_axis, f, "f", check_finite, _bounds(bounds))

    def curve(self, f: Any, bounds: Any = None, check_finite: bool = True) -> Spline:
        """The projected function as a :class:`Spline` on the target space.

        Parameters are those of :meth:`apply_last_axis`.

        Examples
        --------
        >>> import spanlet
        >>> p = spanlet.Projection(spanlet.Space.boxes([0, 1, 2]), spanlet.Space.boxes([0, 2]))
        >>> print(p.curve([1, 3])(1.0).round(12))
        2.0
        """
        return Spline(self._dst, self.apply_last_axis(f, bounds, check_finite))

    def __reduce__(self) -> tuple:
        return (Projection, (self._src, self._dst, self._weight))

    def __copy__(self) -> Projection:
        return self

    def __deepcopy__(self, memo: dict) -> Projection:
        return self  # immutable

    def __repr__(self) -> str:
        weight = "" if self._weight is None else f", weight={self._weight!r}"
        return f"Projection(n_src={self.n_src}, n_dst={self.n_dst}{weight})"


def _penalty_trace(model: Any, penalty: str, order: int) -> float:
    """The trace of the penalty matrix P of a Fit (0 where no penalty is built)."""
    if penalty == "difference":
        n = len(model)
        return float((n - order) * math.comb(2 * order, order)) if order < n else 0.0
    derivatives = model.derivative(order)
    return float(inner_products(derivatives, derivatives).diagonal().sum())


class Fit:
    r"""Penalised least-squares fit of a model space to data seen through kernels.

    Data value :math:`d_i` is the measurement of the sought function
    :math:`f = \sum_j x_j \phi_j` by kernel :math:`i`. With the design matrix
    :math:`D` = ``measure(kernels, model, normalization, weight)``, a fit solves

    .. math:: (D^T D + \alpha P)\, x = D^T d, \qquad
              \alpha = \mathrm{smoothing} \cdot \operatorname{tr}(D^T D) / \operatorname{tr}(P),

    so that ``smoothing`` does not depend on the units or sizes of the problem. The matrix on the
    left is factored once; each fit is a sparse product and two banded solves.

    Parameters
    ----------
    kernels : Space
        One kernel per data value; ``Space.deltas(x)`` for point samples.
    model : Space
        The basis of the fitted function.
    normalization : {"integral", "rowsum", "none"}
        Row normalisation of :math:`D`, as in :func:`measure`.
    smoothing : float
        Relative penalty weight, finite and >= 0; 0 is the plain least-squares fit.
    penalty : {"derivative", "difference"}
        "derivative": :math:`P_{ij} = \int \phi_i^{(m)} \phi_j^{(m)}\,dt` (never weighted), the
        roughness :math:`\int (f^{(m)})^2`; "difference": :math:`P = R^T R` with :math:`R` the
        m-th finite difference of the coefficients (a P-spline; m = 0 is a ridge penalty).
    order : int
        The order m of the derivative or difference.
    weight : float, optional
        None (default) or :math:`\omega` for :math:`\cos(\omega t)` in :math:`D` only (a cosine
        frequency, not sample weights).

    Raises
    ------
    SingularError
        If the data do not determine every model coefficient and the penalty does not either.
    ValueError
        For a bad option string, a negative or non-finite smoothing, or a zero penalty.

    Warns
    -----
    UserWarning
        If some kernels see no model element: their data would be ignored by every fit (for
        example a sample at the last breakpoint of a clamped space that is not ``closed``).

    See Also
    --------
    lsq_spline, smoothing_spline : the scipy-style fits of point data built on this class.
    Fit.from_lambda : a fit given the absolute penalty weight :math:`\alpha = \lambda`.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> x = np.linspace(0, 1, 50)
    >>> model = spanlet.Space.bsplines_clamped(np.linspace(0, 1, 6), 3, closed=True)
    >>> fit = spanlet.Fit(spanlet.Space.deltas(x), model, "none", 1e-6, "difference", 2)
    >>> fit
    Fit(n_data=50, n_model=8, normalization='none', smoothing=1e-06, penalty='difference', order=2)
    >>> f = fit.curve(x ** 2)
    >>> print(np.round(f([0.25, 1.0]), 4))
    [0.0625 1.    ]
    """

    __slots__ = ("_native", "_args")

    def __init__(self, kernels: Any, model: Any, normalization: str, smoothing: float, penalty: str, order: int,
                 weight: float | None = None) -> None:
        self._build((kernels, model, normalization, smoothing, penalty, order, weight), check_rows=True)

    def _build(self, args: tuple, check_rows: bool) -> None:
        args = tuple(recorded(arg) for arg in args)
        kernels, model, normalization, smoothing, penalty, order, weight = args
        self._native = _spanlet.Fit(native_space(kernels, "kernels"), native_space(model, "model"), normalization,
                                    smoothing, penalty, order, cosine_frequency(weight))
        self._args = args
        if check_rows:
            indptr = self._native.design()[0]
            unseen = np.flatnonzero(indptr[1:] == indptr[:-1])
            if unseen.size:
                listed = ", ".join(str(i) for i in unseen[:5]) + (", ..." if unseen.size > 5 else "")
                warnings.warn(f"{unseen.size} of {self.n_data} kernels see no model element (kernels {listed}); "
                              "their data are ignored", UserWarning, stacklevel=3)

    @classmethod
    def from_lambda(cls, kernels: Any, model: Any, normalization: str, lam: float, penalty: str, order: int,
                    weight: float | None = None) -> Fit:
        r"""A fit with the absolute penalty weight :math:`\alpha = \lambda`.

        It minimises :math:`\|D x - d\|^2 + \lambda\, x^T P x`; with point kernels and the
        "derivative" penalty of order 2 that is
        :math:`\sum_i (d_i - f(x_i))^2 + \lambda \int f''(t)^2\,dt`, the objective of
        ``scipy.interpolate.make_smoothing_spline(x, d, lam=λ)``. The mapping is
        ``smoothing = lam * tr(P) / tr(DᵀD)``, computed from the same matrices.

        Parameters
        ----------
        lam : float
            Finite, >= 0.
        kernels, model, normalization, penalty, order, weight
            As for :class:`Fit`.

        Returns
        -------
        Fit

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> x = np.linspace(0, 1, 20)
        >>> model = spanlet.Space.bsplines_clamped(x, 3, closed=True)
        >>> fit = spanlet.Fit.from_lambda(spanlet.Space.deltas(x), model, "none", 1e-3, "derivative", 2)
        >>> fit.n_model
        22
        """
        lam = float(lam)
        if not (math.isfinite(lam) and lam >= 0):
            raise ValueError("lam must be finite and >= 0")
        smoothing = lam
        if lam > 0 and penalty in ("derivative", "difference"):
            design = measure(kernels, model, normalization, weight)
            trace_n = float(np.dot(design.data, design.data))
            trace_p = _penalty_trace(model, penalty, order)
            # Where a trace is zero the native call reports the problem (or needs no penalty).
            if trace_n > 0 and trace_p > 0:
                smoothing = lam * trace_p / trace_n
        return cls(kernels, model, normalization, smoothing, penalty, order, weight)

    @property
    def n_data(self) -> int:
        """The number of kernels (data values per fitted row)."""
        return self._native.n_data

    @property
    def n_model(self) -> int:
        """The number of model elements (coefficients per fitted row)."""
        return self._native.n_model

    @property
    def kernels(self) -> Any:
        """The kernel space."""
        return self._args[0]

    @property
    def model(self) -> Any:
        """The model space."""
        return self._args[1]

    @property
    def smoothing(self) -> float:
        """The relative penalty weight passed to the native fit."""
        return self._args[3]

    @property
    def native(self) -> Any:
        """The native ``spanlet._spanlet.Fit``."""
        return self._native

    def design(self) -> scipy.sparse.csr_array:
        r"""The design matrix :math:`D`, shape (n_data, n_model).

        Examples
        --------
        >>> import spanlet
        >>> fit = spanlet.Fit(spanlet.Space.deltas([0.5, 1, 1.5]), spanlet.Space.hats([0, 1, 2]),
        ...                   "none", 0.0, "difference", 2)
        >>> print(fit.design().toarray())
        [[0.5 0.5 0. ]
         [0.  1.  0. ]
         [0.  0.5 0.5]]
        """
        return csr(self._native.design())

    def to_dense(self) -> np.ndarray:
        r"""The dense fit operator :math:`(D^T D + \alpha P)^{-1} D^T`, shape (n_model, n_data).

        Column :math:`i` holds the coefficients fitted to data that are 1 at kernel :math:`i`
        and 0 elsewhere.

        Examples
        --------
        >>> import spanlet
        >>> fit = spanlet.Fit(spanlet.Space.deltas([0, 1]), spanlet.Space.hats([0, 1]),
        ...                   "none", 0.0, "difference", 2)
        >>> print(fit.to_dense())
        [[1. 0.]
         [0. 1.]]
        """
        return self._native.to_dense()

    def apply_last_axis(self, data: Any, check_finite: bool = True) -> np.ndarray:
        """Fits data along the last axis, returning model coefficients.

        Parameters
        ----------
        data : array_like, shape (..., n_data)
            One data row per fit; a 1-D input gives a 1-D result.
        check_finite : bool, optional
            Refuse NaN or inf in ``data`` with a ValueError (default True); a NaN would
            otherwise spread to every coefficient it touches.

        Returns
        -------
        numpy.ndarray, shape (..., n_model)

        Examples
        --------
        >>> import spanlet
        >>> fit = spanlet.Fit(spanlet.Space.deltas([0, 0.5, 1]), spanlet.Space.hats([0, 1]),
        ...                   "none", 0.0, "difference", 2)
        >>> print(fit.apply_last_axis([1, 2, 3]))
        [1. 3.]
        """
        return _apply(self._native.apply_last_axis, data, "data", check_finite)

    def curve(self, data: Any, check_finite: bool = True) -> Spline:
        """The fitted function as a :class:`Spline` on the model space.

        Parameters are those of :meth:`apply_last_axis`; data of shape (..., n_data) give a
        spline with coefficients of shape (..., n_model).

        Examples
        --------
        >>> import spanlet
        >>> fit = spanlet.Fit(spanlet.Space.deltas([0, 0.5, 1]), spanlet.Space.hats([0, 1]),
        ...                   "none", 0.0, "difference", 2)
        >>> print(fit.curve([1, 2, 3])(0.25))
        1.5
        """
        return Spline(self.model, self.apply_last_axis(data, check_finite))

    def __reduce__(self) -> tuple:
        return (_rebuild_fit, self._args)

    def __copy__(self) -> Fit:
        return self

    def __deepcopy__(self, memo: dict) -> Fit:
        return self  # immutable

    def __repr__(self) -> str:
        _, _, normalization, smoothing, penalty, order, weight = self._args
        text = (f"Fit(n_data={self.n_data}, n_model={self.n_model}, normalization={normalization!r}, "
                f"smoothing={smoothing!r}, penalty={penalty!r}, order={order!r}")
        return text + ("" if weight is None else f", weight={weight!r}") + ")"


def _rebuild_fit(*args: Any) -> Fit:
    fit = object.__new__(Fit)
    fit._build(args, check_rows=False)  # the warning was given when the fit was first built
    return fit
