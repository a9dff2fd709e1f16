"""Banded Cholesky: factor and solve of a clamped cubic B-spline Gram matrix.

Times our factor and solve (through the private test extension, on a prebuilt matrix) against
scipy.linalg.cholesky_banded and cho_solve_banded on the same matrix in LAPACK's lower band form.
Ratios are ours / scipy: below 1 means we are faster. Then one right-hand side for the Gram
matrices of degrees 1 to 8, whose half-bandwidth is the degree.

Then the Gram matrix of a periodic space of the same size, whose corner entries make one band
span the whole matrix: the envelope factor keeps it linear in n. Its ratio is periodic / clamped,
both ours.
"""

import statistics
import time

import numpy as np
import scipy.interpolate
import scipy.linalg
import scipy.sparse

import _spanlet_tests as t


def clamped_gram(size, degree=3):
    """Gram matrix of `size` clamped B-splines (cubic by default) on uniform breakpoints over
    [0, 1], as CSR."""
    breaks = np.linspace(0.0, 1.0, size + 1 - degree)
    knots = np.concatenate([[0.0] * degree, breaks, [1.0] * degree])
    # degree + 1 Gauss points per interval integrate products of two splines exactly.
    nodes, weights = np.polynomial.legendre.leggauss(degree + 1)
    mid = 0.5 * (breaks[1:] + breaks[:-1])
    half = 0.5 * (breaks[1:] - breaks[:-1])
    points = (mid[:, None] + half[:, None] * nodes).ravel()
    w = (half[:, None] * weights).ravel()
    design = scipy.interpolate.BSpline.design_matrix(points, knots, degree).tocsr()
    gram = (design.T @ scipy.sparse.diags(w) @ design).tocsr()
    gram.eliminate_zeros()
    gram.sort_indices()
    return gram


def periodic_cubic_gram(size):
    """The circulant Gram matrix of `size` uniform periodic cubic B-splines, as CSR: the diagonals
    of an interior row of the clamped Gram, wrapped around the corners."""
    clamped = clamped_gram(size)
    middle = size // 2
    i = np.arange(size)
    rows, cols, vals = [], [], []
    for d in range(-3, 4):
        rows.append(i)
        cols.append((i + d) % size)
        vals.append(np.full(size, clamped[middle, middle + d]))
    gram = scipy.sparse.csr_matrix(
        (np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))), shape=(size, size))
    gram.sort_indices()
    return gram


def csr_parts(gram):
    return (gram.indptr.astype(np.int64), gram.indices.astype(np.int64), gram.data, gram.shape)


def lower_band(gram, bandwidth):
    n = gram.shape[0]
    band = np.zeros((bandwidth + 1, n))
    for d in range(bandwidth + 1):
        band[d, : n - d] = gram.diagonal(-d)
    return band


def median_time(call, repeats):
    times = []
    for _ in range(repeats):
        start = time.perf_counter()
        call()
        times.append(time.perf_counter() - start)
    return statistics.median(times)


def run(size=100_000, repeats=7):
    gram = clamped_gram(size)
    matrix = t.csr_handle(csr_parts(gram))
    factor = t.banded_factor(matrix)
    bandwidth = t.banded_shape(factor)[1]
    band = lower_band(gram, bandwidth)
    cb = scipy.linalg.cholesky_banded(band, lower=True, check_finite=False)

    rng = np.random.default_rng(0)
    print(f"banded Cholesky: n = {size}, half-bandwidth = {bandwidth}, workers = {t.worker_count()}")

    ours = median_time(lambda: t.banded_factor(matrix), repeats)
    theirs = median_time(lambda: scipy.linalg.cholesky_banded(band, lower=True, check_finite=False), repeats)
    print(f"  factor            ours {ours * 1e3:9.3f} ms  scipy {theirs * 1e3:9.3f} ms  ratio {ours / theirs:6.2f}")

    for k in (1, 100):
        rhs = rng.standard_normal((k, size))
        rhs_columns = np.ascontiguousarray(rhs.T)
        x = t.banded_solve(factor, rhs)
        reference = scipy.linalg.cho_solve_banded((cb, True), rhs_columns, check_finite=False)
        np.testing.assert_allclose(x, reference.T, rtol=1e-8, atol=1e-8 * np.abs(reference).max())
        ours = median_time(lambda: t.banded_solve(factor, rhs), repeats)
        theirs = median_time(
            lambda: scipy.linalg.cho_solve_banded((cb, True), rhs_columns, check_finite=False), repeats
        )
        print(f"  solve, {k:3d} rhs    ours {ours * 1e3:9.3f} ms  scipy {theirs * 1e3:9.3f} ms  ratio {ours / theirs:6.2f}")

    print("one right-hand side by half-bandwidth")
    for degree in range(1, 9):
        gram = clamped_gram(size, degree)
        matrix = t.csr_handle(csr_parts(gram))
        factor = t.banded_factor(matrix)
        cb = scipy.linalg.cholesky_banded(lower_band(gram, degree), lower=True, check_finite=False)
        rhs = rng.standard_normal((1, size))
        rhs_column = np.ascontiguousarray(rhs.T)
        ours = median_time(lambda: t.banded_solve(factor, rhs), repeats)
        theirs = median_time(lambda: scipy.linalg.cho_solve_banded((cb, True), rhs_column, check_finite=False), repeats)
        print(f"  b = {degree}   solve, 1 rhs  ours {ours * 1e3:9.3f} ms  scipy {theirs * 1e3:9.3f} ms  "
              f"ratio {ours / theirs:6.2f}")

    periodic_gram = periodic_cubic_gram(size)
    periodic = t.csr_handle(csr_parts(periodic_gram))
    periodic_factor = t.banded_factor(periodic)
    print(f"periodic: n = {size}, half-bandwidth = {t.banded_shape(periodic_factor)[1]}, "
          f"stored entries = {t.banded_envelope(periodic_factor)[1]}")
    clamped = median_time(lambda: t.banded_factor(matrix), repeats)
    wrapped = median_time(lambda: t.banded_factor(periodic), repeats)
    print(f"  factor            periodic {wrapped * 1e3:9.3f} ms  clamped {clamped * 1e3:9.3f} ms  "
          f"ratio {wrapped / clamped:6.2f}  ({wrapped / size * 1e9:.1f} ns per row)")
    rhs = rng.standard_normal((1, size))
    x = t.banded_solve(periodic_factor, rhs)
    np.testing.assert_allclose(periodic_gram @ x[0], rhs[0], rtol=1e-8, atol=1e-8)
    clamped = median_time(lambda: t.banded_solve(factor, rhs), repeats)
    wrapped = median_time(lambda: t.banded_solve(periodic_factor, rhs), repeats)
    print(f"  solve,   1 rhs    periodic {wrapped * 1e3:9.3f} ms  clamped {clamped * 1e3:9.3f} ms  "
          f"ratio {wrapped / clamped:6.2f}")


if __name__ == "__main__":
    run(100_000)
