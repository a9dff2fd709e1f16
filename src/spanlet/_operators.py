"""Projection and Fit: operators that are factored once and applied to many rows of data."""

from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np
import scipy.sparse

from spanlet import _spanlet
from spanlet import _extra
from spanlet._arrays import cosine_frequency, csr, last_axis, native_space, real_array, recorded
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

    def propagate(self, variance: Any) -> Any:
        r"""The covariance of the projected coefficients, :math:`P \Sigma P^T` with
        :math:`P = G^{-1} K`, for source coefficients of covariance :math:`\Sigma`.

        The projection is linear, so noise on the source coefficients maps exactly:
        :math:`\operatorname{Cov}(x) = G^{-1} K \Sigma K^T G^{-1}`. :math:`K \Sigma K^T` is
        formed sparse (it couples only target elements that see a common source, or sources
        that :math:`\Sigma` couples) and :math:`P` is never formed. When the target elements do
        not overlap (:math:`G` diagonal, as for boxes onto boxes: rebinning), the result keeps
        that sparsity and comes back as a sparse matrix, at a cost linear in the number of stored
        entries of :math:`K`. Otherwise :math:`G^{-1}` couples every pair of targets and the
        result is a dense array, from banded solves of the rows of :math:`K \Sigma K^T`:
        O(n_dst² b) time and n_dst² memory.

        Only the plain projection is linear: a ``bounds`` projection clips and redistributes
        mass, and its covariance is not this one.

        Parameters
        ----------
        variance : array_like or scipy sparse matrix
            Shape (n_src,) or a single number: the variances :math:`\sigma_j^2` of independent
            source coefficients (variances, not standard deviations). Shape (n_src, n_src),
            sparse or dense: their full covariance, symmetric with a diagonal >= 0 (both
            triangles stored).

        Returns
        -------
        scipy.sparse.csr_array or numpy.ndarray, shape (n_dst, n_dst)
            Sparse when the target Gram matrix is diagonal, dense otherwise. Standard errors of
            the projected coefficients are the square roots of its diagonal.

        Raises
        ------
        ValueError
            For a wrong shape, a negative or non-finite variance, or a covariance that is not
            symmetric.

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> # four pixels of unit variance rebinned into two: each output is a mean of two
        >>> rebin = spanlet.Projection(spanlet.Space.boxes(np.linspace(0, 1, 5)), spanlet.Space.boxes([0, 0.5, 1]))
        >>> print(rebin.propagate(1.0).toarray())
        [[0.5 0. ]
         [0.  0.5]]
        >>> onto_hats = spanlet.Projection(spanlet.Space.boxes(np.linspace(0, 1, 5)), spanlet.Space.hats([0, 0.5, 1]))
        >>> cov = onto_hats.propagate([1, 1, 1, 1])
        >>> P = onto_hats.to_dense()
        >>> bool(np.allclose(cov, P @ P.T))
        True
        """
        n = self.n_src
        if scipy.sparse.issparse(variance) or np.ndim(variance) == 2:
            if scipy.sparse.issparse(variance):
                matrix = scipy.sparse.csr_array(variance, dtype=np.float64)
            else:
                matrix = scipy.sparse.csr_array(real_array(variance, "variance"))
            if matrix.shape != (n, n):
                raise ValueError(f"variance must have shape ({n},) or ({n}, {n}), got {matrix.shape}")
            result = _extra.propagate(self._native, parts(matrix))
        else:
            values = real_array(variance, "variance")
            values = np.broadcast_to(values, (n,)) if values.ndim == 0 else values
            if values.shape != (n,):
                raise ValueError(f"variance must have shape ({n},) or ({n}, {n}), got {values.shape}")
            result = _extra.propagate(self._native, np.ascontiguousarray(values))
        return csr(result) if isinstance(result, tuple) else result

    def __reduce__(self) -> tuple:
        return (Projection, (self._src, self._dst, self._weight))

    def __copy__(self) -> Projection:
        return self

    def __deepcopy__(self, memo: dict) -> Projection:
        return self  # immutable

    def __repr__(self) -> str:
        weight = "" if self._weight is None else f", weight={self._weight!r}"
        return f"Projection(n_src={self.n_src}, n_dst={self.n_dst}{weight})"


def parts(matrix: Any) -> tuple:
    """The native ``(indptr, indices, data, shape)`` form of a scipy sparse matrix."""
    m = scipy.sparse.csr_array(matrix)
    m.sum_duplicates()  # sorted columns, each once, as the native side requires
    return (m.indptr.astype(np.int64), m.indices.astype(np.int64), np.ascontiguousarray(m.data, dtype=np.float64),
            m.shape)


