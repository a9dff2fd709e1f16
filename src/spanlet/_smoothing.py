"""The penalty weight chosen from the data: generalised cross-validation and REML."""

from __future__ import annotations

import math
from dataclasses import dataclass
from typing import Any

import numpy as np
import scipy.optimize

from spanlet._arrays import check_finite as _check_finite
from spanlet._arrays import real_array

__all__ = ["SmoothingChoice"]


@dataclass(frozen=True)
class SmoothingChoice:
    r"""A penalty weight chosen from the data, with the fit it gives (see :meth:`Fit.select`).

    Attributes
    ----------
    fit : Fit
        The fit at the chosen weight.
    lam : float
        The absolute penalty weight :math:`\lambda` (``Fit.from_lambda``'s ``lam``; for
        ``smoothing_spline`` the ``lam`` of ``scipy.interpolate.make_smoothing_spline``).
    smoothing : float
        The same weight relative to the traces, as ``Fit``'s ``smoothing``.
    method : str
        "gcv" or "reml".
    score : float
        The criterion at :math:`\lambda`: :math:`n\,\mathrm{RSS}/(n - \operatorname{tr} H)^2` for
        GCV, the restricted log-likelihood times -2 (up to a constant) for REML.
    edf : float
        The effective degrees of freedom :math:`\operatorname{tr} H`.
    residual_variance : float
        :math:`\mathrm{RSS} / (n - \operatorname{tr} H)`, the weighted residual sum of squares
        per residual degree of freedom.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> x = np.linspace(0, 1, 200)
    >>> y = np.sin(6 * x) + 0.1 * np.random.default_rng(1).standard_normal(200)
    >>> choice = spanlet.smoothing_spline(x, y, full_output=True)[1]
    >>> choice.method, 5 < choice.edf < 15
    ('gcv', True)
    """

    fit: Any
    lam: float
    smoothing: float
    method: str
    score: float
    edf: float
    residual_variance: float


def _null_dimension(penalty: Any, order: int) -> int:
    """The dimension of the null space of the penalty matrix (the unpenalised functions)."""
    n = penalty.shape[0]
    if n <= 400:
        values = np.linalg.eigvalsh(penalty.toarray())
    else:
        import scipy.sparse.linalg
        k = min(n - 2, int(order) + 4)
        shift = 1e-9 * abs(penalty).sum(axis=1).max()
        values = scipy.sparse.linalg.eigsh(penalty, k=k, sigma=-shift, which="LM", return_eigenvectors=False)
    top = abs(penalty).sum(axis=1).max()
    return int(np.sum(values <= 1e-9 * top))


# The largest relative smoothing alpha tr(P) / tr(N) searched. The data term of A = N + alpha P
# keeps a relative accuracy of about MAX_SMOOTHING * eps (2e-4 here); a smoothing spline with
# a knot at every sample reaches this weight for smooth curves through 1e5 samples and more.
MAX_SMOOTHING = 1e12


def choose(system: Any, data: np.ndarray, method: str, null_dimension: int,
           order: int) -> tuple[float, float, float, float]:
    """Minimises the criterion over log alpha: a grid of whole decades brackets the minimum,
    bounded Brent refines it. Returns (alpha, score, edf, rss); every step ends after a fixed
    number of evaluations."""
    n, m = system.n_data, system.n_model
    ratio = system.trace_normal / system.trace_penalty  # alpha per unit of relative smoothing
    rank = m - null_dimension

    def criterion(log_alpha: float) -> tuple[float, float, float]:
        alpha = math.exp(log_alpha)
        try:
            rss, penalty, edf, log_det = system.score(alpha, data)
        except ValueError:  # not definite at this weight: no candidate
            return math.inf, math.nan, math.nan
        if method == "gcv":
            # Near interpolation both n - tr H and RSS vanish and their ratio is rounding noise: a
            # candidate leaves at least one degree of freedom to the residuals.
            score = n * rss / (n - edf) ** 2 if n - edf >= 1.0 else math.inf
        else:
            dof = n - null_dimension
            phi = (rss + alpha * penalty) / dof
            score = dof * (1 + math.log(2 * math.pi * phi)) + log_det - rank * log_alpha if phi > 0 else -math.inf
        return (score if math.isfinite(score) or score == -math.inf else math.inf), edf, rss

    # Relative smoothing from far below interpolation to far beyond the polynomial limit, but not
    # past MAX_SMOOTHING: there the penalty swamps the data in A = N + alpha P to within rounding.
    lo = math.log(ratio * 1e-10)
    limit = 4 + 2 * max(int(order), 1) * math.log10(max(m, 2))
    hi = math.log(ratio * 10.0 ** min(limit, math.log10(MAX_SMOOTHING)))
    grid = np.arange(lo, hi + 1e-9, math.log(10.0))
    evaluated = [criterion(t) for t in grid]
    scores = [e[0] for e in evaluated]
    best = int(np.argmin(scores))
    if limit > math.log10(MAX_SMOOTHING) and best == len(grid) - 1 and len(grid) > 1 and \
            evaluated[-2][1] - evaluated[-1][1] > 0.1 and evaluated[-1][1] > max(int(order), 1) + 0.5:
        # Still falling at the cap, with the fit still changing and not yet close to the polynomial
        # limit (whose `order` coefficients the penalty leaves free): the minimum lies where the
        # scores are rounding noise (at 1e14, only three digits of the fitted curve were right).
        raise ValueError(f"the {method.upper()} score keeps falling up to the relative smoothing "
                         f"{MAX_SMOOTHING:.0e} (lam {math.exp(grid[-1]):.3g}, {evaluated[-1][1]:.1f} effective "
                         "degrees of freedom), beyond which rounding swamps the data in the normal equations: "
                         f"the data ask for a smoother curve than {m} model coefficients resolve in double "
                         "precision; fit fewer coefficients (a coarser model in Fit.select), or give lam")
    a, b = grid[max(best - 1, 0)], grid[min(best + 1, len(grid) - 1)]
    result = scipy.optimize.minimize_scalar(lambda t: criterion(t)[0], bounds=(a, b), method="bounded",
                                            options={"xatol": 1e-10, "maxiter": 200})
    t = float(result.x) if result.fun <= scores[best] else float(grid[best])
    score, edf, rss = criterion(t)
    return math.exp(t), score, edf, rss


def check_method(method: str) -> None:
    if method not in ("gcv", "reml"):
        raise ValueError(f"method must be 'gcv' or 'reml', got {method!r}")


def data_vector(data: Any, n: int, check: bool) -> np.ndarray:
    values = real_array(data, "data")
    if values.shape != (n,):
        raise ValueError(f"data must have shape ({n},), got {values.shape}")
    if check:
        _check_finite(values, "data")
    return np.ascontiguousarray(values)

