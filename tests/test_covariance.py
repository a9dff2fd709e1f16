"""Covariances of product atoms against closed-form kernels, an independent double quadrature
and finite differences; the entry points' checks, messages and conversions."""

import re
import subprocess
import sys
import textwrap

import numpy as np
import pytest
from scipy.interpolate import BSpline

from spanlet import _spanlet as s


def closed_form(family, r, length):
    """k(r) and its logarithmic length derivative l dk/dl."""
    a = np.abs(r) / length
    if family in ("gaussian", "squared_exponential"):
        k = np.exp(-0.5 * a * a)
        return k, a * a * k
    if family in ("matern12", "exponential"):
        return np.exp(-a), a * np.exp(-a)
    if family == "matern32":
        z = np.sqrt(3.0) * a
        return (1 + z) * np.exp(-z), z * z * np.exp(-z)
    z = np.sqrt(5.0) * a
    return (1 + z + z * z / 3) * np.exp(-z), z * z * (1 + z) / 3 * np.exp(-z)


def cutoff_radius(family, length):
    # The kernel is cut where it falls below 1e-17 of its peak, on a grid of half lengths.
    q = 1.0
    while closed_form(family, q, 1.0)[0] > 1e-17:
        q += 0.5
    return q * length


FAMILIES = ["gaussian", "squared_exponential", "matern12", "exponential", "matern32", "matern52"]
ALIASES = {"squared_exponential": "gaussian", "exponential": "matern12"}


def v(x):
    return np.array(x, dtype=float)


def dim(family, length, period=None, factor=None):
    return (family, length, period, factor)


# --- point atoms -------------------------------------------------------------------------------

@pytest.mark.parametrize("period", [None, 1.7])
@pytest.mark.parametrize("family", FAMILIES)
def test_point_atoms_give_the_kernel_and_its_length_derivative(family, period):
    x = v([0.0, 0.4, 1.3, 3.1, 7.9, 23.0])
    length, variance = 0.5, 2.5
    radius = cutoff_radius(family, length)
    r = x[:, None] - x[None, :]
    images = [0] if period is None else range(-30, 31)
    k, dk = np.zeros_like(r), np.zeros_like(r)
    for n in images:
        d = r - n * (period or 0.0)
        kn, dkn = closed_form(family, d, length)
        inside = np.abs(d) <= radius
        k += np.where(inside, kn, 0.0)
        dk += np.where(inside, dkn, 0.0)
    points = s.Space.deltas(x)
    dims = [dim(family, length, period)]
    K, (L,), (Y,) = s.covariance_length_derivatives(variance, dims, [points], [None])
    np.testing.assert_allclose(K, variance * k, rtol=1e-13, atol=1e-300)
    np.testing.assert_allclose(L, variance * dk, rtol=1e-12, atol=1e-300)
    assert Y == []
    if period is None:
        assert np.all(K[np.abs(r) > radius] == 0)
    # A point mass ignores the cosine weight, and its norm is 1.
    weighted = s.covariance_matrix(variance, dims, [points], [2.0], [points], [None])
    np.testing.assert_array_equal(weighted, s.covariance_matrix(variance, dims, [points], [None], [points], [None]))
    if family in ALIASES:
        same = s.covariance_length_derivatives(variance, [dim(ALIASES[family], length, period)], [points], [None])
        np.testing.assert_array_equal(K, same[0])
        np.testing.assert_array_equal(L, same[1][0])


# --- integrated atoms against a double quadrature -----------------------------------------------

GL_X, GL_W = np.polynomial.legendre.leggauss(12)


def gl_nodes(breaks, longest):
    """Composite Gauss-Legendre nodes and weights over sorted breakpoints, panels <= longest."""
    breaks = np.unique(breaks)
    xs, ws = [], []
    for lo, hi in zip(breaks[:-1], breaks[1:]):
        m = max(1, int(np.ceil((hi - lo) / longest)))
        edges = np.linspace(lo, hi, m + 1)
        half = 0.5 * np.diff(edges)
        mid = edges[:-1] + half
        xs.append((mid[:, None] + half[:, None] * GL_X).ravel())
        ws.append((half[:, None] * GL_W).ravel())
    return np.concatenate(xs), np.concatenate(ws)


class Atoms:
    """Elements of one dimension as plain functions with their knots (None for a point mass)."""

    def __init__(self, space, functions, knots, points=None):
        self.space, self.functions, self.knots, self.points = space, functions, knots, points


def boxes(edges):
    e = v(edges)
    return Atoms(s.Space.boxes(e), [lambda x, lo=lo, hi=hi: ((x >= lo) & (x < hi)).astype(float)
                                    for lo, hi in zip(e[:-1], e[1:])], [e[i:i + 2] for i in range(len(e) - 1)])


