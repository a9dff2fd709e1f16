"""Penalised fit of scattered point data with clamped cubic B-splines.

Times Fit (construction plus one fit, and fits of many rows) against
scipy.interpolate.make_lsq_spline on the same points and knots, with its banded normal-equation
method (its default QR method is far slower at these sizes). Ours carries a small second-order
difference penalty; scipy's fit is unpenalised, so the coefficients differ slightly (printed).
Ratios are ours / scipy: below 1 means we are faster.
"""

import numpy as np
from scipy.interpolate import make_lsq_spline

from spanlet._spanlet import Fit, Space
from timing import median_time


def run(n_data=1_000_000, n_model=10_000, rows=100, repeats=5, smoothing=1e-6, growth=(1_000, 10_000, 100_000)):
    rng = np.random.default_rng(0)
    x = np.sort(rng.uniform(0.0, 1.0, n_data))
    y = np.sin(12.0 * x) + 0.1 * rng.standard_normal(n_data)
    breaks = np.linspace(0.0, 1.0, n_model - 2)
    knots = np.concatenate([[0.0] * 3, breaks, [1.0] * 3])
    kernels, model = Space.deltas(x), Space.bsplines_clamped(breaks, 3)
    print(f"fit: {n_data} points, {n_model} clamped cubic B-splines, difference(2) penalty, smoothing {smoothing}")

    def ours_once():
        return Fit(kernels, model, "none", smoothing, "difference", 2).apply_last_axis(y[None, :])[0]

    ours, got = median_time(ours_once, repeats)
    theirs, want = median_time(lambda: make_lsq_spline(x, y, knots, 3, method="norm-eq").c, repeats)
    print(f"  max coefficient difference to scipy, relative: {np.abs(got - want).max() / np.abs(want).max():.2e}")
    print(f"  build + 1 fit          ours {ours * 1e3:9.1f} ms  scipy {theirs * 1e3:9.1f} ms  ratio {ours / theirs:6.2f}")

    fit = Fit(kernels, model, "none", smoothing, "difference", 2)
    data = y + 0.1 * rng.standard_normal((rows, n_data))
    columns = np.ascontiguousarray(data.T)  # scipy takes y of shape (n, rows)
    apply = median_time(lambda: fit.apply_last_axis(data), repeats)[0]
    build_apply = median_time(
        lambda: Fit(kernels, model, "none", smoothing, "difference", 2).apply_last_axis(data), repeats)[0]
    theirs = median_time(lambda: make_lsq_spline(x, columns, knots, 3, method="norm-eq"), repeats)[0]
    for label, seconds in (("apply", apply), ("build+apply", build_apply)):
        print(f"  {rows:4d} rows, {label:11s} ours {seconds * 1e3:9.1f} ms  scipy {theirs * 1e3:9.1f} ms  "
              f"ratio {seconds / theirs:6.2f}")
    run_growth(growth, repeats, smoothing)


def run_growth(sizes, repeats, smoothing, points_per_element=10):
    """Build + one fit as the model grows, ten data points per model element."""
    print(f"fit growth: n clamped cubic B-splines, {points_per_element} n points")
    rng = np.random.default_rng(1)
    for n in sizes:
        x = np.sort(rng.uniform(0.0, 1.0, points_per_element * n))
        y = np.sin(12.0 * x) + 0.1 * rng.standard_normal(len(x))
        breaks = np.linspace(0.0, 1.0, n - 2)
        knots = np.concatenate([[0.0] * 3, breaks, [1.0] * 3])
        kernels, model = Space.deltas(x), Space.bsplines_clamped(breaks, 3)
        count = repeats if n < 100_000 else 1
        ours = median_time(
            lambda: Fit(kernels, model, "none", smoothing, "difference", 2).apply_last_axis(y[None, :]), count)[0]
        theirs = median_time(lambda: make_lsq_spline(x, y, knots, 3, method="norm-eq"), count)[0]
        print(f"  n = {n:7d}   ours {ours * 1e3:9.1f} ms  scipy {theirs * 1e3:9.1f} ms  ratio {ours / theirs:6.2f}  "
              f"({ours / n * 1e6:.2f} us per element)")

if __name__ == "__main__":
    run()
