r"""Gaussian-process regression on point values and on averages over any elements.

The field :math:`f` has the separable covariance of :mod:`spanlet.covariance` with signal
variance :math:`\sigma^2` and one correlation length :math:`\ell_d` per dimension. An
observation is an atom :math:`a_i` (a point, a pixel, any element or product of elements)
seen with Gaussian noise,

.. math::

    y_i = \langle f \rangle_{a_i} + \varepsilon_i, \qquad
    \operatorname{cov}(y) = K + N, \quad K_{ij} = \operatorname{cov}(\langle f \rangle_{a_i},
    \langle f \rangle_{a_j}),

where :math:`N` is :math:`\sigma_n^2 I` (white noise) or the diagonal of given per-observation
variances. :math:`K` is exact for every kind of atom, so pixel means are modelled as pixel
means, not as values at the pixel centres.

With :math:`L L^T = K + N` and :math:`\alpha = (K + N)^{-1} y`, the log marginal likelihood is

.. math::

    \log p(y) = -\tfrac12 y^T \alpha - \sum_i \log L_{ii} - \tfrac{n}{2} \log 2\pi,

and its derivative in :math:`\theta_k = \log p_k` (a length, the signal variance or the noise
variance) is :math:`\tfrac12 \operatorname{tr}\big((\alpha\alpha^T - (K+N)^{-1})\,
\partial (K+N)/\partial\theta_k\big)`, with the length derivatives taken from
:func:`~spanlet.covariance_length_derivatives`.

Classes
-------
GaussianProcess    regression with fitted hyperparameters, posterior mean, variance and samples

Examples
--------
Noisy pixel means of :math:`\sin x`, read back as the function at points:

>>> import numpy as np, spanlet
>>> edges = np.linspace(0, 10, 41)
>>> means = (np.cos(edges[:-1]) - np.cos(edges[1:])) / np.diff(edges)
>>> y = means + np.random.default_rng(1).normal(0, 0.05, means.size)
>>> gp = spanlet.GaussianProcess([("matern52", 1.0, None, None)], noise=0.01)
>>> gp = gp.fit(spanlet.Space.boxes(edges), y)
>>> x = np.linspace(1, 9, 5)
>>> mean, std = gp.predict(x, return_std=True)
>>> bool(np.all(np.abs(mean - np.sin(x)) < 3 * std + 0.02))
True
"""

from __future__ import annotations

import math
import warnings
from typing import Any

import numpy as np
import scipy.linalg
import scipy.optimize
from scipy.linalg import blas, lapack

from spanlet._arrays import real_array, vector
from spanlet._space import Space
from spanlet.covariance import _dims, _is_space, _spaces, covariance_diagonal, covariance_length_derivatives
from spanlet.covariance import covariance_matrix

__all__ = ["GaussianProcess"]

_LOG_2PI = math.log(2.0 * math.pi)
_DEFAULT_BOUNDS = (1e-5, 1e5)


def _positive(value: Any, name: str) -> float:
    try:
        number = float(value)
    except (TypeError, ValueError) as error:
        raise TypeError(f"argument '{name}': expected a number, got {type(value).__name__}") from error
    if not (math.isfinite(number) and number > 0):
        raise ValueError(f"{name} must be finite and > 0, got {number!r}")
    return number


def _random_state(seed: Any) -> Any:
    if isinstance(seed, (np.random.Generator, np.random.RandomState)):
        return seed
    return np.random.RandomState(seed)


