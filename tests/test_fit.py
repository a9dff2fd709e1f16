import inspect
import math

import numpy as np
import pytest
from scipy.interpolate import BSpline, make_lsq_spline

from spanlet._spanlet import Fit, SingularError, Space
from conftest import dense

BREAKS = np.array([0.0, 0.07, 0.2, 0.26, 0.4, 0.55, 0.6, 0.78, 0.9, 1.0])
DEGREE = 3
KNOTS = np.concatenate([[BREAKS[0]] * DEGREE, BREAKS, [BREAKS[-1]] * DEGREE])
N_MODEL = len(BREAKS) + DEGREE - 1
SUFFIX = "; the data do not determine every model coefficient, so add smoothing"


def model():
    return Space.bsplines_clamped(BREAKS, DEGREE)


def gauss(breaks, pieces=1, points=6):
    breaks = np.unique(np.concatenate([np.linspace(a, b, pieces + 1) for a, b in zip(breaks[:-1], breaks[1:])]))
    x, w = np.polynomial.legendre.leggauss(points)
    mid, half = (breaks[1:] + breaks[:-1]) / 2, (breaks[1:] - breaks[:-1]) / 2
    return (mid[:, None] + half[:, None] * x).ravel(), (half[:, None] * w).ravel()


def sample_points(n, lo=0.0, hi=1.0, seed=0):
    return np.sort(np.random.default_rng(seed).uniform(lo, hi, n))


def box_design(edges, normalization, weight=None):
    """Box kernels seen by the clamped cubic B-splines, from scipy values on a Gauss grid."""
    x, w = gauss(np.union1d(edges, BREAKS), pieces=1 if weight is None else 16)
    if weight is not None:
        w = w * np.cos(weight * x)
    which = np.searchsorted(edges, x) - 1
    raw = np.zeros((len(edges) - 1, N_MODEL))
    np.add.at(raw, which, w[:, None] * BSpline.design_matrix(x, KNOTS, DEGREE).toarray())
    if normalization == "none":
        return raw
    norm = raw.sum(axis=1) if normalization == "rowsum" else np.bincount(which, w, len(edges) - 1)
    return raw / norm[:, None]


def kernel_case(name, weight=None):
    """(kernels, normalization, reference design matrix)."""
    if name == "points":
        x = sample_points(150)
        return Space.deltas(x), "integral", BSpline.design_matrix(x, KNOTS, DEGREE).toarray()
    edges = np.linspace(0.0, 1.0, 61) ** 1.3
    normalization = name.split("-")[1]
    return Space.boxes(edges), normalization, box_design(edges, normalization, weight)


def difference_penalty(order):
    r = np.diff(np.eye(N_MODEL), order, axis=0)
    return r.T @ r


def derivative_penalty(order):
    x, w = gauss(BREAKS)
    values = np.array([BSpline(KNOTS, np.eye(N_MODEL)[j], DEGREE).derivative(order)(x) for j in range(N_MODEL)])
    return values @ (w[:, None] * values.T)


def penalised_solution(d, p, smoothing, data):
    n = d.T @ d
    a = n + smoothing * np.trace(n) / np.trace(p) * p
    return np.linalg.solve(a, d.T @ data.T).T


@pytest.mark.parametrize("case", ["points", "boxes-integral", "boxes-rowsum", "boxes-none"])
def test_unpenalised_fit_is_least_squares(case):
    kernels, normalization, d = kernel_case(case)
    fit = Fit(kernels, model(), normalization, 0.0, "difference", 2)
    assert (fit.n_data, fit.n_model) == d.shape
    np.testing.assert_allclose(dense(fit.design()), d, atol=1e-13)
    np.testing.assert_allclose(fit.to_dense(), np.linalg.pinv(d), atol=1e-9 * np.abs(np.linalg.pinv(d)).max())
    rng = np.random.default_rng(7)
    data = rng.standard_normal((4, len(d)))
    want = np.linalg.lstsq(d, data.T, rcond=None)[0].T
    np.testing.assert_allclose(fit.apply_last_axis(data), want, atol=1e-10 * np.abs(want).max())
    # Data generated from a coefficient vector give it back.
    coefficients = rng.standard_normal((3, N_MODEL))
    np.testing.assert_allclose(fit.apply_last_axis(coefficients @ d.T), coefficients, atol=1e-10)


