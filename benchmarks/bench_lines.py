"""Joint fits of many Voigt lines over a cubic continuum: spanlet.fit_lines through pixels and
through FTS line shapes, and side by side with lmfit on a small spectrum.

Many lines: every line has center, sigma, gamma and area free; the start is off by up to 0.3 line
widths in center and 30 % in each width. The time per iteration is set against one ``measure`` plus
one ``measure_derivative`` of the same lines and kernels (an iteration needs a derivative for each
of the three shape parameters, the first of which also gives the model).

Against lmfit: the same kind of data with a few lines, fitted by lmfit as a sum of VoigtModel and a
SplineModel at the pixel centres (lmfit has no pixel integration; its Jacobian is numerical).
"""

import resource

import numpy as np

import spanlet
from timing import median_time


def spectrum(n_lines, n_obs, n_cont, kind, span, seed=0):
    """Observations, data, the true lines and a perturbed start on [0, span]."""
    rng = np.random.default_rng(seed)
    # Lines at least five widths apart: blends closer than a width are not identifiable from any start.
    spacing = 0.96 * span / n_lines
    centers = 0.02 * span + spacing * (np.arange(n_lines) + 0.5 + rng.uniform(-0.3, 0.3, n_lines))
    sigma = rng.uniform(0.015, 0.03, n_lines)
    gamma = rng.uniform(0.01, 0.025, n_lines)
    areas = rng.uniform(0.02, 0.1, n_lines)
    if kind == "pixels":
        obs = spanlet.Space.boxes(np.linspace(0.0, span, n_obs + 1))
    else:
        # Spectral samples at the Nyquist spacing of the instrument: half width = spacing.
        grid = np.linspace(0.0, span, n_obs)
        obs = spanlet.Space.fts(grid, 0.5 / (grid[1] - grid[0]), 6, "norton_beer_strong")
    cont = spanlet.Space.bsplines_clamped(np.linspace(-0.05 * span, 1.05 * span, n_cont - 2), 3)
    truth = spanlet.Lines("voigt", centers, areas, cutoff=10, sigma=sigma, gamma=gamma)
    space = truth.space()
    data = (spanlet.measure(obs, space, "integral") @ (areas / space.integrals())
            + spanlet.measure(obs, cont, "integral") @ (1.0 + 0.1 * np.sin(np.arange(n_cont))))
    data += rng.normal(0.0, 0.002, data.size)
    fwhm = 2 * (0.5346 * gamma + np.sqrt(0.2166 * gamma ** 2 + (spanlet.FWHM_PER_SIGMA * sigma / 2) ** 2))
    start = dict(center=centers + 0.3 * fwhm * rng.uniform(-1, 1, n_lines),
                 sigma=sigma * (1 + 0.3 * rng.uniform(-1, 1, n_lines)),
                 gamma=gamma * (1 + 0.3 * rng.uniform(-1, 1, n_lines)))
    return obs, cont, data, truth, start


def many_lines(n_lines, n_obs, n_cont, kind, span, max_iterations, repeats):
    obs, cont, data, truth, start = spectrum(n_lines, n_obs, n_cont, kind, span)
    lines = spanlet.Lines("voigt", start["center"], cutoff=10, sigma=start["sigma"], gamma=start["gamma"])
    seconds, fit = median_time(lambda: spanlet.fit_lines(data, obs, lines, cont, max_iterations=max_iterations),
                               repeats)
    space = truth.space()
    # The pair is short beside the fit, whose time spreads over its iterations: a median of
    # several pairs keeps one slow call from setting the ratio.
    one, _ = median_time(lambda: (spanlet.measure(obs, space, "integral"),
                                  spanlet.measure_derivative(space, obs, "integral", "center")), max(repeats, 5))
    per_iteration = seconds / max(fit.iterations, 1)
    got = fit.lines[0].values
    off = np.max(np.abs(got["center"] - truth.values["center"]) / fit.errors[0]["center"]) if fit.success else np.nan
    print(f"fit_lines: {n_lines} Voigt lines (center, sigma, gamma, area) + {n_cont} cubic continuum "
          f"coefficients, {n_obs} {kind}, {fit.x.size} free parameters")
    print(f"  status {fit.status!r} after {fit.iterations} iterations, rms residual {np.sqrt(fit.chi2 / fit.dof):.2e} (noise 2e-3), "
          f"worst center off by {off:.2f} sigma")
    print(f"  spanlet.fit_lines total           {seconds * 1e3:10.1f} ms")
    print(f"  per iteration                     {per_iteration * 1e3:10.1f} ms")
    print(f"  measure + measure_derivative      {one * 1e3:10.1f} ms")
    print(f"  ratio per iteration / one pair    {per_iteration / one:10.2f} (goal <= 3)")
    return fit, per_iteration / one


def against_lmfit(n_lines, n_obs, n_cont, repeats):
    try:
        import lmfit.models as models
    except ImportError:
        print("lmfit is not installed: no side-by-side timing")
        return None
    obs, cont, data, truth, start = spectrum(n_lines, n_obs, n_cont, "pixels", n_obs / 100, seed=1)
    lines = spanlet.Lines("voigt", start["center"], cutoff=10, sigma=start["sigma"], gamma=start["gamma"])
    ours, fit = median_time(lambda: spanlet.fit_lines(data, obs, lines, cont), repeats)

    x = obs.centers()
    knots = np.linspace(x[0], x[-1], n_cont - 2)
    model = models.SplineModel(knots, prefix="c_")
    for i in range(n_lines):
        model += models.VoigtModel(prefix=f"l{i}_")
    params = model.make_params()
    for name in params:
        if name.startswith("c_"):
            params[name].set(value=1.0)
    for i in range(n_lines):
        params[f"l{i}_center"].set(value=start["center"][i])
        params[f"l{i}_sigma"].set(value=start["sigma"][i], min=1e-6)
        params[f"l{i}_gamma"].set(value=start["gamma"][i], vary=True, expr="", min=1e-6)
        params[f"l{i}_amplitude"].set(value=0.05)
    theirs, peer = median_time(lambda: model.fit(data, params, x=x), repeats)
    sigma_ours = fit.lines[0].values["sigma"] - truth.values["sigma"]
    sigma_peer = np.array([peer.params[f"l{i}_sigma"].value for i in range(n_lines)]) - truth.values["sigma"]
    print(f"against lmfit: {n_lines} Voigt lines + {n_cont} cubic continuum coefficients, {n_obs} pixels")
    print(f"  spanlet.fit_lines (exact pixels)  {ours * 1e3:10.1f} ms  ({fit.iterations} iterations, "
          f"{fit.status})")
    print(f"  lmfit at pixel centres            {theirs * 1e3:10.1f} ms  ({peer.nfev} evaluations, "
          f"success {peer.success})")
    print(f"  ratio ours/theirs                 {ours / theirs:10.3f}")
    print(f"  mean sigma - truth: spanlet {sigma_ours.mean():+.5f}, lmfit {sigma_peer.mean():+.5f}")
    return ours / theirs


def run(lines=1000, pixels=100_000, fts=20_000, continuum=40, fts_iterations=100, peer_lines=10,
        peer_pixels=1000, peer_continuum=8, repeats=1):
    span = pixels / 100                   # the same lines, 100 pixels per unit
    many_lines(lines, pixels, continuum, "pixels", span, 100, repeats)
    many_lines(lines, fts, continuum, "FTS line shapes", span, fts_iterations, repeats)
    against_lmfit(peer_lines, peer_pixels, peer_continuum, repeats)
    peak = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss / 1024
    print(f"peak resident memory {peak:.0f} MB")


if __name__ == "__main__":
    run()
