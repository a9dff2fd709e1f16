#!/usr/bin/env python3
"""Record high-precision references of cosine-weighted integrals and Gram matrices into tests/data.

Run once (needs mpmath; the test suite does not):  python tools/record_cosine_references.py

Each case is a space built from exact double inputs and a weight omega. The elements are taken as
exact rational piecewise polynomials (tests/exact_pieces.py); the integral of a polynomial piece
times cos(omega x) is the closed antiderivative sum_k (-1)^k P^(k)(x) e^(i omega x) / (i omega)^(k+1),
evaluated with enough digits to absorb its cancellation at small omega * width. Inputs are written
as hexadecimal floats, values with 30 significant digits.
"""
import json
import sys
from pathlib import Path

import mpmath as mp

TOP = Path(__file__).resolve().parent.parent
sys.path.insert(0, str(TOP / "tests"))
import exact_pieces as ex  # noqa: E402


def shifted(poly, a):
    """The coefficients of poly(a + s) in s, exactly."""
    out = [0] * len(poly)
    for k, c in enumerate(poly):
        # c (a + s)^k by the binomial expansion
        binom = 1
        for i in range(k + 1):
            out[i] += c * binom * a ** (k - i)
            binom = binom * (k - i) // (i + 1)
    return out


def piece_cos_integral(a, b, poly, omega):
    # In the local variable s = x - a (exact rationals), so no digits go to the absolute offset.
    w = mp.mpf(omega)
    q0 = shifted(poly, a)
    am = mp.mpf(a.numerator) / a.denominator
    total = mp.mpc(0)
    for s, sign in ((b - a, 1), (0, -1)):
        sm = mp.mpf(s.numerator) / s.denominator if s else mp.mpf(0)
        e = mp.expj(w * am) * mp.expj(w * sm)
        q = [mp.mpf(c.numerator) / c.denominator for c in q0]
        k = 0
        while q:
            v = mp.mpf(0)
            for c in reversed(q):
                v = v * sm + c
            total += sign * (-1) ** k * v * e / (1j * w) ** (k + 1)
            q = [i * c for i, c in enumerate(q)][1:]
            k += 1
    return mp.re(total)


def cos_inner(f, g, omega):
    total = mp.mpf(0)
    for a1, b1, p in f:
        for a2, b2, q in g:
            a, b = max(a1, a2), min(b1, b2)
            if a < b:
                total += piece_cos_integral(a, b, ex.poly_mul(p, q), omega)
    return total


def cos_integral(f, omega):
    return sum((piece_cos_integral(a, b, p, omega) for a, b, p in f), mp.mpf(0))


def elements(kind, values, degree):
    if kind == "bsplines":
        return ex.bsplines(values, degree)
    if kind == "bsplines_clamped":
        return ex.bsplines(ex.clamped_knots(values, degree), degree)
    if kind == "hats":
        n = len(values)
        return [ex.hat(values[max(i - 1, 0)], values[i], values[min(i + 1, n - 1)]) for i in range(n)]
    if kind == "boxes":
        return [ex.box(a, b) for a, b in zip(values[:-1], values[1:])]
    raise ValueError(kind)


def cases():
    out = [("bsplines", [0.0, 1, 2, 3, 4], 3, 25000.0)]
    unit = [float(k) for k in range(9)]
    for wh in (1e-12, 1e-6, 0.01, 1.0, 3.9, 4.1, 5.9, 100.0, 1e4, 1e6):
        out.append(("bsplines_clamped", unit, 3, wh))
    for wh in (0.3, 7.0, 3e3):
        out.append(("bsplines_clamped", unit, 1, wh))
        out.append(("bsplines_clamped", unit, 2, -wh))
    # Far from the origin on dyadic grids, with power-of-two weights, so omega * x is exact.
    for wh in (2.0**-7, 1.0, 2.0**7, 2.0**13):
        out.append(("bsplines_clamped", [1e6 + k * 2.0**-10 for k in range(9)], 3, wh * 2.0**10))
    for omega in (2.0**-7, 2.0**-1, 2.0**3, 2.0**10):
        out.append(("hats", [1.7e9 + k for k in range(6)], 1, omega))
    out.append(("boxes", [0.0, 0.5, 2.0, 2.25, 7.0], 0, 1e5))
    out.append(("boxes", [0.0, 0.5, 2.0, 2.25, 7.0], 0, 0.2))
    return out


def main():
    records = []
    for kind, values, degree, omega in cases():
        els = elements(kind, values, degree)
        lo = min(min(a for a, _, _ in f) for f in els)
        hi = max(max(b for _, b, _ in f) for f in els)
        width = min(b - a for f in els for a, b, _ in f)
        # The antiderivative's terms reach (omega width)^-(degree of the product); carry them.
        small = max(1.0, float(1 / (abs(omega) * width)))
        mp.mp.dps = 40 + int(14 * mp.log10(small)) + int(mp.log10(abs(omega) * float(max(abs(lo), abs(hi))) + 1))
        integrals = [mp.nstr(cos_integral(f, omega), 30) for f in els]
        gram = [[mp.nstr(cos_inner(f, g, omega), 30) for g in els] for f in els]
        records.append({"kind": kind, "values": [float(v).hex() for v in values], "degree": degree,
                        "omega": float(omega).hex(), "integrals": integrals, "gram": gram})
    path = TOP / "tests" / "data" / "cosine_integrals.json"
    path.write_text(json.dumps(records, indent=1) + "\n")
    print(f"wrote {len(records)} cases to {path}")


if __name__ == "__main__":
    main()