def hats(nodes, keep):
    n = v(nodes)
    return Atoms(s.Space.hats(n).take(keep), [lambda x, j=j: np.interp(x, n, np.eye(len(n))[j], 0, 0) for j in keep],
                 [n[max(j - 1, 0):j + 2] for j in keep])


def clamped(breakpoints, degree, keep):
    b = v(breakpoints)
    t = np.r_[[b[0]] * degree, b, [b[-1]] * degree]
    count = len(t) - degree - 1
    functions = [lambda x, j=j: np.nan_to_num(BSpline(t, np.eye(count)[j], degree, extrapolate=False)(x))
                 for j in keep]
    return Atoms(s.Space.bsplines_clamped(b, degree).take(keep), functions,
                 [np.unique(t[j:j + degree + 2]) for j in keep])


def deltas(x):
    return Atoms(s.Space.deltas(v(x)), None, None, v(x))


ATOMS = {
    "boxes": lambda: boxes([0.0, 0.6, 1.5, 2.2]),
    "hats": lambda: hats([-0.3, 0.2, 0.9, 1.4, 2.4, 3.0], [1, 2, 3]),
    "bsplines": lambda: clamped([0.0, 0.8, 1.7, 2.5], 3, [1, 3, 5]),
    "deltas": lambda: deltas([0.3, 1.15, 2.6]),
}


class Factor:
    def __init__(self, atoms, coefficients):
        self.coefficients = v(coefficients)
        self.native = (atoms.space, list(self.coefficients))
        self.knots = np.concatenate(atoms.knots)
        self.functions = atoms.functions

    def __call__(self, x):
        return sum(c * f(x) for c, f in zip(self.coefficients, self.functions))


FACTORS = {
    "hats": lambda: Factor(hats([-0.5, 0.4, 1.2, 2.0, 3.2], range(5)), [0.6, 1.4, 0.9, 2.0, 1.1]),
    "cubic": lambda: Factor(clamped([-0.4, 1.0, 3.3], 3, range(5)), [1.5, 0.3, 2.0, 1.0, 0.7]),
}


def reference_1d(family, length, period, factor, a, wa, b, wb):
    """Entries of one dimension, sum_n of iint a w s k(x - y - nP) s w b over the atoms' integrals."""
    radius = cutoff_radius(family, length)
    shifts = [0.0] if period is None else period * np.arange(-int(radius / period) - 4, int(radius / period) + 5)
    scale = factor if factor is not None else (lambda x: np.ones_like(x))
    weight = [(lambda x, w=w: np.ones_like(x) if w is None else np.cos(w * x)) for w in (wa, wb)]
    extra = factor.knots if factor is not None else np.zeros(0)

    def kernel(r):
        return sum(closed_form(family, r - n, length)[0] for n in shifts)

    def inner(x, j):  # integral over y of k(x - y) s(y) w_b(y) b_j(y), for one x
        if b.points is not None:
            q = b.points[j:j + 1]
            return (scale(q) * kernel(x - q))[0]
        knots = b.knots[j]
        kinks = x - np.asarray(shifts)
        breaks = np.r_[knots, extra[(extra > knots[0]) & (extra < knots[-1])],
                       kinks[(kinks > knots[0]) & (kinks < knots[-1])]]
        y, w = gl_nodes(breaks, length)
        return np.sum(w * kernel(x - y) * scale(y) * weight[1](y) * b.functions[j](y))

    def norm(atoms, i, which):
        if atoms.points is not None:
            return 1.0
        x, w = gl_nodes(atoms.knots[i], length)
        return np.sum(w * atoms.functions[i](x) * weight[which](x))

    n_a = len(a.space)
    n_b = len(b.space)
    result = np.zeros((n_a, n_b))
    for i in range(n_a):
        for j in range(n_b):
            if a.points is not None:
                p = a.points[i:i + 1]
                value = scale(p)[0] * inner(p[0], j)
            else:
                lo, hi = a.knots[i][0], a.knots[i][-1]
                kinks = (np.r_[b.knots[j] if b.points is None else b.points[j:j + 1], extra]
                         + np.asarray(shifts)[:, None])
                breaks = np.r_[a.knots[i], extra[(extra > lo) & (extra < hi)], kinks[(kinks > lo) & (kinks < hi)]]
                x, w = gl_nodes(breaks, length)
                g = np.array([inner(xk, j) for xk in x])
                value = np.sum(w * a.functions[i](x) * scale(x) * weight[0](x) * g)
            result[i, j] = value / (norm(a, i, 0) * norm(b, j, 1))
    return result


