"""Smoothing chosen by GCV: smoothing_spline(x, y, lam=None) against
scipy.interpolate.make_smoothing_spline(x, y, lam=None) on the same noisy samples.

Also times one fit at a given lam (ours) at each size: the GCV search should stay within a
small multiple of it and grow linearly in n. scipy runs only up to `peer_max` samples (its
search is a Python loop per sample and per evaluation). Ratios are ours / scipy.
"""

import numpy as np
from scipy.interpolate import make_smoothing_spline

import spanlet
from timing import median_time


def run(sizes=(10_000, 100_000, 1_000_000), repeats=3, peer_max=100_000):
    print("GCV smoothing spline: n samples of sin(6x) + noise")
    previous = None
    for n in sizes:
        rng = np.random.default_rng(n)
        x = np.linspace(0.0, 1.0, n)
        y = np.sin(6.0 * x) + 0.2 * rng.standard_normal(n)
        count = repeats if n < 1_000_000 else 1
        gcv, (curve, choice) = median_time(lambda: spanlet.smoothing_spline(x, y, full_output=True), count)
        one = median_time(lambda: spanlet.smoothing_spline(x, y, choice.lam), count)[0]
        growth = "" if previous is None else f"  growth x{gcv / previous[0]:.1f} for n x{n / previous[1]:.0f}"
        print(f"  n = {n:8d}  GCV {gcv * 1e3:9.1f} ms  one fit {one * 1e3:8.1f} ms  GCV / fit {gcv / one:5.1f}"
              f"  lam {choice.lam:.4e}  edf {choice.edf:.1f}{growth}")
        previous = (gcv, n)
        if n <= peer_max:
            try:
                theirs, spline = median_time(lambda: make_smoothing_spline(x, y), 1)
            except ValueError as error:  # scipy's search can step to a weight its factor refuses
                print(f"             scipy failed: {error}  (ratio n/a)")
                continue
            t = np.linspace(0.0, 1.0, 1001)
            print(f"             scipy {theirs * 1e3:9.1f} ms  ratio {gcv / theirs:6.3f}  "
                  f"max curve difference {np.abs(curve(t) - spline(t)).max():.1e}")


if __name__ == "__main__":
    run()
