r"""Line spectra: many line profiles over a continuum, fitted jointly through any instrument.

A spectrum :math:`f(t) = \sum_i a_i\, \ell_i(t; \theta_i) + \sum_k c_k\, b_k(t)` is a sum of
line profiles :math:`\ell_i` (Gaussian, Lorentzian, Voigt, pseudo-Voigt, super-Gaussian,
smoothed box), each with its own center and shape parameters :math:`\theta_i` and a linear
amplitude :math:`a_i`, over a continuum expanded in a basis :math:`b_k` (any :class:`Space`,
for example clamped cubic B-splines). It is observed through kernels :math:`k_j` -- pixel
boxes, FTS instrument line shapes, point samples (``Space.deltas``) or any other space -- so
the model data are

.. math:: d(\theta, a, c) = K_\mathrm{lines}(\theta)\, a + K_\mathrm{cont}\, c,

both matrices exact measurement matrices (:func:`measure`) and the derivatives in
:math:`\theta` exact as well (:func:`measure_derivative`, which differentiates the lines'
cut supports too).

:class:`Lines` describes one group of lines of one profile family; :func:`fit_lines` fits one
or several groups and a continuum, and returns a :class:`LineFit`; :func:`find_lines` proposes
starting values.
"""

from __future__ import annotations

import math
import dataclasses
from typing import Any, Sequence

import numpy as np
import scipy.linalg
import scipy.sparse
import scipy.sparse.linalg

from spanlet._arrays import native_space, real_array, vector
from spanlet._functions import inner_products, measure, measure_derivative, measure_derivatives
from spanlet._space import Space
from spanlet._spline import Spline

__all__ = ["Lines", "LineFit", "fit_lines", "find_lines", "LineCandidates"]

# Per family: the Space constructor and the shape parameters in its argument order.
_FAMILIES = {
    "gaussian": ("gaussians", ("sigma",)),
    "lorentzian": ("lorentzians", ("hwhm",)),
    "voigt": ("voigts", ("sigma", "gamma")),
    "pseudo_voigt": ("pseudo_voigts", ("hwhm", "eta")),
    "super_gaussian": ("super_gaussians", ("hwhm_left", "hwhm_right", "power")),
    "smoothed_box": ("smoothed_boxes", ("half_width", "sigma")),
}
_WIDTHS = {"sigma", "gamma", "hwhm", "half_width", "hwhm_left", "hwhm_right"}
# Default bounds of the parameters that are not widths or centers.
_SHAPE_BOUNDS = {"eta": (0.0, 1.0), "power": (1.0, math.inf)}
# A width never reaches 0 (the profile would change family or stop existing): it stays above this
# fraction of its starting value unless a larger lower bound is given.
_WIDTH_FLOOR = 1e-6
_TIES = ("shared", "proportional")


