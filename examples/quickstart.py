"""A first look at spanlet: a clamped cubic B-spline basis and its elements."""

import numpy as np

import spanlet

breakpoints = np.linspace(0.0, 1.0, 6)
basis = spanlet.Space.bsplines_clamped(breakpoints, 3)

print(f"spanlet {spanlet.__version__}: clamped cubic B-splines on {len(breakpoints)} breakpoints")
print(f"{'element':>7} {'lower':>8} {'upper':>8} {'center':>8}")
for i, (lo, hi, c) in enumerate(zip(basis.lower(), basis.upper(), basis.centers())):
    print(f"{i:>7} {lo:>8.3f} {hi:>8.3f} {c:>8.3f}")
