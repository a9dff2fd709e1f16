"""Independent Python models of basis elements (scipy/numpy based) and quadrature references.

Each model is a scalar function with its breakpoints, so integrals can be taken piece by piece
with scipy.integrate.quad, which is exact to rounding on the polynomial pieces.
"""

import warnings

import numpy as np
from scipy.integrate import IntegrationWarning, quad
from scipy.interpolate import BSpline, PchipInterpolator

from spanlet._spanlet import Space


class Ref:
    def __init__(self, f, knots):
        self.f = f
        self.knots = np.unique(np.asarray(knots, dtype=float))

    @property
    def lo(self):
        return self.knots[0]

    @property
    def hi(self):
        return self.knots[-1]


def piecewise_quad(f, knots, omega=None):
    total = 0.0
    for a, b in zip(knots[:-1], knots[1:]):
        # quad reports "roundoff" when a piece is already exact to rounding; that is fine here.
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", IntegrationWarning)
            total += piece_quad(f, a, b, omega)
    return total


def piece_quad(f, a, b, omega):
    if omega is None:
        return quad(f, a, b, epsabs=1e-15, epsrel=1e-14, limit=200)[0]
    return quad(f, a, b, weight="cos", wvar=omega, epsabs=1e-15, epsrel=1e-14, limit=200)[0]


def ref_integral(r, omega=None):
    return piecewise_quad(r.f, r.knots, omega)


def ref_inner(r1, r2, omega=None):
    lo, hi = max(r1.lo, r2.lo), min(r1.hi, r2.hi)
    if hi <= lo:
        return 0.0
    k = np.concatenate([[lo, hi], r1.knots, r2.knots])
    k = np.unique(k[(k >= lo) & (k <= hi)])
    return piecewise_quad(lambda t: r1.f(t) * r2.f(t), k, omega)


def table(xs, ys, f):
    """A function defined on [xs[0], xs[-1]] and zero elsewhere."""
    def g(t):
        return float(f(t)) if xs[0] <= t <= xs[-1] else 0.0
    return g


def bspline_refs(knots, p):
    refs = []
    for j in range(len(knots) - p - 1):
        t = knots[j:j + p + 2]
        b = BSpline.basis_element(t, extrapolate=False)
        refs.append(Ref(table(t, t, lambda x, b=b: np.nan_to_num(b(x))), t))
    return refs


def hat_ref(lo, peak, hi):
    def f(x):
        if x < lo or x > hi:
            return 0.0
        if x <= peak:
            return 1.0 if peak == lo else (x - lo) / (peak - lo)
        return (hi - x) / (hi - peak)
    return Ref(f, [lo, peak, hi])


def interp_ref(xs, ys, center, stretch, pchip):
    fn = PchipInterpolator(xs, ys) if pchip else (lambda u: np.interp(u, xs, ys))
    sx = center + stretch * np.asarray(xs)
    return Ref(table(sx, sx, lambda x: fn((x - center) / stretch)), sx)


def mapped_ref(r, kind, a, b, jacobian):
    if kind == "affine":
        def f(x):
            return r.f((x - a) / b) * (1 / abs(b) if jacobian else 1.0)
        return Ref(f, a + b * r.knots)

    def f(x):
        return r.f(a / x) * (abs(a) / x**2 if jacobian else 1.0)
    return Ref(f, a / r.knots)


def family(name, rng):
    """A space and its reference models, for a named family of elements."""
    if name == "boxes":
        e = np.cumsum(rng.uniform(0.2, 1.5, 6)) - 2
        return Space.boxes(e), [Ref(lambda x, a=a, b=b: float(a <= x < b), [a, b]) for a, b in zip(e, e[1:])]
    if name == "hats":
        n = np.cumsum(rng.uniform(0.2, 1.5, 6)) - 2
        ext = np.concatenate([[n[0]], n, [n[-1]]])
        return Space.hats(n), [hat_ref(*ext[i:i + 3]) for i in range(len(n))]
    if name == "triangles":
        c, h = rng.uniform(-3, 3, 4), rng.uniform(0.1, 2, 4)
        return Space.triangles(c, h), [hat_ref(ci - 2 * hi, ci, ci + 2 * hi) for ci, hi in zip(c, h)]
    if name == "rectangles":
        c, w = rng.uniform(-3, 3, 4), rng.uniform(0.1, 2, 4)
        return Space.rectangles(c, w), [
            Ref(lambda x, a=ci - wi / 2, b=ci + wi / 2: float(a <= x < b), [ci - wi / 2, ci + wi / 2])
            for ci, wi in zip(c, w)]
    if name == "trapezoids":
        c, top = rng.uniform(-3, 3, 4), rng.uniform(0.1, 1, 4)
        bottom = top + rng.uniform(0.1, 1, 4)
        refs = []
        for ci, t, b in zip(c, top, bottom):
            xs = [ci - b, ci - t, ci + t, ci + b]
            refs.append(Ref(table(xs, xs, lambda x, xs=xs: np.interp(x, xs, [0, 1, 1, 0])), xs))
        return Space.trapezoids(c, top, bottom), refs
    if name.startswith("bsplines"):
        p = int(name[-1])
        k = np.sort(np.concatenate([rng.uniform(-2, 2, 7), [0.5] * p]))  # an interior knot of multiplicity p
        return Space.bsplines(k, p), bspline_refs(k, p)
    if name in ("linear", "pchip"):
        c = rng.uniform(-3, 3, 3)
        xs = np.cumsum(rng.uniform(0.1, 1, (3, 6)), axis=1) - 2
        ys = rng.normal(size=(3, 6))
        refs = [interp_ref(xs[i], ys[i], c[i], 1.0, name == "pchip") for i in range(3)]
        return Space.tabulated(c, xs, ys, name), refs
    if name == "shifted":
        xs = np.cumsum(rng.uniform(0.1, 1, 6)) - 2
        ys = rng.uniform(0, 1, 6)
        c, s = rng.uniform(-3, 3, 3), rng.uniform(0.3, 3, 3)
        return (Space.shifted(xs, ys, c, s, "pchip"),
                [interp_ref(xs, ys, ci, si, True) for ci, si in zip(c, s)])
    raise ValueError(name)


FAMILIES = ["boxes", "hats", "triangles", "rectangles", "trapezoids", "linear", "pchip", "shifted",
            "bsplines0", "bsplines1", "bsplines2", "bsplines3"]
