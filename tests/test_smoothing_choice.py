"""Sample weights, the weight chosen by GCV and REML, and coefficient uncertainties, against scipy
and dense references."""

import numpy as np
import pytest
import scipy.interpolate._bsplines as scipy_bsplines
import scipy.optimize
from scipy.interpolate import make_lsq_spline, make_smoothing_spline

import spanlet


def curve_data(seed, n=120, noise=0.2):
    rng = np.random.default_rng(seed)
    x = np.sort(np.linspace(0, 1, n) + rng.uniform(-0.3, 0.3, n) / n)  # jittered, never clustered
    x[0], x[-1] = 0.0, 1.0
    return x, np.sin(6 * x) + noise * rng.standard_normal(n), rng


def scipy_gcv_lam(x, y, monkeypatch):
    chosen = {}
    original = scipy_bsplines._compute_optimal_gcv_parameter

    def spy(*args):
        chosen["lam"] = original(*args)
        return chosen["lam"]

    monkeypatch.setattr(scipy_bsplines, "_compute_optimal_gcv_parameter", spy)
    curve = make_smoothing_spline(x, y)
    return chosen["lam"], curve


def dense_gcv(x, y, lam, w=None):
    n = len(x)
    hat = make_smoothing_spline(x, np.eye(n), w=w, lam=lam)(x)  # column j: the fit of unit data j
    r = y - hat @ y
    weights = np.ones(n) if w is None else w
    return n * (weights * r) @ r / (n - np.trace(hat)) ** 2


@pytest.mark.parametrize("seed", range(20))
def test_gcv_choice_matches_scipy(seed, monkeypatch):
    x, y, _ = curve_data(seed)
    curve, choice = spanlet.smoothing_spline(x, y, full_output=True)
    lam, theirs = scipy_gcv_lam(x, y, monkeypatch)
    # scipy's bounded search stops at an absolute tolerance of 1e-5 in lam; ours is finer, so
    # its score can only be lower.
    assert abs(choice.lam - lam) <= 3e-5
    assert dense_gcv(x, y, choice.lam) <= dense_gcv(x, y, lam) * (1 + 1e-12)
    t = np.linspace(x[0], x[-1], 300)
    same_lam = make_smoothing_spline(x, y, lam=choice.lam)
    np.testing.assert_allclose(curve(t), same_lam(t), rtol=0, atol=1e-8)
    np.testing.assert_allclose(curve(t), theirs(t), rtol=0, atol=1e-3)


def test_gcv_choice_is_the_dense_minimum():
    x, y, _ = curve_data(99, n=60)
    choice = spanlet.smoothing_spline(x, y, full_output=True)[1]
    best = scipy.optimize.minimize_scalar(lambda t: dense_gcv(x, y, np.exp(t)), bracket=(np.log(choice.lam) - 1,
                                          np.log(choice.lam) + 1), tol=1e-10)
    assert choice.lam == pytest.approx(np.exp(best.x), rel=1e-5)
    assert choice.score == pytest.approx(best.fun, rel=1e-10)


def test_scipy_smoothing_test_data(monkeypatch):
    # the data of scipy's own smoothing-spline tests
    rng = np.random.RandomState(1234)
    n = 100
    x = np.sort(rng.random_sample(n) * 4 - 2)
    y = x ** 2 * np.sin(4 * x) + x ** 3 + rng.normal(0.0, 1.5, n)
    choice = spanlet.smoothing_spline(x, y, full_output=True)[1]
    lam, _ = scipy_gcv_lam(x, y, monkeypatch)
    assert abs(choice.lam - lam) <= 3e-5 + 1e-3 * lam
    assert dense_gcv(x, y, choice.lam) <= dense_gcv(x, y, lam) * (1 + 1e-12)


def dense_reml(x, y, lam):
    # Textbook restricted likelihood of y = B c + e, e ~ N(0, phi), penalty lam c'Pc of rank r,
    # scale profiled out; -2 log L_R without the constant log|P|+.
    model = spanlet.Space.bsplines_clamped(x, 3, closed=True)
    b = spanlet.evaluate(model, x).toarray()
    d2 = model.derivative(2)
    p = spanlet.inner_products(d2, d2).toarray()
    n, m, null = len(x), b.shape[1], 2
    a = b.T @ b + lam * p
    c = np.linalg.solve(a, b.T @ y)
    phi = ((y - b @ c) @ (y - b @ c) + lam * c @ p @ c) / (n - null)
    return (n - null) * (1 + np.log(2 * np.pi * phi)) + np.linalg.slogdet(a)[1] - (m - null) * np.log(lam)


