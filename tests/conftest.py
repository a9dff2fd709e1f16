"""Helpers shared by the test files (imported as ``from conftest import ...``, the way
``exact_pieces`` and ``reference_elements`` are)."""

import numpy as np
from scipy.sparse import csr_array

from spanlet._spanlet import evaluate


def arr(*values):
    """A float64 array of the given numbers."""
    return np.array(values, dtype=np.float64)


def dense(parts):
    """The dense matrix of a native sparse result ``(indptr, indices, data, shape)``."""
    indptr, indices, data, shape = parts
    return csr_array((data, indices, indptr), shape=shape).toarray()


def checked(parts, shape=None):
    """``dense(parts)`` after checking the tuple is a canonical CSR (of ``shape`` if given)."""
    indptr, indices, data, got_shape = parts
    assert all(type(n) is int for n in got_shape) and (shape is None or got_shape == shape)
    rows, columns = got_shape
    assert indptr.dtype == np.int64 and indices.dtype == np.int64 and data.dtype == np.float64
    assert indptr.shape == (rows + 1,) and indptr[0] == 0 and np.all(np.diff(indptr) >= 0)
    assert len(indices) == len(data) == indptr[-1]
    for i in range(rows):
        row = indices[indptr[i]:indptr[i + 1]]
        assert np.all(np.diff(row) > 0) and np.all((row >= 0) & (row < columns))
    return dense(parts)


def no_stored_zeros(parts):
    assert np.all(parts[2] != 0)


def evaluated(space, x):
    """``evaluate`` as a dense (points, elements) matrix."""
    return dense(evaluate(space, np.asarray(x, dtype=np.float64)))


def element_values(space, x):
    """Values of every element at ``x`` through the private test extension, not through evaluate."""
    import _spanlet_tests  # only the files that use it need the private extension

    return _spanlet_tests.space_values(space, np.asarray(x, dtype=np.float64))
