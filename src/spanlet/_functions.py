"""Module-level matrix functions: point values, Gram and measurement matrices."""

from __future__ import annotations

from typing import Any

import scipy.sparse

from spanlet import _extra, _spanlet
from spanlet._arrays import choice, cosine_frequency, csr, finite, native_space, vector

__all__ = ["evaluate", "inner_products", "measure", "measure_derivative"]

# The names the native measure_derivative takes, in its own order.
PARAMETERS = ("center", "scale", "sigma", "gamma", "eta", "power", "asymmetry", "half_width")


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
        "x must be finite, got nan at index 3" for a NaN or infinite point.

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
    space, points = native_space(basis, "basis"), vector(x, "x", scalar=True)
    finite(points, "x")
    return csr(_spanlet.evaluate(space, points))


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
    return csr(_spanlet.inner_products(native_space(a, "a"), native_space(b, "b"), cosine_frequency(weight)))


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
                                cosine_frequency(weight)))


def measure_derivative(kernels: Any, basis: Any, normalization: str, parameter: str,
                       weight: float | None = None) -> tuple[scipy.sparse.csr_array, scipy.sparse.csr_array]:
    r"""The measurement matrix :math:`W` of :func:`measure` and its derivative :math:`\partial W/\partial p`.

    :math:`p` is one shape parameter shared by the form of every kernel: row :math:`i` of
    :math:`\partial W/\partial p` is the derivative of row :math:`i` of :math:`W` with respect
    to that parameter of kernel :math:`i` alone, so for :math:`f = \sum_j c_j \phi_j` the
    sensitivity of measurement :math:`i` is :math:`(\partial W/\partial p\, c)_i`. The
    derivative includes the moving ends of the kernels' supports and their jumps.

    Parameters
    ----------
    kernels, basis : Space
        Rows come from the kernels, columns from the basis.
    normalization : {"integral", "rowsum", "none"}
        As for :func:`measure`. The derivative follows the quotient rule:
        :math:`\partial W_{ij} = (\partial v_{ij} - W_{ij}\, \partial n_i) / n_i` with
        :math:`v_{ij} = \langle k_i, \phi_j \rangle_w`. Under "integral", :math:`\partial n_i`
        is the derivative of the kernel's own integral; under "rowsum" each row of
        :math:`\partial W/\partial p` sums to 0; under "none" it is :math:`\partial v`.
    parameter : {"center", "scale", "sigma", "gamma", "eta", "power", "asymmetry", "half_width"}
        "center": a shift, :math:`\partial/\partial\delta` of :math:`k(x - \delta)`; "scale": a
        stretch about the kernel's center, :math:`s\,\partial/\partial s` of
        :math:`k(c + (x - c)/s)` at :math:`s = 1`; the others are line-shape parameters:
        "sigma" (Gaussian, Voigt, smoothed box), "gamma" (Lorentzian half width, Voigt), "eta"
        (pseudo-Voigt), "power" and "asymmetry" (super-Gaussian; the half widths move as
        :math:`h_{l,r} = H (1 \mp a)` with :math:`H` their mean) and "half_width" (smoothed box).
    weight : float, optional
        None (default) or a non-zero finite :math:`\omega` for the weight :math:`\cos(\omega t)`.

    Returns
    -------
    W, dW : scipy.sparse.csr_array, shape (len(kernels), len(basis))
        With the same sparsity pattern; an entry whose value is zero but whose derivative is not
        is stored in both.

    Raises
    ------
    ValueError
        For an unknown normalisation or parameter name, a bad weight, or a kernel that does not
        have the parameter (the lowest such kernel is named in the message).

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> pixels = spanlet.Space.boxes(np.arange(5.0))
    >>> kernel = spanlet.Space.rectangles([1.5], 1)
    >>> W, dW = spanlet.measure_derivative(kernel, pixels, "integral", "center")
    >>> print(dW.toarray())
    [[ 0. -1.  1.  0.]]
    """
    rows_from, columns_from = native_space(kernels, "kernels"), native_space(basis, "basis")
    choice(parameter, PARAMETERS, "parameter")
    w, dw = _spanlet.measure_derivative(rows_from, columns_from, normalization, parameter, cosine_frequency(weight))
    return csr(w), csr(dw)


def measure_derivatives(kernels: Any, basis: Any, normalization: str, parameters: Any,
                        weight: float | None = None) -> tuple[scipy.sparse.csr_array, list[scipy.sparse.csr_array]]:
    """:func:`measure_derivative` for several parameters from one pass over the kernels.

    Returns ``W`` and the list of ``dW/dp`` in the order of `parameters`, all with one sparsity
    pattern: an entry is stored where its value or any derivative is non-zero. Each matrix equals
    the one :func:`measure_derivative` gives for that parameter, entry for entry; a profile kernel
    against piecewise-polynomial elements is evaluated once per node for all of them.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> pixels = spanlet.Space.boxes(np.arange(5.0))
    >>> line = spanlet.Space.gaussians([1.7], [0.4], 6.0)
    >>> W, (d_center, d_sigma) = spanlet.measure_derivatives(line, pixels, "integral", ["center", "sigma"])
    >>> W1, d1 = spanlet.measure_derivative(line, pixels, "integral", "sigma")
    >>> bool(np.array_equal(d_sigma.toarray(), d1.toarray()))
    True
    """
    rows_from, columns_from = native_space(kernels, "kernels"), native_space(basis, "basis")
    names = list(parameters)
    for name in names:
        choice(name, PARAMETERS, "parameters")
    w, derivatives = _extra.measure_derivatives(rows_from, columns_from, normalization, names,
                                                cosine_frequency(weight))
    return csr(w), [csr(d) for d in derivatives]