CONFIGS = {
    "plain": dict(family="gaussian", length=0.7),
    "weights": dict(family="matern32", length=0.9, wa=1.3, wb=-0.8),
    "factor": dict(family="matern52", length=0.6, factor="hats"),
    "period": dict(family="matern12", length=0.8, period=2.5),
    "everything": dict(family="exponential", length=0.7, period=4.0, factor="cubic", wa=0.9, wb=1.1),
}


@pytest.mark.parametrize("config", CONFIGS)
@pytest.mark.parametrize("kinds", [("boxes", "boxes"), ("boxes", "deltas"), ("hats", "bsplines"),
                                   ("deltas", "hats"), ("bsplines", "bsplines")], ids="-".join)
def test_integrated_atoms_match_a_double_quadrature(kinds, config):
    c = CONFIGS[config]
    a, b = ATOMS[kinds[0]](), ATOMS[kinds[1]]()
    factor = FACTORS[c["factor"]]() if "factor" in c else None
    wa, wb = c.get("wa"), c.get("wb")
    variance = 1.7
    dims = [dim(c["family"], c["length"], c.get("period"), factor.native if factor else None)]
    got = s.covariance_matrix(variance, dims, [a.space], [wa], [b.space], [wb])
    expected = variance * reference_1d(c["family"], c["length"], c.get("period"), factor, a, wa, b, wb)
    np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-11 * np.abs(expected).max())


def test_two_dimensional_atoms_multiply_their_dimensions():
    # One dimension far apart (beyond the cut-off) makes the entry exactly 0.
    x = s.Space.boxes(v([0.0, 0.6, 1.5, 2.2, 40.0, 41.0])).take([0, 1, 2, 4])
    y = hats([-0.3, 0.2, 0.9, 1.4, 2.4, 3.0], [1, 2, 3, 4])
    dims = [dim("matern32", 0.9, None, FACTORS["hats"]().native), dim("gaussian", 0.5, 3.0)]
    weights = [0.7, None]
    variance = 3.0
    both = s.covariance_matrix(variance, dims, [x, y.space], weights, [x, y.space], weights)
    each = [s.covariance_matrix(variance, [d], [sp], [w], [sp], [w]) for d, sp, w in zip(dims, [x, y.space], weights)]
    np.testing.assert_allclose(both, each[0] * each[1] / variance, rtol=1e-14, atol=0)
    assert np.all(both[3, :3] == 0) and np.all(both[:3, 3] == 0)


def test_a_zero_factor_makes_everything_zero():
    atoms = ATOMS["hats"]().space
    factor = (s.Space.hats(v([0.0, 1.0, 2.0])), [0.0, 0.0, 0.0])
    for space in (atoms, s.Space.deltas(v([0.5, 1.5]))):
        K = s.covariance_matrix(1.0, [dim("matern52", 1.0, None, factor)], [space], [None], [space], [None])
        assert np.all(K == 0)


# --- derivatives -------------------------------------------------------------------------------

DERIVATIVE_CASES = {
    "two-dimensional": ([dim("matern32", 0.8, None, "cubic"), dim("gaussian", 0.6, 3.0)],
                        ["boxes", "hats"], [None, 1.1]),
    "periodic-weighted": ([dim("matern12", 0.7, 2.5, "hats")], ["bsplines"], [0.9]),
    "points-and-boxes": ([dim("matern52", 0.5, None, "hats"), dim("squared_exponential", 1.2)],
                         ["deltas", "boxes"], [None, None]),
}


def native_dims(model, coefficients=None, lengths=None):
    out = []
    for d, (family, length, period, factor) in enumerate(model):
        f = None
        if factor is not None:
            made = FACTORS[factor]()
            f = (made.native[0], list(made.coefficients if coefficients is None else coefficients[d]))
        out.append(dim(family, length if lengths is None else lengths[d], period, f))
    return out


@pytest.mark.parametrize("case", DERIVATIVE_CASES)
def test_length_and_coefficient_derivatives_match_central_differences(case):
    model, kinds, weights = DERIVATIVE_CASES[case]
    spaces = [ATOMS[k]().space for k in kinds]
    variance, h = 1.3, 1e-5

    def K(dims):
        return s.covariance_matrix(variance, dims, spaces, weights, spaces, weights, True)

    K0, L, Y = s.covariance_length_derivatives(variance, native_dims(model), spaces, weights)
    np.testing.assert_allclose(K0, K(native_dims(model)), rtol=1e-13, atol=0)
    for matrix_ in [K0, *L, *sum(Y, [])]:
        np.testing.assert_array_equal(matrix_, matrix_.T)
    tol = 1e-7 * np.abs(K0).max()
    lengths = [d[1] for d in model]
    for d in range(len(model)):
        up, down = list(lengths), list(lengths)
        up[d] *= 1 + h
        down[d] *= 1 - h
        fd = (K(native_dims(model, lengths=up)) - K(native_dims(model, lengths=down))) / (2 * h)
        np.testing.assert_allclose(L[d], fd, rtol=0, atol=tol)
        if model[d][3] is None:
            assert Y[d] == []
            continue
        c0 = [None if f[3] is None else FACTORS[f[3]]().coefficients for f in model]
        assert len(Y[d]) == len(c0[d])
        for m in range(len(c0[d])):
            up = [None if c is None else c.copy() for c in c0]
            down = [None if c is None else c.copy() for c in c0]
            up[d][m] *= 1 + h
            down[d][m] *= 1 - h
            fd = (K(native_dims(model, coefficients=up)) - K(native_dims(model, coefficients=down))) / (2 * h)
            np.testing.assert_allclose(Y[d][m], fd, rtol=0, atol=tol)


