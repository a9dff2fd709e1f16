import numpy as np
import pytest
import scipy.sparse

import _spanlet_tests as t


def random_csr(nrows, ncols, density, seed):
    rng = np.random.default_rng(seed)
    dense = rng.standard_normal((nrows, ncols)) * (rng.random((nrows, ncols)) < density)
    m = scipy.sparse.csr_matrix(dense)
    m.sort_indices()
    return m


def parts(m):
    return (m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data.astype(np.float64), m.shape)


def to_scipy(p):
    indptr, indices, data, shape = p
    assert indptr.dtype == np.int64 and indices.dtype == np.int64 and data.dtype == np.float64
    assert isinstance(shape, tuple) and all(type(s) is int for s in shape)
    return scipy.sparse.csr_matrix((data, indices, indptr), shape=shape)


def assert_rows_ascending(p):
    indptr, indices = p[0], p[1]
    for i in range(len(indptr) - 1):
        assert np.all(np.diff(indices[indptr[i] : indptr[i + 1]]) > 0)


SHAPES = [(1, 1), (5, 3), (3, 7), (30, 40), (6, 9)]
MATRICES = [random_csr(r, c, d, s) for s, ((r, c), d) in enumerate(zip(SHAPES, [1.0, 0.5, 0.3, 0.1, 0.0]))]


def test_from_rows_keeps_rows_as_given():
    rows = [([3, 1], np.array([2.0, 0.0])), ([], np.array([])), ([0], np.array([-1.5]))]
    indptr, indices, data, shape = t.csr_from_rows(rows, 3, 4)
    assert indptr.tolist() == [0, 2, 2, 3]
    assert indices.tolist() == [3, 1, 0]
    assert data.tolist() == [2.0, 0.0, -1.5]
    assert shape == (3, 4)


def test_empty_matrix_python_form():
    indptr, indices, data, shape = t.csr_from_rows([([], np.array([]))] * 2, 2, 3)
    assert indptr.tolist() == [0, 0, 0] and indptr.dtype == np.int64
    assert indices.size == 0 and indices.dtype == np.int64
    assert data.size == 0 and data.dtype == np.float64
    assert shape == (2, 3)
    assert np.array_equal(t.csr_to_dense((indptr, indices, data, shape)), np.zeros((2, 3)))
    gram = t.csr_gram_columns((indptr, indices, data, shape))
    assert gram[0].tolist() == [0, 0, 0, 0] and gram[1].size == 0 and gram[3] == (3, 3)


@pytest.mark.parametrize("m", MATRICES)
def test_transpose_and_dense_match_scipy(m):
    p = parts(m)
    assert np.array_equal(t.csr_to_dense(p), m.toarray())
    transposed = t.csr_transpose(p)
    assert_rows_ascending(transposed)
    ref = m.T.tocsr()
    ref.sort_indices()
    assert np.array_equal(transposed[0], ref.indptr)
    assert np.array_equal(transposed[1], ref.indices)
    assert np.array_equal(transposed[2], ref.data)
    assert transposed[3] == m.shape[::-1]


def test_transpose_keeps_zeros_and_trailing_empty_rows():
    p = t.csr_from_rows([([0, 1], np.array([0.0, 2.0])), ([0], np.array([3.0]))], 2, 4)
    indptr, indices, data, shape = t.csr_transpose(p)
    assert indptr.tolist() == [0, 2, 3, 3, 3]
    assert indices.tolist() == [0, 1, 0]
    assert data.tolist() == [0.0, 3.0, 2.0]
    assert shape == (4, 2)


@pytest.mark.parametrize("m", MATRICES)
def test_gram_columns_matches_scipy(m):
    gram = t.csr_gram_columns(parts(m))
    assert_rows_ascending(gram)
    assert not np.any(gram[2] == 0)
    np.testing.assert_allclose(to_scipy(gram).toarray(), (m.T @ m).toarray(), rtol=1e-14, atol=1e-14)


def test_gram_columns_with_wrap_rows():
    # Banded rows plus a few that join the first and last columns, as a periodic design has.
    rng = np.random.default_rng(7)
    dense = np.zeros((60, 50))
    for i in range(60):
        j = int(rng.integers(0, 47))
        dense[i, j : j + 4] = rng.standard_normal(4)
    dense[[3, 40], 0], dense[[3, 40], 49] = rng.standard_normal(2), rng.standard_normal(2)
    m = scipy.sparse.csr_matrix(dense)
    gram = t.csr_gram_columns(parts(m))
    assert_rows_ascending(gram)
    np.testing.assert_allclose(to_scipy(gram).toarray(), dense.T @ dense, rtol=1e-14, atol=1e-14)


def test_gram_columns_single_row_and_cancellation():
    gram = t.csr_gram_columns(t.csr_from_rows([([2, 5], np.array([1.0, 2.0]))], 1, 7))
    indptr, indices = gram[0], gram[1]
    stored = {(i, int(j)) for i in range(7) for j in indices[indptr[i] : indptr[i + 1]]}
    assert stored == {(2, 2), (2, 5), (5, 2), (5, 5)}
    assert gram[2].tolist() == [1.0, 2.0, 2.0, 4.0]
    # Off-diagonal products that cancel exactly are left out.
    rows = [([0, 1], np.array([1.0, 1.0])), ([0, 1], np.array([1.0, -1.0]))]
    gram = t.csr_gram_columns(t.csr_from_rows(rows, 2, 2))
    assert gram[0].tolist() == [0, 1, 2] and gram[1].tolist() == [0, 1] and gram[2].tolist() == [2.0, 2.0]


def strided_views(x):
    """Arrays equal to x with other layouts: each must give the same product."""
    yield x
    yield np.asfortranarray(x)
    yield np.repeat(x, 2, axis=1)[:, ::2]
    yield np.flip(np.flip(x).copy())  # negative strides
    yield x.astype(x.dtype.newbyteorder())
    unaligned = np.zeros(x.size * 8 + 1, np.uint8)[1:].view(np.float64).reshape(x.shape)
    unaligned[...] = x
    yield unaligned


@pytest.mark.parametrize("m", MATRICES)
def test_apply_last_axis_matches_scipy(m):
    x = np.random.default_rng(1).standard_normal((9, m.shape[1]))
    reference = (m @ x.T).T
    for view in strided_views(x):
        np.testing.assert_allclose(t.csr_apply_last_axis(parts(m), view), reference, rtol=1e-13, atol=1e-13)


def test_apply_last_axis_edges():
    p = t.csr_from_rows([([0], np.array([2.0])), ([], np.array([]))], 2, 3)
    y = t.csr_apply_last_axis(p, np.ones((4, 3)))
    assert y.shape == (4, 2)
    assert np.all(y[:, 0] == 2.0)
    assert np.all(y[:, 1] == 0.0) and np.all(np.signbit(y[:, 1]))  # sums start from -0.0
    assert t.csr_apply_last_axis(p, np.ones((0, 3))).shape == (0, 2)
    with pytest.raises(ValueError, match="x has the wrong number of columns"):
        t.csr_apply_last_axis(p, np.ones((4, 2)))
