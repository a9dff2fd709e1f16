"""A first look at spanlet: a clamped cubic B-spline basis, its values, and a smoothing fit."""

import numpy as np

import spanlet

breakpoints = np.linspace(0.0, 1.0, 6)
basis = spanlet.Space.bsplines_clamped(breakpoints, 3)

print(f"spanlet {spanlet.__version__}: clamped cubic B-splines on {len(breakpoints)} breakpoints")
print(f"{'element':>7} {'lower':>8} {'upper':>8} {'center':>8}")
for i, (lo, hi, c) in enumerate(zip(basis.lower(), basis.upper(), basis.centers())):
    print(f"{i:>7} {lo:>8.3f} {hi:>8.3f} {c:>8.3f}")

# Point values come back as a sparse matrix: one row per point, one column per element.
points = np.array([0.0, 0.25, 0.5, 0.75, 0.999])
indptr, indices, data, shape = spanlet.evaluate(basis, points)
values = np.zeros(shape)
for row in range(shape[0]):
    values[row, indices[indptr[row]:indptr[row + 1]]] = data[indptr[row]:indptr[row + 1]]
print("\nvalues at", points)
with np.printoptions(precision=3, suppress=True, linewidth=120):
    print(values)
print("row sums (partition of unity):", values.sum(axis=1).round(12))

# Fit noisy samples of a smooth function: each sample is a point measurement (a delta kernel).
rng = np.random.default_rng(0)
x = np.sort(rng.uniform(0.0, 1.0, 400))
truth = np.sin(2 * np.pi * x)
samples = truth + rng.normal(0.0, 0.05, x.size)
model = spanlet.Space.bsplines_clamped(np.linspace(0.0, 1.0, 21), 3)
fit = spanlet.Fit(spanlet.Space.deltas(x), model, "none", 1e-4, "difference", 2)
coefficients = fit.apply_last_axis(samples[None, :])[0]

indptr, indices, data, shape = spanlet.evaluate(model, x)
fitted = np.array([data[indptr[i]:indptr[i + 1]] @ coefficients[indices[indptr[i]:indptr[i + 1]]]
                   for i in range(shape[0])])
print(f"\nfit of {x.size} noisy samples with {fit.n_model} cubic B-splines:")
print(f"  rms residual against the samples: {np.sqrt(np.mean((fitted - samples) ** 2)):.4f}")
print(f"  rms error against the true curve: {np.sqrt(np.mean((fitted - truth) ** 2)):.4f}")
