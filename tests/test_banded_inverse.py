"""The band of an inverse (selected inversion on the envelope Cholesky factor) against numpy.linalg.inv."""

import numpy as np
import pytest
import scipy.sparse

import spanlet
from spanlet import _extra


def parts(matrix):
    m = scipy.sparse.csr_array(matrix)
    m.sort_indices()
    return m.indptr.astype(np.int64), m.indices.astype(np.int64), m.data, m.shape


def band_of_inverse(matrix):
    indptr, indices, data, shape = _extra.inverse_band(parts(matrix))
    return scipy.sparse.csr_array((data, indices, indptr), shape=shape)


def random_band(n, b, seed):
    rng = np.random.default_rng(seed)
    lower = sum(np.diag(rng.uniform(-1, 1, n - k), -k) for k in range(b + 1))
    return lower @ lower.T + 0.5 * np.eye(n)  # half-bandwidth b, definite


def assert_inside_envelope_equals(band, matrix):
    dense = np.linalg.inv(matrix)
    got = band.toarray()
    stored = got != 0
    # Every entry of the matrix lies in the envelope, and so in the stored band.
    assert stored[matrix != 0].all()
    assert np.abs(got - dense)[stored].max() <= 1e-12 * np.abs(dense).max()
    assert abs(band - band.T).max() == 0  # both triangles, the same values


@pytest.mark.parametrize("b", [1, 2, 3, 4])
def test_band_equals_the_dense_inverse(b):
    matrix = random_band(200, b, seed=b)
    band = band_of_inverse(matrix)
    assert_inside_envelope_equals(band, matrix)
    assert band.nnz == 200 * (2 * b + 1) - b * (b + 1)


@pytest.mark.parametrize("degree", [1, 2, 3])
def test_periodic_gram_envelope(degree):
    space = spanlet.Space.bsplines_periodic(np.linspace(0, 1, 201), degree)
    gram = spanlet.inner_products(space, space).toarray()
    assert gram[0, -1] != 0  # the corner entries that make the envelope
    assert_inside_envelope_equals(band_of_inverse(gram), gram)


@pytest.mark.parametrize("matrix,message", [
    (np.array([[1.0, 1.0], [1.0, 1.0]]), "pivot 1 is 0e0"),
    (np.ones((2, 3)), "square"),
])
def test_refuses_what_it_cannot_invert(matrix, message):
    with pytest.raises(ValueError, match=message):
        _extra.inverse_band(parts(matrix))