def test_coefficient_derivatives_of_a_fitted_factor_sum_to_twice_the_covariance():
    factor = FACTORS["hats"]()
    spaces = [ATOMS["boxes"]().space]
    K, _, (Y,) = s.covariance_length_derivatives(0.8, [dim("matern32", 0.6, None, factor.native)], spaces, [None])
    np.testing.assert_allclose(sum(Y), 2 * K, rtol=1e-12, atol=0)


# --- assembly ----------------------------------------------------------------------------------

def test_symmetric_matrix_mirrors_the_upper_triangle_and_the_diagonal_matches():
    a = [ATOMS["boxes"]().space, ATOMS["bsplines"]().space]
    b = [ATOMS["hats"]().space, ATOMS["boxes"]().space]
    w = [0.4, None]
    dims = [dim("matern32", 0.9), dim("matern12", 1.1, 5.0)]
    full = s.covariance_matrix(2.0, dims, a, w, a, w, False)
    sym = s.covariance_matrix(2.0, dims, a, w, a, w, True)
    np.testing.assert_array_equal(sym, sym.T)
    np.testing.assert_array_equal(np.triu(sym), np.triu(full))
    np.testing.assert_allclose(sym, full, rtol=1e-13, atol=0)
    np.testing.assert_array_equal(s.covariance_diagonal(2.0, dims, a, w), np.diag(full))
    # Different atoms of the same count: the upper triangle of a-by-b, mirrored.
    cross = s.covariance_matrix(2.0, dims, a, w, b, [None, None], False)
    mirrored = s.covariance_matrix(2.0, dims, a, w, b, [None, None], True)
    np.testing.assert_array_equal(mirrored, np.triu(cross) + np.triu(cross, 1).T)


def test_empty_atoms():
    none = s.Space.deltas(v([]))
    some = ATOMS["boxes"]().space
    dims = [dim("gaussian", 1.0)]
    assert s.covariance_matrix(1.0, dims, [none], [None], [some], [None]).shape == (0, 3)
    assert s.covariance_diagonal(1.0, dims, [none], [None]).shape == (0,)
    K, L, Y = s.covariance_length_derivatives(1.0, [dim("gaussian", 1.0, None, FACTORS["hats"]().native)],
                                              [none], [None])
    assert K.shape == (0, 0) and [x.shape for x in L] == [(0, 0)] and [x.shape for x in Y[0]] == [(0, 0)] * 5
    # No dimensions at all: no atoms.
    assert s.covariance_matrix(1.0, [], [], [], [], []).shape == (0, 0)


# --- checks, messages and conversions ----------------------------------------------------------

BOXES3 = s.Space.boxes(v([0, 1, 2, 3]))
BOXES4 = s.Space.boxes(v([0, 1, 2, 3, 4]))
HATS = s.Space.hats(v([0, 1, 2]))
OK = dim("gaussian", 1.0)


def matrix(variance=1.0, dims=(OK,), a=(BOXES3,), wa=(None,), b=(BOXES3,), wb=(None,), symmetric=False):
    return s.covariance_matrix(variance, list(dims), list(a), list(wa), list(b), list(wb), symmetric)