class Lines:
    r"""A group of spectral lines of one profile family, with starting values and constraints.

    Line :math:`i` is :math:`a_i\, p(t - c_i; \theta_i) / I_i`: the family's profile
    :math:`p` (1 at its center, see for example :meth:`Space.voigts`) cut at ``cutoff`` half
    widths, and scaled by its integral :math:`I_i` over that cut support so that the amplitude
    :math:`a_i` is the line's area (``amplitude="area"``), or left at peak 1 so that
    :math:`a_i` is its height (``amplitude="peak"``).

    Parameters
    ----------
    profile : {"gaussian", "lorentzian", "voigt", "pseudo_voigt", "super_gaussian", "smoothed_box"}
        The family; its shape parameters are those of the matching :class:`Space` constructor:
        ``sigma``; ``hwhm``; ``sigma, gamma``; ``hwhm, eta``; ``hwhm_left, hwhm_right, power``;
        ``half_width, sigma``.
    center : array_like, shape (n,)
        Starting line centers, at least one.
    area : array_like or float, optional
        Starting amplitudes (areas or peaks). None (default): free amplitudes start from the
        linear least-squares solution at the starting shape parameters.
    cutoff : float
        Half widths kept on each side of every line, as in the ``Space`` constructors.
    amplitude : {"area", "peak"}
        What the linear amplitude of a line is.
    fixed : str, sequence of str, or dict of str to bool or array of bool, optional
        Parameters held at their starting values: names (for every line of the group) or a
        per-line mask per name; "area" may be fixed too.
    tie : dict of str to {"shared", "proportional"}, optional
        "shared": one value for every (not fixed) line of the group, for example a common
        Doppler width; "proportional": a width equal to one shared ratio times the line's center
        (Doppler widths grow with the line position). The starting value of a shared parameter is
        the mean of the starting values, of a ratio the mean of value / center.
    bounds : dict of str to (lower, upper), optional
        Bounds per parameter name, each a number or one per line (for a "proportional" tie, the
        bounds of the ratio). Defaults: a center stays inside the observed range, a width above
        1e-6 times its starting value, eta in [0, 1], power >= 1, areas free.
    **shape : array_like or float
        The starting shape parameters of the family, each one number for all lines or one per line.

    Raises
    ------
    ValueError
        For an unknown family, option or parameter name, a missing or extra shape parameter, a
        parameter whose length is not the number of lines, a non-finite starting value, a width
        or width bound below 0, or a starting value outside its bounds.

    Examples
    --------
    >>> import spanlet
    >>> lines = spanlet.Lines("voigt", [10.0, 12.5], sigma=0.1, gamma=[0.05, 0.08],
    ...                       tie={"sigma": "shared"})
    >>> lines
    Lines('voigt', 2 lines, parameters center, sigma, gamma, area)
    >>> print(lines.values["gamma"])
    [0.05 0.08]
    """

    __slots__ = ("_profile", "_values", "_cutoff", "_amplitude", "_fixed", "_tie", "_bounds")
    _profile: str
    _values: dict
    _cutoff: float
    _amplitude: str
    _fixed: dict
    _tie: dict
    _bounds: dict

    def __init__(self, profile: str, center: Any, area: Any = None, cutoff: float = 10.0, *,
                 amplitude: str = "area", fixed: Any = None, tie: dict | None = None,
                 bounds: dict | None = None, **shape: Any) -> None:
        if profile not in _FAMILIES:
            raise ValueError(f"profile must be one of {', '.join(map(repr, _FAMILIES))}, got {profile!r}")
        names = _FAMILIES[profile][1]
        if amplitude not in ("area", "peak"):
            raise ValueError(f"amplitude must be 'area' or 'peak', got {amplitude!r}")
        cutoff = float(cutoff)
        if not (math.isfinite(cutoff) and cutoff > 0):
            raise ValueError(f"cutoff must be finite and > 0, got {cutoff}")
        centers = vector(center, "center")
        n = centers.size
        if n == 0:
            raise ValueError("center: no lines given (an empty line list has nothing to fit)")
        extra = sorted(set(shape) - set(names))
        missing = [name for name in names if name not in shape]
        if extra or missing:
            problem = "; ".join(([f"missing {', '.join(missing)}"] if missing else [])
                                + ([f"unexpected {', '.join(extra)}"] if extra else []))
            raise ValueError(f"a {profile} line takes the shape parameters {', '.join(names)}: {problem}")
        values: dict[str, Any] = {"center": centers}
        for name in names:
            values[name] = _per_line(shape[name], name, n)
        values["area"] = None if area is None else _per_line(area, "area", n)
        for name, value in values.items():
            if value is not None and not np.isfinite(value).all():
                raise ValueError(f"{name} must be finite, got {value[~np.isfinite(value)][0]}")
            if name in _WIDTHS and (value <= 0).any():
                raise ValueError(f"{name} must be > 0, got {value[value <= 0][0]} for line {np.argmax(value <= 0)}")
        all_names = ("center",) + names + ("area",)
        self._profile, self._cutoff, self._amplitude = profile, cutoff, amplitude
        self._values = values
        self._fixed = _fixed_masks(fixed, all_names, n)
        self._tie = dict(tie or {})
        for name, kind in self._tie.items():
            if name not in names:
                raise ValueError(f"tie: {name!r} is not a shape parameter of a {profile} line ({', '.join(names)})")
            if kind not in _TIES:
                raise ValueError(f"tie: {name!r} must be tied as 'shared' or 'proportional', got {kind!r}")
            if kind == "proportional" and (centers == 0).any():
                raise ValueError(f"tie: {name!r} cannot be proportional to a center of 0")
        self._bounds = {}
        for name, pair in (bounds or {}).items():
            if name not in all_names:
                raise ValueError(f"bounds: {name!r} is not a parameter of a {profile} line ({', '.join(all_names)})")
            try:
                lower, upper = pair
            except (TypeError, ValueError):
                raise ValueError(f"bounds: {name!r} needs a pair (lower, upper)") from None
            lower, upper = _per_line(lower, f"lower bound of {name}", n), _per_line(upper, f"upper bound of {name}", n)
            if np.isnan(lower).any() or np.isnan(upper).any() or (lower > upper).any():
                raise ValueError(f"bounds: {name!r} needs lower <= upper, no NaN")
            if name in _WIDTHS and (lower < 0).any():
                raise ValueError(f"bounds: the lower bound of the width {name!r} must be >= 0, got {lower.min()}")
            self._bounds[name] = (lower, upper)
        for name, (lower, upper) in self._bounds.items():
            if name == "area" and values["area"] is None:
                continue
            start = self._start(name)
            outside = (start < lower) | (start > upper)
            if outside.any():
                i = int(np.argmax(outside))
                raise ValueError(f"bounds: the starting {name} {start[i]} of line {i} lies outside [{lower[i]}, {upper[i]}]")

    @property
    def profile(self) -> str:
        """The profile family."""
        return self._profile

    @property
    def values(self) -> dict:
        """Per parameter name, the value of every line (``area`` may be None before a fit)."""
        return self._values

    @property
    def cutoff(self) -> float:
        """Half widths kept on each side of a line."""
        return self._cutoff

    @property
    def amplitude(self) -> str:
        """"area" or "peak": what the linear amplitude is."""
        return self._amplitude

    @property
    def fixed(self) -> dict:
        """Per parameter name, the mask of lines whose value is held."""
        return self._fixed

    @property
    def tie(self) -> dict:
        """Per shape parameter, "shared" or "proportional"."""
        return self._tie

    @property
    def bounds(self) -> dict:
        """Per parameter name, the (lower, upper) arrays given."""
        return self._bounds

    def _start(self, name: str) -> np.ndarray:
        # The starting value of what is fitted: the ratio for a proportional tie.
        value = self._values[name]
        if self._tie.get(name) == "proportional":
            return value / self._values["center"]
        return value

    @property
    def parameters(self) -> tuple[str, ...]:
        """The parameter names of a line: center, the shape parameters, area."""
        return ("center",) + _FAMILIES[self.profile][1] + ("area",)

    def __len__(self) -> int:
        return self._values["center"].size

    def __repr__(self) -> str:
        return f"Lines({self.profile!r}, {len(self)} lines, parameters {', '.join(self.parameters)})"

    def space(self) -> Space:
        """The lines as a :class:`Space` of peak-normalised profiles at the current values.

        Examples
        --------
        >>> import spanlet
        >>> spanlet.Lines("gaussian", [1, 2], sigma=0.1, cutoff=5).space()
        Space(2 gaussians on [0.5, 2.5])
        """
        method, names = _FAMILIES[self.profile]
        return getattr(Space, method)(self._values["center"], *(self._values[k] for k in names), self._cutoff)

    def _with(self, values: dict) -> Lines:
        new = object.__new__(Lines)
        for slot in Lines.__slots__:
            setattr(new, slot, getattr(self, slot))
        new._values = values
        return new


def _per_line(value: Any, name: str, n: int) -> np.ndarray:
    array = vector(value, name, scalar=True)
    if array.size == 1 and n != 1:
        array = np.full(n, array[0])
    if array.size != n:
        raise ValueError(f"{name} has {array.size} values for {n} lines")
    return array


def _fixed_masks(fixed: Any, names: tuple, n: int) -> dict:
    masks = {name: np.zeros(n, dtype=bool) for name in names}
    if fixed is None:
        return masks
    if isinstance(fixed, str):
        fixed = [fixed]
    items = fixed.items() if isinstance(fixed, dict) else ((name, True) for name in fixed)
    for name, mask in items:
        if name not in masks:
            raise ValueError(f"fixed: {name!r} is not a parameter of these lines ({', '.join(names)})")
        mask = np.asarray(mask, dtype=bool)
        masks[name] = np.broadcast_to(mask, (n,)).copy() if mask.ndim == 0 else mask
        if masks[name].shape != (n,):
            raise ValueError(f"fixed: the mask of {name!r} has {mask.size} values for {n} lines")
    return masks