def test_reml_matches_the_dense_formula():
    x, y, _ = curve_data(5, n=80)
    choice = spanlet.smoothing_spline(x, y, method="reml", full_output=True)[1]
    assert choice.score == pytest.approx(dense_reml(x, y, choice.lam), rel=1e-9)
    best = scipy.optimize.minimize_scalar(lambda t: dense_reml(x, y, np.exp(t)),
                                          bracket=(np.log(choice.lam) - 1, np.log(choice.lam) + 1), tol=1e-10)
    assert choice.lam == pytest.approx(np.exp(best.x), rel=1e-5)


@pytest.mark.parametrize("lam", [1e-6, 1e-4, 1e-2])
def test_weighted_smoothing_spline_equals_scipy(lam):
    x, y, rng = curve_data(3, n=80)
    w = rng.uniform(0.2, 3.0, len(x))
    t = np.linspace(x[0], x[-1], 200)
    ours = spanlet.smoothing_spline(x, y, lam, w=w)
    np.testing.assert_allclose(ours(t), make_smoothing_spline(x, y, w=w, lam=lam)(t), rtol=0, atol=1e-10)
    same = spanlet.smoothing_spline(x, y, lam, variance=1 / w)
    np.testing.assert_allclose(same(t), ours(t), rtol=0, atol=1e-13)


@pytest.mark.parametrize("degree", [1, 2, 3])
def test_weighted_lsq_spline_equals_scipy(degree):
    x, y, rng = curve_data(4, n=90)
    w = rng.uniform(0.2, 3.0, len(x))
    breaks = np.linspace(x[0], x[-1], 9)
    knots = np.r_[[breaks[0]] * degree, breaks, [breaks[-1]] * degree]
    t = np.linspace(x[0], x[-1], 200)
    ours = spanlet.lsq_spline(x, y, breaks, degree, w=w)
    np.testing.assert_allclose(ours(t), make_lsq_spline(x, y, knots, degree, w=w)(t), rtol=0, atol=1e-12)


def test_curve_std_equals_the_dense_formula():
    x, y, _ = curve_data(7, n=500)
    curve = spanlet.smoothing_spline(x, y, 1e-4, std=True)
    model = curve.basis
    b = spanlet.evaluate(model, x).toarray()
    d2 = model.derivative(2)
    a = b.T @ b + 1e-4 * spanlet.inner_products(d2, d2).toarray()
    cov = np.linalg.inv(a)
    hat = b @ cov @ b.T
    sigma2 = np.sum((y - hat @ y) ** 2) / (len(x) - np.trace(hat))
    t = np.linspace(x[0], x[-1], 400)
    bt = spanlet.evaluate(model, t).toarray()
    want = np.sqrt(sigma2 * np.einsum("ij,jk,ik->i", bt, cov, bt))
    np.testing.assert_allclose(curve.std(t), want, rtol=1e-10)


def test_unpenalised_covariance_is_the_propagated_one():
    x, y, rng = curve_data(8, n=200)
    variance = rng.uniform(0.01, 0.05, len(x))
    breaks = np.linspace(x[0], x[-1], 12)
    fit = spanlet.Fit(spanlet.Space.deltas(x), spanlet.Space.bsplines_clamped(breaks, 3, closed=True), "none", 0.0,
                      "difference", 2, variance=variance)
    operator = fit.to_dense()
    want = operator @ np.diag(variance) @ operator.T
    np.testing.assert_allclose(fit.covariance(full=True), want, rtol=1e-10, atol=1e-14)
    band = fit.covariance()
    np.testing.assert_allclose(band.toarray()[band.toarray() != 0], want[band.toarray() != 0], rtol=1e-10)
    assert fit.effective_dof() == pytest.approx(len(breaks) + 2, rel=1e-12)


def test_refuses_smoothing_that_rounding_swamps():
    # 30,000 samples of a gentle curve ask for a relative smoothing near 1e14, where only about
    # three digits of the fitted curve survive rounding in the normal equations.
    x = np.linspace(0, 1, 30_000)
    y = np.sin(6 * x) + 0.2 * np.random.default_rng(0).standard_normal(x.size)
    with pytest.raises(ValueError, match="rounding swamps the data in the normal equations"):
        spanlet.smoothing_spline(x, y)
    # The same samples spread over a wider range with a faster curve are resolved.
    curve, choice = spanlet.smoothing_spline(3000 * x, np.sin(x * 600) + y - np.sin(6 * x), full_output=True)
    assert choice.smoothing < 1e10 and np.abs(curve(3000 * x[::97]) - np.sin(600 * x[::97])).max() < 0.1


def test_noise_alone_ends_near_the_straight_line():
    x = np.linspace(0, 1, 2000)
    choice = spanlet.smoothing_spline(x, np.random.default_rng(1).standard_normal(x.size), full_output=True)[1]
    assert 2.0 <= choice.edf <= 2.5