@pytest.mark.parametrize("call,message", [
    (lambda: matrix(variance=0), "variance must be finite and > 0, got 0"),
    (lambda: matrix(variance=-1e-7), "variance must be finite and > 0, got -0.0000001"),
    (lambda: s.covariance_diagonal(np.nan, [OK], [BOXES3], [None]), "variance must be finite and > 0, got NaN"),
    (lambda: matrix(dims=[dim("Gaussian", 1.0)]), 'unknown covariance family "Gaussian"'),
    (lambda: matrix(dims=[dim('ma"t\tern', 1.0)]), 'unknown covariance family "ma\\"t\\tern"'),
    (lambda: matrix(dims=[dim("matern32", 0.0)]), "correlation length must be finite and > 0, got 0"),
    (lambda: matrix(dims=[dim("matern32", -1.0)]), "correlation length must be finite and > 0, got -1"),
    (lambda: matrix(dims=[dim("matern32", 1.0, np.nan)]), "period must be finite and > 0, got NaN"),
    (lambda: matrix(dims=[dim("matern32", 1.0, -2.5)]), "period must be finite and > 0, got -2.5"),
    (lambda: matrix(dims=[dim("matern32", 1.0, None, (HATS, [1.0, 2.0]))]),
     "a linear combination needs one coefficient per element"),
    (lambda: matrix(dims=[dim("matern32", 1.0, None, (HATS.take([]), []))]),
     "a linear combination needs one coefficient per element"),
    (lambda: matrix(dims=[dim("matern32", 1.0, None, (s.Space.gaussians(v([0.0]), v([1.0]), 4.0), [1.0]))]),
     "a linear combination needs piecewise-polynomial elements"),
    (lambda: matrix(dims=[dim("matern32", 1.0, None, (s.Space.deltas(v([0.0])), [1.0]))]),
     "a linear combination needs piecewise-polynomial elements"),
    (lambda: matrix(dims=[dim("matern32", 1.0, None, (HATS.mapped("affine", 1.0, 1.0, True)
                                                      .mapped("reciprocal", 1.0, 0.0, True), [1.0] * 3))]),
     "a linear combination needs piecewise-polynomial elements"),
    (lambda: matrix(dims=[dim("matern32", 1.0, None, (HATS, [1.0, np.inf, 1.0]))]), "coefficients must be finite"),
    # Nodes 1e-200 apart: the fitted cubic's coefficients over that piece are not finite.
    (lambda: matrix(dims=[dim("matern32", 1.0, None, (s.Space.hats(v([0, 1e-200, 1])), [1.0, 2.0, 1.0]))]),
     "shape segments must be finite"),
    (lambda: matrix(wa=[0.0]), "bad cosine weight scale 0"),
    (lambda: matrix(wb=[np.inf]), "bad cosine weight scale inf"),
    (lambda: s.covariance_length_derivatives(1.0, [OK], [BOXES3], [np.nan]), "bad cosine weight scale NaN"),
    (lambda: matrix(dims=[], a=[BOXES3], wa=[None]),
     "atoms need one space and one weight per dimension (0), got 1 and 1"),
    (lambda: s.covariance_diagonal(1.0, [OK], [BOXES3], [None, None]),
     "atoms need one space and one weight per dimension (1), got 1 and 2"),
    (lambda: matrix(b=[BOXES3, BOXES3], wb=[None]),
     "atoms need one space and one weight per dimension (1), got 2 and 1"),
    (lambda: matrix(dims=[OK, OK], a=[BOXES3, BOXES4], wa=[None, None], b=[BOXES3, BOXES3], wb=[None, None]),
     "every dimension's space must have one element per atom"),
    (lambda: matrix(b=[BOXES4], symmetric=True), "a symmetric covariance needs the same atoms on both sides"),
    # The first failing check decides.
    (lambda: matrix(variance=0, dims=[dim("nope", 1.0)]), "variance must be finite and > 0, got 0"),
    (lambda: matrix(dims=[dim("matern12", -1.0), dim("nope", 1.0)]),
     "correlation length must be finite and > 0, got -1"),
    (lambda: matrix(dims=[dim("nope", -1.0)]), 'unknown covariance family "nope"'),
    (lambda: matrix(dims=[dim("matern12", -1.0, 0.0)]), "correlation length must be finite and > 0, got -1"),
    (lambda: matrix(wb=[0.0], a=[BOXES3, BOXES3]), "bad cosine weight scale 0"),
    (lambda: matrix(a=[BOXES3, BOXES3], b=[BOXES4], symmetric=True),
     "atoms need one space and one weight per dimension (1), got 2 and 1"),
])
def test_failures_raise_value_error_with_the_message(call, message):
    with pytest.raises(ValueError, match=f"^{re.escape(message)}$"):
        call()


