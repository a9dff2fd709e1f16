"""A spectral line observed by a Fourier-transform spectrometer, then rebinned onto coarse pixels.

A Voigt line at 1000 cm^-1 is seen through the instrument line shapes of a spectrometer with a
maximum path difference of 2 cm (Norton-Beer medium apodization) on a fine grid of 1/32 cm^-1.
``spanlet.Projection`` from the fine bins onto wider pixels, which need not line up with them,
rebins the spectrum and keeps its area.

    python examples/plot_rebin.py               # writes plot_rebin.png in the current directory
    python examples/plot_rebin.py rebin.png --dpi 150
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
    parser.add_argument("output", nargs="?", default="plot_rebin.png", help="the PNG to write")
    parser.add_argument("--dpi", type=float, default=100.0)
    args = parser.parse_args(argv)

    line = spanlet.Space.voigts([1000.0], 0.03, 0.05, 60)        # sigma, gamma in cm^-1; cutoff
    fine_edges = np.arange(996.0, 1004.0 + 1e-9, 1 / 32)
    fine_centers = 0.5 * (fine_edges[1:] + fine_edges[:-1])
    kernels = spanlet.Space.fts(fine_centers, 2.0, 24, "norton_beer_medium")
    observed = spanlet.measure(kernels, line, "integral") @ [1.0]

    coarse_edges = np.linspace(996.0, 1004.0, 51)                # pixels of 0.16 cm^-1
    rebin = spanlet.Projection(spanlet.Space.boxes(fine_edges), spanlet.Space.boxes(coarse_edges))
    coarse = rebin.apply_last_axis(observed)

    areas = [observed @ np.diff(fine_edges), coarse @ np.diff(coarse_edges), line.integrals()[0]]
    fig, ax = plt.subplots(figsize=(7, 4), layout="constrained")
    t = np.linspace(998.5, 1001.5, 601)
    ax.plot(t, spanlet.evaluate(line, t) @ [1.0], color="0.6", lw=1, label="Voigt line")
    ax.plot(fine_centers, observed, color="C0", label="observed, 1/32 cm$^{-1}$ bins")
    ax.stairs(coarse, coarse_edges, color="C1", lw=1.5, label=f"rebinned, {rebin}")
    ax.set_xlim(998.5, 1001.5)
    ax.set_xlabel("wavenumber / cm$^{-1}$")
    ax.set_ylabel("intensity")
    ax.set_title("area: observed {:.6f}, rebinned {:.6f}, line {:.6f}".format(*areas), fontsize="medium")
    ax.legend(loc="upper left", fontsize="small")
    fig.savefig(args.output, dpi=args.dpi)
    plt.close(fig)
    return args.output


if __name__ == "__main__":
    print("wrote", main())
