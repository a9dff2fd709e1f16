"""Voigt line shapes: evaluate against scipy.special.voigt_profile; Voigt x B-spline inner products
and pixels x Voigt measurement matrices per stored entry, also in units of one evaluated value.

Evaluate: a Voigt space (cutoff 10) at sorted points; the peer evaluates voigt_profile, normalised
to peak 1, at the points inside each element's support (the same values the sparse matrix holds).
"""

import numpy as np
import scipy.special as sp

from spanlet._spanlet import Space, evaluate, inner_products, measure
from timing import median_time

CUTOFF = 10.0


def peer_values(x, centers, sigma, gamma, lower, upper):
    peak = sp.voigt_profile(0.0, sigma, gamma)
    lo, hi = np.searchsorted(x, lower, "left"), np.searchsorted(x, upper, "right")
    return [sp.voigt_profile(x[a:b] - c, sigma, gamma) / peak for a, b, c in zip(lo, hi, centers)]


def run(elements=1000, points=10**6, kernels=10**4, repeats=5):
    sigma, gamma = 0.1, 0.1
    centers = np.linspace(0.0, float(elements), elements)
    x = np.sort(np.random.default_rng(0).uniform(-1.0, elements + 1.0, points))
    space = Space.voigts(centers, np.full(elements, sigma), np.full(elements, gamma), CUTOFF)
    ours, result = median_time(lambda: evaluate(space, x), repeats)
    theirs, peer = median_time(lambda: peer_values(x, centers, sigma, gamma, space.lower(), space.upper()),
                               repeats)
    assert len(result[2]) == sum(len(v) for v in peer)
    print(f"voigt evaluate: {elements} elements (cutoff {CUTOFF:g}) at {points} points")
    print(f"  spanlet.evaluate            {ours * 1e3:10.2f} ms")
    print(f"  voigt_profile per element   {theirs * 1e3:10.2f} ms")
    print(f"  ratio ours/theirs           {ours / theirs:10.3f}")

    kernel_centers = np.linspace(0.0, 1.0, kernels)
    width = np.full(kernels, 0.2 / kernels)
    voigts = Space.voigts(kernel_centers, width, width, CUTOFF)
    splines = Space.bsplines_clamped(np.linspace(0.0, 1.0, kernels - 2), 3)
    gram_time, gram = median_time(lambda: inner_products(voigts, splines), max(1, repeats // 2))
    entries = len(gram[2])
    print(f"voigt x B-spline inner products: {kernels} kernels, {len(splines)} cubic B-splines, "
          f"{entries} stored entries")
    print(f"  inner_products              {gram_time * 1e3:10.2f} ms")
    print(f"  per stored entry            {gram_time / entries * 1e9:10.1f} ns")
    # The cost of one profile value in the same run: evaluate on the same Voigt space.
    inside = np.sort(np.random.default_rng(1).uniform(0.0, 1.0, points))
    value_time, values = median_time(lambda: evaluate(voigts, inside), repeats)
    per_value = value_time / len(values[2])
    print(f"  evaluate, per stored value  {per_value * 1e9:10.1f} ns")
    print(f"  entry / value               {gram_time / entries / per_value:10.1f} (goal <= 12)")

    # Pixels half a sigma wide against the same lines, as a line fit measures them.
    pixels = Space.boxes(np.linspace(0.0, 1.0, 10 * kernels + 1))
    pixel_time, w = median_time(lambda: measure(pixels, voigts, "integral"), max(1, repeats // 2))
    print(f"pixels x Voigt measure: {len(pixels)} pixels, {len(w[2])} stored entries")
    print(f"  per stored entry            {pixel_time / len(w[2]) * 1e9:10.1f} ns")
    print(f"  entry / value               {pixel_time / len(w[2]) / per_value:10.1f} (goal <= 12)")
    return ours, theirs


if __name__ == "__main__":
    run()
