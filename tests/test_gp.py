"""GaussianProcess against scikit-learn's GaussianProcessRegressor on points, and against a dense
Gauss-Legendre reference on pixel means."""

import pickle

import numpy as np
import pytest

import spanlet

sk_gp = pytest.importorskip("sklearn.gaussian_process")
from sklearn.gaussian_process.kernels import (  # noqa: E402
    RBF, ConstantKernel, Hyperparameter, Kernel, Matern, WhiteKernel)

FAMILIES = {"matern12": 0.5, "matern32": 1.5, "matern52": 2.5, "gaussian": None}


class OnDimension(Kernel):
    """A scikit-learn kernel applied to one input column: products of these are products of 1-D kernels."""

    def __init__(self, kernel, dim):
        self.kernel = kernel
        self.dim = dim

    def get_params(self, deep=True):
        params = dict(kernel=self.kernel, dim=self.dim)
        if deep:
            params.update(("kernel__" + k, v) for k, v in self.kernel.get_params().items())
        return params

    @property
    def hyperparameters(self):
        return [Hyperparameter("kernel__" + h.name, h.value_type, h.bounds, h.n_elements)
                for h in self.kernel.hyperparameters]

    @property
    def theta(self):
        return self.kernel.theta

    @theta.setter
    def theta(self, theta):
        self.kernel.theta = theta

    @property
    def bounds(self):
        return self.kernel.bounds

    def __call__(self, X, Y=None, eval_gradient=False):
        return self.kernel(X[:, [self.dim]], None if Y is None else Y[:, [self.dim]], eval_gradient)

    def diag(self, X):
        return self.kernel.diag(X[:, [self.dim]])

    def is_stationary(self):
        return True


def one_d(family, length):
    nu = FAMILIES[family]
    return RBF(length) if nu is None else Matern(length, nu=nu)


def sklearn_kernel(family, variance, lengths, noise=None):
    kernel = ConstantKernel(variance)
    if len(lengths) == 1:
        kernel = kernel * one_d(family, lengths[0])
    else:
        for d, length in enumerate(lengths):
            kernel = kernel * OnDimension(one_d(family, length), d)
    return kernel if noise is None else kernel + WhiteKernel(noise)


def data(dim, n=40, seed=0):
    rng = np.random.default_rng(seed)
    x = rng.uniform(0, 4, (n, dim))
    y = np.sin(2 * x).sum(axis=1) + rng.normal(0, 0.2, n)
    return x, y


def model(family, variance, lengths, noise, **options):
    return spanlet.GaussianProcess([(family, length, None, None) for length in lengths], variance, noise, **options)


def relative(got, want):
    return np.max(np.abs(got - want)) / np.max(np.abs(want))


@pytest.mark.parametrize("dim", [1, 2])
@pytest.mark.parametrize("family", FAMILIES)
def test_fixed_hyperparameters_give_sklearn_posterior(family, dim):
    x, y = data(dim)
    lengths, variance, noise = [0.7, 1.3][:dim], 1.7, 0.02
    ours = model(family, variance, lengths, noise, fixed="all").fit(x, y)
    theirs = sk_gp.GaussianProcessRegressor(sklearn_kernel(family, variance, lengths, noise), alpha=0,
                                            optimizer=None).fit(x, y)
    new = np.random.default_rng(5).uniform(-0.5, 4.5, (25, dim))
    mean, std = ours.predict(new, return_std=True)
    want_mean, want_std = theirs.predict(new, return_std=True)
    assert relative(mean, want_mean) < 1e-10
    # scikit-learn's variance includes the white noise; ours is that of the field itself.
    assert relative(np.sqrt(std**2 + noise), want_std) < 1e-10
    _, cov = ours.predict(new, return_cov=True)
    np.testing.assert_allclose(np.sqrt(np.diag(cov)), std, rtol=1e-9, atol=1e-12)
    ours.fixed = frozenset()  # the likelihood over every hyperparameter
    theta = np.log([1.1, *[0.9, 1.6][:dim], 0.05])  # sklearn orders C * k_0 * k_1 + White the same way
    value, grad = ours.log_marginal_likelihood(theta, gradient=True)
    want_value, want_grad = theirs.log_marginal_likelihood(theta, eval_gradient=True)
    assert value == pytest.approx(want_value, rel=1e-11)
    np.testing.assert_allclose(grad, want_grad, rtol=1e-8, atol=1e-9 * np.abs(want_grad).max())


