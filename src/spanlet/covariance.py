r"""Covariances of averages of a Gaussian random field over product atoms.

A random field :math:`f` of :math:`D` coordinates has the separable covariance

.. math::

    \operatorname{cov}(f(x), f(y)) = \sigma^2 \prod_{d=1}^{D} s_d(x_d)\, k_d(x_d - y_d)\, s_d(y_d),

one stationary kernel :math:`k_d` per dimension with :math:`k_d(0) = 1`, optionally wrapped
with a period, and an optional variance factor :math:`s_d` (a linear combination of
piecewise-polynomial elements). An *atom* is a product of one element per dimension, atom
:math:`i` being :math:`\prod_d \phi_{d,i}(x_d)`, each optionally under its dimension's cosine
weight :math:`\cos(\omega_d x_d)`. Atoms stand for weighted averages of the field: every
entry is normalised by the atoms' own integrals,

.. math::

    K_{ij} = \sigma^2 \prod_d \frac{\iint \phi_{d,i}(x)\, w_d(x)\, s_d(x)\, k_d(x - y)\,
             s_d(y)\, w_d(y)\, \phi'_{d,j}(y)\, dx\, dy}{\int \phi_{d,i} w_d \int \phi'_{d,j} w_d}.

A point mass (``Space.deltas``) is the field's value at its point: its integral is replaced by
the value of the rest of the integrand there (without the weight), and its norm is 1. So
point atoms give the ordinary kernel matrix, and box atoms the covariance of pixel means.

Dimensions
----------
Each dimension is described by ``(family, length, period, factor)``:

family : {"gaussian", "squared_exponential", "matern12", "exponential", "matern32", "matern52"}
    :math:`k(r)`: "gaussian" (alias "squared_exponential") :math:`e^{-r^2/(2\ell^2)}`;
    "matern12" (alias "exponential") :math:`e^{-|r|/\ell}`; "matern32" :math:`(1 + z) e^{-z}`
    with :math:`z = \sqrt{3}|r|/\ell`; "matern52" :math:`(1 + z + z^2/3) e^{-z}` with
    :math:`z = \sqrt{5}|r|/\ell`. The kernel is cut off where it falls below :math:`10^{-17}`,
    at :math:`9\ell`, :math:`39.5\ell`, :math:`25\ell` and :math:`20.5\ell` respectively, so
    atoms farther apart than that (in a dimension without a period) have covariance exactly 0.
length : float
    The correlation length :math:`\ell > 0`.
period : float or None
    With a period :math:`P`, :math:`k(r)` becomes :math:`\sum_n k(r - nP)`. A period so far
    below the cut-off radius that a point would meet too many images is refused.
factor : None or (Space, coefficients)
    :math:`s(x) = \sum_m c_m \phi_m(x)` over piecewise-polynomial elements (B-splines, hats,
    boxes, tabulated shapes; not point masses or line-shape profiles); 0 outside their supports.

Functions
---------
covariance_matrix              :math:`K` between atoms ``a`` (rows) and ``b`` (columns)
covariance_diagonal            the variances :math:`K_{ii}` of atoms ``a``
covariance_length_derivatives  :math:`K`, :math:`\ell_d\,\partial K/\partial \ell_d` and
                               :math:`c_{d,m}\,\partial K/\partial c_{d,m}` (for fitting
                               hyperparameters)

All three are also available from the top-level package (``spanlet.covariance_matrix``).

Examples
--------
Gaussian-process smoothing of noisy pixel means (box averages) of :math:`\sin x`, read back as
point values:

>>> import numpy as np, spanlet
>>> from spanlet.covariance import covariance_matrix
>>> edges = np.linspace(0, 10, 41)
>>> pixels = spanlet.Space.boxes(edges)
>>> means = (np.cos(edges[:-1]) - np.cos(edges[1:])) / np.diff(edges)   # exact pixel means
>>> noise = 0.05
>>> data = means + np.random.default_rng(1).normal(0, noise, means.size)
>>> dims = [("matern52", 2.0, None, None)]
>>> K = covariance_matrix(1.0, dims, pixels, symmetric=True)             # pixel-pixel
>>> x = np.linspace(0.5, 9.5, 10)
>>> Kx = covariance_matrix(1.0, dims, spanlet.Space.deltas(x), b=pixels)  # point-pixel
>>> f = Kx @ np.linalg.solve(K + noise**2 * np.eye(means.size), data)    # posterior mean
>>> bool(np.abs(f - np.sin(x)).max() < 2 * noise)
True

Two dimensions (time and wavenumber, say): atoms are products of one element per dimension.

>>> time = spanlet.Space.boxes([0, 1, 2, 3])
>>> wave = spanlet.Space.hats([0, 1, 2, 3, 4]).take([1, 2, 3])
>>> dims2 = [("matern32", 1.0, None, None), ("gaussian", 0.5, 24.0, None)]
>>> K2 = covariance_matrix(2.0, dims2, [time, wave], symmetric=True)
>>> K2.shape, bool(np.all(np.linalg.eigvalsh(K2) > 0))
((3, 3), True)
"""