class GaussianProcess:
    r"""Gaussian-process regression whose observations are points or averages over elements.

    Parameters
    ----------
    dims : sequence of (family, length, period, factor)
        The covariance model, one description per dimension, as for
        :func:`~spanlet.covariance_matrix` (see :mod:`spanlet.covariance`). The lengths are the
        starting values of the fitted correlation lengths; families, periods and variance
        factors stay as given.
    variance : float, default 1.0
        The signal variance :math:`\sigma^2` (its starting value when fitted).
    noise : float, array_like or None, default 1.0
        The noise model. A number: white noise of that variance, a hyperparameter fitted with
        the others (unless fixed). An array: one known variance per observation, never fitted
        (its length must match the data given to :meth:`fit`). None: noise-free observations,
        for which the covariance itself must be positive definite (see ``jitter``).
    fixed : str or sequence of str, default ()
        Hyperparameters kept at their given values: any of ``"variance"``, ``"length_0"``,
        ``"length_1"``, ... (one per dimension) and ``"noise"``, or ``"all"``.
    bounds : (float, float) or dict, default (1e-5, 1e5)
        Bounds on the hyperparameter values (not their logarithms) during the fit: one pair for
        all, or a dict from hyperparameter name to pair (names not in it get (1e-5, 1e5)).
    n_restarts : int, default 0
        Further optimiser runs from starting points drawn log-uniformly within the bounds; the
        best optimum is kept (as ``n_restarts_optimizer`` of scikit-learn).
    random_state : int, None, numpy.random.RandomState or numpy.random.Generator, default None
        The source of the restart points.
    jitter : float, default 1e-10
        Only with ``noise=None``: ``jitter`` times the signal variance is added to the diagonal
        of the covariance before it is factored. With a noise model nothing is added. The rule
        is fixed (no retries with more jitter), so the likelihood stays a smooth function of the
        hyperparameters.

    Attributes
    ----------
    dims_, variance_, noise_
        The hyperparameters after :meth:`fit` (the given ones when all are fixed).
    log_marginal_likelihood_value_ : float
        The log marginal likelihood of the training data at the fitted hyperparameters.
    n_observations_ : int
        The number of training observations.

    Notes
    -----
    The posterior from :meth:`predict` is that of the noise-free field averaged over the given
    atoms. (scikit-learn's ``predict`` with a ``WhiteKernel`` adds the noise variance to the
    predicted variance; add ``noise_`` for the variance of a new noisy observation.)

    Every fit factors the dense :math:`n \times n` covariance, as scikit-learn does: the cost
    per likelihood evaluation is the covariance with its length derivatives plus
    :math:`O(n^3)` for the Cholesky factor and the inverse.

    The covariance between two elements is integrated on panels no longer than about half a
    correlation length, so its cost grows with the element width over the length: with pixel
    data, keep the lower bound of each length a fair fraction of the pixel width (restarts draw
    lengths log-uniformly between the bounds, and the default lower bound is 1e-5).

    A model pickles with its training data and factor; it has no native state.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> x = np.linspace(0, 5, 30)
    >>> y = np.sin(x) + np.random.default_rng(0).normal(0, 0.1, x.size)
    >>> gp = spanlet.GaussianProcess([("gaussian", 1.0, None, None)], noise=0.01)
    >>> gp
    GaussianProcess(dims=[('gaussian', 1.0, None, None)], variance=1.0, noise=0.01)
    >>> gp = gp.fit(x, y)
    >>> gp.hyperparameter_names
    ['variance', 'length_0', 'noise']
    >>> bool(0.5 < gp.dims_[0][1] < 3), bool(0.003 < gp.noise_ < 0.03)
    (True, True)
    >>> mean = gp.predict([2.5])
    >>> bool(abs(mean[0] - np.sin(2.5)) < 0.1)
    True
    """

    def __init__(self, dims: Any, variance: float = 1.0, noise: Any = 1.0, *, fixed: Any = (),
                 bounds: Any = _DEFAULT_BOUNDS, n_restarts: int = 0, random_state: Any = None,
                 jitter: float = 1e-10) -> None:
        self.dims = self._check_dims(dims)
        self.variance = _positive(variance, "variance")
        self.noise = self._check_noise(noise)
        names = self.hyperparameter_names
        self.fixed = self._check_fixed(fixed, names)
        self.bounds = self._check_bounds(bounds, names)
        if isinstance(n_restarts, bool) or not isinstance(n_restarts, (int, np.integer)) or n_restarts < 0:
            raise ValueError(f"n_restarts must be an integer >= 0, got {n_restarts!r}")
        self.n_restarts = int(n_restarts)
        self.random_state = random_state
        jitter = float(jitter)
        if not (math.isfinite(jitter) and jitter >= 0):
            raise ValueError(f"jitter must be finite and >= 0, got {jitter!r}")
        self.jitter = jitter
        self._fitted: dict | None = None

    # -- validation --------------------------------------------------------------------------

    @staticmethod
    def _check_dims(dims: Any) -> list:
        if isinstance(dims, (tuple, list)) and dims and isinstance(dims[0], str):
            dims = [dims]
        if isinstance(dims, str) or not isinstance(dims, (tuple, list)):
            raise TypeError(f"argument 'dims': expected a sequence of (family, length, period, factor), "
                            f"got {type(dims).__name__}")
        if not dims:
            raise ValueError("dims must describe at least one dimension")
        result = []
        for d, item in enumerate(dims):
            if not isinstance(item, (tuple, list)) or len(item) != 4:
                raise ValueError(f"dims[{d}] must be (family, length, period, factor), got {item!r}")
            family, length, period, factor = item
            result.append((family, _positive(length, f"the length of dims[{d}]"), period,
                           tuple(factor) if isinstance(factor, list) else factor))
        # One point atom per dimension: the native model checks families, periods and factors.
        probe = [Space.deltas([0.0]) for _ in result]
        try:
            covariance_diagonal(1.0, result, probe)
        except (TypeError, ValueError) as error:
            raise type(error)(f"argument 'dims': {error}") from error
        return result

    @staticmethod
    def _check_noise(noise: Any) -> Any:
        if noise is None:
            return None
        if np.ndim(noise) == 0:
            value = float(noise)
            if not (math.isfinite(value) and value > 0):
                raise ValueError(f"noise must be a finite variance > 0 (None for noise-free observations), "
                                 f"got {value!r}")
            return value
        values = vector(noise, "noise")
        if not (np.isfinite(values).all() and (values > 0).all()):
            bad = int(np.flatnonzero(~(np.isfinite(values) & (values > 0)))[0])
            raise ValueError(f"noise must hold finite variances > 0, got {float(values[bad])!r} at index {bad}")
        values = values.copy()
        values.flags.writeable = False
        return values

    def _white(self) -> bool:
        return isinstance(self.noise, float)

    @staticmethod
    def _check_fixed(fixed: Any, names: list[str]) -> frozenset:
        if isinstance(fixed, str):
            fixed = names if fixed == "all" else [fixed]
        result = frozenset(fixed)
        unknown = sorted(result - set(names))
        if unknown:
            raise ValueError(f"fixed names unknown hyperparameters {unknown}; the hyperparameters are {names}")
        return result

    @staticmethod
    def _check_bounds(bounds: Any, names: list[str]) -> dict:
        if isinstance(bounds, dict):
            unknown = sorted(set(bounds) - set(names))
            if unknown:
                raise ValueError(f"bounds names unknown hyperparameters {unknown}; the hyperparameters are {names}")
            pairs = {name: bounds.get(name, _DEFAULT_BOUNDS) for name in names}
        else:
            pairs = {name: bounds for name in names}
        result = {}
        for name, pair in pairs.items():
            try:
                lo, hi = (float(v) for v in pair)
            except (TypeError, ValueError) as error:
                raise ValueError(f"bounds of {name} must be a pair (lo, hi), got {pair!r}") from error
            if not (0 < lo <= hi < math.inf):
                raise ValueError(f"bounds of {name} must satisfy 0 < lo <= hi < inf, got ({lo!r}, {hi!r})")
            result[name] = (lo, hi)
        return result

    def _atoms(self, atoms: Any, name: str) -> tuple[list, int]:
        """Spaces (one per dimension) and the atom count; numbers are point atoms."""
        count = len(self.dims)
        if _is_space(atoms) or (isinstance(atoms, (list, tuple)) and atoms and all(_is_space(s) for s in atoms)):
            spaces = [atoms] if _is_space(atoms) else list(atoms)
            _spaces(spaces, name)  # type check only
        else:
            points = real_array(atoms, name)
            if points.ndim == 1 and count == 1:
                points = points[:, np.newaxis]
            if points.ndim != 2 or points.shape[1] != count:
                raise ValueError(f"{name} must be Spaces or points of shape (n, {count}), got shape {points.shape}")
            if not np.isfinite(points).all():
                raise ValueError(f"{name} must not hold NaN or inf")
            spaces = [Space.deltas(points[:, d]) for d in range(count)]
        if len(spaces) != count:
            raise ValueError(f"{name} needs one Space per dimension of dims ({count}), got {len(spaces)}")
        lengths = [len(s) for s in spaces]
        if len(set(lengths)) != 1:
            raise ValueError(f"{name}: every dimension's Space must have one element per atom, got lengths {lengths}")
        return spaces, lengths[0]

    @staticmethod
    def _weights(weights: Any, count: int) -> list:
        if weights is None:
            return [None] * count
        if np.ndim(weights) == 0:
            weights = [weights]
        weights = list(weights)
        if len(weights) != count:
            raise ValueError(f"weights needs one entry per dimension of dims ({count}), got {len(weights)}")
        return weights

    # -- hyperparameters ---------------------------------------------------------------------

    @property
    def hyperparameter_names(self) -> list[str]:
        """The names of all hyperparameters, in the order of :attr:`theta` (fixed ones included).

        Examples
        --------
        >>> import spanlet
        >>> dims = [("matern32", 1.0, None, None), ("gaussian", 2.0, None, None)]
        >>> spanlet.GaussianProcess(dims).hyperparameter_names
        ['variance', 'length_0', 'length_1', 'noise']
        """
        names = ["variance"] + [f"length_{d}" for d in range(len(self.dims))]
        return names + ["noise"] if self._white() else names

    def _values(self) -> dict:
        """Current hyperparameter values (fitted ones after a fit)."""
        state = self._fitted
        dims = self.dims if state is None else state["dims"]
        values = {"variance": self.variance if state is None else state["variance"]}
        values.update((f"length_{d}", item[1]) for d, item in enumerate(dims))
        if self._white():
            values["noise"] = self.noise if state is None else state["noise"]
        return values

    def _free(self) -> list[str]:
        return [n for n in self.hyperparameter_names if n not in self.fixed]

    @property
    def theta(self) -> np.ndarray:
        """The logarithms of the free (not fixed) hyperparameters, current values (fitted after a fit).

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> gp = spanlet.GaussianProcess([("matern12", 2.0, None, None)], variance=3.0, fixed="noise")
        >>> bool(np.allclose(np.exp(gp.theta), [3.0, 2.0]))
        True
        """
        values = self._values()
        return np.log([values[n] for n in self._free()])

    @property
    def theta_bounds(self) -> np.ndarray:
        """The bounds of :attr:`theta` (logarithms), shape (n_free, 2).

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> gp = spanlet.GaussianProcess([("matern12", 2.0, None, None)], bounds={"noise": (1e-4, 1.0)})
        >>> print(np.exp(gp.theta_bounds)[2])
        [1.e-04 1.e+00]
        """
        return np.log(np.array([self.bounds[n] for n in self._free()], dtype=float).reshape(-1, 2))

    def _model(self, theta: np.ndarray | None) -> tuple[list, float, Any]:
        """(dims, variance, noise) with the free hyperparameters taken from ``theta``."""
        values = self._values()
        if theta is not None:
            theta = vector(theta, "theta")
            free = self._free()
            if theta.size != len(free):
                raise ValueError(f"theta must hold {len(free)} values (the logarithms of {free}), got {theta.size}")
            values.update(zip(free, np.exp(theta).tolist()))
        dims = [(f, values[f"length_{d}"], p, s) for d, (f, _, p, s) in enumerate(self.dims)]
        noise = values["noise"] if self._white() else self.noise
        return dims, values["variance"], noise

    # -- the factor ----------------------------------------------------------------------------

    def _noise_diagonal(self, noise: Any, variance: float, n: int) -> np.ndarray:
        if noise is None:
            return np.full(n, self.jitter * variance)
        if isinstance(noise, float):
            return np.full(n, noise)
        if noise.size != n:
            raise ValueError(f"noise holds {noise.size} variances but there are {n} observations")
        return noise

    @staticmethod
    def _factor(K: np.ndarray, diagonal: np.ndarray) -> np.ndarray | None:
        """The lower Cholesky factor of K + diag(diagonal) (K, exactly symmetric, is overwritten), or None."""
        K[np.diag_indices_from(K)] += diagonal
        # K.T is the Fortran-ordered view of the same symmetric matrix: LAPACK works in place.
        factor, info = lapack.dpotrf(K.T, lower=True, overwrite_a=True, clean=True)
        return factor if info == 0 else None

    def _not_positive_definite(self, noise: Any) -> ValueError:
        if noise is None:
            how = (f"noise=None: the covariance of the atoms must be positive definite on its own (it is not, "
                   f"for example with repeated or nearly dependent atoms); give a noise model or a larger "
                   f"jitter (now {self.jitter!r} of the signal variance)")
        else:
            how = "with the noise added; the noise variances may be too small against the signal variance"
        return ValueError(f"the covariance of the observations is not positive definite {how}")

    def _lml(self, theta: np.ndarray | None, spaces: list, weights: list, y: np.ndarray,
             gradient: bool) -> tuple[float, np.ndarray]:
        dims, variance, noise = self._model(theta)
        n = y.size
        diagonal = self._noise_diagonal(noise, variance, n)
        free = self._free()
        lengths_free = any(name.startswith("length_") for name in free)
        if gradient and lengths_free:
            K, L_d, _ = covariance_length_derivatives(variance, dims, spaces, weights)
        else:
            K, L_d = covariance_matrix(variance, dims, spaces, weights, symmetric=True), []
        signal = K.copy() if gradient and "variance" in free else None
        factor = self._factor(K, diagonal)
        if factor is None:
            return -math.inf, np.zeros(len(free))
        alpha = scipy.linalg.cho_solve((factor, True), y, check_finite=False)
        value = -0.5 * float(y @ alpha) - float(np.log(np.diag(factor)).sum()) - 0.5 * n * _LOG_2PI
        if not gradient:
            return value, np.zeros(0)
        # (K + N)^-1 = W^T W with W = L^-1; only its lower triangle is formed. (LAPACK's potri,
        # the direct route, is many times slower than trtri and syrk in common OpenBLAS builds.)
        root, info = lapack.dtrtri(factor, lower=True)
        if info != 0:
            return -math.inf, np.zeros(len(free))
        lower = blas.dsyrk(1.0, root, trans=1, lower=True).T  # C-ordered upper triangle of the inverse
        diagonal_of_inverse = lower.diagonal().copy()

        def trace_with(dK: np.ndarray) -> float:
            # tr((K + N)^-1 dK) for symmetric dK, from one triangle of the inverse
            return 2.0 * float(np.einsum("ij,ij->", lower, dK)) - float(diagonal_of_inverse @ dK.diagonal())

        grad = []
        for name in free:
            if name == "variance":
                assert signal is not None
                if noise is None:  # the jitter scales with the signal variance
                    signal[np.diag_indices_from(signal)] += diagonal
                dK = signal
            elif name == "noise":
                grad.append(0.5 * noise * (float(alpha @ alpha) - float(diagonal_of_inverse.sum())))
                continue
            else:
                dK = L_d[int(name[7:])]
            grad.append(0.5 * (float(alpha @ dK @ alpha) - trace_with(dK)))
        return value, np.array(grad)

    # -- public ------------------------------------------------------------------------------

    def fit(self, atoms: Any, y: Any, weights: Any = None) -> GaussianProcess:
        r"""Fits the hyperparameters to observations and keeps the factor for predictions.

        Maximises the log marginal likelihood over the logarithms of the free hyperparameters
        with L-BFGS-B and analytic gradients, from the current values and then from
        ``n_restarts`` random points within the bounds. With every hyperparameter fixed only the
        factor is computed.

        Parameters
        ----------
        atoms : Space, sequence of Space, or array_like
            The observed atoms: one Space per dimension (atom :math:`i` is the product of element
            :math:`i` of each), or points, shape (n,) in one dimension or (n, D).
        y : array_like, shape (n,)
            The observed values (zero prior mean: subtract a known mean first).
        weights : None, float or sequence, optional
            Cosine weights of the atoms per dimension, as ``wa`` of
            :func:`~spanlet.covariance_matrix`.

        Returns
        -------
        GaussianProcess
            ``self``, fitted.

        Raises
        ------
        ValueError
            For ``y`` and ``atoms`` (or a ``noise`` array) of different lengths, NaN or inf in
            ``y``, or a covariance that is not positive definite at the final hyperparameters.

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> x = np.linspace(0, 1, 20)
        >>> gp = spanlet.GaussianProcess([("matern32", 0.3, None, None)], noise=1e-4, fixed="noise")
        >>> gp = gp.fit(x, np.cos(3 * x))
        >>> gp.n_observations_, gp.noise_
        (20, 0.0001)
        """
        spaces, n = self._atoms(atoms, "atoms")
        weights = self._weights(weights, len(spaces))
        values = vector(y, "y")
        if values.size != n:
            raise ValueError(f"y has {values.size} values but atoms have {n} atoms")
        if n == 0:
            raise ValueError("fit needs at least one observation (atoms and y are empty)")
        if not np.isfinite(values).all():
            raise ValueError("y must not hold NaN or inf")
        if isinstance(self.noise, np.ndarray) and self.noise.size != n:
            raise ValueError(f"noise holds {self.noise.size} variances but there are {n} observations")
        self._fitted = None
        theta = self.theta
        if theta.size:
            theta = self._optimise(theta, spaces, weights, values)
        dims, variance, noise = self._model(theta)
        K = covariance_matrix(variance, dims, spaces, weights, symmetric=True)
        factor = self._factor(K, self._noise_diagonal(noise, variance, n))
        if factor is None:
            raise self._not_positive_definite(noise)
        alpha = scipy.linalg.cho_solve((factor, True), values, check_finite=False)
        lml = -0.5 * float(values @ alpha) - float(np.log(np.diag(factor)).sum()) - 0.5 * n * _LOG_2PI
        self._fitted = dict(dims=dims, variance=variance, noise=noise if self._white() else None,
                            spaces=spaces, weights=weights, y=values, factor=factor, alpha=alpha, lml=lml)
        return self

    def _optimise(self, theta: np.ndarray, spaces: list, weights: list, y: np.ndarray) -> np.ndarray:
        bounds = self.theta_bounds

        def objective(t: np.ndarray) -> tuple[float, np.ndarray]:
            value, grad = self._lml(t, spaces, weights, y, True)
            return -value, -grad

        starts = [np.clip(theta, bounds[:, 0], bounds[:, 1])]
        if self.n_restarts:
            rng = _random_state(self.random_state)
            starts += [rng.uniform(bounds[:, 0], bounds[:, 1]) for _ in range(self.n_restarts)]
        best: Any = None
        for start in starts:
            result = scipy.optimize.minimize(objective, start, method="L-BFGS-B", jac=True, bounds=bounds)
            if not result.success:
                warnings.warn(f"the hyperparameter optimisation did not converge: {result.message}",
                              RuntimeWarning, stacklevel=3)
            if best is None or result.fun < best.fun:
                best = result
        if not np.isfinite(best.fun):
            raise self._not_positive_definite(self._model(best.x)[2])
        return best.x

    def _state(self) -> dict:
        if self._fitted is None:
            raise AttributeError("this GaussianProcess is not fitted yet: call fit(atoms, y) first")
        return self._fitted

    @property
    def dims_(self) -> list:
        """The covariance dimensions with the fitted lengths.

        Examples
        --------
        >>> import spanlet
        >>> gp = spanlet.GaussianProcess([("matern12", 2.0, None, None)], fixed="all").fit([0.0, 1.0], [1.0, 2.0])
        >>> gp.dims_
        [('matern12', 2.0, None, None)]
        """
        return list(self._state()["dims"])

    @property
    def variance_(self) -> float:
        """The fitted signal variance."""
        return self._state()["variance"]

    @property
    def noise_(self) -> Any:
        """The fitted white-noise variance (the given per-observation variances, or None)."""
        state = self._state()
        return state["noise"] if self._white() else self.noise

    @property
    def log_marginal_likelihood_value_(self) -> float:
        """The log marginal likelihood of the training data at the fitted hyperparameters."""
        return self._state()["lml"]

    @property
    def n_observations_(self) -> int:
        """The number of training observations."""
        return int(self._state()["y"].size)

    def log_marginal_likelihood(self, theta: Any = None, gradient: bool = False) -> Any:
        r"""The log marginal likelihood of the training data, optionally with its gradient.

        Parameters
        ----------
        theta : array_like, optional
            Logarithms of the free hyperparameters, in the order of :attr:`theta`; fixed ones
            keep their values. None (default): the fitted hyperparameters.
        gradient : bool, default False
            Also return the gradient with respect to ``theta``.

        Returns
        -------
        float, or (float, numpy.ndarray of shape (n_free,))
            ``-inf`` (with a zero gradient) where the covariance is not positive definite.

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> x = np.linspace(0, 3, 12)
        >>> gp = spanlet.GaussianProcess([("gaussian", 1.0, None, None)], noise=0.1, fixed="all").fit(x, np.sin(x))
        >>> value, grad = gp.log_marginal_likelihood(gradient=True)
        >>> grad.size, bool(np.isclose(value, gp.log_marginal_likelihood_value_))
        (0, True)
        """
        state = self._state()
        theta_array = None if theta is None else vector(theta, "theta")
        value, grad = self._lml(theta_array, state["spaces"], state["weights"], state["y"], bool(gradient))
        return (value, grad) if gradient else value

    def predict(self, atoms: Any, weights: Any = None, return_std: bool = False, return_cov: bool = False) -> Any:
        r"""The posterior mean of the field averaged over atoms, with its standard deviation or covariance.

        Before :meth:`fit` the prior is returned (zero mean).

        Parameters
        ----------
        atoms : Space, sequence of Space, or array_like
            Where to predict: points, pixels, or any atoms, as for :meth:`fit`. Pixel means can
            be predicted from point data and point values from pixel data.
        weights : None, float or sequence, optional
            Cosine weights of these atoms per dimension.
        return_std : bool, default False
            Also return the posterior standard deviations.
        return_cov : bool, default False
            Also return the posterior covariance (at most one of the two).

        Returns
        -------
        mean : numpy.ndarray, shape (m,)
        std : numpy.ndarray, shape (m,), if ``return_std``
        cov : numpy.ndarray, shape (m, m), if ``return_cov``

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> edges = np.linspace(0, 4, 9)
        >>> gp = spanlet.GaussianProcess([("gaussian", 1.0, None, None)], noise=1e-6, fixed="all")
        >>> gp = gp.fit(spanlet.Space.boxes(edges), np.ones(8))     # pixel means of a constant
        >>> mean, std = gp.predict([1.0, 2.0], return_std=True)     # values at points
        >>> bool(np.allclose(mean, 1, atol=0.01)), bool(np.all(std < 0.01))
        (True, True)
        """
        if return_std and return_cov:
            raise ValueError("predict returns at most one of return_std and return_cov")
        spaces, m = self._atoms(atoms, "atoms")
        weights = self._weights(weights, len(spaces))
        state = self._fitted
        dims, variance, _ = self._model(None)
        if state is None:
            mean = np.zeros(m)
            if return_cov:
                return mean, covariance_matrix(variance, dims, spaces, weights, symmetric=True)
            if return_std:
                return mean, np.sqrt(covariance_diagonal(variance, dims, spaces, weights))
            return mean
        cross = covariance_matrix(variance, dims, spaces, weights, b=state["spaces"], wb=state["weights"])
        mean = cross @ state["alpha"]
        if not (return_std or return_cov):
            return mean
        v = scipy.linalg.solve_triangular(state["factor"], cross.T, lower=True, check_finite=False)
        if return_cov:
            return mean, covariance_matrix(variance, dims, spaces, weights, symmetric=True) - v.T @ v
        prior = covariance_diagonal(variance, dims, spaces, weights)
        return mean, np.sqrt(np.clip(prior - np.einsum("ij,ij->j", v, v), 0.0, None))

    def sample_y(self, atoms: Any, n_samples: int = 1, random_state: Any = 0, weights: Any = None) -> np.ndarray:
        r"""Draws from the posterior (the prior before :meth:`fit`) of the field averaged over atoms.

        Parameters
        ----------
        atoms : Space, sequence of Space, or array_like
            As for :meth:`predict`.
        n_samples : int, default 1
        random_state : int, None, numpy.random.RandomState or numpy.random.Generator, default 0
        weights : None, float or sequence, optional

        Returns
        -------
        numpy.ndarray, shape (m, n_samples)
            One sample per column, as scikit-learn's ``sample_y``.

        Notes
        -----
        The posterior covariance is split by its symmetric eigendecomposition with negative
        eigenvalues (rounding) set to 0, so near-singular covariances sample without jitter.

        Examples
        --------
        >>> import numpy as np, spanlet
        >>> gp = spanlet.GaussianProcess([("matern52", 1.0, None, None)], noise=1e-4, fixed="all")
        >>> gp = gp.fit([0.0, 2.0], [1.0, -1.0])
        >>> draws = gp.sample_y([0.0, 1.0, 2.0], n_samples=3)
        >>> draws.shape, bool(np.allclose(draws[[0, 2]], [[1.0], [-1.0]], atol=0.05))
        ((3, 3), True)
        """
        mean, cov = self.predict(atoms, weights=weights, return_cov=True)
        eigenvalues, vectors = np.linalg.eigh(cov)
        root = vectors * np.sqrt(np.clip(eigenvalues, 0.0, None))
        normal = _random_state(random_state).standard_normal((mean.size, int(n_samples)))
        return mean[:, np.newaxis] + root @ normal

    # -- copy, pickle, repr --------------------------------------------------------------------

    def __getstate__(self) -> dict:
        return dict(self.__dict__)

    def __setstate__(self, state: dict) -> None:
        self.__dict__.update(state)

    def __repr__(self) -> str:
        state = self._fitted
        dims, variance, noise = self._model(None)
        if state is None:
            dims, variance, noise = self.dims, self.variance, self.noise
        noise_text = "array of {} variances".format(noise.size) if isinstance(noise, np.ndarray) else repr(noise)
        parts = [f"dims={dims!r}", f"variance={variance!r}", f"noise={noise_text}"]
        if self.fixed:
            parts.append(f"fixed={sorted(self.fixed)!r}")
        if state is not None:
            parts.append(f"n_observations={state['y'].size}")
        return f"GaussianProcess({', '.join(parts)})"
