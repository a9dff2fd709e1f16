"""Line-spectrum fits: against lmfit on one line, error coverage over synthetic spectra, constraints
and the messages for bad inputs."""

import numpy as np
import pytest

import spanlet

X = np.linspace(-5.0, 5.0, 201)
# A flat continuum over a slightly wider range than the samples (so the last sample sees it).
FLAT = spanlet.Space.bsplines_clamped([-6.0, 6.0], 0)


@pytest.mark.parametrize("profile,peer,shape,ours", [
    ("gaussian", "GaussianModel", dict(sigma=0.4), lambda s: dict(sigma=s["sigma"])),
    ("lorentzian", "LorentzianModel", dict(sigma=0.3), lambda s: dict(hwhm=s["sigma"])),
    ("voigt", "VoigtModel", dict(sigma=0.3, gamma=0.2), lambda s: dict(sigma=s["sigma"], gamma=s["gamma"])),
])
def test_single_line_on_points_agrees_with_lmfit(profile, peer, shape, ours):
    models = pytest.importorskip("lmfit.models")
    model = getattr(models, peer)() + models.ConstantModel()

    def params(scale, amplitude, center, c):
        p = model.make_params(amplitude=amplitude, center=center, c=c, **{k: v * scale for k, v in shape.items()})
        if "gamma" in shape:
            p["gamma"].set(value=shape["gamma"] * scale, vary=True, expr="")
        return p

    y = model.eval(params(1.0, 2.0, 0.2, 0.5), x=X) + np.random.default_rng(1).normal(0, 0.02, X.size)
    # A forward-difference step near the rounding level lets lmfit reach the same minimum.
    peer_fit = model.fit(y, params(1.2, 1.5, 0.1, 0.4), x=X,
                         fit_kws=dict(xtol=1e-15, ftol=1e-15, gtol=1e-15, epsfcn=1e-14))
    start = ours({k: v * 1.2 for k, v in shape.items()})
    lines = spanlet.Lines(profile, [0.1], cutoff=200, **start)   # the cut lies beyond the samples
    fit = spanlet.fit_lines(y, spanlet.Space.deltas(X), lines, FLAT)
    assert fit.success, fit.message
    got = fit.lines[0].values
    for name in shape:
        mine = got["hwhm" if profile == "lorentzian" else name][0]
        assert mine == pytest.approx(peer_fit.params[name].value, rel=1e-6)
        err = fit.errors[0]["hwhm" if profile == "lorentzian" else name][0]
        assert err == pytest.approx(peer_fit.params[name].stderr, rel=1e-3)  # lmfit differentiates numerically
    assert got["center"][0] == pytest.approx(peer_fit.params["center"].value, rel=1e-6)
    # Our area is that of the cut line; compare heights instead.
    peak = got["area"][0] / fit.lines[0].space().integrals()[0]
    peer_peak = peer_fit.eval(x=got["center"]) - peer_fit.params["c"].value
    assert peak == pytest.approx(peer_peak[0], rel=1e-6)
    assert fit.continuum.coefficients[0] == pytest.approx(peer_fit.params["c"].value, rel=1e-6)
    assert fit.chi2 == pytest.approx(peer_fit.chisqr, rel=1e-9)
    assert fit.dof == peer_fit.nfree


def _spectra(observations, count, seed, noise=0.01):
    """Fits of `count` noisy spectra of one Gaussian line over a flat continuum."""
    truth_space = spanlet.Space.gaussians([0.1], 0.2, 6)
    flat = spanlet.Space.bsplines_clamped([-5.0, 5.0], 0)
    clean = (spanlet.measure(observations, truth_space, "integral") @ [1.0]
             + spanlet.measure(observations, flat, "integral") @ [0.2])
    truth = {"center": 0.1, "sigma": 0.2, "area": truth_space.integrals()[0]}
    rng = np.random.default_rng(seed)
    values, errors = {k: [] for k in truth}, {k: [] for k in truth}
    for _ in range(count):
        data = clean + rng.normal(0, noise, clean.size)
        fit = spanlet.fit_lines(data, observations, spanlet.Lines("gaussian", [0.05], sigma=0.23, cutoff=6), flat,
                                variances=noise ** 2)
        assert fit.success, fit.message
        for k in truth:
            values[k].append(fit.lines[0].values[k][0])
            errors[k].append(fit.errors[0][k][0])
    return truth, {k: np.array(v) for k, v in values.items()}, {k: np.array(v) for k, v in errors.items()}