# -- the parameter layout ----------------------------------------------------------------------------

class _Group:
    """One Lines group laid out in the free vector: which entries are free and how they map back."""

    def __init__(self, lines: Lines, domain: tuple[float, float]) -> None:
        self.lines = lines
        n = len(lines)
        self.shape_names = _FAMILIES[lines.profile][1]
        self.nonlinear = ("center",) + self.shape_names
        # Per nonlinear parameter: ("free", indices of lines) | ("shared", lines) | ("proportional", lines)
        self.layout = {}
        for name in self.nonlinear:
            free = ~lines.fixed[name]
            kind = lines.tie.get(name, "free")
            self.layout[name] = (kind, np.flatnonzero(free))
        self.area_free = np.flatnonzero(~lines.fixed["area"])
        self.domain = domain
        self.n = n

    def nonlinear_start(self) -> tuple[np.ndarray, np.ndarray, np.ndarray, list]:
        """Start, lower and upper bounds and labels of this group's free nonlinear entries."""
        lines = self.lines
        start: list[Any] = []
        lower: list[Any] = []
        upper: list[Any] = []
        labels: list[tuple[str, int | None]] = []
        for name in self.nonlinear:
            kind, idx = self.layout[name]
            value = lines._start(name)
            if name in lines.bounds:
                lo, hi = lines.bounds[name]
            elif name == "center":
                lo, hi = np.full(self.n, self.domain[0]), np.full(self.n, self.domain[1])
            elif name in _SHAPE_BOUNDS:
                lo, hi = (np.full(self.n, b) for b in _SHAPE_BOUNDS[name])
            else:
                lo, hi = np.zeros(self.n), np.full(self.n, math.inf)
            if name in _WIDTHS:
                lo = np.maximum(lo, _WIDTH_FLOOR * value)
            if kind == "free":
                start.append(value[idx])
                lower.append(lo[idx])
                upper.append(hi[idx])
                labels += [(name, int(i)) for i in idx]
            elif idx.size:
                start.append([value[idx].mean()])
                lower.append([lo[idx].max()])
                upper.append([hi[idx].min()])
                labels.append((name if kind == "shared" else f"{name}/center", None))
        cat = (lambda parts: np.concatenate(parts) if parts else np.zeros(0))
        return cat(start), cat(lower), cat(upper), labels

    def unpack(self, z: np.ndarray) -> tuple[dict, scipy.sparse.csr_array]:
        """The full per-line values from this group's free entries, and d(values)/d(free entries).

        Rows of the derivative go parameter by parameter (center block, then each shape block).
        """
        lines, values, pos = self.lines, {}, 0
        rows, cols, vals = [], [], []
        tied_ratio = {}
        for name in self.nonlinear:
            kind, idx = self.layout[name]
            v = lines.values[name].copy()
            if kind == "free":
                v[idx] = z[pos:pos + idx.size]
                block_pos = np.arange(pos, pos + idx.size)
                pos += idx.size
            elif idx.size:
                if kind == "shared":
                    v[idx] = z[pos]
                else:
                    tied_ratio[name] = (idx, pos)
                block_pos = np.full(idx.size, pos)
                pos += 1
            else:
                block_pos = np.zeros(0, dtype=int)
            values[name] = v
            if kind != "proportional":
                row_base = self.nonlinear.index(name) * self.n
                rows.append(row_base + idx)
                cols.append(block_pos)
                vals.append(np.ones(idx.size))
        for name, (idx, p) in tied_ratio.items():
            # width_i = r * center_i: depends on the ratio and on the line's (possibly free) center.
            values[name][idx] = z[p] * values["center"][idx]
            row_base = self.nonlinear.index(name) * self.n
            rows.append(row_base + idx)
            cols.append(np.full(idx.size, p))
            vals.append(values["center"][idx])
            kind_c, idx_c = self.layout["center"]
            if kind_c == "free":
                where = np.searchsorted(idx_c, idx)
                ok = (where < idx_c.size) & (idx_c[np.minimum(where, idx_c.size - 1)] == idx)
                rows.append(row_base + idx[ok])
                cols.append(where[ok])
                vals.append(np.full(ok.sum(), z[p]))
            elif kind_c == "shared" and idx_c.size:
                on = np.isin(idx, idx_c)
                rows.append(row_base + idx[on])
                cols.append(np.zeros(on.sum(), dtype=int))
                vals.append(np.full(on.sum(), z[p]))
        self.size = pos
        T = scipy.sparse.csr_array((np.concatenate(vals), (np.concatenate(rows), np.concatenate(cols))),
                                   shape=(len(self.nonlinear) * self.n, pos))
        return values, T


def _derivatives(lines: Lines, space: Space, observations: Any, norm: str, names: Sequence[str],
                 values: dict, first: Any = None) -> tuple[Any, dict]:
    """W (lines x observations) and dW/d(name) for the requested parameters of one family."""
    profile, out = lines.profile, {}
    cache = {} if first is None else {"center": first}

    # What the names need beyond the cache comes from one native pass.
    wanted = []
    for name in names:
        if name == "center":
            continue
        if profile == "lorentzian":
            wanted.append("gamma")
        elif profile == "pseudo_voigt" and name == "hwhm":
            wanted.append("scale")
        elif profile == "super_gaussian" and name in ("hwhm_left", "hwhm_right"):
            wanted += ["scale", "asymmetry"]
        else:
            wanted.append(name)
    missing = list(dict.fromkeys(p for p in wanted if p not in cache))
    if missing:
        W_all, derivatives = measure_derivatives(space, observations, norm, missing)
        cache.update({p: (W_all, d) for p, d in zip(missing, derivatives)})

    def native(p):
        if p not in cache:
            cache[p] = measure_derivative(space, observations, norm, p)
        return cache[p]

    W = native("center")[0]

    def rows(scale, matrix):
        return scipy.sparse.diags_array(scale) @ matrix

    for name in names:
        if name == "center":
            out[name] = native("center")[1]
        elif profile == "lorentzian":
            out[name] = native("gamma")[1]
        elif profile == "pseudo_voigt" and name == "hwhm":
            out[name] = rows(1.0 / values["hwhm"], native("scale")[1])
        elif profile == "super_gaussian" and name in ("hwhm_left", "hwhm_right"):
            hl, hr = values["hwhm_left"], values["hwhm_right"]
            H = 0.5 * (hl + hr)
            S, A = native("scale")[1], native("asymmetry")[1]
            other = hr if name == "hwhm_left" else -hl
            out[name] = rows(0.5 / H, S) - rows(other / (2 * H * H), A)
        else:
            out[name] = native(name)[1]
    return W, out


