"""A smoothing spline whose penalty is chosen by GCV, with its error band, and a rebinned noisy
spectrum with error bars from the propagated covariance.

Left: noisy samples of a smooth curve; ``smoothing_spline(x, y, std=True, full_output=True)``
chooses lambda by generalised cross-validation and gives the curve its coefficient covariance,
so ``curve.std(x)`` draws the band of two standard errors. Right: a spectrum sampled in fine
bins with known noise, rebinned onto wider pixels by ``Projection``; ``Projection.propagate``
carries the input variances to the full output covariance, whose diagonal gives the error bars.

    python examples/plot_gcv.py                 # writes plot_gcv.png in the current directory
    python examples/plot_gcv.py gcv.png --dpi 150
"""

from __future__ import annotations

import argparse

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import spanlet  # noqa: E402


def main(argv: list[str] | None = None) -> str:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default="plot_gcv.png", help="the PNG to write")
    parser.add_argument("--dpi", type=float, default=100.0)
    args = parser.parse_args(argv)
    rng = np.random.default_rng(3)

    x = np.sort(rng.uniform(0.0, 1.0, 150))
    truth = np.sin(7 * x) * np.exp(-x)
    y = truth + rng.normal(0.0, 0.15, x.size)
    curve, choice = spanlet.smoothing_spline(x, y, std=True, full_output=True)

    fine_edges = np.linspace(0.0, 10.0, 401)
    centers = 0.5 * (fine_edges[1:] + fine_edges[:-1])
    sigma = 0.05 + 0.05 * centers / 10                        # noise grows along the spectrum
    spectrum = np.exp(-0.5 * ((centers - 4.0) / 0.6) ** 2) + rng.normal(0.0, sigma)
    coarse_edges = np.linspace(0.0, 10.0, 41)
    rebin = spanlet.Projection(spanlet.Space.boxes(fine_edges), spanlet.Space.boxes(coarse_edges))
    coarse = rebin.apply_last_axis(spectrum)
    covariance = rebin.propagate(sigma**2)
    errors = np.sqrt(np.asarray(covariance.diagonal()))

    fig, (left, right) = plt.subplots(1, 2, figsize=(10, 4), layout="constrained")
    t = np.linspace(x[0], x[-1], 400)
    f, s = curve(t), curve.std(t)
    left.plot(x, y, ".", color="0.6", ms=3, label="samples")
    left.plot(t, np.sin(7 * t) * np.exp(-t), color="k", lw=1, ls="--", label="true curve")
    left.fill_between(t, f - 2 * s, f + 2 * s, color="C0", alpha=0.25, label="±2σ")
    left.plot(t, f, color="C0", label=f"GCV: λ = {choice.lam:.2g}, edf = {choice.edf:.1f}")
    left.set_xlabel("x")
    left.legend(loc="lower left", fontsize="small")
    right.plot(centers, spectrum, color="0.7", lw=0.8, label="fine bins")
    right.errorbar(0.5 * (coarse_edges[1:] + coarse_edges[:-1]), coarse, yerr=errors, fmt="o", ms=3,
                   color="C1", label="rebinned, ±1σ propagated")
    right.set_xlabel("wavenumber")
    right.legend(loc="upper right", fontsize="small")
    fig.savefig(args.output, dpi=args.dpi)
    plt.close(fig)
    return args.output


if __name__ == "__main__":
    print("wrote", main())
