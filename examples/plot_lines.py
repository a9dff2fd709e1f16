"""A synthetic FTS spectrum of 50 Voigt lines over a smooth continuum, fitted jointly.

The spectrum is seen through the instrument line shapes of a Fourier-transform spectrometer
(Norton-Beer medium apodization, one kernel per spectral sample); the lines start from
``find_lines`` and every center, width and area is fitted together with a cubic continuum. The
upper panel shows data and fit, the lower one the residuals against the noise level.

    python examples/plot_lines.py                 # writes plot_lines.png in the current directory
    python examples/plot_lines.py lines.png --dpi 150
"""

from __future__ import annotations

import argparse

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import spanlet  # noqa: E402


def spectrum(n_lines: int = 50, seed: int = 0):
    """Kernels, data, noise level and the true lines of a synthetic FTS spectrum on [1000, 1100]."""
    rng = np.random.default_rng(seed)
    grid = np.arange(1000.0, 1100.0, 0.05)                       # wavenumbers, cm^-1
    kernels = spanlet.Space.fts(grid, 10.0, 8, "norton_beer_medium")   # 10 cm max path difference
    spacing = 96.0 / n_lines
    centers = 1002.0 + spacing * (np.arange(n_lines) + 0.5 + rng.uniform(-0.3, 0.3, n_lines))
    truth = spanlet.Lines("voigt", centers, rng.uniform(0.01, 0.05, n_lines), cutoff=12,
                          sigma=rng.uniform(0.03, 0.05, n_lines), gamma=rng.uniform(0.02, 0.06, n_lines))
    continuum = spanlet.Space.bsplines_clamped(np.linspace(990.0, 1110.0, 9), 3)
    space = truth.space()
    noise = 0.002
    data = (spanlet.measure(kernels, space, "integral") @ (truth.values["area"] / space.integrals())
            + spanlet.measure(kernels, continuum, "integral") @ np.linspace(0.9, 1.1, len(continuum))
            + rng.normal(0.0, noise, grid.size))
    return grid, kernels, continuum, data, noise, truth


def fit(grid, kernels, continuum, data, noise):
    found = spanlet.find_lines(grid, data, 20 * noise)           # a starting point, not a detector
    lines = spanlet.Lines("voigt", found.center, cutoff=12, sigma=found.hwhm / 2, gamma=found.hwhm / 2)
    return found, spanlet.fit_lines(data, kernels, lines, continuum, variances=noise ** 2)


def main(argv: list[str] | None = None) -> str:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default="plot_lines.png", help="the PNG to write")
    parser.add_argument("--dpi", type=float, default=100.0)
    args = parser.parse_args(argv)

    grid, kernels, continuum, data, noise, truth = spectrum()
    found, result = fit(grid, kernels, continuum, data, noise)

    fig, (top, bottom) = plt.subplots(2, 1, figsize=(8, 5), height_ratios=[3, 1], sharex=True,
                                      layout="constrained")
    top.plot(grid, data, ".", ms=1.5, color="0.6", label="data (FTS samples)")
    top.plot(grid, result.model, color="C0", lw=0.8, label=f"joint fit, {len(result.lines[0])} Voigt lines")
    top.plot(grid, result.continuum(grid), color="C1", lw=0.8, label="fitted continuum")
    top.plot(found.center, np.interp(found.center, grid, data), "v", ms=3, color="C3", label="find_lines start")
    top.set_ylabel("signal")
    top.set_title(f"{result.status}, {result.iterations} iterations, "
                  f"chi2/dof = {result.chi2 / result.dof:.3f}", fontsize="small")
    top.legend(fontsize="small")
    bottom.plot(grid, result.residuals / noise, color="C0", lw=0.5)
    bottom.axhline(0.0, color="0.3", lw=0.5)
    bottom.set_xlabel("wavenumber (cm$^{-1}$)")
    bottom.set_ylabel("residual / noise")
    fig.savefig(args.output, dpi=args.dpi)
    plt.close(fig)
    return args.output


if __name__ == "__main__":
    print("wrote", main())
