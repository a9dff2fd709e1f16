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


@pytest.mark.parametrize("n, b", [(1, 0), (6, 0), (6, 1), (20, 3), (50, 7), (9, 8)])
def test_factor_and_solve_match_numpy(n, b):
    a = random_banded_spd(n, b, seed=n + b)
    factor = t.banded_factor(parts(a))
    assert t.banded_shape(factor) == (n, b)
    np.testing.assert_allclose(t.banded_lower(factor), np.linalg.cholesky(a), rtol=1e-12, atol=1e-12)
    rhs = np.random.default_rng(0).standard_normal((5, n))
    np.testing.assert_allclose(t.banded_solve(factor, rhs), np.linalg.solve(a, rhs.T).T, rtol=1e-10, atol=1e-12)


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
