"""Point evaluation of a clamped cubic B-spline space against scipy's B-spline design matrix.

Both sides produce a CSR matrix of the same points and knots: ours as the (indptr, indices, data,
shape) tuple, scipy's as a csr_array.
"""

import numpy as np
from scipy.interpolate import BSpline

from spanlet._spanlet import Space, evaluate
from timing import median_time


def run(elements=1000, points=10**6, repeats=7):
    degree = 3
    breakpoints = np.linspace(0.0, 1.0, elements - degree + 1)
    knots = np.concatenate([[0.0] * degree, breakpoints, [1.0] * degree])
    # Points strictly inside: scipy closes the last interval, ours is half-open there.
    x = np.random.default_rng(0).uniform(0.0, np.nextafter(1.0, 0.0), points)
    space = Space.bsplines_clamped(breakpoints, degree)
    ours, result = median_time(lambda: evaluate(space, x), repeats)
    theirs, peer = median_time(lambda: BSpline.design_matrix(x, knots, degree), repeats)
    assert result[3] == peer.shape and len(result[2]) <= peer.nnz
    print(f"evaluate: {elements} cubic B-splines at {points} points")
    print(f"  spanlet.evaluate            {ours * 1e3:10.2f} ms")
    print(f"  BSpline.design_matrix       {theirs * 1e3:10.2f} ms")
    print(f"  ratio ours/theirs           {ours / theirs:10.3f}")
    return ours, theirs


if __name__ == "__main__":
    run()
