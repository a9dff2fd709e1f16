"""Covariance of a rebinned spectrum: Projection.propagate against applying the projection once.

A spectrum of n_src pixels (boxes of random widths) with independent variances is rebinned onto
n_dst boxes. The output covariance P diag(v) P^T comes back sparse; its cost is compared with one
application of the projection to the flux (the goal: at most 3x). The peer is what users do today
(reproject#219): a Monte Carlo estimate of the output variances from `draws` noisy copies pushed
through the projection (the variances only; its full covariance would be a dense n_dst^2 array), and, at a size where it fits in memory, the dense product P diag(v) P^T with NumPy from
Projection.to_dense(). Ratios are ours / theirs.

Then the dense case, boxes onto overlapping hats, where G^-1 couples every pair of targets.
"""

import numpy as np

import spanlet
from timing import median_time


def run(n_src=100_000, n_dst=10_000, repeats=7, draws=1000, dense_src=5_000, dense_dst=500):
    rng = np.random.default_rng(0)
    edges = np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0.0, 1.0, n_src - 1)]))
    flux = 1.0 + 0.1 * rng.standard_normal(n_src)
    variance = rng.uniform(0.5, 2.0, n_src) * 0.01
    rebin = spanlet.Projection(spanlet.Space.boxes(edges), spanlet.Space.boxes(np.linspace(0.0, 1.0, n_dst + 1)))
    print(f"propagate: {n_src} pixels rebinned onto {n_dst} boxes")
    apply = median_time(lambda: rebin.apply_last_axis(flux), repeats)[0]
    ours, cov = median_time(lambda: rebin.propagate(variance), repeats)
    print(f"  apply once {apply * 1e3:8.3f} ms  propagate {ours * 1e3:8.3f} ms  propagate / apply {ours / apply:5.2f}"
          f"  ({cov.nnz} stored entries)")
    noise = rng.standard_normal((draws, n_src)) * np.sqrt(variance)
    theirs, estimate = median_time(lambda: rebin.apply_last_axis(flux + noise).var(axis=0), 1)
    spread = np.abs(estimate / cov.diagonal() - 1.0).mean()
    print(f"  Monte Carlo variances ({draws} draws) {theirs * 1e3:9.1f} ms  ratio {ours / theirs:.4f}"
          f"  (its mean relative error {spread:.1e})")

    # The dense case and the dense peer, at a size where P fits in memory.
    edges = np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0.0, 1.0, dense_src - 1)]))
    variance = rng.uniform(0.5, 2.0, dense_src)
    for name, dst in (("boxes", spanlet.Space.boxes(np.linspace(0.0, 1.0, dense_dst + 1))),
                      ("hats", spanlet.Space.hats(np.linspace(0.0, 1.0, dense_dst)))):
        p = spanlet.Projection(spanlet.Space.boxes(edges), dst)
        ours, cov = median_time(lambda: p.propagate(variance), repeats)

        def dense_product():
            m = p.to_dense()
            return (m * variance) @ m.T

        theirs, reference = median_time(dense_product, 1)
        cov = cov.toarray() if hasattr(cov, "toarray") else cov
        error = np.abs(cov - reference).max() / np.abs(reference).max()
        print(f"  {dense_src} pixels onto {dense_dst} {name}: propagate {ours * 1e3:8.2f} ms  "
              f"dense P diag(v) P^T {theirs * 1e3:8.1f} ms  ratio {ours / theirs:.4f}  max rel. difference {error:.1e}")


if __name__ == "__main__":
    run()