@pytest.mark.parametrize("call,error,name", [
    (lambda: matrix(variance="1"), TypeError, "variance"),
    (lambda: s.covariance_matrix(1.0, "gaussian", [BOXES3], [None], [BOXES3], [None]), TypeError, "dims"),
    (lambda: matrix(dims=[["gaussian", 1.0, None, None]]), TypeError, "dims"),
    (lambda: matrix(dims=[("gaussian", 1.0, None)]), ValueError, "dims"),
    (lambda: matrix(dims=[("gaussian", 1.0, None, None, None)]), ValueError, "dims"),
    (lambda: matrix(dims=[(1, 1.0, None, None)]), TypeError, "dims"),
    (lambda: matrix(dims=[("gaussian", "1", None, None)]), TypeError, "dims"),
    (lambda: matrix(dims=[dim("gaussian", 1.0, None, [HATS, [1.0] * 3])]), TypeError, "dims"),
    (lambda: matrix(dims=[dim("gaussian", 1.0, None, (HATS,))]), ValueError, "dims"),
    (lambda: matrix(dims=[dim("gaussian", 1.0, None, ("hats", [1.0] * 3))]), TypeError, "dims"),
    (lambda: matrix(dims=[dim("gaussian", 1.0, None, (HATS, "abc"))]), TypeError, "dims"),
    (lambda: s.covariance_matrix(1.0, [OK], "ab", [None], [BOXES3], [None]), TypeError, "a"),
    (lambda: matrix(a=[3]), TypeError, "a"),
    (lambda: matrix(variance=0, b=[None]), TypeError, "b"),  # conversion comes before any check
    (lambda: matrix(wa=["x"]), TypeError, "wa"),
    (lambda: s.covariance_diagonal(1.0, [OK], [BOXES3], 2.0), TypeError, "wa"),
    (lambda: matrix(symmetric=1), TypeError, "symmetric"),
])
def test_conversion_failures_name_the_argument(call, error, name):
    with pytest.raises(error, match=f"'{name}'"):
        call()


def test_affine_mapped_factor_elements_are_piecewise_polynomial():
    plain = [dim("matern32", 1.0, None, (HATS, [1.0, 2.0, 0.5]))]
    mapped = [dim("matern32", 1.0, None, (HATS.mapped("affine", 0.0, 1.0, True), [1.0, 2.0, 0.5]))]
    np.testing.assert_allclose(matrix(dims=mapped), matrix(dims=plain), rtol=1e-13, atol=0)


@pytest.mark.parametrize("body", [
    # Far more images per point than any sensible bound: refused at once.
    """
    try:
        s.covariance_matrix(1.0, [("matern12", 1.0, 1e-10, None)], [d], [None], [d], [None])
    except ValueError as error:
        assert "period" in str(error), error
    else:
        raise AssertionError("accepted")
    """,
    # A subnormal correlation length: points see a spike; integrated atoms would need ~1e323 outer
    # panels, which must end (with a result or a refusal) rather than stall.
    """
    dims = [("matern32", 5e-324, None, None)]
    assert np.array_equal(s.covariance_matrix(1.0, dims, [d], [None], [d], [None]), np.eye(2))
    b = s.Space.boxes(np.array([0.0, 0.5, 1.0]))
    assert np.all(np.isfinite(s.covariance_matrix(1.0, dims, [b], [None], [b], [None])))
    """,
    # A period well below the cutoff radius between integrated atoms: each entry would meet
    # images of the kernel at every outer node, quadratically many; refused up front.
    """
    b = s.Space.boxes(np.array([0.0, 0.5, 1.0]))
    try:
        s.covariance_matrix(1.0, [("matern12", 1.0, 1e-4, None)], [b], [None], [b], [None])
    except ValueError as error:
        assert "kernel images" in str(error), error
    else:
        raise AssertionError("accepted")
    """,
], ids=["tiny-period", "subnormal-length", "tiny-period-between-elements"])
def test_degenerate_models_return_promptly(body):
    script = "import numpy as np\nfrom spanlet import _spanlet as s\nd = s.Space.deltas(np.array([0.0, 0.3]))\n"
    try:
        result = subprocess.run([sys.executable, "-c", script + textwrap.dedent(body)], capture_output=True,
                                text=True, timeout=60)
    except subprocess.TimeoutExpired:
        pytest.fail("did not return within 60 s")
    assert result.returncode == 0, result.stdout + result.stderr


# --- the package layer -------------------------------------------------------------------------

def test_package_wrappers_accept_friendly_inputs_and_return_the_native_results():
    import spanlet

    boxes_ = spanlet.Space.boxes([0, 1, 2, 3])
    hats_ = spanlet.Space.hats([0, 1, 2])
    friendly = [["matern32", 1, None, [hats_, [1, 2, 0.5]]]]
    native = [("matern32", 1.0, None, (hats_.native, [1.0, 2.0, 0.5]))]
    got = spanlet.covariance_matrix(2, friendly, boxes_, 0.5, symmetric=True)
    np.testing.assert_array_equal(got, s.covariance_matrix(2.0, native, [boxes_.native], [0.5], [boxes_.native],
                                                           [0.5], True))
    np.testing.assert_array_equal(spanlet.covariance_matrix(2, friendly[0], [boxes_], b=[hats_]),
                                  s.covariance_matrix(2.0, native, [boxes_.native], [None], [hats_.native], [None]))
    np.testing.assert_array_equal(spanlet.covariance_diagonal(2, friendly, boxes_),
                                  s.covariance_diagonal(2.0, native, [boxes_.native], [None]))
    ours = spanlet.covariance_length_derivatives(2, friendly, [boxes_], [None])
    theirs = s.covariance_length_derivatives(2.0, native, [boxes_.native], [None])
    np.testing.assert_array_equal(ours[0], theirs[0])
    np.testing.assert_array_equal(ours[2][0][1], theirs[2][0][1])
    with pytest.raises(TypeError, match="'a'"):
        spanlet.covariance_diagonal(1, friendly, "boxes")


