"""Exact rational models of piecewise-polynomial elements, built with fractions.Fraction.

Each model is a list of pieces (a, b, coefficients of x**k in the absolute variable x), with a, b
and all coefficients exact rationals taken from the double inputs. Values, derivatives, integrals
and inner products follow without any rounding, so they are an independent reference for the
native results at any offset and any knot spacing.
"""

from fractions import Fraction


def poly_mul(p, q):
    out = [Fraction(0)] * (len(p) + len(q) - 1)
    for i, a in enumerate(p):
        for j, b in enumerate(q):
            out[i + j] += a * b
    return out


def poly_value(p, x):
    v = Fraction(0)
    for c in reversed(p):
        v = v * x + c
    return v


def poly_derivative(p, order=1):
    for _ in range(order):
        p = [k * c for k, c in enumerate(p)][1:] or [Fraction(0)]
    return p


def poly_antiderivative(p):
    return [Fraction(0)] + [c / (k + 1) for k, c in enumerate(p)]


def bspline(knots, degree, j):
    """The pieces of B-spline j of the given degree on the knots (repeats allowed)."""
    t = [Fraction(k) for k in knots]

    def basis(i, r, interval):
        if r == 0:
            return [Fraction(int(i == interval))]
        out = [Fraction(0)]
        if t[i + r] > t[i]:
            w = [-t[i] / (t[i + r] - t[i]), 1 / (t[i + r] - t[i])]
            out = poly_add(out, poly_mul(w, basis(i, r - 1, interval)))
        if t[i + r + 1] > t[i + 1]:
            w = [t[i + r + 1] / (t[i + r + 1] - t[i + 1]), -1 / (t[i + r + 1] - t[i + 1])]
            out = poly_add(out, poly_mul(w, basis(i + 1, r - 1, interval)))
        return out

    return [(t[i], t[i + 1], basis(j, degree, i)) for i in range(j, j + degree + 1) if t[i] < t[i + 1]]


def poly_add(p, q):
    n = max(len(p), len(q))
    return [(p[k] if k < len(p) else 0) + (q[k] if k < len(q) else 0) for k in range(n)]


def bsplines(knots, degree):
    return [bspline(knots, degree, j) for j in range(len(knots) - degree - 1)]


def poly_shift(p, d):
    """Coefficients of p(x - d)."""
    out = [Fraction(0)]
    for c in reversed(p):
        out = poly_add(poly_mul(out, [-d, Fraction(1)]), [c])
    return out


def periodic_bsplines(breakpoints, degree):
    """Periodic B-splines with period xn - x0 (exact), each folded into [x0, xn)."""
    x = [Fraction(v) for v in breakpoints]
    n, period = len(x) - 1, x[-1] - x[0]
    extended = [v - period for v in x[n - degree:n]] + x
    out = []
    for j in range(n):
        pieces = [(a + period, b + period, poly_shift(q, period)) if b <= x[0] else (a, b, q)
                  for a, b, q in bspline(extended, degree, j)]
        out.append(sorted(pieces, key=lambda piece: piece[0]))
    return out


def clamped_knots(breakpoints, degree):
    b = list(breakpoints)
    return [b[0]] * degree + b + [b[-1]] * degree


def hat(lower, peak, upper):
    lo, c, hi = Fraction(lower), Fraction(peak), Fraction(upper)
    pieces = []
    if lo < c:
        pieces.append((lo, c, [-lo / (c - lo), 1 / (c - lo)]))
    if c < hi:
        pieces.append((c, hi, [hi / (hi - c), -1 / (hi - c)]))
    return pieces


def box(lower, upper):
    return [(Fraction(lower), Fraction(upper), [Fraction(1)])]


def value(pieces, x, order=0):
    """The order-th derivative at x, from the piece that holds x (half-open on the right)."""
    x = Fraction(x)
    for a, b, p in pieces:
        if a <= x < b:
            return poly_value(poly_derivative(p, order), x)
    return Fraction(0)


def integral(pieces):
    total = Fraction(0)
    for a, b, p in pieces:
        q = poly_antiderivative(p)
        total += poly_value(q, b) - poly_value(q, a)
    return total


def inner(f, g, order=0):
    """The integral of the product of the order-th derivatives, piece by piece."""
    total = Fraction(0)
    for a1, b1, p in f:
        for a2, b2, q in g:
            a, b = max(a1, a2), min(b1, b2)
            if a < b:
                r = poly_antiderivative(poly_mul(poly_derivative(p, order), poly_derivative(q, order)))
                total += poly_value(r, b) - poly_value(r, a)
    return total


def gram(elements, order=0):
    return [[inner(f, g, order) for g in elements] for f in elements]
