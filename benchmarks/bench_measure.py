"""Measurement matrix of box kernels against a cubic B-spline basis, normalised by integral."""

import numpy as np

from spanlet._spanlet import Space, measure
from timing import median_time


def run(kernels=10**5, elements=10**4, repeats=5):
    degree = 3
    basis = Space.bsplines_clamped(np.linspace(0.0, 1.0, elements - degree + 1), degree)
    rng = np.random.default_rng(0)
    # Widths of a few basis intervals, so each row has a handful of entries.
    spacing = 1.0 / (elements - degree)
    boxes = Space.rectangles(rng.uniform(0.0, 1.0, kernels), rng.uniform(0.5, 4.0, kernels) * spacing)
    seconds, w = median_time(lambda: measure(boxes, basis, "integral"), repeats)
    stored = len(w[2])
    print(f"measure: {kernels} box kernels x {elements} cubic B-splines, 'integral', {stored} entries")
    print(f"  spanlet.measure             {seconds * 1e3:10.2f} ms")
    print(f"  per stored entry            {seconds / max(stored, 1) * 1e9:10.1f} ns")
    return seconds, stored


if __name__ == "__main__":
    run()
