"""Three bases drawn element by element: clamped cubic B-splines, hats, and line profiles.

Each panel evaluates a ``Space`` on a fine grid (``spanlet.evaluate`` gives one column per
element) and draws every column. The dashed line in the first two panels is the sum of the
elements: both bases are a partition of unity on their breakpoints.

    python examples/plot_basis.py               # writes plot_basis.png in the current directory
    python examples/plot_basis.py basis.png --dpi 150
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
    parser.add_argument("output", nargs="?", default="plot_basis.png", help="the PNG to write")
    parser.add_argument("--dpi", type=float, default=100.0)
    args = parser.parse_args(argv)

    breakpoints = np.array([0.0, 0.1, 0.25, 0.5, 0.6, 0.8, 1.0])  # uneven on purpose
    # closed=True: the last piece includes its right end, so the last B-spline reaches 1 at x = 1.
    bases = [spanlet.Space.bsplines_clamped(breakpoints, 3, closed=True), spanlet.Space.hats(breakpoints)]
    x = np.linspace(0.0, 1.0, 801)

    fig, axes = plt.subplots(3, 1, figsize=(7, 6.5), sharex=True, layout="constrained")
    for ax, basis in zip(axes, bases):
        values = spanlet.evaluate(basis, x).toarray()
        ax.plot(x, values, lw=1.2)
        ax.plot(x, values.sum(axis=1), "k--", lw=0.8)
        ax.plot(breakpoints, np.zeros_like(breakpoints), "k|", ms=8)
        ax.set_title(repr(basis), fontsize="medium")

    hwhm = 0.05  # each profile is 1 at its center; cutoffs in sigmas or half widths
    profiles = {
        "Gaussian": spanlet.Space.gaussians([0.2], 2 * hwhm / spanlet.FWHM_PER_SIGMA, 8),
        "Lorentzian": spanlet.Space.lorentzians([0.5], hwhm, 200),
        "super-Gaussian, power 4": spanlet.Space.super_gaussians([0.8], hwhm, hwhm, 4, 8),
    }
    for name, profile in profiles.items():
        axes[2].plot(x, spanlet.evaluate(profile, x) @ [1.0], lw=1.2, label=name)
    axes[2].set_title(f"line profiles, half width at half maximum {hwhm}", fontsize="medium")
    axes[2].legend(fontsize="small")
    axes[2].set_xlabel("x")
    fig.savefig(args.output, dpi=args.dpi)
    plt.close(fig)
    return args.output


if __name__ == "__main__":
    print("wrote", main())