def test_readme_gaussian_process_smooths_pixel_means():
    import spanlet

    edges = np.linspace(0, 10, 41)
    pixels = spanlet.Space.boxes(edges)
    means = (np.cos(edges[:-1]) - np.cos(edges[1:])) / np.diff(edges)
    noise = 0.05
    data = means + np.random.default_rng(0).normal(0, noise, means.size)
    dims = [("matern52", 2.0, None, None)]
    K = spanlet.covariance_matrix(1.0, dims, pixels, symmetric=True)
    x = np.linspace(0, 10, 201)
    Kx = spanlet.covariance_matrix(1.0, dims, spanlet.Space.deltas(x), b=pixels)
    f = Kx @ np.linalg.solve(K + noise**2 * np.eye(means.size), data)
    # The smoothed curve is closer to the truth than the data are to the pixel means.
    assert np.sqrt(np.mean((f - np.sin(x)) ** 2)) < np.sqrt(np.mean((data - means) ** 2))


@pytest.mark.parametrize("length", [1e-9, 1e-6, 1e-3])
def test_short_lengths_between_wide_boxes_match_the_closed_form(length):
    # For boxes of width w much wider than l, with the matern32 kernel:
    # w^2 K(same box) = w * 4 l / sqrt 3 - 2 l^2 and w^2 K(neighbours) = l^2, exactly.
    b = s.Space.boxes(np.array([0.0, 0.5, 1.0]))
    k = s.covariance_matrix(1.0, [("matern32", length, None, None)], [b], [None], [b], [None])
    w = 0.5
    expected = np.array([[w * 4 * length / np.sqrt(3) - 2 * length**2, length**2],
                         [length**2, w * 4 * length / np.sqrt(3) - 2 * length**2]]) / w**2
    np.testing.assert_allclose(k, expected, rtol=1e-12)


def test_a_fast_weight_on_the_far_side_is_resolved():
    # cos(50 y) on b makes the inner integral oscillate in x as fast as the weight itself.
    from scipy.integrate import quad
    a, b, omega = s.Space.boxes(v([0.0, 1.0])), s.Space.boxes(v([0.3, 1.6])), 50.0
    got = s.covariance_matrix(1.0, [("matern12", 1.0, None, None)], [a], [None], [b], [omega])[0, 0]

    def inner(x):
        return quad(lambda y: np.cos(omega * y) * np.exp(-abs(x - y)), 0.3, 1.6,
                    points=[x] if 0.3 < x < 1.6 else None, limit=500, epsabs=1e-14)[0]

    norm = (np.sin(omega * 1.6) - np.sin(omega * 0.3)) / omega
    expected = quad(inner, 0.0, 1.0, points=[0.3], limit=500, epsabs=1e-14)[0] / norm
    assert got == pytest.approx(expected, rel=1e-11)


# --- piecewise-polynomial atoms in closed form -----------------------------------------------

def kernel_antiderivative(family, r, length):
    """int_0^r k, odd in r; the kernel's cut at 1e-17 of its peak is below the tolerance."""
    from scipy.special import erf
    a = np.abs(r) / length
    if family == "gaussian":
        return length * np.sqrt(np.pi / 2) * erf(r / (np.sqrt(2) * length))
    if family == "matern12":
        body = length * -np.expm1(-a)
    elif family == "matern32":
        z = np.sqrt(3) * a
        body = length / np.sqrt(3) * (2 - (2 + z) * np.exp(-z))
    else:
        z = np.sqrt(5) * a
        body = length / np.sqrt(5) * (8 / 3 - (8 / 3 + 5 * z / 3 + z * z / 3) * np.exp(-z))
    return np.sign(r) * body


