"""Spline fits of noisy samples, side by side with scipy.interpolate: the curves agree to 1e-10.

A least-squares cubic spline on 12 breakpoints (``make_lsq_spline``) and a cubic smoothing
spline (``make_smoothing_spline``, the same lambda) of 150 samples; the lower panel shows how
far the spanlet curves are from scipy's (a log scale; gaps are exact agreement).

    python examples/plot_fit.py                 # writes plot_fit.png in the current directory
    python examples/plot_fit.py fit.png --dpi 150
"""

from __future__ import annotations

import argparse

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402
from scipy.interpolate import make_lsq_spline, make_smoothing_spline  # noqa: E402

import spanlet  # noqa: E402


def main(argv: list[str] | None = None) -> str:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default="plot_fit.png", help="the PNG to write")
    parser.add_argument("--dpi", type=float, default=100.0)
    args = parser.parse_args(argv)

    rng = np.random.default_rng(1)
    x = np.sort(rng.uniform(0.0, 10.0, 150))
    x[[0, -1]] = 0.0, 10.0  # samples at both ends count, as in scipy
    y = np.sin(x) * np.exp(-0.15 * x) + rng.normal(0.0, 0.1, x.size)
    breakpoints, lam = np.linspace(0.0, 10.0, 12), 0.5

    lsq = spanlet.lsq_spline(x, y, breakpoints, 3)
    smooth = spanlet.smoothing_spline(x, y, lam)
    knots = np.r_[[0.0] * 3, breakpoints, [10.0] * 3]
    lsq_scipy = make_lsq_spline(x, y, knots, k=3)
    smooth_scipy = make_smoothing_spline(x, y, lam=lam)

    t = np.linspace(0.0, 10.0, 1001)
    fig, (top, bottom) = plt.subplots(2, 1, figsize=(7, 5), height_ratios=[3, 1], sharex=True,
                                      layout="constrained")
    top.plot(x, y, ".", color="0.6", label="samples")
    top.plot(t, lsq(t), color="C0", label="spanlet.lsq_spline")
    top.plot(t[::40], lsq_scipy(t[::40]), "o", mfc="none", color="C0", label="make_lsq_spline")
    top.plot(t, smooth(t), color="C1", label=f"spanlet.smoothing_spline, lam={lam}")
    top.plot(t[::40], smooth_scipy(t[::40]), "s", mfc="none", color="C1", label="make_smoothing_spline")
    top.vlines(breakpoints, 0.0, 0.04, transform=top.get_xaxis_transform(), color="C0", lw=0.8)  # breakpoints
    top.set_ylabel("y")
    top.legend(fontsize="small", ncols=2)
    bottom.semilogy(t, abs(lsq(t) - lsq_scipy(t)), color="C0", lw=0.8)
    bottom.semilogy(t, abs(smooth(t) - smooth_scipy(t)), color="C1", lw=0.8)
    bottom.set_xlabel("x")
    bottom.set_ylabel("|spanlet - scipy|")
    fig.savefig(args.output, dpi=args.dpi)
    plt.close(fig)
    return args.output


if __name__ == "__main__":
    print("wrote", main())