def test_errors_cover_the_truth_through_pixels_and_fts_line_shapes():
    # 100 spectra seen by wide pixels (a pixel is 0.6 FWHM) and 100 by FTS line shapes of about
    # the line's width: the linearised errors must be honest in both.
    pixels = spanlet.Space.boxes(np.linspace(-4, 4, 33))
    fts = spanlet.Space.fts(np.linspace(-2.5, 2.5, 21), 2.0, 4, "norton_beer_strong")
    # Binomial spread of a 200-spectrum fraction is 3.3 %: the tolerances are statistical, the seeds fixed.
    parts = [_spectra(pixels, 100, 5), _spectra(fts, 100, 6)]
    truth = parts[0][0]
    for name in ("center", "sigma", "area"):
        pull = np.concatenate([(v[name] - truth[name]) / e[name] for _, v, e in parts])
        assert np.mean(np.abs(pull) < 1) == pytest.approx(0.68, abs=0.05), name
        assert np.mean(np.abs(pull) < 2) == pytest.approx(0.95, abs=0.03), name


def test_exact_pixels_remove_the_bias_of_a_pixel_centre_fit():
    edges = np.linspace(-4, 4, 33)
    pixels = spanlet.Space.boxes(edges)
    truth, exact, exact_err = _spectra(pixels, 40, 2)
    # The same data fitted as if the pixel means were point values at the pixel centres.
    centres = spanlet.Space.deltas(0.5 * (edges[1:] + edges[:-1]))
    flat = spanlet.Space.bsplines_clamped([-5.0, 5.0], 0)
    rng = np.random.default_rng(2)
    truth_space = spanlet.Space.gaussians([0.1], 0.2, 6)
    clean = spanlet.measure(pixels, truth_space, "integral") @ [1.0] + 0.2
    sigmas = []
    for _ in range(40):
        data = clean + rng.normal(0, 0.01, clean.size)
        fit = spanlet.fit_lines(data, centres, spanlet.Lines("gaussian", [0.05], sigma=0.23, cutoff=6), flat)
        sigmas.append(fit.lines[0].values["sigma"][0])
    spread = exact_err["sigma"].mean() / np.sqrt(40)
    assert abs(exact["sigma"].mean() - truth["sigma"]) < 3 * spread
    # Sampling at centres sees the line broadened by the pixel: sigma^2 + width^2 / 12.
    assert np.mean(sigmas) - truth["sigma"] == pytest.approx(np.sqrt(0.04 + 0.25 ** 2 / 12) - 0.2, abs=3 * spread)


@pytest.mark.parametrize("profile,shape", [
    ("voigt", dict(sigma=0.12, gamma=0.08)),
    ("pseudo_voigt", dict(hwhm=0.15, eta=0.4)),
    ("super_gaussian", dict(hwhm_left=0.2, hwhm_right=0.3, power=3.0)),
    ("smoothed_box", dict(half_width=0.3, sigma=0.05)),
    ("lorentzian", dict(hwhm=0.1)),
])
def test_noiseless_lines_of_every_family_are_recovered(profile, shape):
    # Two lines through an FTS-like blur of pixels; from a start 10 % off, every parameter comes back.
    pixels = spanlet.Space.boxes(np.linspace(0, 10, 401))
    truth = spanlet.Lines(profile, [3.0, 6.5], area=[1.0, 0.6], cutoff=12, **shape)
    space = truth.space()
    areas = np.array([1.0, 0.6])
    data = spanlet.measure(pixels, space, "integral") @ (areas / space.integrals())
    start = {k: np.asarray(v) * 1.1 if k != "eta" else 0.5 for k, v in shape.items()}
    if profile == "super_gaussian":
        start["power"] = 2.7
    fit = spanlet.fit_lines(data, pixels, spanlet.Lines(profile, [3.03, 6.47], cutoff=12, **start))
    assert fit.success, fit.message
    for name in ("center",) + tuple(shape):
        np.testing.assert_allclose(fit.lines[0].values[name], truth.values[name] * np.ones(2), rtol=1e-6, err_msg=name)
    np.testing.assert_allclose(fit.lines[0].values["area"], areas, rtol=1e-6)