from __future__ import annotations

from typing import Any

import numpy as np

from spanlet import _spanlet
from spanlet._arrays import choice, native_space, vector

__all__ = ["covariance_matrix", "covariance_diagonal", "covariance_length_derivatives"]

# The family names the native covariance functions know, in their own order.
FAMILIES = ("gaussian", "squared_exponential", "matern12", "exponential", "matern32", "matern52")


def _is_space(value: Any) -> bool:
    return isinstance(getattr(value, "_native", value), _spanlet.Space)


def _dims(dims: Any) -> list:
    """The native ``dims``: a list of 4-tuples with native spaces; lists become tuples.

    A single description (a sequence whose first item is a family name) is one dimension.
    """
    if isinstance(dims, str):
        raise TypeError("argument 'dims': expected a sequence of (family, length, period, factor), got str")
    if isinstance(dims, (tuple, list)) and dims and isinstance(dims[0], str):
        dims = [dims]
    result = []
    for item in dims:
        if isinstance(item, list):
            item = tuple(item)
        if isinstance(item, tuple) and item:
            choice(item[0], FAMILIES, "covariance family")
        if isinstance(item, tuple) and len(item) == 4 and item[3] is not None:
            factor = item[3]
            if isinstance(factor, (tuple, list)) and len(factor) == 2:
                factor = (native_space(factor[0], "dims"), vector(factor[1], "coefficients"))
            item = item[:3] + (factor,)
        result.append(item)
    return result


def _spaces(spaces: Any, name: str) -> list:
    """One native space per dimension; a single space is one dimension."""
    if _is_space(spaces):
        return [native_space(spaces, name)]
    if isinstance(spaces, str):
        raise TypeError(f"argument '{name}': expected a Space or a sequence of Spaces, got str")
    if isinstance(spaces, np.ndarray) or (isinstance(spaces, (list, tuple)) and spaces
                                          and all(isinstance(s, (int, float, np.number)) for s in spaces)):
        # Points are a space of point masses; the numbers themselves are not atoms.
        raise TypeError(f"argument '{name}': expected a Space or a sequence of Spaces, got numbers; "
                        "for atoms at points x use Space.deltas(x)")
    return [native_space(s, name) for s in spaces]


def _weights(weights: Any, count: int, name: str) -> list:
    """None for no weight in any dimension, a number for one dimension, or one entry per dimension."""
    if weights is None:
        return [None] * count
    if isinstance(weights, str):
        raise TypeError(f"argument '{name}': expected None, a number or a sequence, got str")
    if np.ndim(weights) == 0:
        return [weights]
    return list(weights)


