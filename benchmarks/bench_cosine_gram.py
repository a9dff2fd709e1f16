"""Cosine-weighted Gram matrix of clamped cubic B-splines: the time should not depend on omega.

Piecewise-polynomial products under cos(omega t) are integrated in closed form (integration by
parts over the knot jumps where omega h is large, a fixed rule where it is small), so the cost
per entry is the same from omega h = 0.01 to 10^4. The unweighted Gram of the same space is the
floor for comparison.
"""

import numpy as np

from timing import median_time

DEGREE = 3
PHASES = (0.01, 1.0, 100.0, 1e4)


def space(n):
    from spanlet._spanlet import Space

    return Space.bsplines_clamped(np.linspace(0.0, 1.0, n - DEGREE + 1), DEGREE)


def run(n=10**4, repeats=5, phases=PHASES):
    from spanlet._spanlet import inner_products

    s = space(n)
    h = 1.0 / (n - DEGREE)
    base, g = median_time(lambda: inner_products(s, s), repeats)
    stored = len(g[2])
    print(f"cosine-weighted Gram: {n} clamped cubic B-splines, knot spacing h = {h:.3g}, {stored} stored entries")
    print(f"  unweighted                  {base * 1e3:10.2f} ms")
    times = []
    for phase in phases:
        seconds, _ = median_time(lambda: inner_products(s, s, phase / h), repeats)
        times.append(seconds)
        print(f"  omega h = {phase:<8g}          {seconds * 1e3:10.2f} ms  ({seconds / stored * 1e9:.1f} ns per entry,"
              f" {seconds / base:.2f}x unweighted)")
    print(f"  slowest / fastest over omega {max(times) / min(times):9.2f}")


if __name__ == "__main__":
    run()