def test_ties_fixed_parameters_and_bounds():
    pixels = spanlet.Space.boxes(np.linspace(0, 20, 801))
    centers = np.array([4.0, 9.0, 15.0])
    sigma = 0.02 * centers                     # Doppler widths proportional to the position
    space = spanlet.Space.voigts(centers, sigma, 0.05, 15)
    data = spanlet.measure(pixels, space, "integral") @ [1.0, 0.5, 0.8] + 0.3
    cont = spanlet.Space.bsplines_clamped(np.linspace(-1, 21, 4), 3)
    start = dict(sigma=0.025 * centers, gamma=0.06)
    fit = spanlet.fit_lines(data, pixels, spanlet.Lines("voigt", centers + 0.02, cutoff=15, amplitude="peak",
                                                         tie={"sigma": "proportional", "gamma": "shared"}, **start),
                            cont)
    assert fit.success, fit.message
    np.testing.assert_allclose(fit.lines[0].values["sigma"], sigma, rtol=1e-7)
    np.testing.assert_allclose(fit.lines[0].values["gamma"], 0.05, rtol=1e-7)
    np.testing.assert_allclose(fit.lines[0].values["area"], [1.0, 0.5, 0.8], rtol=1e-7)  # peaks
    assert [name for _, name, line in fit.names if line is None] == ["sigma/center", "gamma"]
    assert len(fit.x) == 3 + 2 + 3 + 6         # centers, ratio and gamma, peaks, continuum
    # The width of a tied line carries the error of the ratio and of its own center.
    ratio_err = fit.stderr[[i for i, (_, n, _) in enumerate(fit.names) if n == "sigma/center"][0]]
    assert fit.errors[0]["sigma"][0] == pytest.approx(ratio_err * 4.0, rel=0.05)

    # Fixed gamma stays put; an upper bound on sigma ends on the bound.
    fixed = spanlet.fit_lines(data, pixels, spanlet.Lines("voigt", centers, cutoff=15, fixed="gamma",
                                                           bounds={"sigma": (0, 0.2)}, sigma=0.1, gamma=0.07), cont)
    np.testing.assert_array_equal(fixed.lines[0].values["gamma"], 0.07)
    assert fixed.errors[0]["gamma"].tolist() == [0, 0, 0]
    assert (fixed.lines[0].values["sigma"] <= 0.2).all() and fixed.lines[0].values["sigma"][2] == 0.2


def test_fit_reports_non_convergence():
    pixels = spanlet.Space.boxes(np.linspace(0, 10, 201))
    data = spanlet.measure(pixels, spanlet.Space.gaussians([5.0], 0.3, 8), "integral") @ [1.0]
    fit = spanlet.fit_lines(data, pixels, spanlet.Lines("gaussian", [5.4], sigma=0.6), max_iterations=1)
    assert fit.status == "max_iterations" and not fit.success
    assert "without converging" in fit.message and fit.iterations == 1


def test_residuals_model_and_weights():
    pixels = spanlet.Space.boxes(np.linspace(0, 10, 101))
    rng = np.random.default_rng(3)
    data = spanlet.measure(pixels, spanlet.Space.gaussians([5.0], 0.3, 8), "integral") @ [1.0] + rng.normal(0, .01, 100)
    lines = spanlet.Lines("gaussian", [5.1], sigma=0.35)
    plain = spanlet.fit_lines(data, pixels, lines)
    np.testing.assert_allclose(plain.residuals, data - plain.model)
    assert plain.chi2 == pytest.approx(np.sum(plain.residuals ** 2))
    # Uniform weights change chi-square but neither the optimum nor the rescaled errors.
    weighted = spanlet.fit_lines(data, pixels, lines, weights=np.full(100, 4.0))
    np.testing.assert_allclose(weighted.x, plain.x, rtol=1e-7)
    np.testing.assert_allclose(weighted.stderr, plain.stderr, rtol=1e-6)
    # Known variances: errors are not rescaled by the reduced chi-square.
    known = spanlet.fit_lines(data, pixels, lines, variances=1e-4)
    np.testing.assert_allclose(known.stderr, 0.01 * plain.stderr / np.sqrt(plain.chi2 / plain.dof), rtol=1e-6)


def test_find_lines_gives_starting_values():
    x = np.linspace(0, 20, 2001)
    centers, sigmas, heights = [4.0, 9.5, 15.0], [0.2, 0.1, 0.3], [1.0, 2.0, 0.5]
    y = 0.4 + sum(h * np.exp(-0.5 * ((x - c) / s) ** 2) for c, s, h in zip(centers, sigmas, heights))
    found = spanlet.find_lines(x, y, 0.2)
    np.testing.assert_allclose(found.center, centers, atol=0.01)
    np.testing.assert_allclose(found.hwhm, np.array(sigmas) * np.sqrt(2 * np.log(2)), rtol=0.02)
    np.testing.assert_allclose(found.height, heights, rtol=0.02)
    dips = spanlet.find_lines(x, 1 - (y - 0.4), 0.2, absorption=True)
    np.testing.assert_allclose(dips.height, -np.array(heights), rtol=0.02)


