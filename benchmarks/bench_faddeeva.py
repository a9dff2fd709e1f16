"""The Faddeeva function against scipy.special.wofz: one call from Python, and core throughput.

Scalar: faddeeva_re(x, y) against scipy.special.wofz(x + iy).real, each called once per point.
Throughput: the core kernel over arrays (through the private test extension) against vectorised
wofz on the same points of the upper half-plane.
"""

import numpy as np
import scipy.special as sp

import _spanlet_tests as t
from spanlet._spanlet import faddeeva_re
from timing import median_time


def run(points=10**6, scalar_calls=10**4, repeats=5):
    rng = np.random.default_rng(0)
    x, y = rng.normal(0.0, 5.0, points), rng.exponential(2.0, points)
    z = x + 1j * y
    pairs = list(zip(x[:scalar_calls].tolist(), y[:scalar_calls].tolist()))
    ours_one, _ = median_time(lambda: [faddeeva_re(a, b) for a, b in pairs], repeats)
    theirs_one, _ = median_time(lambda: [sp.wofz(complex(a, b)).real for a, b in pairs], repeats)
    ours, (re, im) = median_time(lambda: t.faddeeva(x, y), repeats)
    theirs, w = median_time(lambda: sp.wofz(z), repeats)
    assert np.max(np.abs(re + 1j * im - w) / np.abs(w)) < 1e-13
    print(f"faddeeva: {scalar_calls} scalar calls, {points} points vectorised")
    print(f"  faddeeva_re per call        {ours_one / scalar_calls * 1e9:10.1f} ns")
    print(f"  wofz per call               {theirs_one / scalar_calls * 1e9:10.1f} ns")
    print(f"  ratio ours/theirs (scalar)  {ours_one / theirs_one:10.3f}")
    print(f"  core faddeeva               {ours * 1e3:10.2f} ms")
    print(f"  vectorised wofz             {theirs * 1e3:10.2f} ms")
    print(f"  ratio ours/theirs           {ours / theirs:10.3f}")
    return ours, theirs


if __name__ == "__main__":
    run()
