"""Smoothing chosen by GCV: smoothing_spline(x, y, lam=None) against
scipy.interpolate.make_smoothing_spline(x, y, lam=None) on the same noisy samples.

The samples are a jittered grid of spacing 0.01 through a sine of period 10 (1000 samples a
period) with noise 0.2. scipy searches lam in (0, n) on a linear scale: on this spacing the
chosen lam (about 5) lies well inside, and its normal equations stay well conditioned at every
weight the search tries. (Samples of a gentle curve packed into [0, 1] ask for a relative
smoothing near 1e14 from 1e5 samples on, where rounding swamps the data in the normal
equations: scipy's search fails there with "ill-posed", and ours refuses with a message.)

Also times one fit at the chosen lam (ours) at each size: the GCV search should stay within a
small multiple of it and grow linearly in n. scipy runs only up to `peer_max` samples (its
search is a Python loop per sample and per evaluation). Ratios are ours / scipy.
"""

import numpy as np
from scipy.interpolate import make_smoothing_spline

import spanlet
from timing import median_time


def samples(n):
    rng = np.random.default_rng(n)
    x = 0.01 * (np.arange(n) + rng.uniform(-0.3, 0.3, n))
    return x, np.sin(2.0 * np.pi * x / 10.0) + 0.2 * rng.standard_normal(n)


def run(sizes=(10_000, 100_000, 1_000_000), repeats=3, peer_max=100_000):
    print("GCV smoothing spline: n jittered samples (spacing 0.01) of sin(2 pi x / 10) + noise 0.2")
    previous = None
    for n in sizes:
        x, y = samples(n)
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
            except ValueError as error:
                print(f"             scipy failed: {error}  (ratio n/a)")
                continue
            t = np.linspace(x[0], x[-1], 1001)
            print(f"             scipy {theirs * 1e3:9.1f} ms  ratio {gcv / theirs:6.3f}  "
                  f"max curve difference {np.abs(curve(t) - spline(t)).max():.1e}")


if __name__ == "__main__":
    run()