def test_point_fit_agrees_with_scipy_lsq_spline():
    x = sample_points(300, seed=4)
    y = np.sin(7 * x) + 0.1 * np.random.default_rng(4).standard_normal(len(x))
    fit = Fit(Space.deltas(x), model(), "none", 0.0, "derivative", 2)
    want = make_lsq_spline(x, y, KNOTS, DEGREE).c
    np.testing.assert_allclose(fit.apply_last_axis(y[None, :])[0], want, atol=1e-11)


PENALTIES = [("difference", 0), ("difference", 1), ("difference", 2), ("difference", 3),
             ("derivative", 1), ("derivative", 2), ("derivative", 3)]


@pytest.mark.parametrize("penalty, order", PENALTIES)
@pytest.mark.parametrize("smoothing", [1e-4, 0.3])
@pytest.mark.parametrize("case", ["points", "boxes-integral"])
def test_penalised_fit_matches_dense_solve(penalty, order, smoothing, case):
    kernels, normalization, d = kernel_case(case)
    p = difference_penalty(order) if penalty == "difference" else derivative_penalty(order)
    fit = Fit(kernels, model(), normalization, smoothing, penalty, order)
    data = np.random.default_rng(order).standard_normal((3, len(d)))
    want = penalised_solution(d, p, smoothing, data)
    np.testing.assert_allclose(fit.apply_last_axis(data), want, atol=1e-9 * np.abs(want).max())
    operator = fit.to_dense()
    np.testing.assert_allclose(operator, penalised_solution(d, p, smoothing, np.eye(len(d))).T,
                               atol=1e-9 * np.abs(operator).max())
    # Column i of the dense operator is the fit of the unit vector e_i.
    np.testing.assert_allclose(fit.apply_last_axis(np.eye(len(d))).T, operator, atol=1e-13 * np.abs(operator).max())


def test_ridge_penalty_scales_by_model_size():
    kernels, normalization, d = kernel_case("points")
    fit = Fit(kernels, model(), normalization, 0.05, "difference", 0)
    n = d.T @ d
    want = np.linalg.solve(n + 0.05 * np.trace(n) / N_MODEL * np.eye(N_MODEL), d.T)
    np.testing.assert_allclose(fit.to_dense(), want, atol=1e-10 * np.abs(want).max())


def test_weight_applies_to_the_design_only():
    kernels, normalization, d = kernel_case("boxes-integral", weight=2.0)
    fit = Fit(kernels, model(), normalization, 0.01, "derivative", 2, weight=2.0)
    np.testing.assert_allclose(dense(fit.design()), d, atol=1e-10)
    want = penalised_solution(d, derivative_penalty(2), 0.01, np.eye(len(d))).T
    np.testing.assert_allclose(fit.to_dense(), want, atol=1e-8 * np.abs(want).max())


def test_smoothing_covers_coefficients_the_data_miss():
    x = sample_points(80, 0.0, 0.5)  # the last model elements see no data
    kernels = Space.deltas(x)
    with pytest.raises(SingularError) as info:
        Fit(kernels, model(), "none", 0.0, "difference", 2)
    assert str(info.value).startswith("pivot ") and str(info.value).endswith(SUFFIX)
    # A difference penalty of order >= n_model is left out: still singular.
    with pytest.raises(SingularError, match=SUFFIX):
        Fit(kernels, model(), "none", 1.0, "difference", N_MODEL)
    d = BSpline.design_matrix(x, KNOTS, DEGREE).toarray()
    data = np.sin(5 * x)[None, :]
    for penalty, order, p in [("difference", 2, difference_penalty(2)), ("derivative", 2, derivative_penalty(2))]:
        fit = Fit(kernels, model(), "none", 1e-3, penalty, order)
        want = penalised_solution(d, p, 1e-3, data)
        np.testing.assert_allclose(fit.apply_last_axis(data), want, rtol=1e-7, atol=1e-9 * np.abs(want).max())


@pytest.mark.parametrize("smoothing, penalty, order", [
    (0.0, "derivative", 2), (-0.0, "difference", 1), (5e-324, "difference", 2), (2.0, "difference", N_MODEL),
    (2.0, "difference", N_MODEL + 5)])