@pytest.mark.filterwarnings("ignore:The optimal value found")  # sklearn: the noise may end at its bound
@pytest.mark.parametrize("dim", [1, 2])
@pytest.mark.parametrize("family", FAMILIES)
def test_fit_reaches_the_sklearn_optimum_from_the_same_start(family, dim):
    x, y = data(dim, n=25, seed=1)
    lengths = [1.0, 0.8][:dim]
    ours = model(family, 1.0, lengths, 0.1).fit(x, y)
    theirs = sk_gp.GaussianProcessRegressor(sklearn_kernel(family, 1.0, lengths, 0.1), alpha=0).fit(x, y)
    assert ours.log_marginal_likelihood_value_ == pytest.approx(theirs.log_marginal_likelihood_value_, rel=1e-6)
    np.testing.assert_allclose(ours.theta, theirs.kernel_.theta, atol=1e-4)


def test_per_observation_noise_is_sklearn_alpha():
    x, y = data(1, n=30)
    noise = np.random.default_rng(2).uniform(0.01, 0.05, y.size)
    ours = model("matern32", 1.0, [0.6], noise).fit(x, y)
    theirs = sk_gp.GaussianProcessRegressor(sklearn_kernel("matern32", 1.0, [0.6]), alpha=noise).fit(x, y)
    assert ours.hyperparameter_names == ["variance", "length_0"]
    assert ours.log_marginal_likelihood_value_ == pytest.approx(theirs.log_marginal_likelihood_value_, rel=1e-6)
    np.testing.assert_allclose(ours.theta, theirs.kernel_.theta, atol=1e-4)
    new = np.linspace(0, 4, 9)[:, None]
    mean, std = ours.predict(new, return_std=True)
    want_mean, want_std = theirs.predict(new, return_std=True)
    np.testing.assert_allclose(mean, want_mean, rtol=1e-6, atol=1e-6)
    np.testing.assert_allclose(std, want_std, rtol=1e-5)


# Pixel means: the kernel averaged over Gauss-Legendre nodes. Same-pixel entries integrate the kink
# of k(x - y) at x = y exactly through the distance: (2 / w^2) int_0^w (w - r) k(r) dr.
NODES, WEIGHTS = np.polynomial.legendre.leggauss(24)


def on(a, b):
    return (a + b) / 2 + (b - a) / 2 * NODES, WEIGHTS / 2  # nodes and weights of a mean over [a, b]


def pixel_covariance(kernel, edges):
    n = edges.size - 1
    nodes, weights = zip(*(on(a, b) for a, b in zip(edges[:-1], edges[1:])))
    nodes, weights = np.concatenate(nodes), np.concatenate(weights)
    K = (kernel(nodes[:, None]) * np.outer(weights, weights)).reshape(n, NODES.size, n, NODES.size).sum(axis=(1, 3))
    for i, (a, b) in enumerate(zip(edges[:-1], edges[1:])):
        r, wr = on(0.0, b - a)
        K[i, i] = 2 / (b - a) * np.sum(wr * (b - a - r) * kernel(r[:, None], np.zeros((1, 1)))[:, 0])
    return K


def point_pixel_covariance(kernel, x, edges):
    K = np.zeros((x.size, edges.size - 1))
    for i, p in enumerate(x):
        for j, (a, b) in enumerate(zip(edges[:-1], edges[1:])):
            pieces = [(a, p), (p, b)] if a < p < b else [(a, b)]
            for lo, hi in pieces:
                t, w = on(lo, hi)
                K[i, j] += (hi - lo) / (b - a) * np.sum(w * kernel(t[:, None], np.array([[p]]))[:, 0])
    return K


@pytest.mark.parametrize("family", FAMILIES)
def test_pixel_means_match_a_dense_gauss_legendre_reference(family):
    edges = np.linspace(0, 6, 31)
    means = (np.cos(edges[:-1]) - np.cos(edges[1:])) / np.diff(edges)
    y = means + np.random.default_rng(3).normal(0, 0.05, means.size)
    variance, length, noise = 1.3, 0.9, 0.003
    pixels = spanlet.Space.boxes(edges)
    ours = model(family, variance, [length], noise, fixed="all").fit(pixels, y)

    kernel = one_d(family, length)
    Ky = variance * pixel_covariance(kernel, edges) + noise * np.eye(y.size)
    factor = np.linalg.cholesky(Ky)
    alpha = np.linalg.solve(Ky, y)
    lml = -0.5 * y @ alpha - np.log(np.diag(factor)).sum() - 0.5 * y.size * np.log(2 * np.pi)
    assert ours.log_marginal_likelihood_value_ == pytest.approx(lml, rel=1e-9)
    x = np.array([0.0, 0.33, 1.7, 2.45, 5.99])
    want = variance * point_pixel_covariance(kernel, x, edges) @ alpha
    assert relative(ours.predict(x), want) < 1e-9
    assert relative(ours.predict(pixels), variance * pixel_covariance(kernel, edges) @ alpha) < 1e-9


