"""Projection.propagate: the covariance of projected coefficients against the dense P S P^T and a
Monte Carlo of the projection itself."""

import numpy as np
import pytest
import scipy.sparse

import spanlet
from spanlet import Space

EDGES = np.sort(np.random.default_rng(3).uniform(0, 10, 41))


def banded_covariance(n, rng):
    """A symmetric positive definite covariance with three off-diagonals (correlated pixels)."""
    a = scipy.sparse.diags_array([rng.uniform(0.5, 1.5, n), 0.3 * rng.uniform(-1, 1, n - 1)], offsets=[0, 1])
    return scipy.sparse.csr_array(a @ a.T + scipy.sparse.eye_array(n) * 0.1)


PAIRS = {
    "boxes onto boxes": (Space.boxes(EDGES), Space.boxes(np.linspace(EDGES[0], EDGES[-1], 9)), True),
    "boxes onto hats": (Space.boxes(EDGES), Space.hats(np.linspace(EDGES[0], EDGES[-1], 12)), False),
    "hats onto cubic splines": (Space.hats(EDGES), Space.bsplines_clamped(np.linspace(0, 10, 8), 3), False),
    # Targets out of order along the sources take the general path (a transpose of K).
    "boxes onto shuffled boxes": (Space.boxes(EDGES), Space.boxes(np.linspace(0, 10, 9)).take([3, 0, 7, 1, 6, 2, 5, 4]),
                                  True),
    "boxes onto periodic splines": (Space.boxes(np.linspace(0, 10, 30)),
                                    Space.bsplines_periodic(np.linspace(0, 10, 9), 2), False),
}


@pytest.mark.parametrize("name", PAIRS)
@pytest.mark.parametrize("correlated", [False, True])
def test_equals_dense_product(name, correlated):
    src, dst, sparse = PAIRS[name]
    p = spanlet.Projection(src, dst)
    rng = np.random.default_rng(1)
    n = p.n_src
    sigma = banded_covariance(n, rng) if correlated else rng.uniform(0.1, 2.0, n)
    dense_p = p.to_dense()
    expected = dense_p @ (sigma.toarray() if correlated else np.diag(sigma)) @ dense_p.T
    got = p.propagate(sigma)
    assert scipy.sparse.issparse(got) == sparse
    got = got.toarray() if sparse else got
    assert got.shape == (p.n_dst, p.n_dst)
    np.testing.assert_array_equal(got, got.T)
    assert np.abs(got - expected).max() <= 1e-12 * np.abs(expected).max()


@pytest.mark.parametrize("name", ["boxes onto boxes", "boxes onto hats"])
def test_monte_carlo(name):
    src, dst, _ = PAIRS[name]
    p = spanlet.Projection(src, dst)
    rng = np.random.default_rng(7)
    sigma = banded_covariance(p.n_src, rng).toarray()
    draws = 10_000
    noise = rng.standard_normal((draws, p.n_src)) @ np.linalg.cholesky(sigma).T
    out = p.apply_last_axis(noise)
    sample = out.T @ out / draws  # the mean is known to be 0
    cov = p.propagate(sigma)
    cov = cov.toarray() if scipy.sparse.issparse(cov) else cov
    # Standard error of a Gaussian sample covariance entry: sqrt((C_pp C_qq + C_pq^2) / N).
    d = np.diag(cov)
    error = np.sqrt((np.outer(d, d) + cov ** 2) / draws)
    assert np.abs(sample - cov).max() / error.max() < 5
    assert np.all(np.abs(sample - cov) <= 5 * error)


def test_dense_and_scalar_inputs_agree():
    src, dst, _ = PAIRS["boxes onto hats"]
    p = spanlet.Projection(src, dst)
    one = p.propagate(2.0)
    np.testing.assert_allclose(one, p.propagate(np.full(p.n_src, 2.0)), rtol=0, atol=0)
    np.testing.assert_allclose(p.propagate(np.eye(p.n_src) * 2.0), one, rtol=1e-14, atol=1e-16)


@pytest.mark.parametrize("variance,message", [
    (-1.0, "variance must be finite and >= 0, got -1"),
    (np.nan, "variance must be finite and >= 0, got NaN"),
    (np.ones(3), "variance must have shape (40,) or (40, 40), got (3,)"),
    (np.ones((3, 3)), "variance must have shape (40,) or (40, 40), got (3, 3)"),
    (np.triu(np.ones((40, 40))), "variance (a covariance matrix) must be symmetric: entry (0, 1) is 1, its mirror 0"),
    (-np.eye(40), "variance (a covariance matrix) must be finite with a diagonal >= 0, got -1 at (0, 0)"),
])
def test_refusals(variance, message):
    p = spanlet.Projection(Space.boxes(EDGES), Space.boxes([0, 10]))
    with pytest.raises(ValueError) as info:
        p.propagate(variance)
    assert str(info.value) == message