def boxes_against(family, length, period, edges, elements):
    """Entries between boxes on `edges` and B-spline `elements` (scipy basis elements): the box
    integral of the kernel in closed form, the other by composite Gauss-Legendre between kinks."""
    radius = cutoff_radius(family, length)
    out = np.zeros((len(edges) - 1, len(elements)))
    for i, (x0, x1) in enumerate(zip(edges[:-1], edges[1:])):
        for j, b in enumerate(elements):
            knots = np.unique(b.t)
            lo, hi = knots[0], knots[-1]
            shifts = [0.0] if period is None else period * np.arange(np.floor((x0 - hi - radius) / period),
                                                                      np.ceil((x1 - lo + radius) / period) + 1)
            kinks = np.array([x - n for n in shifts for x in (x0, x1)])
            y, w = gl_nodes(np.r_[knots, kinks[(kinks > lo) & (kinks < hi)]], length / 4)
            g = sum(kernel_antiderivative(family, (x1 - n) - y, length)
                    - kernel_antiderivative(family, (x0 - n) - y, length) for n in shifts)
            values = np.nan_to_num(b(y))
            out[i, j] = np.sum(w * values * g) / (np.sum(w * values) * (x1 - x0))
    return out


def clamped_elements(breakpoints, degree):
    t = np.r_[[breakpoints[0]] * degree, breakpoints, [breakpoints[-1]] * degree]
    return [BSpline.basis_element(t[j:j + degree + 2], extrapolate=False)
            for j in range(len(breakpoints) + degree - 1)]


CLOSED_FORM_CASES = {
    # A piece 1e3 times shorter than the box it meets.
    "short piece": (0.05, None, v([0.0, 5.0, 30.0]), v([0.0, 0.7, 1.2, 1.9, 1.9036]), 2),
    # Boxes near 1e6 meet the B-splines near 0 through images of a period.
    "far images": (0.05, 7.0, 1e6 + v([0.0, 0.25, 0.5, 3.0]), v([0.0, 0.5, 1.1, 2.0]), 3),
    # Wide boxes, a short length and a period: 15 images per pair.
    "wide boxes": (0.05, 7.0, v([0.0, 5.0, 30.0, 31.0, 100.0]), v([0.0, 0.4, 2.0]), 1),
}


@pytest.mark.parametrize("case", CLOSED_FORM_CASES)
@pytest.mark.parametrize("family", ["gaussian", "matern12", "matern32", "matern52"])
def test_polynomial_atoms_match_a_closed_form_inner_integral(family, case):
    length, period, edges, breakpoints, degree = CLOSED_FORM_CASES[case]
    space = s.Space.bsplines_clamped(breakpoints, degree)
    got = s.covariance_matrix(1.0, [dim(family, length, period)], [s.Space.boxes(edges)], [None], [space], [None])
    expected = boxes_against(family, length, period, edges, clamped_elements(breakpoints, degree))
    np.testing.assert_allclose(got, expected, rtol=1e-12, atol=1e-14 * np.abs(expected).max())


@pytest.mark.parametrize("family", ["matern12", "matern32", "matern52"])
def test_boxes_far_shorter_than_the_length_match_nested_quadrature(family):
    # Boxes 1e2 to 1e4 times shorter than the length beside longer ones, apart, touching and on
    # the diagonal: two boxes' moments come from a short series or the incomplete gamma function.
    from scipy.integrate import quad
    length = 0.5
    edges = v([0.0, 0.003, 0.0051, 0.0052, 0.3, 0.31, 2.0, 2.00005])
    space = s.Space.boxes(edges)
    K, (L,), _ = s.covariance_length_derivatives(1.0, [dim(family, length)], [space], [None])
    # A plain matrix takes each box's moments once per call.
    plain = s.covariance_matrix(1.0, [dim(family, length)], [space], [None], [space], [None], True)

    def nested(f, a0, a1, b0, b1):
        if a0 == b0:  # one box: 2 int_0^h (h - r) f(r) dr / h^2, with no kink inside
            h = a1 - a0
            return 2 * quad(lambda r: (h - r) * f(r), 0, h, epsabs=0, epsrel=1e-13)[0] / h**2
        inner = lambda x: quad(lambda y: f(x - y), b0, b1, points=[x] if b0 < x < b1 else None,
                               epsabs=0, epsrel=1e-13, limit=200)[0]
        return quad(inner, a0, a1, epsabs=0, epsrel=1e-13, limit=200)[0] / ((a1 - a0) * (b1 - b0))

    for i in range(len(edges) - 1):
        for j in range(i, len(edges) - 1):
            box = (edges[i], edges[i + 1], edges[j], edges[j + 1])
            k = nested(lambda r: closed_form(family, r, length)[0], *box)
            d = nested(lambda r: closed_form(family, r, length)[1], *box)
            assert K[i, j] == pytest.approx(k, rel=1e-12, abs=0), (i, j)
            assert plain[i, j] == pytest.approx(k, rel=1e-12, abs=0), (i, j)
            assert L[i, j] == pytest.approx(d, rel=1e-12, abs=0), (i, j)