def test_settings_that_leave_the_penalty_out(smoothing, penalty, order):
    kernels, normalization, _ = kernel_case("points")
    plain = Fit(kernels, model(), normalization, 0.0, "difference", 1).to_dense()
    np.testing.assert_array_equal(Fit(kernels, model(), normalization, smoothing, penalty, order).to_dense(), plain)


def test_apply_shapes_and_columns():
    kernels = Space.deltas(sample_points(2000))
    fit = Fit(kernels, model(), "integral", 1e-3, "difference", 2)
    got = fit.apply_last_axis(np.zeros((0, 2000)))
    assert got.shape == (0, N_MODEL) and got.dtype == np.float64
    with pytest.raises(ValueError, match=r"^data has 5 values along the transformed axis, expected 2000$"):
        fit.apply_last_axis(np.zeros((3, 5)))
    with pytest.raises(TypeError, match="'data'"):
        fit.apply_last_axis(np.zeros(2000))
    # Strided input reads the same values as a contiguous copy.
    data = np.random.default_rng(1).standard_normal((6, 4000))[::2, ::2]
    np.testing.assert_array_equal(fit.apply_last_axis(data), fit.apply_last_axis(np.ascontiguousarray(data)))


GOOD = dict(normalization="integral", smoothing=0.1, penalty="difference", order=2, weight=None)


@pytest.mark.parametrize("changes, error, message", [
    (dict(smoothing=-1e-300), ValueError, "smoothing must be finite and >= 0"),
    (dict(smoothing=-1.0), ValueError, "smoothing must be finite and >= 0"),
    (dict(smoothing=math.inf), ValueError, "smoothing must be finite and >= 0"),
    (dict(smoothing=math.nan), ValueError, "smoothing must be finite and >= 0"),
    (dict(penalty="Derivative"), ValueError, 'penalty must be \'derivative\' or \'difference\', got "Derivative"'),
    (dict(penalty='d"\n'), ValueError, 'penalty must be \'derivative\' or \'difference\', got "d\\"\\n"'),
    (dict(normalization="sum"), ValueError, 'normalization must be \'integral\', \'rowsum\' or \'none\', got "sum"'),
    (dict(weight=0.0), ValueError, "bad cosine weight scale 0"),
    (dict(weight=math.nan), ValueError, "bad cosine weight scale NaN"),
    (dict(penalty="derivative", order=4), ValueError,
     "the Derivative(4) penalty is zero for this model (degree too low?)"),
    (dict(penalty="derivative", order=7), ValueError,
     "the Derivative(7) penalty is zero for this model (degree too low?)"),
    # Checks run in a fixed order: conversions, normalization, weight, penalty name, smoothing.
    (dict(normalization="sum", weight=0.0), ValueError, "normalization must be"),
    (dict(weight=math.inf, penalty="x"), ValueError, "bad cosine weight scale inf"),
    (dict(penalty="x", smoothing=-1.0), ValueError, "penalty must be"),
    (dict(smoothing=-1.0, penalty="derivative", order=4), ValueError, "smoothing must be"),
    (dict(normalization="sum", order="2"), TypeError, "'order'"),
    (dict(normalization="sum", smoothing="0.1"), TypeError, "'smoothing'"),
    (dict(normalization=None), TypeError, "'normalization'"),
    (dict(order=-1), OverflowError, "'order'"),
])
def test_bad_arguments(changes, error, message):
    kwargs = {**GOOD, **changes}
    with pytest.raises(error) as info:
        Fit(Space.deltas(sample_points(50)), model(), **kwargs)
    assert type(info.value) is error
    assert str(info.value).startswith(message) or message in str(info.value)


def test_derivative_penalty_needs_polynomial_elements():
    x = sample_points(20)
    with pytest.raises(ValueError, match=r"^only piecewise-polynomial elements have derivatives$"):
        Fit(Space.deltas(x), Space.deltas(x), "none", 0.5, "derivative", 1)
    with pytest.raises(TypeError, match="'model'"):
        Fit(Space.deltas(x), "model", "none", 0.5, "derivative", 1)


def test_signatures_and_docstring():
    assert str(inspect.signature(Fit)) == "(kernels, model, normalization, smoothing, penalty, order, weight=None)"
    assert str(inspect.signature(Fit.apply_last_axis)) == "(self, /, data)"
    assert Fit.apply_last_axis.__doc__.splitlines()[-1] == (
        "Fits each row of data, shape (k, n_data), returning coefficients (k, n_model).")
