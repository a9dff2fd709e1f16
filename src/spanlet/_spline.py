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

    Notes
    -----
    Values come from :func:`evaluate` and follow its half-open convention: outside the support of
    the basis the curve is 0 (no extrapolation).

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
    """

    __slots__ = ("_basis", "_coefficients", "_covariance")

    def __init__(self, basis: Any, coefficients: Any, covariance: Any = None) -> None:
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
        b = evaluate(self._basis, vector(points.reshape(-1), "x"))
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
        values = evaluate(self._basis, vector(points.reshape(-1), "x"))
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
        return Spline(self._basis.derivative(order), self._coefficients)

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
        return (Spline, (self._basis, self._coefficients, self._covariance))

    def __repr__(self) -> str:
        return f"Spline({self._basis!r}, coefficients of shape {self._coefficients.shape})"
