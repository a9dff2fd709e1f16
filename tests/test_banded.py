import numpy as np
import pytest
import scipy.sparse

import spanlet

import _spanlet_tests as t

TAIL = ": the target elements are linearly dependent, or one of them has zero norm"


def parts(dense):
    m = scipy.sparse.csr_matrix(dense)
    m.sort_indices()
    return (m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data, m.shape)


def random_banded_spd(n, b, seed):
    rng = np.random.default_rng(seed)
    a = rng.standard_normal((n, n))
    a = np.triu(np.tril(a, b), -b)
    a = a + a.T
    a += np.diag(np.abs(a).sum(axis=1) + 0.1)  # diagonally dominant, hence positive definite
    return a


def random_spd_on(mask, seed):
    """Diagonally dominant symmetric matrix with random entries where the symmetric `mask` is set."""
    rng = np.random.default_rng(seed)
    a = np.tril(np.where(mask, rng.standard_normal(mask.shape), 0.0), -1)
    a = a + a.T
    return a + np.diag(np.abs(a).sum(axis=1) + 0.1)


def periodic_mask(n, b):
    # Entries within cyclic distance b: a periodic space's Gram pattern, corners included.
    i, j = np.indices((n, n))
    d = np.abs(i - j)
    return np.minimum(d, n - d) <= b


def wide_row_mask(n, b, row):
    # A band plus one row (and column) reaching back to column 0, as from one wide element.
    mask = np.abs(np.subtract.outer(np.arange(n), np.arange(n))) <= b
    mask[row, :row] = mask[:row, row] = True
    return mask


def random_envelope_mask(n, seed):
    # Every row starts at a random column, so the first columns rise and fall.
    first = np.random.default_rng(seed).integers(0, np.arange(n) + 1)
    mask = np.arange(n)[None, :] >= first[:, None]
    mask &= np.tril(np.ones((n, n), bool))
    return mask | mask.T


def expected_first_columns(dense):
    # Per row, the smallest column of a stored entry in either triangle (the diagonal at most).
    pattern = dense != 0
    pattern |= pattern.T
    return [min(i, int(np.argmax(pattern[i]))) if pattern[i].any() else i for i in range(len(dense))]


ENVELOPES = [
    ("periodic", periodic_mask(12, 3)),
    ("periodic", periodic_mask(40, 2)),
    ("periodic", periodic_mask(7, 3)),  # the wrap entries meet the band
    ("periodic", periodic_mask(33, 1)),
    ("wide row", wide_row_mask(30, 3, 17)),
    ("wide row", wide_row_mask(30, 2, 29)),
    ("random", random_envelope_mask(25, 1)),
    ("random", random_envelope_mask(60, 2)),
]