@dataclasses.dataclass(frozen=True)
class LineCandidates:
    """Line candidates from :func:`find_lines`: centers, half widths, heights and areas (rough).

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> x = np.linspace(0, 4, 401)
    >>> found = spanlet.find_lines(x, 1 / (1 + ((x - 2) / 0.1) ** 2), 0.5)
    >>> print(found.center, found.hwhm.round(2), found.height.round(2))
    [2.] [0.1] [0.99]
    """

    center: np.ndarray
    hwhm: np.ndarray
    height: np.ndarray
    area: np.ndarray


class LineFit:
    r"""The result of :func:`fit_lines`.

    Attributes
    ----------
    lines : tuple of Lines
        The fitted groups, one per group given, with every parameter (tied and fixed ones too)
        at its best-fit value, ``area`` included.
    errors : tuple of dict
        Per group, the standard error of each parameter per line (0 for fixed parameters).
        Computed on first access.
    x, names : numpy.ndarray and list
        The free parameters and their labels ``(group, name, line)``; ``line`` is None for a
        shared parameter or a ratio, and for a continuum coefficient the name is "continuum".
    covariance : numpy.ndarray, shape (len(x), len(x))
        Their covariance :math:`s^2 (J^T J + \lambda R)^{-1}` at the optimum (dense; computed on
        first access), with :math:`s^2` the reduced chi-square, or 1 when variances were given.
    stderr : numpy.ndarray
        The square roots of its diagonal (computed on first access).
    chi2, dof : float and int
        The weighted sum of squared residuals (without the roughness penalty) and
        samples minus free parameters.
    residuals, model : numpy.ndarray
        data - model and the model data at the optimum.
    continuum : Spline or None
        The fitted continuum.
    status, message, success, iterations
        "converged", "max_iterations" or "no_progress" with a one-line explanation;
        ``success`` is ``status == "converged"``.

    Notes
    -----
    The covariance is the linearisation at the optimum: meaningful when the noise is small
    against the lines, and not for a parameter that ends on a bound.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> pixels = spanlet.Space.boxes(np.linspace(0, 10, 101))
    >>> noise = np.random.default_rng(0).normal(0, 0.01, 100)
    >>> data = spanlet.measure(pixels, spanlet.Space.lorentzians([5], 0.4, 20), "integral") @ [1.0] + noise
    >>> fit = spanlet.fit_lines(data, pixels, spanlet.Lines("lorentzian", [5.2], hwhm=0.5, cutoff=20),
    ...                         variances=0.01 ** 2)
    >>> fit
    LineFit(status='converged', iterations=5, chi2=82.0419, dof=97, 1 lines)
    >>> print(fit.lines[0].values["hwhm"].round(4), fit.errors[0]["hwhm"].round(4))
    [0.4005] [0.0032]
    """

    lines: tuple
    x: np.ndarray
    names: list
    chi2: float
    dof: int
    residuals: np.ndarray
    model: np.ndarray
    continuum: Spline | None
    status: str
    message: str
    iterations: int
    scale: float
    _normal: Any
    _maps: list
    _cov: np.ndarray | None
    _errors: tuple | None

    def __init__(self, **fields: Any) -> None:
        self.__dict__.update(fields)
        self._cov = None
        self._errors = None

    @property
    def success(self) -> bool:
        """Whether the fit converged."""
        return self.status == "converged"

    @property
    def covariance(self) -> np.ndarray:
        """The covariance of the free parameters (dense, computed on first access)."""
        if self._cov is None:
            n = self.x.size
            self._cov = self.scale * _inverse(self._normal) if n else np.zeros((0, 0))
        return self._cov

    @property
    def stderr(self) -> np.ndarray:
        """Standard errors of the free parameters."""
        return np.sqrt(np.clip(np.diag(self.covariance), 0, None))

    @property
    def errors(self) -> tuple:
        """Per group, per parameter name, the standard error of every line's value."""
        if self._errors is None:
            cov, errors = self.covariance, []
            for g, (T, offset, area_cols) in enumerate(self._maps):
                group = self.lines[g]
                n = len(group)
                block = cov[offset:offset + T.shape[1], offset:offset + T.shape[1]]
                var = (T.multiply(T @ block)).sum(axis=1) if T.shape[1] else np.zeros(T.shape[0])
                var = np.asarray(var).ravel()
                err = {}
                for k, name in enumerate(group.parameters[:-1]):
                    err[name] = np.sqrt(np.clip(var[k * n:(k + 1) * n], 0, None))
                area = np.zeros(n)
                idx, cols = area_cols
                area[idx] = np.sqrt(np.clip(cov[cols, cols], 0, None))
                err["area"] = area
                errors.append(err)
            self._errors = tuple(errors)
        return self._errors

    def __repr__(self) -> str:
        return (f"LineFit(status={self.status!r}, iterations={self.iterations}, chi2={self.chi2:.6g}, "
                f"dof={self.dof}, {sum(len(group) for group in self.lines)} lines)")


def _sum_of_squares(r: np.ndarray) -> float:
    # Not r @ r: on long vectors numpy's BLAS splits the dot product over its own threads, which
    # then spin for a while after it and take the cores from the native calls that come next.
    return float(np.einsum("i,i->", r, r))


def _inverse(A: Any) -> np.ndarray:
    # Singular when a parameter is not determined by the data: its variance is then infinite. A
    # parameter that no datum sees (a continuum coefficient beyond the data, say) has an empty
    # column; the rest is inverted on its own, by a sparse factorisation where it is regular (the
    # pseudo-inverse of the whole matrix is the same there, at many times the cost).
    n = A.shape[0]
    A = scipy.sparse.csc_array(A)
    bad = np.asarray(abs(A).sum(axis=0)).ravel() == 0
    keep = np.flatnonzero(~bad)
    inv = np.zeros((n, n))
    if keep.size:
        sub = scipy.sparse.csc_array(A[keep][:, keep])
        part = None
        try:
            part = scipy.sparse.linalg.splu(sub).solve(np.eye(keep.size))
        except RuntimeError:
            pass
        if part is None or not np.isfinite(part).all():
            part = np.linalg.pinv(sub.toarray())
        inv[np.ix_(keep, keep)] = part
    inv[bad, :] = inv[:, bad] = math.nan
    inv[bad, bad] = math.inf
    return inv


