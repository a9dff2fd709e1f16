"""Package fits, projections and curves against scipy references."""

import warnings

import numpy as np
import pytest
from scipy.interpolate import BSpline, make_lsq_spline, make_smoothing_spline

import spanlet


def samples(n=200, seed=1):
    rng = np.random.default_rng(seed)
    # Both ends of the domain are samples: the last breakpoint must count.
    x = np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0, 1, n - 2)]))
    return x, np.sin(5 * x) + rng.normal(0, 0.1, n)


def clamped_knots(breakpoints, k):
    return np.r_[[breakpoints[0]] * k, breakpoints, [breakpoints[-1]] * k]


@pytest.mark.parametrize("degree", [1, 2, 3])
def test_lsq_spline_equals_scipy_including_both_ends(degree):
    x, y = samples()
    breakpoints = np.linspace(0, 1, 12)
    ours = spanlet.lsq_spline(x.tolist(), y, breakpoints, degree)
    theirs = make_lsq_spline(x, y, clamped_knots(breakpoints, degree), degree)
    np.testing.assert_allclose(ours.coefficients, theirs.c, rtol=0, atol=1e-11)
    new = np.linspace(0, 1, 301)  # holds both ends
    np.testing.assert_allclose(ours(new), theirs(new), rtol=0, atol=1e-11)
    np.testing.assert_allclose(ours.derivative()(new[:-1]), theirs.derivative()(new[:-1]), rtol=0, atol=1e-9)
    assert ours.integral() == pytest.approx(theirs.integrate(0, 1), abs=1e-12)


def test_the_last_sample_counts_only_in_a_closed_space():
    x, y = samples(40)
    breakpoints = np.linspace(0, 1, 6)
    model = spanlet.Space.bsplines_clamped(breakpoints, 3)
    with pytest.warns(UserWarning, match=r"^1 of 40 kernels see no model element \(kernels 39\); their data are ignored$"):
        open_fit = spanlet.Fit(spanlet.Space.deltas(x), model, "none", 0.0, "difference", 0)
    without_last = spanlet.Fit(spanlet.Space.deltas(x[:-1]), model, "none", 0.0, "difference", 0)
    np.testing.assert_array_equal(open_fit.apply_last_axis(y), without_last.apply_last_axis(y[:-1]))
    with warnings.catch_warnings():
        warnings.simplefilter("error")
        closed = spanlet.Space.bsplines_clamped(breakpoints, 3, closed=True)
        closed_fit = spanlet.Fit(spanlet.Space.deltas(x), closed, "none", 0.0, "difference", 0)
    theirs = make_lsq_spline(x, y, clamped_knots(breakpoints, 3), 3)
    np.testing.assert_allclose(closed_fit.apply_last_axis(y), theirs.c, rtol=0, atol=1e-11)


def test_unseen_kernel_warning_lists_at_most_five():
    model = spanlet.Space.boxes([0, 1])
    with pytest.warns(UserWarning, match=r"^7 of 8 kernels see no model element \(kernels 1, 2, 3, 4, 5, \.\.\.\)"):
        spanlet.Fit(spanlet.Space.deltas([0.5] + [2.0] * 7), model, "none", 0.0, "difference", 0)


@pytest.mark.parametrize("lam", [1e-6, 1e-3, 0.1])
def test_smoothing_spline_equals_scipy(lam):
    # Jittered, not random, sample spacing: the normal equations' condition grows like lam / h^3
    # for the smallest gap h, and random gaps would make rounding, not the method, dominate.
    rng = np.random.default_rng(3)
    x = np.linspace(0, 1, 60)
    x[1:-1] += rng.uniform(-0.3, 0.3, 58) / 60
    y = np.sin(5 * x) + rng.normal(0, 0.1, 60)
    ours = spanlet.smoothing_spline(x, y, lam)
    theirs = make_smoothing_spline(x, y, lam=lam)
    new = np.linspace(0, 1, 257)
    np.testing.assert_allclose(ours(new), theirs(new), rtol=0, atol=1e-9 * np.abs(y).max())
    np.testing.assert_allclose(ours.derivative(2)(new[:-1]), theirs.derivative(2)(new[:-1]), rtol=0,
                               atol=1e-6 * np.abs(theirs.derivative(2)(new)).max())