@pytest.mark.parametrize("index", range(len(ENVELOPES)), ids=[name for name, _ in ENVELOPES])
def test_envelope_factor_and_solve_match_numpy(index):
    mask = ENVELOPES[index][1]
    n = len(mask)
    a = random_spd_on(mask, seed=index)
    factor = t.banded_factor(parts(a))
    first, stored = t.banded_envelope(factor)
    assert first == expected_first_columns(a)
    assert stored == sum(i + 1 - f for i, f in enumerate(first))
    # Fill-in stays inside the envelope: the dense factor is zero left of every first column.
    np.testing.assert_allclose(t.banded_lower(factor), np.linalg.cholesky(a), rtol=1e-12, atol=1e-12)
    rhs = np.random.default_rng(index).standard_normal((4, n))
    np.testing.assert_allclose(t.banded_solve(factor, rhs), np.linalg.solve(a, rhs.T).T, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("n", [100, 1000, 20000])
def test_periodic_storage_grows_linearly(n):
    # b entries per band row plus full rows for the b wrap rows: never the n^2 / 2 of one band.
    b = 3
    rng = np.random.default_rng(n)
    i = np.arange(n)
    upper = [(i, (i + d) % n, rng.standard_normal(n)) for d in range(1, b + 1)]
    rows = np.concatenate([np.concatenate([r, c]) for r, c, _ in upper])
    cols = np.concatenate([np.concatenate([c, r]) for r, c, _ in upper])
    vals = np.concatenate([np.concatenate([v, v]) for _, _, v in upper])
    a = scipy.sparse.csr_matrix((vals, (rows, cols)), shape=(n, n))
    a = a + scipy.sparse.diags(abs(a).sum(axis=1).A1 + 0.1)
    factor = t.banded_factor(parts(a))
    assert t.banded_shape(factor) == (n, n - 1)
    assert t.banded_envelope(factor)[1] <= n * (b + 1) + b * n
    x = np.random.default_rng(0).standard_normal((1, n))
    np.testing.assert_allclose(a @ t.banded_solve(factor, x)[0], x[0], rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize(
    "corner, last, message",
    [
        (1.0, 1.0, "pivot 5 is 0e0 (diagonal 1e0)"),
        (1.0, 0.75, "pivot 5 is -2.5e-1 (diagonal 7.5e-1)"),
        (np.nan, 1.0, "pivot 5 is NaN (diagonal 1e0)"),
    ],
)
def test_singular_pivot_in_a_far_row(corner, last, message):
    # The identity with a corner entry: L[5][0] = corner, reduced last pivot = last - corner^2.
    a = np.eye(6)
    a[5, 0] = a[0, 5] = corner
    a[5, 5] = last
    with pytest.raises(spanlet.SingularError) as raised:
        t.banded_factor(parts(a))
    assert str(raised.value) == message + TAIL


def test_singular_periodic_laplacian():
    # The cyclic second difference annihilates constants: the last pivot cancels to rounding.
    n = 9
    a = 2.0 * np.eye(n) - np.roll(np.eye(n), 1, axis=1) - np.roll(np.eye(n), -1, axis=1)
    with pytest.raises(spanlet.SingularError) as raised:
        t.banded_factor(parts(a))
    head, tail = str(raised.value).split(" (diagonal 2e0)")
    assert tail == TAIL and head.startswith(f"pivot {n - 1} is ")
    assert abs(float(head.split(" is ")[1])) <= 2e-13


@pytest.mark.parametrize(
    "n, b", [(1, 0), (6, 0), (6, 1), (20, 3), (50, 7), (9, 8), (40, 2), (40, 4), (40, 5), (40, 6), (2, 1), (30, 9)]
)
def test_factor_and_solve_match_numpy(n, b):
    a = random_banded_spd(n, b, seed=n + b)
    factor = t.banded_factor(parts(a))
    assert t.banded_shape(factor) == (n, b)
    np.testing.assert_allclose(t.banded_lower(factor), np.linalg.cholesky(a), rtol=1e-12, atol=1e-12)
    rhs = np.random.default_rng(0).standard_normal((5, n))
    np.testing.assert_allclose(t.banded_solve(factor, rhs), np.linalg.solve(a, rhs.T).T, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("reach", [(4, 0), (29, 25), (17, 13)])
def test_a_band_with_a_longer_row_solves_like_numpy(reach):
    # One entry a step beyond the band (as from two elements that barely touch) widens the
    # half-bandwidth for every row; the shorter rows must solve exactly as before.
    a = random_banded_spd(30, 3, seed=sum(reach))
    a[reach] = a[reach[::-1]] = 1e-3
    factor = t.banded_factor(parts(a))
    assert t.banded_shape(factor) == (30, 4)
    rhs = np.random.default_rng(1).standard_normal((3, 30))
    np.testing.assert_allclose(t.banded_solve(factor, rhs), np.linalg.solve(a, rhs.T).T, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("scale", [2.0**-600, 2.0**600])
@pytest.mark.parametrize("b", [1, 3, 8])
def test_solve_of_a_badly_scaled_band(scale, b):
    # Diagonals far from 1 must neither overflow nor underflow on the way: x = A^-1 r at any scale.
    a = random_banded_spd(40, b, seed=b)
    rhs = np.random.default_rng(b).standard_normal((2, 40))
    x = t.banded_solve(t.banded_factor(parts(a * scale)), rhs * scale)
    np.testing.assert_allclose(x, np.linalg.solve(a, rhs.T).T, rtol=1e-10, atol=1e-12)


def test_small_exact_cases():
    factor = t.banded_factor(parts(np.array([[4.0]])))
    assert t.banded_lower(factor).tolist() == [[2.0]]
    assert t.banded_solve(factor, np.array([[8.0]])).tolist() == [[2.0]]
    # Diagonal: b = 0, each value divided twice by the square root.
    factor = t.banded_factor(parts(np.diag([4.0, 9.0, 2.0])))
    assert t.banded_shape(factor) == (3, 0)
    x = t.banded_solve(factor, np.array([[1.0, 1.0, 1.0]]))
    assert x.tolist() == [[1.0 / 2.0 / 2.0, 1.0 / 3.0 / 3.0, 1.0 / np.sqrt(2.0) / np.sqrt(2.0)]]


def test_empty_matrix():
    factor = t.banded_factor((np.zeros(1, np.int64), np.zeros(0, np.int64), np.zeros(0), (0, 0)))
    assert t.banded_shape(factor) == (0, 0)
    assert t.banded_solve(factor, np.zeros((3, 0))).shape == (3, 0)


def test_only_the_lower_triangle_is_read():
    a = random_banded_spd(8, 2, seed=4)
    skewed = a.copy()
    skewed[np.triu_indices(8, 1)] *= 3.0
    skewed[0, 5] = 7.0  # far entry above the diagonal: widens the band, changes nothing else
    factor = t.banded_factor(parts(skewed))
    assert t.banded_shape(factor) == (8, 5)
    assert t.banded_envelope(factor)[0] == expected_first_columns(skewed)
    np.testing.assert_allclose(t.banded_lower(factor), np.linalg.cholesky(a), rtol=1e-12, atol=1e-12)


@pytest.mark.parametrize(
    "matrix, message",
    [
        ([[1.0, 1.0], [1.0, 1.0]], "pivot 1 is 0e0 (diagonal 1e0)"),
        ([[1.0, 0.0], [0.0, -2.5e-4]], "pivot 1 is -2.5e-4 (diagonal 2.5e-4)"),
        ([[0.0, 0.0], [0.0, 1.0]], "pivot 0 is 0e0 (diagonal 0e0)"),
        ([[np.nan]], "pivot 0 is NaN (diagonal NaN)"),
        ([[4.0, np.inf], [np.inf, 4.0]], "pivot 1 is -inf (diagonal 4e0)"),
        # Relative test: cancellation below 1e-13 of the diagonal fails at any scale.
        ([[1.0, 1.0], [1.0, 1.0 + 2**-46]], "pivot 1 is 1.4210854715202004e-14 (diagonal 1.0000000000000142e0)"),
        (
            np.array([[1.0, 1.0], [1.0, 1.0 + 2**-46]]) * 2.0**-600,
            "pivot 1 is 3.42470210782563e-195 (diagonal 2.4099198651029184e-181)",
        ),
    ],
)
def test_singular_pivot_message(matrix, message):
    with pytest.raises(ValueError) as raised:
        t.banded_factor(parts(np.array(matrix)))
    # The test extension shares the public module's exception classes.
    assert type(raised.value) is spanlet.SingularError
    assert str(raised.value) == message + TAIL


@pytest.mark.parametrize("scale", [1.0, 2.0**-600, 2.0**600])
def test_relative_tolerance_accepts_small_clean_pivots(scale):
    # Reduced pivot about 1e-12 of the diagonal: above the 1e-13 threshold.
    a = np.array([[1.0, 1.0], [1.0, 1.0 + 2**-39]]) * scale
    factor = t.banded_factor(parts(a))
    assert t.banded_lower(factor)[1, 1] == np.sqrt(2**-39 * scale)


def test_a_non_square_matrix_is_refused_in_release_builds():
    with pytest.raises(ValueError, match=r"^a banded factor needs a square matrix, got 2 x 3$"):
        t.banded_factor(parts(np.ones((2, 3))))