def fit_lines(data: Any, observations: Any, lines: Lines | Sequence[Lines], continuum: Any = None,
              roughness: float = 0.0, *, variances: Any = None, weights: Any = None,
              normalization: str = "integral", max_iterations: int = 100,
              tolerance: float = 1e-8) -> LineFit:
    r"""Fit line profiles and a continuum jointly to data seen through observation kernels.

    Minimises

    .. math:: \chi^2 + \lambda\, c^T R c, \qquad
              \chi^2 = \sum_j w_j \big(d_j - (K_\mathrm{lines}(\theta) a + K_\mathrm{cont} c)_j\big)^2,

    over the line parameters :math:`\theta` (within their bounds), the amplitudes :math:`a`
    and the continuum coefficients :math:`c`, where :math:`R_{kl} = \int b_k'' b_l''` is the
    roughness of the continuum.

    Parameters
    ----------
    data : array_like, shape (m,)
        One finite value per observation kernel.
    observations : Space
        The m kernels through which the data were taken: ``Space.boxes(edges)`` for pixels,
        ``Space.fts`` for instrument line shapes, ``Space.deltas(x)`` for point samples.
    lines : Lines or sequence of Lines
        The line groups with their starting values and constraints.
    continuum : Space, optional
        The basis of the continuum, for example ``Space.bsplines_clamped(breaks, 3, closed=True)``.
    roughness : float
        The penalty weight :math:`\lambda \ge 0` on :math:`\int f_\mathrm{cont}''^2` (absolute,
        in the units of :math:`\chi^2`).
    variances : array_like, optional
        Noise variances of the data; then :math:`w = 1/\mathrm{variances}` and the covariance is
        not rescaled by the reduced chi-square.
    weights : array_like, optional
        Relative weights :math:`w` (inverse variances up to a common factor); the covariance is
        scaled by the reduced chi-square. Give at most one of ``variances`` and ``weights``.
    normalization : {"integral", "none"}
        "integral": a datum is the kernel's weighted mean of the spectrum (pixel means, an
        instrument line shape of unit area, point values); "none": the plain inner product.
    max_iterations : int
        Cap on Levenberg-Marquardt iterations (each computes one Jacobian).
    tolerance : float
        Converged when no free parameter moves by more than ``tolerance`` times its standard error
        (estimated from the Jacobian's diagonal), when the projected gradient vanishes, or when a
        step lowers chi-square by less than ``100 * tolerance`` times the noise variance while the
        Gauss-Newton step promises less than 0.1; independently of ``tolerance``, also when a step
        gains less than 1 % of a Gauss-Newton promise below one noise variance (see Notes).

    Returns
    -------
    LineFit

    Raises
    ------
    ValueError
        For data that are not finite or not one per observation, bad weights or variances, a line
        whose center lies outside the observed range or that no observation sees, or bad options.

    Notes
    -----
    **Joint solve, not variable projection.** The amplitudes and continuum coefficients enter
    linearly and could be projected out (variable projection), leaving only :math:`\theta` to
    iterate on. But the projected Jacobian :math:`-P^\perp\, \partial_\theta K\, a` is dense --
    the continuum couples every sample to every line -- while the joint Jacobian keeps one sparse
    column per line parameter. So all parameters are solved together by Levenberg-Marquardt on
    the sparse normal equations (a sparse LU of :math:`J^T J` plus damping; the matrix has the
    size of the parameters, never samples x parameters dense), with bounds by projection: a
    parameter at a bound that the gradient pushes outward is held there for the step, and the
    step is clipped to the box. What variable projection buys on a bad start -- linear
    parameters that always fit the current lines -- is kept by starting the free amplitudes and
    continuum from their linear least-squares solution. Re-solving them exactly after every
    nonlinear step (the Kaufman form of variable projection, with the damping on the nonlinear
    parameters only) was measured and did not pay: from starts 0.3 line widths off, the joint
    steps reach the minimum's neighbourhood in about 5 iterations either way, and the extra
    sparse solve per trial step cost more than it saved.

    **Kinks.** A line is cut at ``cutoff`` half widths, so its measurement has a kink in the
    line's parameters wherever a cut end crosses a kernel edge (a pixel boundary). At the
    optimum, steps far below the standard errors bounce about such a corner: the linear model
    keeps promising a few hundredths of the noise variance per kink that chi-square never
    delivers, and the steps shrink only linearly. The fit therefore also stops when a step gains
    less than ``100 * tolerance`` noise variances and the undamped step promises less than 0.1,
    or when a step gains less than 1 % of what the undamped step promises and that promise is
    below one noise variance (a smooth model near its minimum delivers about what it promises;
    many lines add their kinks' promises up, to some 0.2 for 1,000 Voigt lines through pixels).
    Parameters are then settled within about 1e-3 of their errors of where further steps would
    take them, even where the step test could only be met by damping the steps away. A larger
    ``cutoff`` makes the kinks smaller (fewer iterations) but every :func:`measure_derivative`
    dearer.

    Each iteration computes :func:`measure_derivative` once per line-shape parameter of each
    family (the "center" call also gives the model), a trial step one call per family.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> pixels = spanlet.Space.boxes(np.linspace(0, 10, 201))
    >>> truth = spanlet.Space.gaussians([4.0, 6.2], [0.3, 0.2], 10)
    >>> data = spanlet.measure(pixels, truth, "integral") @ [1.0, 0.5] + 0.1
    >>> lines = spanlet.Lines("gaussian", [4.1, 6.0], sigma=0.25)
    >>> flat = spanlet.Space.bsplines_clamped([0, 10], 0, closed=True)
    >>> fit = spanlet.fit_lines(data, pixels, lines, continuum=flat)
    >>> fit.status
    'converged'
    >>> print(fit.lines[0].values["center"].round(6), fit.lines[0].values["sigma"].round(6))
    [4.  6.2] [0.3 0.2]
    >>> print(fit.continuum.coefficients.round(6))
    [0.1]
    """
    groups_in = [lines] if isinstance(lines, Lines) else list(lines)
    if not groups_in:
        raise ValueError("lines: no lines given (an empty line list has nothing to fit)")
    for g in groups_in:
        if not isinstance(g, Lines):
            raise TypeError(f"lines: expected spanlet.Lines, got {type(g).__name__}")
    obs_native = native_space(observations, "observations")
    m = len(obs_native)
    d = vector(data, "data")
    if d.size != m:
        raise ValueError(f"data has {d.size} values for {m} observations")
    if not np.isfinite(d).all():
        raise ValueError("data must not hold NaN or inf")
    if variances is not None and weights is not None:
        raise ValueError("give at most one of variances and weights")
    absolute = variances is not None
    if variances is not None:
        var = _per_line(variances, "variances", m)
        if not (np.isfinite(var).all() and (var > 0).all()):
            raise ValueError("variances must be finite and > 0")
        w = 1.0 / var
    elif weights is not None:
        w = _per_line(weights, "weights", m)
        if not (np.isfinite(w).all() and (w >= 0).all()):
            raise ValueError("weights must be finite and >= 0")
    else:
        w = np.ones(m)
    if normalization not in ("integral", "none"):
        raise ValueError(f"normalization must be 'integral' or 'none', got {normalization!r}")
    roughness = float(roughness)
    if not (math.isfinite(roughness) and roughness >= 0):
        raise ValueError(f"roughness must be finite and >= 0, got {roughness}")
    if int(max_iterations) != max_iterations or max_iterations < 0:
        raise ValueError(f"max_iterations must be an integer >= 0, got {max_iterations}")
    if not (math.isfinite(tolerance) and tolerance > 0):
        raise ValueError(f"tolerance must be finite and > 0, got {tolerance}")

    lower_obs, upper_obs = obs_native.lower(), obs_native.upper()
    domain = (float(lower_obs.min()), float(upper_obs.max())) if m else (math.nan, math.nan)
    for k, g in enumerate(groups_in):
        c = g.values["center"]
        outside = ~((c >= domain[0]) & (c <= domain[1]))
        if outside.any():
            i = int(np.argmax(outside))
            raise ValueError(f"lines: the center {c[i]} of line {i} (group {k}) lies outside the data "
                             f"[{domain[0]}, {domain[1]}]")

    sw = np.sqrt(w)
    obs_n = np.asarray(obs_native.integrals(), dtype=float) if normalization == "integral" else np.ones(m)
    inv_n = np.divide(1.0, obs_n, out=np.zeros(m), where=obs_n != 0)
    row_scale = sw * inv_n   # applied to line columns (measure_derivative normalises per line)
    K_cont = None
    R = None
    nc = 0
    if continuum is not None:
        native_space(continuum, "continuum")
        K_plain = scipy.sparse.csr_array(measure(observations, continuum, normalization))
        K_cont = scipy.sparse.csc_array(scipy.sparse.diags_array(sw) @ K_plain)
        nc = len(continuum)
        if roughness > 0:
            rough = continuum.derivative(2)
            R = roughness * scipy.sparse.csc_array(inner_products(rough, rough))

    groups = [_Group(g, domain) for g in groups_in]
    # Free vector: [nonlinear of group 0, group 1, ...][free areas of all groups][continuum].
    starts: list[np.ndarray] = []
    lowers: list[np.ndarray] = []
    uppers: list[np.ndarray] = []
    names: list[tuple[int | None, str, int | None]] = []
    for k, grp in enumerate(groups):
        s, lo, hi, labels = grp.nonlinear_start()
        starts.append(s)
        lowers.append(lo)
        uppers.append(hi)
        names += [(k, name, i) for name, i in labels]
    n_theta = sum(s.size for s in starts)
    area_offsets, pos = [], n_theta
    for k, grp in enumerate(groups):
        area_offsets.append(pos)
        lines_k = grp.lines
        lo, hi = lines_k.bounds.get("area", (np.full(grp.n, -math.inf), np.full(grp.n, math.inf)))
        start = lines_k.values["area"] if lines_k.values["area"] is not None else np.zeros(grp.n)
        starts.append(start[grp.area_free])
        lowers.append(lo[grp.area_free])
        uppers.append(hi[grp.area_free])
        names += [(k, "area", int(i)) for i in grp.area_free]
        pos += grp.area_free.size
    starts.append(np.zeros(nc))
    lowers.append(np.full(nc, -math.inf))
    uppers.append(np.full(nc, math.inf))
    names += [(None, "continuum", j) for j in range(nc)]
    z = np.concatenate(starts)
    lower, upper = np.concatenate(lowers), np.concatenate(uppers)
    n_free = z.size
    lin0 = n_theta

    sizes = [s.size for s in starts[:len(groups)]]

    def split(zv):
        bounds_ = np.cumsum([0] + sizes)
        return [zv[bounds_[k]:bounds_[k + 1]] for k in range(len(groups))]

    def areas_of(zv, k):
        grp = groups[k]
        a = (grp.lines.values["area"].copy() if grp.lines.values["area"] is not None else np.zeros(grp.n))
        a[grp.area_free] = zv[area_offsets[k]:area_offsets[k] + grp.area_free.size]
        return a

    def evaluate(zv):
        """Model state at zv: per group values, space, W and dW/dcenter; weighted residual."""
        state = []
        for k, (grp, zk) in enumerate(zip(groups, split(zv))):
            values, T = grp.unpack(zk)
            lines_k = grp.lines._with(values)
            space = lines_k.space()
            pair = measure_derivative(space, observations, "integral" if grp.lines.amplitude == "area" else "none",
                                      "center")
            state.append((lines_k, space, pair, T))
        return residual(state, zv)

    def residual(state, zv):
        """The model at zv for lines already measured in `state` (only the linear parameters may differ)."""
        model = np.zeros(m)
        for k, (lines_k, space, pair, T) in enumerate(state):
            lines_k.values["area"] = areas_of(zv, k)
            model += pair[0].T @ lines_k.values["area"] * inv_n
        if nc:
            model = model + K_plain @ zv[n_free - nc:]
        r = sw * (model - d)
        cost = 0.5 * _sum_of_squares(r)
        if R is not None:
            cz = zv[n_free - nc:]
            cost += 0.5 * cz @ (R @ cz)
        return (state, model), r, cost

    # Small problems assemble J dense (scipy.sparse overhead would dominate); large ones stay
    # sparse throughout, with a sparse LU of the normal matrix.
    dense = m * n_free <= 4_000_000
    area_col = []
    for k, grp in enumerate(groups):
        where = np.full(grp.n, -1)
        where[grp.area_free] = area_offsets[k] + np.arange(grp.area_free.size)
        area_col.append(where)
    if nc:
        Kc = scipy.sparse.coo_array(K_cont)
        cont_triplet = (Kc.row, Kc.col + (n_free - nc), Kc.data)

    def triplets(matrix, scale_rows, columns):
        # Entries of matrix.T (observations x lines) scaled, with line i sent to columns[i].
        lines_idx = np.repeat(np.arange(matrix.shape[0]), np.diff(matrix.indptr))
        obs = matrix.indices
        return obs, columns[lines_idx], matrix.data * scale_rows[lines_idx] * row_scale[obs]

    def jacobian(state_model, zv, linear_only=False):
        parts = []
        for k, (grp, (lines_k, space, pair, T)) in enumerate(zip(groups, state_model[0])):
            W = pair[0]
            keep = grp.area_free.size
            if keep:
                o, c, v = triplets(W, np.ones(grp.n), area_col[k])
                ok = c >= 0
                parts.append((o[ok], c[ok], v[ok]))
            if linear_only or not T.shape[1]:
                continue
            norm = "integral" if grp.lines.amplitude == "area" else "none"
            need = [name for name in grp.nonlinear if grp.layout[name][1].size]
            _, dWs = _derivatives(lines_k, space, observations, norm, need, lines_k.values, first=pair)
            a = lines_k.values["area"]
            offset = sum(sizes[:k])
            Tc = scipy.sparse.csr_array(T)
            for q, name in enumerate(grp.nonlinear):
                if name not in dWs:
                    continue
                o, full, v = triplets(dWs[name], a, q * grp.n + np.arange(grp.n))
                # Through the layout: full parameter row -> its free columns (ties may give two).
                count = np.diff(Tc.indptr)[full]
                start = np.repeat(Tc.indptr[full], count)
                within = np.arange(count.sum()) - np.repeat(np.cumsum(count) - count, count)
                at = start + within
                parts.append((np.repeat(o, count), Tc.indices[at] + offset, np.repeat(v, count) * Tc.data[at]))
        if nc:
            parts.append(cont_triplet)
        rows_ = np.concatenate([p_[0] for p_ in parts]) if parts else np.zeros(0, dtype=int)
        cols_ = np.concatenate([p_[1] for p_ in parts]) if parts else np.zeros(0, dtype=int)
        vals_ = np.concatenate([p_[2] for p_ in parts]) if parts else np.zeros(0)
        J = scipy.sparse.coo_array((vals_, (rows_, cols_)), shape=(m, n_free))
        return J.toarray() if dense else J.tocsc()

    penalty = None
    if R is not None:
        penalty = scipy.sparse.block_diag([scipy.sparse.csc_array((n_free - nc, n_free - nc)), R], format="csc")
        if dense:
            penalty = penalty.toarray()

    def normal(J, r, zv):
        A = J.T @ J
        g = J.T @ r
        if penalty is not None:
            A = A + penalty
            g = g + penalty @ zv
        return (A if dense else scipy.sparse.csc_array(A)), g

    def damped_solve(A, keep, damping, rhs):
        # Solves (A + diag(damping)) x = rhs on the parameters in `keep`.
        if dense:
            sub = A[np.ix_(keep, keep)] + np.diag(damping)
            try:
                return scipy.linalg.solve(sub, rhs, assume_a="pos", check_finite=False)
            except (np.linalg.LinAlgError, ValueError):
                raise RuntimeError("singular") from None
        sub = scipy.sparse.csc_array(A[keep][:, keep] + scipy.sparse.diags_array(damping))
        x = scipy.sparse.linalg.splu(sub).solve(rhs)
        if not np.isfinite(x).all():
            raise RuntimeError("singular")
        return x

    state, r, cost = evaluate(z)
    for k, (lines_k, space, pair, T) in enumerate(state[0]):
        seen = np.diff(pair[0].indptr) > 0
        if not seen.all():
            i = int(np.argmax(~seen))
            raise ValueError(f"lines: line {i} (group {k}) at {lines_k.values['center'][i]} is not seen by any observation")
    dof = int((w > 0).sum()) - n_free
    lin = np.arange(lin0, n_free)
    if lin.size:
        # Start: the free linear parameters from a linear solve at the starting lines (the lines'
        # measurements do not depend on them, so only the model is recomputed).
        J = jacobian(state, z, linear_only=True)
        A, g = normal(J, r, z)
        Ad = A.diagonal()
        try:
            step = damped_solve(A, lin, 1e-12 * max(float(Ad[lin].max()), 1e-300) * np.ones(lin.size), -g[lin])
            z[lin] = np.clip(z[lin] + step, lower[lin], upper[lin])
            state, r, cost = residual(state[0], z)
        except RuntimeError:
            pass   # the damped iterations below will cope
    J = jacobian(state, z)

    data_scale = float(np.mean(w * d * d)) if m else 0.0
    mu, nu = None, 2.0
    status, message, iterations = "max_iterations", "", 0
    A, g = normal(J, r, z)
    while True:
        # Noise level in chi-square units: steps are judged against standard errors.
        s2 = max(2 * cost / max(dof, 1), 1e-12 * data_scale, 1e-300)
        diag = A.diagonal()
        scale_d = np.maximum(diag, 1e-12 * max(float(diag.max(initial=0.0)), 1e-300))
        at_lower = (z <= lower) & (g > 0)
        at_upper = (z >= upper) & (g < 0)
        projected = np.clip(z - g / scale_d, lower, upper) - z
        if np.all(np.abs(projected) * np.sqrt(scale_d) <= tolerance * math.sqrt(s2)):
            status, message = "converged", "the projected gradient vanishes"
            break
        if iterations >= max_iterations:
            message = f"stopped after {iterations} iterations without converging (max_iterations={max_iterations})"
            break
        active = ~(at_lower | at_upper)
        keep = np.flatnonzero(active)
        # What the undamped Gauss-Newton step still promises, in units of the noise variance.
        try:
            newton = damped_solve(A, keep, 1e-12 * scale_d[keep], -g[keep])
            promise = -(g[keep] @ newton) / s2
        except RuntimeError:
            promise = math.inf
        iterations += 1
        if mu is None:
            mu = 1e-3
        accepted = False
        while mu < 1e20:
            try:
                delta = np.zeros(n_free)
                delta[keep] = damped_solve(A, keep, mu * scale_d[keep], -g[keep])
            except RuntimeError:
                mu *= nu
                nu *= 2
                continue
            z_new = np.clip(z + delta, lower, upper)
            step = z_new - z
            if np.all(np.abs(step) * np.sqrt(scale_d) <= tolerance * math.sqrt(s2)):
                break   # converged: even the damped step is below the tolerance
            predicted = -(g @ step + 0.5 * step @ (A @ step))
            if predicted <= 0:
                mu *= nu
                nu *= 2
                continue
            new_state, r_new, cost_new = evaluate(z_new)
            rho = (cost - cost_new) / predicted
            if rho > 1e-4:
                accepted = True
                mu *= max(1.0 / 3.0, 1.0 - (2.0 * rho - 1.0) ** 3)
                nu = 2.0
                break
            mu *= nu
            nu *= 2
        if not accepted and mu < 1e20:
            status, message = "converged", "the next step would move no parameter by more than tolerance x its error"
            break
        if not accepted:
            status, message = "no_progress", "no step reduces chi-square any further (damping exhausted)"
            break
        small = np.all(np.abs(step) * np.sqrt(scale_d) <= tolerance * math.sqrt(s2))
        # The model has kinks where a cut line support crosses a kernel edge: there the
        # steps bounce about a corner whose one-sided slope the linear model keeps promising
        # to descend (by a few hundredths of the noise variance per kink), while chi-square no
        # longer changes. Converged when a step gains next to nothing and little was promised,
        # or gains a hundredth of a promise below one noise variance (with many lines the kinks'
        # promises add up; parameters then sit within about 1e-3 of their errors of the corner).
        gain = 2 * (cost - cost_new) / s2
        stalled = gain <= 100 * tolerance and promise <= 0.1
        cornered = gain <= 1e-2 * promise and promise <= 1.0
        z, state, r, cost = z_new, new_state, r_new, cost_new
        J = jacobian(state, z)
        A, g = normal(J, r, z)
        if small:
            status, message = "converged", "the last step moved no parameter by more than tolerance x its error"
            break
        if stalled:
            status, message = "converged", ("the last step lowered chi-square by less than 100 x tolerance x the "
                                            "noise variance")
            break
        if cornered:
            status, message = "converged", ("the last step lowered chi-square by less than 1 % of the less than one "
                                            "noise variance that the Gauss-Newton step promised")
            break

    # Results.
    chi2 = _sum_of_squares(r)
    scale = 1.0 if absolute else chi2 / dof if dof > 0 else math.nan
    fitted, maps, p = [], [], 0
    for k, (grp, (lines_k, space, pair, T)) in enumerate(zip(groups, state[0])):
        fitted.append(lines_k)
        idx = grp.area_free
        maps.append((T, p, (idx, area_offsets[k] + np.arange(idx.size))))
        p += T.shape[1]
    model = state[1]
    return LineFit(lines=tuple(fitted), x=z, names=names, chi2=chi2, dof=dof, residuals=d - model, model=model,
                   continuum=Spline(continuum, z[n_free - nc:]) if nc else None, status=status, message=message,
                   iterations=iterations, scale=scale, _normal=A, _maps=maps)