@pytest.mark.parametrize("order", [0, 1, 2, 3])
def test_pspline_fit_against_dense_normal_equations(order):
    x, y = samples(150, seed=4)
    breakpoints = np.linspace(0, 1, 20)
    model = spanlet.Space.bsplines_clamped(breakpoints, 3, closed=True)
    smoothing = 0.05
    fit = spanlet.Fit(spanlet.Space.deltas(x), model, "none", smoothing, "difference", order)
    # Independent reference: scipy's design matrix and a dense solve.
    B = BSpline.design_matrix(x, clamped_knots(breakpoints, 3), 3).toarray()
    R = np.diff(np.eye(B.shape[1]), order, axis=0)
    alpha = smoothing * np.trace(B.T @ B) / np.trace(R.T @ R)
    want = np.linalg.solve(B.T @ B + alpha * R.T @ R, B.T @ y)
    np.testing.assert_allclose(fit.apply_last_axis(y), want, rtol=0, atol=1e-10)
    # from_lambda gives the absolute weight
    lam_fit = spanlet.Fit.from_lambda(spanlet.Space.deltas(x), model, "none", alpha, "difference", order)
    np.testing.assert_allclose(lam_fit.apply_last_axis(y), want, rtol=0, atol=1e-10)


@pytest.mark.parametrize("lam", [0.0, -1.0, np.nan, np.inf])
def test_from_lambda_zero_and_bad_values(lam):
    x, y = samples(30)
    model = spanlet.Space.bsplines_clamped(np.linspace(0, 1, 5), 3, closed=True)
    kernels = spanlet.Space.deltas(x)
    if lam == 0:
        fit = spanlet.Fit.from_lambda(kernels, model, "none", lam, "derivative", 2)
        assert fit.smoothing == 0
        return
    with pytest.raises(ValueError, match="^lam must be finite and >= 0$"):
        spanlet.Fit.from_lambda(kernels, model, "none", lam, "derivative", 2)


def test_from_lambda_leaves_a_zero_penalty_to_the_native_check():
    model = spanlet.Space.bsplines_clamped([0, 0.5, 1], 1)
    with pytest.raises(ValueError, match=r"the Derivative\(2\) penalty is zero"):
        spanlet.Fit.from_lambda(spanlet.Space.deltas([0, 0.3, 0.7]), model, "none", 1.0, "derivative", 2)


@pytest.mark.parametrize("shape", [(), (3,), (2, 4)])
def test_fits_along_the_last_axis_of_any_shape(shape):
    x, _ = samples(50)
    rng = np.random.default_rng(5)
    data = rng.normal(size=shape + (x.size,))
    fit = spanlet.Fit(spanlet.Space.deltas(x), spanlet.Space.bsplines_clamped(np.linspace(0, 1, 8), 3, closed=True),
                      "none", 1e-3, "difference", 2)
    got = fit.apply_last_axis(data)
    assert got.shape == shape + (fit.n_model,)
    np.testing.assert_array_equal(got.reshape(-1, fit.n_model), fit.native.apply_last_axis(data.reshape(-1, x.size)))
    curve = fit.curve(data)
    new = np.linspace(0, 1, 7).reshape(7, 1)
    assert curve(new).shape == shape + (7, 1)
    for index in np.ndindex(*shape):
        single = spanlet.Spline(fit.model, got[index])
        np.testing.assert_allclose(curve(new)[index], single(new), rtol=0, atol=1e-14)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_data_are_refused_naming_the_argument(bad):
    x, y = samples(30)
    y[7] = bad
    fit = spanlet.Fit(spanlet.Space.deltas(x), spanlet.Space.bsplines_clamped(np.linspace(0, 1, 5), 3, closed=True),
                      "none", 1e-3, "difference", 2)
    message = r" must not hold NaN or inf \(pass check_finite=False to skip this check\)$"
    with pytest.raises(ValueError, match="^data" + message):
        fit.apply_last_axis(y)
    with pytest.raises(ValueError, match="^y" + message):
        spanlet.lsq_spline(x, y, [0, 0.5, 1])
    x_bad = x.copy()
    x_bad[3] = bad
    with pytest.raises(ValueError, match="^x" + message):
        spanlet.smoothing_spline(x_bad, np.zeros_like(x), 0.1)
    projection = spanlet.Projection(spanlet.Space.boxes(x), spanlet.Space.boxes([0, 0.5, 1]))
    with pytest.raises(ValueError, match="^f" + message):
        projection.apply_last_axis(y[1:], bounds="local")
    # Skipping the check hands the data to the native fit unchanged.
    got = fit.apply_last_axis(y, check_finite=False)
    assert not np.isfinite(got).all()


