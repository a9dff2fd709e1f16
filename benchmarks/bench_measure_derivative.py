"""The cost of having the derivative: measure_derivative against measure on the same Voigt kernels
and cubic B-spline basis, for a shift ("center") and a width ("gamma") parameter."""

import numpy as np

from spanlet._spanlet import Space, measure, measure_derivative
from timing import interleaved_medians


def run(kernels=10**4, elements=10**4, repeats=3, parameters=("center", "gamma")):
    degree = 3
    basis = Space.bsplines_clamped(np.linspace(0.0, 1.0, elements - degree + 1), degree)
    rng = np.random.default_rng(0)
    spacing = 1.0 / (elements - degree)
    centers = rng.uniform(0.05, 0.95, kernels)
    voigts = Space.voigts(centers, np.full(kernels, 2.0 * spacing), np.full(kernels, 1.0 * spacing), 5.0)
    w = measure(voigts, basis, "integral")
    print(f"measure_derivative: {kernels} Voigt kernels x {elements} cubic B-splines, 'integral', "
          f"{len(w[2])} entries")
    # The derivatives against the value in alternating rounds, so that the ratios see the same machine.
    calls = [lambda: measure(voigts, basis, "integral")]
    calls += [lambda p=p: measure_derivative(voigts, basis, "integral", p) for p in parameters]
    base, *derivatives = interleaved_medians(calls, 2 * repeats + 1)
    print(f"  spanlet.measure                     {base * 1e3:10.2f} ms")
    ratios = {}
    for p, seconds in zip(parameters, derivatives):
        ratios[p] = seconds / base
        print(f"  spanlet.measure_derivative {p!r:9} {seconds * 1e3:10.2f} ms  ratio {ratios[p]:6.2f} (goal <= 2)")
    return ratios


if __name__ == "__main__":
    run()