def find_lines(x: Any, y: Any, threshold: float, *, absorption: bool = False,
               continuum: Any = None) -> LineCandidates:
    r"""Line candidates in sampled data: peaks above a threshold with rough widths and areas.

    A starting point for :class:`Lines`, not a line detector: it finds local maxima (minima with
    ``absorption``) whose height above the continuum exceeds ``threshold``, measures each
    one's half width at half height by linear interpolation between samples, and estimates an
    area as height x full width (a Gaussian has 1.064 x that, a Lorentzian 1.571 x). Blended
    lines come out as one candidate, and noise peaks above the threshold come out too.

    Parameters
    ----------
    x : array_like, shape (m,)
        Increasing sample positions (for example pixel centers).
    y : array_like, shape (m,)
        The samples.
    threshold : float
        Minimum peak height above the continuum (its prominence, measured by
        :func:`scipy.signal.find_peaks`).
    absorption : bool
        Look for dips instead of peaks; heights and areas are then negative.
    continuum : array_like or float, optional
        The continuum under the lines, subtracted first; default the median of ``y``.

    Returns
    -------
    LineCandidates
        ``center``, ``hwhm``, ``height``, ``area`` arrays, one entry per candidate.

    Examples
    --------
    >>> import numpy as np, spanlet
    >>> x = np.linspace(0, 10, 501)
    >>> y = 2 * np.exp(-0.5 * ((x - 3) / 0.2) ** 2) + np.exp(-0.5 * ((x - 7) / 0.1) ** 2)
    >>> found = spanlet.find_lines(x, y, 0.5)
    >>> print(found.center, (found.hwhm / np.sqrt(2 * np.log(2))).round(2))
    [3. 7.] [0.2 0.1]
    """
    import scipy.signal

    xs, ys = vector(x, "x"), vector(y, "y")
    if xs.size != ys.size:
        raise ValueError(f"y has {ys.size} values for {xs.size} positions x")
    if not (np.isfinite(xs).all() and np.isfinite(ys).all()):
        raise ValueError("x and y must not hold NaN or inf")
    if xs.size > 1 and not (np.diff(xs) > 0).all():
        raise ValueError("x must be increasing")
    base = np.median(ys) if continuum is None else real_array(continuum, "continuum")
    signal = (ys - base) * (-1.0 if absorption else 1.0)
    peaks, props = scipy.signal.find_peaks(signal, prominence=threshold)
    if peaks.size == 0:
        empty = np.zeros(0)
        return LineCandidates(empty, empty, empty, empty)
    heights = signal[peaks]
    widths = scipy.signal.peak_widths(signal, peaks, rel_height=0.5)
    index = np.arange(xs.size, dtype=float)
    left, right = np.interp(widths[2], index, xs), np.interp(widths[3], index, xs)
    hwhm = 0.5 * (right - left)
    sign = -1.0 if absorption else 1.0
    return LineCandidates(xs[peaks], hwhm, sign * heights, sign * heights * 2 * hwhm)