def covariance_matrix(variance: float, dims: Any, a: Any, wa: Any = None, b: Any = None, wb: Any = None,
                      symmetric: bool = False) -> np.ndarray:
    r"""The covariance matrix :math:`K_{ij}` between atoms ``a`` (rows) and ``b`` (columns).

    See :mod:`spanlet.covariance` for the model and the normalisation of atoms.

    Parameters
    ----------
    variance : float
        The overall variance :math:`\sigma^2 > 0`.
    dims : sequence of (family, length, period, factor)
        One description per dimension (see :mod:`spanlet.covariance`); tuples or lists. A single
        description stands for one dimension. ``factor`` is None or ``(Space, coefficients)``.
    a : Space or sequence of Space
        One space per dimension, all of the same length :math:`n_a`: atom :math:`i` is the
        product of element :math:`i` of every space. A single space is one dimension.
    wa : None, float or sequence of (float or None), optional
        The cosine weight :math:`\omega_d` of each dimension for ``a`` (None: no weight). None
        (default) means no weight in any dimension; a single number is the weight of a
        one-dimensional atom.
    b, wb : optional
        The column atoms and their weights, as ``a`` and ``wa``. When ``b`` is omitted the
        columns are the atoms ``a`` and ``wb`` defaults to ``wa``.
    symmetric : bool, default False
        Compute only the upper triangle (with the diagonal) and mirror it: about half the work,
        and an exactly symmetric result. ``a`` and ``b`` must have the same number of atoms;
        meant for the same atoms on both sides.

    Returns
    -------
    numpy.ndarray, shape (n_a, n_b)

    Raises
    ------
    ValueError
        For a bad variance, family, length, period, factor or weight, spaces that do not give
        one element per atom in every dimension, or ``symmetric`` with different atom counts.
    TypeError
        For arguments of the wrong type (for example a str where a sequence is expected).

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> points = spanlet.Space.deltas([0.0, 1.0])                  # point atoms: the kernel itself
    >>> K = spanlet.covariance_matrix(1.0, [("matern12", 1.0, None, None)], points)
    >>> bool(np.allclose(K, [[1, np.exp(-1)], [np.exp(-1), 1]]))
    True

    The mean over a box of width 1 is less variable than a point value:

    >>> box = spanlet.Space.boxes([0.0, 1.0])
    >>> v = spanlet.covariance_matrix(1.0, [("gaussian", 1.0, None, None)], box)
    >>> bool(0.9 < v[0, 0] < 1)
    True
    """
    native_dims = _dims(dims)
    spaces_a = _spaces(a, "a")
    weights_a = _weights(wa, len(spaces_a), "wa")
    if b is None:
        spaces_b = spaces_a
        weights_b = weights_a if wb is None else _weights(wb, len(spaces_b), "wb")
    else:
        spaces_b = _spaces(b, "b")
        weights_b = _weights(wb, len(spaces_b), "wb")
    return _spanlet.covariance_matrix(variance, native_dims, spaces_a, weights_a, spaces_b, weights_b,
                                      symmetric)


def covariance_diagonal(variance: float, dims: Any, a: Any, wa: Any = None) -> np.ndarray:
    r"""The variances :math:`K_{ii}` of atoms ``a``, without the rest of the matrix.

    Parameters
    ----------
    variance, dims, a, wa
        As for :func:`covariance_matrix`.

    Returns
    -------
    numpy.ndarray, shape (n_a,)
        Equal to the diagonal of ``covariance_matrix(variance, dims, a, wa)``.

    Examples
    --------
    >>> import spanlet
    >>> boxes = spanlet.Space.boxes([0, 0.5, 2, 6])                # longer averages vary less
    >>> v = spanlet.covariance_diagonal(1.0, [("matern32", 1.0, None, None)], boxes)
    >>> bool(v[0] > v[1] > v[2])
    True
    """
    spaces = _spaces(a, "a")
    return _spanlet.covariance_diagonal(variance, _dims(dims), spaces, _weights(wa, len(spaces), "wa"))


def covariance_length_derivatives(variance: float, dims: Any, a: Any,
                                  wa: Any = None) -> tuple[np.ndarray, list[np.ndarray], list[list[np.ndarray]]]:
    r"""The symmetric covariance :math:`K` of atoms ``a`` and its derivatives in the model parameters.

    The derivatives are logarithmic, as used for optimising hyperparameters on a log scale:
    :math:`\ell_d\, \partial K/\partial \ell_d` for each correlation length and
    :math:`c_{d,m}\, \partial K/\partial c_{d,m}` for each coefficient of a variance factor.
    (:math:`\sigma^2\, \partial K/\partial \sigma^2` is :math:`K` itself.)

    Parameters
    ----------
    variance, dims, a, wa
        As for :func:`covariance_matrix`.

    Returns
    -------
    K : numpy.ndarray, shape (n, n)
        The covariance of ``a`` with itself (exactly symmetric).
    lengths : list of numpy.ndarray, shape (n, n)
        One per dimension: :math:`\ell_d\, \partial K/\partial \ell_d`.
    coefficients : list of list of numpy.ndarray, shape (n, n)
        One list per dimension, with one array per coefficient of its variance factor (in
        coefficient order): :math:`c_{d,m}\, \partial K/\partial c_{d,m}`; empty for a dimension
        without a factor. Since :math:`s_d` enters on both sides, they sum to :math:`2K`.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> points = spanlet.Space.deltas([0.0, 1.0])
    >>> K, (L,), (Y,) = spanlet.covariance_length_derivatives(1.0, [("matern12", 1.0, None, None)], points)
    >>> bool(np.isclose(L[0, 1], np.exp(-1))), Y                 # r/l exp(-r/l) at r = l = 1
    (True, [])
    """
    spaces = _spaces(a, "a")
    return _spanlet.covariance_length_derivatives(variance, _dims(dims), spaces, _weights(wa, len(spaces), "wa"))