GOOD = dict(center=[1.0, 2.0], sigma=0.1)


@pytest.mark.parametrize("make,message", [
    (lambda: spanlet.Lines("voigt", [], sigma=1, gamma=1), "center: no lines given"),
    (lambda: spanlet.fit_lines(np.ones(10), spanlet.Space.boxes(np.arange(11.0)), []), "lines: no lines given"),
    (lambda: spanlet.Lines("gaussian", [1.0, 2.0], sigma=[0.1, 0.2, 0.3]), "sigma has 3 values for 2 lines"),
    (lambda: spanlet.Lines("gaussian", [1.0, 2.0], area=[1, 2, 3], sigma=0.1), "area has 3 values for 2 lines"),
    (lambda: spanlet.Lines("gaussian", **GOOD, bounds={"sigma": (-1, 1)}),
     "bounds: the lower bound of the width 'sigma' must be >= 0, got -1"),
    (lambda: spanlet.Lines("gaussian", **GOOD, bounds={"sigma": (0.2, 1)}),
     "bounds: the starting sigma 0.1 of line 0 lies outside [0.2, 1.0]"),
    (lambda: spanlet.Lines("gaussian", [1.0], sigma=-0.1), "sigma must be > 0, got -0.1"),
    (lambda: spanlet.Lines("gaussian", [1.0], gamma=0.1), "takes the shape parameters sigma: missing sigma"),
    (lambda: spanlet.Lines("gauss", [1.0], sigma=0.1), "profile must be one of"),
    (lambda: spanlet.Lines("gaussian", **GOOD, fixed="gamma"), "fixed: 'gamma' is not a parameter"),
    (lambda: spanlet.Lines("gaussian", **GOOD, tie={"sigma": "common"}), "tie: 'sigma' must be tied as"),
    (lambda: spanlet.fit_lines(np.ones(10), spanlet.Space.boxes(np.arange(11.0)),
                               spanlet.Lines("gaussian", [12.0], sigma=0.5)),
     "lines: the center 12.0 of line 0 (group 0) lies outside the data [0.0, 10.0]"),
    (lambda: spanlet.fit_lines(np.ones(9), spanlet.Space.boxes(np.arange(11.0)), spanlet.Lines("gaussian", **GOOD)),
     "data has 9 values for 10 observations"),
    (lambda: spanlet.fit_lines(np.r_[np.nan, np.ones(9)], spanlet.Space.boxes(np.arange(11.0)),
                               spanlet.Lines("gaussian", **GOOD)), "data must not hold NaN or inf"),
    (lambda: spanlet.fit_lines(np.ones(10), spanlet.Space.boxes(np.arange(11.0)), spanlet.Lines("gaussian", **GOOD),
                               variances=np.zeros(10)), "variances must be finite and > 0"),
    (lambda: spanlet.fit_lines(np.ones(3), spanlet.Space.deltas([0.0, 5.0, 10.0]),
                               spanlet.Lines("gaussian", [2.5], sigma=0.1, cutoff=3)),
     "lines: line 0 (group 0) at 2.5 is not seen by any observation"),
    (lambda: spanlet.find_lines([0, 1, 2], [1, 2], 0.1), "y has 2 values for 3 positions x"),
])
def test_bad_inputs_name_the_argument(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert message in str(info.value)


def test_covariance_inverts_what_the_data_determine_and_marks_the_rest():
    # A continuum coefficient beyond the data has an empty column in the normal matrix: its
    # variance is infinite, and the rest equals the inverse of the determined block.
    from spanlet.lines import _inverse
    rng = np.random.default_rng(4)
    J = rng.normal(size=(30, 5))
    J[:, 2] = 0.0
    A = J.T @ J
    inv = _inverse(A)
    keep = [0, 1, 3, 4]
    np.testing.assert_allclose(inv[np.ix_(keep, keep)], np.linalg.inv(A[np.ix_(keep, keep)]), rtol=1e-12)
    assert np.isinf(inv[2, 2]) and np.isnan(inv[2, keep]).all() and np.isnan(inv[keep, 2]).all()
    np.testing.assert_allclose(_inverse(A[np.ix_(keep, keep)]), np.linalg.inv(A[np.ix_(keep, keep)]), rtol=1e-12)
