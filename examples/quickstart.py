"""A first look at spanlet: a clamped cubic B-spline basis, its values, and a smoothing fit."""

import numpy as np

import spanlet

basis = spanlet.Space.bsplines_clamped(np.linspace(0.0, 1.0, 6), 3)
print(f"spanlet {spanlet.__version__}: {basis}")
print(f"{'element':>7} {'lower':>8} {'upper':>8} {'center':>8}")
for i, (lo, hi, c) in enumerate(zip(basis.lower(), basis.upper(), basis.centers())):
    print(f"{i:>7} {lo:>8.3f} {hi:>8.3f} {c:>8.3f}")

# Point values come back as a scipy.sparse matrix: one row per point, one column per element.
points = [0.0, 0.25, 0.5, 0.75, 0.999]
values = spanlet.evaluate(basis, points)
print("\nvalues at", points)
with np.printoptions(precision=3, suppress=True, linewidth=120):
    print(values.toarray())
print("row sums (partition of unity):", values.sum(axis=1).round(12))

# Fit noisy samples of a smooth function: each sample is a point measurement (a delta kernel).
rng = np.random.default_rng(0)
x = np.sort(rng.uniform(0.0, 1.0, 400))
truth = np.sin(2 * np.pi * x)
samples = truth + rng.normal(0.0, 0.05, x.size)
model = spanlet.Space.bsplines_clamped(np.linspace(0.0, 1.0, 21), 3, closed=True)
fit = spanlet.Fit(spanlet.Space.deltas(x), model, "none", 1e-4, "difference", 2)
curve = fit.curve(samples)
fitted = curve(x)
print(f"\n{fit}:")
print(f"  rms residual against the samples: {np.sqrt(np.mean((fitted - samples) ** 2)):.4f}")
print(f"  rms error against the true curve: {np.sqrt(np.mean((fitted - truth) ** 2)):.4f}")
print(f"  integral of the curve over [0, 1]: {curve.integral():+.4f} (exact: 0)")