@pytest.mark.parametrize("atoms", ["boxes", "hats x boxes"])
def test_likelihood_gradient_on_integrated_atoms_is_the_derivative(atoms):
    edges = np.linspace(0, 3, 13)
    if atoms == "boxes":
        dims, spaces = [("matern32", 0.8, None, None)], spanlet.Space.boxes(edges)
    else:
        hats = spanlet.Space.hats(np.linspace(0, 2, 14)).take(list(range(1, 13)))
        dims = [("matern52", 0.8, None, None), ("gaussian", 0.5, None, None)]
        spaces = [spanlet.Space.boxes(edges), hats]
    y = np.cos(edges[:-1] * 2)
    gp = spanlet.GaussianProcess(dims, 1.2, 0.01, fixed="all").fit(spaces, y)
    gp.fixed = frozenset()
    theta = gp.theta + 0.1
    _, grad = gp.log_marginal_likelihood(theta, gradient=True)
    h = 1e-5
    for k in range(theta.size):
        step = np.eye(theta.size)[k] * h
        numeric = (gp.log_marginal_likelihood(theta + step) - gp.log_marginal_likelihood(theta - step)) / (2 * h)
        assert grad[k] == pytest.approx(numeric, rel=1e-6, abs=1e-8)


def test_samples_have_the_posterior_moments():
    x, y = data(1, n=8)
    gp = model("matern52", 1.0, [0.8], 0.01, fixed="all").fit(x, y)
    new = np.linspace(0, 4, 5)
    mean, cov = gp.predict(new, return_cov=True)
    draws = gp.sample_y(new, n_samples=20000, random_state=1)
    np.testing.assert_allclose(draws.mean(axis=1), mean, atol=4 * np.sqrt(cov.diagonal().max() / 20000))
    np.testing.assert_allclose(np.cov(draws), cov, atol=0.05 * cov.diagonal().max())


def test_restarts_keep_the_best_optimum():
    x, y = data(1, n=15, seed=4)
    single = model("gaussian", 50.0, [50.0], 1.0).fit(x, y)
    restarted = model("gaussian", 50.0, [50.0], 1.0, n_restarts=2, random_state=0).fit(x, y)
    assert restarted.log_marginal_likelihood_value_ >= single.log_marginal_likelihood_value_ - 1e-9


def test_pickle_keeps_the_fitted_model():
    x, y = data(1, n=20)
    gp = model("matern32", 1.0, [0.5], 0.05, fixed=["noise"]).fit(x, y)
    loaded = pickle.loads(pickle.dumps(gp))
    assert repr(loaded) == repr(gp)
    assert repr(gp).startswith("GaussianProcess(dims=[('matern32', ") and repr(gp).endswith(
        "noise=0.05, fixed=['noise'], n_observations=20)")
    np.testing.assert_array_equal(loaded.predict([0.3, 1.0]), gp.predict([0.3, 1.0]))


def bad_fit(**changes):
    options = dict(dims=[("matern32", 1.0, None, None)], noise=0.1, atoms=[0.0, 1.0, 2.0], y=[1.0, 2.0, 3.0])
    options.update(changes)
    atoms, y = options.pop("atoms"), options.pop("y")
    spanlet.GaussianProcess(**options).fit(atoms, y)


@pytest.mark.parametrize("changes,message", [
    (dict(y=[1.0, 2.0]), "y has 2 values but atoms have 3 atoms"),
    (dict(y=[1.0, np.nan, 3.0]), "y must not hold NaN or inf"),
    (dict(atoms=[0.0, np.nan, 1.0]), "atoms must not hold NaN or inf"),
    (dict(noise=0.0), "noise must be a finite variance > 0 (None for noise-free observations), got 0.0"),
    (dict(noise=[0.1, -0.1, 0.1]), "noise must hold finite variances > 0, got -0.1 at index 1"),
    (dict(noise=[0.1, 0.1]), "noise holds 2 variances but there are 3 observations"),
    (dict(dims=[("Matern32", 1.0, None, None)]), "argument 'dims': unknown covariance family \"Matern32\""),
    (dict(dims=[("matern32", 0.0, None, None)]), "the length of dims[0] must be finite and > 0, got 0.0"),
    (dict(variance=-1.0), "variance must be finite and > 0, got -1.0"),
    (dict(fixed=["length"]), "fixed names unknown hyperparameters ['length']"),
    (dict(noise=None, jitter=0.0, atoms=[0.0, 1.0, 1.0], fixed="all"),
     "the covariance of the observations is not positive definite noise=None"),
    (dict(atoms=[spanlet.Space.boxes([0, 1, 2]), spanlet.Space.boxes([0, 1, 2])]),
     "atoms needs one Space per dimension of dims (1), got 2"),
])
def test_bad_input_names_the_argument(changes, message):
    with pytest.raises(ValueError) as error:
        bad_fit(**changes)
    assert str(error.value).startswith(message)
