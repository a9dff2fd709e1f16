"""Projection of piecewise-constant data (boxes) onto clamped cubic B-splines.

Times Projection construction and application to many rows, plain and with local bounds. The peer
is the same least-squares projection assembled with scipy: B-spline values from
BSpline.design_matrix on a Gauss grid give the Gram and cross matrices, and
linalg.cholesky_banded / cho_solve_banded solve. Ratios are ours / scipy: below 1 means we are faster.

Then Projection of a cubic space onto itself, periodic against clamped of the same size, growing n:
the ratio periodic / clamped shows what the wrap-around elements cost.
"""

import numpy as np
import scipy.linalg
import scipy.sparse
from scipy.interpolate import BSpline

from spanlet._spanlet import Projection, Space
from timing import interleaved_medians, median_time


class ScipyProjection:
    """G^-1 K from Gauss-grid design matrices (exact for products of cubics with constants)."""

    def __init__(self, edges, breaks):
        knots = np.concatenate([[breaks[0]] * 3, breaks, [breaks[-1]] * 3])
        grid = np.union1d(edges, breaks)
        nodes, weights = np.polynomial.legendre.leggauss(4)
        mid, half = 0.5 * (grid[1:] + grid[:-1]), 0.5 * (grid[1:] - grid[:-1])
        points = (mid[:, None] + half[:, None] * nodes).ravel()
        w = (half[:, None] * weights).ravel()
        design = BSpline.design_matrix(points, knots, 3).tocsc()
        box = np.searchsorted(edges, points) - 1
        membership = scipy.sparse.csr_array((w, (box, np.arange(len(points)))), shape=(len(edges) - 1, len(points)))
        gram = (design.T @ scipy.sparse.diags_array(w) @ design).tocsr()
        self.cross = (membership @ design).T.tocsr()
        band = np.zeros((4, gram.shape[0]))
        for d in range(4):
            band[d, : gram.shape[0] - d] = gram.diagonal(-d)
        self.factor = scipy.linalg.cholesky_banded(band, lower=True, check_finite=False)

    def apply(self, f):
        y = self.cross @ f.T
        return scipy.linalg.cho_solve_banded((self.factor, True), y, check_finite=False).T


def run(n_src=100_000, n_dst=10_000, rows=100, repeats=5, periodic_sizes=(1_000, 10_000, 100_000)):
    rng = np.random.default_rng(0)
    edges = np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0.0, 1.0, n_src - 1)]))
    breaks = np.linspace(0.0, 1.0, n_dst - 2)
    src, dst = Space.boxes(edges), Space.bsplines_clamped(breaks, 3)
    # Piecewise-constant rows with jumps, where local bounds matter.
    centers = 0.5 * (edges[1:] + edges[:-1])
    f = np.floor(4.0 * np.sin(20.0 * centers + rng.uniform(0.0, 6.0, (rows, 1))))
    print(f"projection: {n_src} boxes onto {n_dst} clamped cubic B-splines, {rows} rows")

    p = Projection(src, dst)
    peer = ScipyProjection(edges, breaks)
    plain = p.apply_last_axis(f)
    reference = peer.apply(f)
    deviation = np.abs(plain - reference).max() / np.abs(reference).max()
    print(f"  max difference to the scipy pipeline, relative: {deviation:.2e}")

    ours = median_time(lambda: Projection(src, dst), repeats)[0]
    theirs = median_time(lambda: ScipyProjection(edges, breaks), repeats)[0]
    print(f"  construction      ours {ours * 1e3:9.1f} ms  scipy {theirs * 1e3:9.1f} ms  ratio {ours / theirs:6.2f}")
    ours = median_time(lambda: p.apply_last_axis(f), repeats)[0]
    theirs = median_time(lambda: peer.apply(f), repeats)[0]
    print(f"  apply, plain      ours {ours * 1e3:9.1f} ms  scipy {theirs * 1e3:9.1f} ms  ratio {ours / theirs:6.2f}")
    # Bounded against plain in alternating rounds, so that the ratios see the same machine.
    plain_time, local, ranged = interleaved_medians(
        [lambda: p.apply_last_axis(f), lambda: p.apply_last_axis(f, "local"),
         lambda: p.apply_last_axis(f, (-3.0, 3.0))], 2 * repeats + 1)
    print(f"  apply, local      ours {local * 1e3:9.1f} ms  ({local / plain_time:.2f} x plain)")
    print(f"  apply, (-3, 3)    ours {ranged * 1e3:9.1f} ms  ({ranged / plain_time:.2f} x plain)")
    run_periodic(periodic_sizes, repeats)


def run_periodic(sizes=(1_000, 10_000, 100_000), repeats=3):
    print("projection of a cubic space onto itself, periodic vs clamped")
    for n in sizes:
        # One repeat at the largest sizes keeps the whole run short.
        count = repeats if n < 100_000 else 1
        periodic = Space.bsplines_periodic(np.linspace(0.0, 1.0, n + 1), 3)
        clamped = Space.bsplines_clamped(np.linspace(0.0, 1.0, n - 2), 3)
        assert len(periodic) == len(clamped) == n
        wrapped = median_time(lambda: Projection(periodic, periodic), count)[0]
        plain = median_time(lambda: Projection(clamped, clamped), count)[0]
        print(f"  n = {n:7d}   periodic {wrapped * 1e3:9.1f} ms  clamped {plain * 1e3:9.1f} ms  "
              f"ratio {wrapped / plain:6.2f}  ({wrapped / n * 1e6:.2f} us per element)")


if __name__ == "__main__":
    run()
