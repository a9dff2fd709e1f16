#!/usr/bin/env python3
"""Record high-precision reference values of the special functions into tests/data.

Run once (needs mpmath; the test suite does not):  python tools/record_special_references.py

Arguments are written with repr, so they read back as the exact doubles that were evaluated;
values are computed with 40 working digits and written with 30 significant digits.
"""
from pathlib import Path

import mpmath as mp
import numpy as np

mp.mp.dps = 40
DATA = Path(__file__).resolve().parent.parent / "tests" / "data"


def faddeeva_grid():
    # A wide grid of the upper half-plane: 0, tiny, order one and huge magnitudes on both axes,
    # plus a dense block around the origin where the expansion works hardest.
    # w(-x + iy) is the conjugate of w(x + iy), so only a sample of negative x is kept.
    mags = np.concatenate([np.logspace(-10, 12, 23), [0.5, 1.5, 2.5, 3.5, 4.5, 6.0, 7.5]])
    xs = np.unique(np.concatenate([[0.0], mags, -mags[::3], np.linspace(-10, 10, 21)]))
    ys = np.unique(np.concatenate([[0.0], mags, np.linspace(0, 10, 11)]))
    return [(float(x), float(y)) for x in xs for y in ys]


def faddeeva(x, y):
    z = mp.mpc(x, y)
    return mp.exp(-z * z) * mp.erfc(-1j * z)


def spherical_bessel_grid():
    xs = np.concatenate([
        [0.0, 1e-300, 1e-20, 1e-8, 1e-4, 3.999, 4.0, 4.001, np.nextafter(4.0, 0.0)],
        np.linspace(0.01, 3.99, 67),
        np.linspace(4.0, 40.0, 73),
        np.logspace(1.7, 8, 30),
    ])
    xs = np.unique(np.concatenate([xs, -xs[xs > 0][::5]]))
    return [float(x) for x in xs]


def spherical_bessel_over_power(x, n):
    if x == 0:
        return 1 / mp.fac2(2 * n + 1)
    x = mp.mpf(abs(x))  # the ratio is even in x
    return mp.sqrt(mp.pi / (2 * x)) * mp.besselj(n + mp.mpf(1) / 2, x) / x**n


def main():
    DATA.mkdir(parents=True, exist_ok=True)
    with open(DATA / "faddeeva.txt", "w") as out:
        out.write("# w(x + iy) = exp(-z^2) erfc(-iz) from mpmath at 40 digits; columns: x y Re(w) Im(w)\n")
        for x, y in faddeeva_grid():
            w = faddeeva(x, y)
            out.write(f"{x!r} {y!r} {mp.nstr(w.real, 30)} {mp.nstr(w.imag, 30)}\n")
    with open(DATA / "spherical_bessel.txt", "w") as out:
        out.write("# j_n(x) / x^n from mpmath at 40 digits; columns: x, then n = 0..5\n")
        for x in spherical_bessel_grid():
            values = " ".join(mp.nstr(spherical_bessel_over_power(x, n), 30) for n in range(6))
            out.write(f"{x!r} {values}\n")


if __name__ == "__main__":
    main()