def penalty_matrix(model: Any, penalty: str, order: int) -> scipy.sparse.csr_array | None:
    """The penalty matrix P of a Fit, or None where none is built (a difference order >= n)."""
    if penalty == "difference":
        n, order = len(model), int(order)
        if order >= n:
            return None
        stencil = [(-1) ** (order - i) * math.comb(order, i) for i in range(order + 1)]
        r = scipy.sparse.diags_array([float(v) for v in stencil], offsets=list(range(order + 1)),
                                     shape=(n - order, n), format="csr")
        return scipy.sparse.csr_array(r.T @ r)
    if penalty == "derivative":
        derivatives = model.derivative(order)
        return inner_products(derivatives, derivatives)
    raise ValueError(f"penalty must be 'derivative' or 'difference', got {_quoted(penalty)}")


def _quoted(text: Any) -> str:
    return '"' + str(text).replace("\\", "\\\\").replace('"', '\\"') + '"'


def sample_weights(w: Any, variance: Any, n: int) -> np.ndarray | None:
    """Inverse-variance weights from ``w`` or ``variance`` (at most one), or None for neither."""
    if w is not None and variance is not None:
        raise ValueError("give w or variance, not both")
    if w is None and variance is None:
        return None
    name = "w" if w is not None else "variance"
    values = real_array(w if w is not None else variance, name)
    values = np.broadcast_to(values, (n,)) if values.ndim == 0 else values
    if values.shape != (n,):
        raise ValueError(f"{name} must have shape ({n},), got {values.shape}")
    if w is not None:
        if not (np.isfinite(values).all() and (values >= 0).all()):
            raise ValueError("w must be finite and >= 0")
        return np.array(values, dtype=np.float64)
    if not (np.isfinite(values).all() and (values > 0).all()):
        raise ValueError("variance must be finite and > 0")
    return 1.0 / values


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

    __slots__ = ("_native", "_args", "_w", "_known_variance", "_system", "_solver")
    # The native Fit, or for weighted data the package's weighted system and its solver.
    _native: Any
    _system: Any
    _solver: Any
    _w: Any

    def __init__(self, kernels: Any, model: Any, normalization: str, smoothing: float, penalty: str, order: int,
                 weight: float | None = None, *, w: Any = None, variance: Any = None) -> None:
        self._build((kernels, model, normalization, smoothing, penalty, order, weight), check_rows=True,
                    w=w, variance=variance)

    def _build(self, args: tuple, check_rows: bool, w: Any = None, variance: Any = None) -> None:
        args = tuple(recorded(arg) for arg in args)
        kernels, model, normalization, smoothing, penalty, order, weight = args
        self._args, self._system, self._solver = args, None, None
        self._known_variance = variance is not None
        if w is None and variance is None:
            self._w = None
            self._native = _spanlet.Fit(native_space(kernels, "kernels"), native_space(model, "model"),
                                        normalization, smoothing, penalty, order, cosine_frequency(weight))
            indptr = self._native.design()[0]
        else:
            # Sample weights scale the rows of the design matrix: the native fit has no place for
            # them, so the weighted normal equations are formed and factored by the package's helper.
            design = measure(kernels, model, normalization, weight)
            self._w = sample_weights(w, variance, design.shape[0])
            smoothing = float(smoothing)
            if not (math.isfinite(smoothing) and smoothing >= 0):
                raise ValueError("smoothing must be finite and >= 0")
            p = penalty_matrix(model, penalty, order) if smoothing > 0 or penalty not in ("derivative", "difference") \
                else None
            self._system = _extra.Penalised(parts(_scale_rows(design, np.sqrt(self._w))),
                                            None if p is None else parts(p))
            alpha = 0.0
            if p is not None and smoothing > 0:
                trace_p = self._system.trace_penalty
                if not (trace_p > 0 or math.isnan(trace_p)):
                    raise ValueError(f"the {penalty.capitalize()}({order}) penalty is zero for this model "
                                     "(degree too low?)")
                alpha = smoothing * self._system.trace_normal / trace_p
            self._solver = self._system.fit(alpha)
            self._native = self._solver
            indptr = design.indptr
        if check_rows:
            unseen = np.flatnonzero(indptr[1:] == indptr[:-1])
            if unseen.size:
                listed = ", ".join(str(i) for i in unseen[:5]) + (", ..." if unseen.size > 5 else "")
                warnings.warn(f"{unseen.size} of {self.n_data} kernels see no model element (kernels {listed}); "
                              "their data are ignored", UserWarning, stacklevel=3)

    @classmethod
    def _chosen(cls, args: tuple, w: np.ndarray | None, known_variance: bool, system: Any, alpha: float) -> Fit:
        # A fit on a system that is already formed (the one the smoothing search used).
        fit = object.__new__(cls)
        if w is None:  # the system is in the weighted form already
            w = np.ones(system.n_data)
        fit._args, fit._w, fit._known_variance, fit._system = args, w, known_variance, system
        fit._solver = fit._native = system.fit(alpha)
        return fit

    def _penalised(self) -> tuple[Any, Any]:
        """The system in the package helper's form and its factor, formed on first need."""
        if self._solver is None:
            kernels, model, normalization, smoothing, penalty, order, weight = self._args
            design = self.design()
            p = penalty_matrix(model, penalty, order) if smoothing > 0 else None
            system = _extra.Penalised(parts(design), None if p is None else parts(p))
            alpha = smoothing * system.trace_normal / system.trace_penalty if p is not None else 0.0
            self._system, self._solver = system, system.fit(alpha)
        return self._system, self._solver

    def _weighted_data(self, data: np.ndarray) -> np.ndarray:
        return data if self._w is None else data * np.sqrt(self._w)

    @classmethod
    def from_lambda(cls, kernels: Any, model: Any, normalization: str, lam: float, penalty: str, order: int,
                    weight: float | None = None, *, w: Any = None, variance: Any = None) -> Fit:
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
        kernels, model, normalization, penalty, order, weight, w, variance
            As for :class:`Fit`; with weights the objective is
            :math:`\sum_i w_i (d_i - (Dx)_i)^2 + \lambda\, x^T P x`.

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
            weights = sample_weights(w, variance, design.shape[0])
            if weights is not None:
                design = _scale_rows(design, np.sqrt(weights))
            trace_n = float(np.dot(design.data, design.data))
            trace_p = _penalty_trace(model, penalty, order)
            # Where a trace is zero the native call reports the problem (or needs no penalty).
            if trace_n > 0 and trace_p > 0:
                smoothing = lam * trace_p / trace_n
        return cls(kernels, model, normalization, smoothing, penalty, order, weight, w=w, variance=variance)

    @classmethod
    def select(cls, kernels: Any, model: Any, normalization: str, data: Any, penalty: str, order: int,
               weight: float | None = None, *, method: str = "gcv", w: Any = None, variance: Any = None,
               check_finite: bool = True) -> Any:
        r"""The fit whose penalty weight is chosen from the data by GCV or REML.

        Minimises over :math:`\log\lambda`, for the fit of :meth:`from_lambda`, either the
        generalised cross-validation score

        .. math:: V(\lambda) = n\, \mathrm{RSS} / (n - \operatorname{tr} H)^2, \qquad
                  \mathrm{RSS} = \textstyle\sum_i w_i (d_i - (Dx)_i)^2, \quad
                  \operatorname{tr} H = \operatorname{tr}(A^{-1} D^T W D),

        or the restricted likelihood of the mixed-model form with the scale profiled out (as
        mgcv's ``method="REML"``), times -2 and without the constant :math:`\log|P|_+`:

        .. math:: R(\lambda) = (n - M)\,(1 + \log(2\pi\hat\phi)) + \log\det A - r \log\lambda,
                  \qquad \hat\phi = (\mathrm{RSS} + \lambda x^T P x) / (n - M),

        with :math:`A = D^T W D + \lambda P`, :math:`r` the rank of :math:`P` and :math:`M` the
        dimension of its null space. :math:`\operatorname{tr} H` comes from the band of
        :math:`A^{-1}`, so each score costs a banded factorisation: the search is linear in the
        size of the problem. Whole decades of the relative weight from :math:`10^{-10}` to far
        past the polynomial limit bracket the minimum, and a bounded Brent search refines it
        (a fixed number of evaluations, whatever the data).

        Parameters
        ----------
        kernels, model, normalization, penalty, order, weight, w, variance
            As for :class:`Fit` (``w`` as inverse variances).
        data : array_like, shape (n_data,)
            One data row.
        method : {"gcv", "reml"}, optional
            The criterion (default "gcv").
        check_finite : bool, optional
            Refuse NaN or inf in ``data`` (default True).

        Returns
        -------
        SmoothingChoice
            The fit, :math:`\lambda`, the relative ``smoothing``, the score, the effective degrees
            of freedom and the residual variance.

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> x = np.linspace(0, 1, 400)
        >>> y = np.cos(5 * x) + 0.2 * np.random.default_rng(0).standard_normal(400)
        >>> model = spanlet.Space.bsplines_clamped(np.linspace(0, 1, 41), 3, closed=True)
        >>> choice = spanlet.Fit.select(spanlet.Space.deltas(x), model, "none", y, "difference", 2)
        >>> print(round(choice.residual_variance ** 0.5, 1))
        0.2
        """
        from spanlet._smoothing import SmoothingChoice, check_method, choose, data_vector

        check_method(method)
        design = measure(kernels, model, normalization, weight)
        values = data_vector(data, design.shape[0], check_finite)
        weights = sample_weights(w, variance, design.shape[0])
        p = penalty_matrix(model, penalty, order)
        if p is None or not p.diagonal().sum() > 0:
            raise ValueError(f"the {penalty.capitalize()}({order}) penalty is zero for this model, so there is "
                             "no weight to choose")
        root = np.ones(design.shape[0]) if weights is None else np.sqrt(weights)
        system = _extra.Penalised(parts(_scale_rows(design, root)), parts(p))
        from spanlet._smoothing import _null_dimension
        null = _null_dimension(p, order) if method == "reml" else 0
        alpha, score, edf, rss = choose(system, values * root, method, null, order)
        args = (kernels, model, normalization, alpha * system.trace_penalty / system.trace_normal, penalty, order,
                weight)
        fit = cls._chosen(args, weights, variance is not None, system, alpha)
        n = design.shape[0]
        return SmoothingChoice(fit, alpha, args[3], method, score, edf, rss / (n - edf) if n > edf else math.inf)

    @property
    def n_data(self) -> int:
        """The number of kernels (data values per fitted row)."""
        return self._native.n_data if self._w is None else self._system.n_data

    @property
    def n_model(self) -> int:
        """The number of model elements (coefficients per fitted row)."""
        return self._native.n_model if self._w is None else self._system.n_model

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
        """The native fit: ``spanlet._spanlet.Fit``, or the package helper's factored system for a
        fit with sample weights."""
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
        if self._w is None:
            return csr(self._native.design())
        kernels, model, normalization, _, _, _, weight = self._args
        return measure(kernels, model, normalization, weight)

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
        if self._w is None:
            return self._native.to_dense()
        rhs = (self.design().toarray() * self._w[:, None]).T  # D^T W, one row per model element
        return np.ascontiguousarray(self._solver.solve_last_axis(np.ascontiguousarray(rhs.T)).T)

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
        if self._w is None:
            return _apply(self._native.apply_last_axis, data, "data", check_finite)
        weights = np.sqrt(self._w)
        return _apply(lambda rows: self._solver.apply_last_axis(rows * weights), data, "data", check_finite)

    def residual_variance(self, data: Any, check_finite: bool = True) -> float:
        r"""The residual variance :math:`\hat\sigma^2 = \sum_i w_i r_i^2 / (n - \operatorname{tr} H)`
        of a fit of one data row, with :math:`\operatorname{tr} H` the effective degrees of freedom.

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> x = np.linspace(0, 1, 5)
        >>> fit = spanlet.Fit(spanlet.Space.deltas(x), spanlet.Space.hats([0, 1]), "none", 0.0, "difference", 2)
        >>> print(round(fit.residual_variance(2 * x + [0, 1, 0, -1, 0]), 12))  # 1.6 / (5 - 2)
        0.533333333333
        """
        rss, edf = self._rss_edf(data, check_finite)
        return rss / (self.n_data - edf) if self.n_data > edf else math.inf

    def effective_dof(self) -> float:
        r"""The effective degrees of freedom :math:`\operatorname{tr} H = \operatorname{tr}(A^{-1} D^T W D)`.

        It is the number of model coefficients for a fit without penalty and falls towards the
        dimension of the penalty's null space as the smoothing grows. It comes from the band of
        :math:`A^{-1}`, at the cost of a few banded solves.

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> x = np.linspace(0, 1, 50)
        >>> model = spanlet.Space.bsplines_clamped(np.linspace(0, 1, 6), 3, closed=True)
        >>> print(round(spanlet.Fit(spanlet.Space.deltas(x), model, "none", 0.0, "difference", 2).effective_dof(), 10))
        8.0
        """
        return self._rss_edf(np.zeros(self.n_data), False)[1]

    def _rss_edf(self, data: Any, check_finite: bool) -> tuple[float, float]:
        rows, _ = last_axis(data, "data", check_finite)
        if rows.shape != (1, self.n_data):
            raise ValueError(f"data must have shape ({self.n_data},), got {np.shape(data)}")
        system, solver = self._penalised()
        rss, _, edf, _ = system.score(solver.alpha, self._weighted_data(rows[0]))
        return rss, edf

    def covariance(self, data: Any = None, full: bool = False, check_finite: bool = True) -> Any:
        r"""The covariance of the fitted coefficients, :math:`\sigma^2 A^{-1}`, with
        :math:`A = D^T W D + \alpha P`.

        For a fit without penalty it is the covariance propagated exactly from data of variances
        :math:`\sigma^2 / w_i`. With a penalty it is the Bayesian (posterior) covariance of the
        penalised fit, as in Wahba's confidence intervals for smoothing splines and mgcv's ``Vp``;
        it also covers the smoothing bias that the sampling covariance
        :math:`A^{-1} D^T W D A^{-1}` leaves out.

        Parameters
        ----------
        data : array_like, shape (n_data,), optional
            None (default): :math:`\sigma^2 = 1`, the weights being inverse variances (a fit built
            with ``variance=`` always uses this). Data: :math:`\sigma^2` is the residual
            variance of their fit, :meth:`residual_variance`.
        full : bool, optional
            False (default): only the entries inside the band of :math:`A` (more exactly, inside
            the envelope of its Cholesky factor), as a sparse matrix, at O(n b^2) cost. True:
            the dense matrix.
        check_finite : bool, optional
            Refuse NaN or inf in ``data`` (default True).

        Returns
        -------
        scipy.sparse.csr_array or numpy.ndarray, shape (n_model, n_model)

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> fit = spanlet.Fit(spanlet.Space.deltas([0, 0, 1, 1]), spanlet.Space.hats([0, 1]),
        ...                   "none", 0.0, "difference", 2, variance=[1, 1, 2, 2])
        >>> print(fit.covariance().toarray())
        [[0.5 0. ]
         [0.  1. ]]
        """
        _, solver = self._penalised()
        scale = 1.0
        if data is not None and not self._known_variance:
            scale = self.residual_variance(data, check_finite)
        if full:
            return solver.solve_last_axis(np.eye(self.n_model)) * scale
        return csr(solver.inverse_band()) * scale

    def curve(self, data: Any, check_finite: bool = True, std: bool = False) -> Spline:
        """The fitted function as a :class:`Spline` on the model space.

        Parameters are those of :meth:`apply_last_axis`; data of shape (..., n_data) give a
        spline with coefficients of shape (..., n_model). With ``std=True`` (one data row
        only) the spline carries the band of :meth:`covariance`, the variance taken from the
        residuals unless the fit was built with ``variance=``, so :meth:`Spline.std` gives the
        pointwise standard error of the curve.

        Examples
        --------
        >>> import spanlet
        >>> fit = spanlet.Fit(spanlet.Space.deltas([0, 0.5, 1]), spanlet.Space.hats([0, 1]),
        ...                   "none", 0.0, "difference", 2)
        >>> print(fit.curve([1, 2, 3])(0.25))
        1.5
        """
        coefficients = self.apply_last_axis(data, check_finite)
        if not std:
            return Spline(self.model, coefficients)
        return Spline(self.model, coefficients, covariance=self.covariance(data, check_finite=False))

    def __reduce__(self) -> tuple:
        if self._w is not None:
            key = "variance" if self._known_variance else "w"
            weights = 1.0 / self._w if self._known_variance else self._w
            return (_rebuild_weighted_fit, (self._args, key, weights))
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


def _scale_rows(matrix: Any, scale: np.ndarray) -> scipy.sparse.csr_array:
    m = scipy.sparse.csr_array(matrix, copy=True)
    m.data *= np.repeat(scale, np.diff(m.indptr))
    return m


def _rebuild_weighted_fit(args: tuple, key: str, weights: np.ndarray) -> Fit:
    fit = object.__new__(Fit)
    fit._build(args, check_rows=False, **{key: weights})
    return fit


def _rebuild_fit(*args: Any) -> Fit:
    fit = object.__new__(Fit)
    fit._build(args, check_rows=False)  # the warning was given when the fit was first built
    return fit