def flux_rebin(edges_in, values, edges_out):
    """Reference rebinning of a piecewise-constant density: differences of its exact integral."""
    cumulative = np.cumsum(values * np.diff(edges_in), axis=-1)
    cumulative = np.concatenate([np.zeros(values.shape[:-1] + (1,)), cumulative], axis=-1)
    at = np.apply_along_axis(lambda c: np.interp(edges_out, edges_in, c), -1, cumulative)
    return np.diff(at, axis=-1) / np.diff(edges_out)


@pytest.mark.parametrize("shape", [(), (2, 3)])
def test_rebinning_a_spectrum_along_the_last_axis(shape):
    rng = np.random.default_rng(6)
    edges_in = np.cumsum(rng.uniform(0.5, 1.5, 301))
    edges_out = np.linspace(edges_in[3], edges_in[-4], 47)
    spectrum = rng.uniform(0, 10, shape + (300,))
    rebin = spanlet.Projection(spanlet.Space.boxes(edges_in), spanlet.Space.boxes(edges_out))
    got = rebin.apply_last_axis(spectrum)
    assert got.shape == shape + (46,)
    np.testing.assert_allclose(got, flux_rebin(edges_in, spectrum, edges_out), rtol=1e-12)


def test_projection_bounds_forms_and_curve():
    src = spanlet.Space.boxes(np.arange(11.0))
    dst = spanlet.Space.hats(np.linspace(0, 10, 7))
    projection = spanlet.Projection(src, dst)
    f = np.where(np.arange(10) < 5, 0.0, 1.0)
    native = projection.native
    np.testing.assert_array_equal(projection.apply_last_axis(f, [0, 1]), native.apply_last_axis(f[None], (0.0, 1.0))[0])
    np.testing.assert_array_equal(projection.apply_last_axis(f, np.array([0.2, 0.8])),
                                  native.apply_last_axis(f[None], (0.2, 0.8))[0])
    local = projection.apply_last_axis(f, "local")
    assert local.min() >= 0 and local.max() <= 1
    with pytest.raises(ValueError, match="^bounds need lo <= hi$"):
        projection.apply_last_axis(f, [1, 0])
    curve = projection.curve(f, "local")
    np.testing.assert_allclose(curve([0.0, 10.0]), [local[0], local[-1]], rtol=0, atol=1e-15)
    assert curve.integral() == pytest.approx(f.sum(), rel=1e-12)  # bounded projections keep the integral


def test_spline_checks_its_coefficients():
    with pytest.raises(ValueError, match=r"^coefficients must have shape \(\.\.\., 2\) for a basis of 2 elements, "
                                         r"got shape \(3,\)$"):
        spanlet.Spline(spanlet.Space.boxes([0, 1, 2]), [1, 2, 3])
    spline = spanlet.Spline(spanlet.Space.boxes([0, 1, 2]), [1, 2])
    with pytest.raises(ValueError):
        spline.coefficients[0] = 5
