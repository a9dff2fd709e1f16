"""Module-level matrix functions: point values, Gram and measurement matrices."""

from __future__ import annotations

from typing import Any

import scipy.sparse

from spanlet import _spanlet
from spanlet._arrays import csr, native_space, vector

__all__ = ["evaluate", "inner_products", "measure"]


def evaluate(basis: Any, x: Any) -> scipy.sparse.csr_array:
    r"""The values of every element of ``basis`` at the points ``x``, as a sparse matrix.

    Entry ``[i, j]`` is :math:`\phi_j(x_i)`. Points outside an element's support, and points at
    the right end of a half-open piece, give no stored entry: a box on ``[0, 1]`` is 0 at 1, and
    at the last breakpoint of a clamped B-spline space the row is empty (see
    ``Space.bsplines_clamped(..., closed=True)`` for the scipy convention).

    A point is a double, so its position is quantised to :math:`\mathrm{ulp}(|x_i|)`: far from
    the origin, or near knots a few ulps apart, a value is exact for the point as stored, which
    is off from the intended one by up to that step (a relative effect of about
    :math:`\mathrm{ulp}(|x|)/h` for knot spacing :math:`h`).

    Parameters
    ----------
    basis : Space
    x : array_like or float, shape (m,)
        Finite points, in any order; a single number is one point.

    Returns
    -------
    scipy.sparse.csr_array, shape (m, len(basis))
        One row per point, one column per element; exact zeros are not stored. The raw
        ``(indptr, indices, data, shape)`` parts are the matrix's ``indptr``, ``indices`` and
        ``data`` attributes, or the result of the native ``spanlet._spanlet.evaluate``.

    Raises
    ------
    ValueError
        "delta position must be finite" for a NaN or infinite point.

    Examples
    --------
    >>> import spanlet
    >>> basis = spanlet.Space.hats([0, 1, 2])
    >>> B = spanlet.evaluate(basis, [0, 0.25, 2])
    >>> B.shape
    (3, 3)
    >>> print(B.toarray())
    [[1.   0.   0.  ]
     [0.75 0.25 0.  ]
     [0.   0.   1.  ]]
    """
    return csr(_spanlet.evaluate(native_space(basis, "basis"), vector(x, "x", scalar=True)))


def inner_products(a: Any, b: Any, weight: float | None = None) -> scipy.sparse.csr_array:
    r"""The matrix of inner products :math:`G_{ij} = \int a_i(t)\, b_j(t)\, w(t)\, dt`.

    ``inner_products(s, s)`` is the Gram matrix of ``s``. Integrals are exact on polynomial
    pieces (Gauss--Legendre per knot interval, or closed form under a cosine weight, at a cost
    that does not depend on :math:`\omega`) and adaptive elsewhere; only pairs with overlapping
    supports are integrated. Under a weight, an entry at phase :math:`\omega t` carries an
    absolute error of about :math:`\varepsilon\,|\omega t|` from rounding the phase.

    Parameters
    ----------
    a, b : Space
        Rows come from ``a``, columns from ``b``.
    weight : float, optional
        None (default) for :math:`w = 1`, or a non-zero finite :math:`\omega` for the cosine
        weight :math:`w(t) = \cos(\omega t)`.

    Returns
    -------
    scipy.sparse.csr_array, shape (len(a), len(b))
        Exact zeros are not stored.

    Examples
    --------
    >>> import spanlet
    >>> s = spanlet.Space.hats([0, 1, 2])
    >>> print(spanlet.inner_products(s, s).toarray() * 6)
    [[2. 1. 0.]
     [1. 4. 1.]
     [0. 1. 2.]]
    """
    return csr(_spanlet.inner_products(native_space(a, "a"), native_space(b, "b"), weight))


def measure(kernels: Any, basis: Any, normalization: str, weight: float | None = None) -> scipy.sparse.csr_array:
    r"""The measurement matrix :math:`W`: how each kernel sees a function expanded in ``basis``.

    :math:`W_{ij} = \langle k_i, \phi_j \rangle_w / n_i`, so that for
    :math:`f = \sum_j c_j \phi_j` the measurement of kernel :math:`i` is :math:`(W c)_i`.

    Parameters
    ----------
    kernels, basis : Space
        Rows come from the kernels, columns from the basis.
    normalization : {"integral", "rowsum", "none"}
        The normaliser :math:`n_i` of row :math:`i`: "integral" is the kernel's own (weighted)
        integral, so that a kernel measures a weighted mean; "rowsum" is the sum of the row, so
        each non-empty row sums to 1; "none" leaves :math:`W` equal to :func:`inner_products`.
        A zero normaliser gives a zero row.
    weight : float, optional
        None (default) or a non-zero finite :math:`\omega` for the weight :math:`\cos(\omega t)`,
        used for the inner products and the "integral" normaliser.

    Returns
    -------
    scipy.sparse.csr_array, shape (len(kernels), len(basis))

    Examples
    --------
    >>> import spanlet
    >>> pixels = spanlet.Space.boxes([0, 1, 2])
    >>> kernel = spanlet.Space.rectangles([1], 1)
    >>> print(spanlet.measure(kernel, pixels, "integral").toarray())
    [[0.5 0.5]]
    """
    return csr(_spanlet.measure(native_space(kernels, "kernels"), native_space(basis, "basis"), normalization,
                                weight))
