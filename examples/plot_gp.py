"""Gaussian-process regression of pixel means, beside scikit-learn fitted to the pixel centres.

Noisy means of a known function over 16 pixels. Left: spanlet.GaussianProcess models each
datum as the mean over its pixel and predicts the function at points (mean and 2-sigma band).
Right: scikit-learn's GaussianProcessRegressor, which takes point observations only, fitted to
the same data placed at the pixel centres: it flattens the peaks that the averaging damped.
Both fit a Matern(5/2) kernel times a constant, with the noise variance known.

    python examples/plot_gp.py                 # writes plot_gp.png in the current directory
    python examples/plot_gp.py gp.png --dpi 150
"""

from __future__ import annotations

import argparse

import matplotlib

matplotlib.use("Agg")
import matplotlib.pyplot as plt  # noqa: E402
import numpy as np  # noqa: E402

import spanlet  # noqa: E402


def function(x):
    return np.sin(1.9 * x) + 0.4 * np.cos(4.1 * x)


def pixel_means(edges):
    primitive = -np.cos(1.9 * edges) / 1.9 + 0.4 * np.sin(4.1 * edges) / 4.1
    return np.diff(primitive) / np.diff(edges)


def main(argv: list[str] | None = None) -> str:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("output", nargs="?", default="plot_gp.png", help="the PNG to write")
    parser.add_argument("--dpi", type=float, default=100.0)
    args = parser.parse_args(argv)

    edges = np.linspace(0.0, 10.0, 17)
    centres = (edges[:-1] + edges[1:]) / 2
    noise = 0.03
    y = pixel_means(edges) + np.random.default_rng(2).normal(0.0, noise, centres.size)
    x = np.linspace(0.0, 10.0, 501)

    gp = spanlet.GaussianProcess([("matern52", 1.0, None, None)], variance=1.0, noise=noise**2, fixed="noise",
                                 bounds={"length_0": (0.2, 50.0)}, n_restarts=2, random_state=0)
    gp.fit(spanlet.Space.boxes(edges), y)
    mean, std = gp.predict(x, return_std=True)
    panels = [("spanlet.GaussianProcess: pixel means", mean, std, gp.dims_[0][1])]

    try:
        from sklearn.gaussian_process import GaussianProcessRegressor
        from sklearn.gaussian_process.kernels import ConstantKernel, Matern, WhiteKernel
    except ImportError:
        pass
    else:
        kernel = ConstantKernel(1.0) * Matern(1.0, (0.2, 50.0), nu=2.5) + WhiteKernel(noise**2, "fixed")
        sk = GaussianProcessRegressor(kernel, alpha=0.0, n_restarts_optimizer=2, random_state=0)
        sk.fit(centres[:, None], y)
        sk_mean, sk_std = sk.predict(x[:, None], return_std=True)
        sk_std = np.sqrt(np.maximum(sk_std**2 - sk.kernel_.k2.noise_level, 0.0))  # the function, not a new datum
        panels.append(("scikit-learn: values at pixel centres", sk_mean, sk_std, sk.kernel_.k1.k2.length_scale))

    fig, axes = plt.subplots(1, len(panels), figsize=(5.5 * len(panels), 4), sharey=True, squeeze=False,
                             layout="constrained")
    for ax, (title, m, s, length) in zip(axes[0], panels):
        ax.fill_between(x, m - 2 * s, m + 2 * s, color="C0", alpha=0.25, lw=0, label="posterior ±2σ")
        ax.plot(x, function(x), color="k", lw=1, ls="--", label="true function")
        ax.set_ylim(-1.9, 2.3)
        ax.stairs(y, edges, color="C1", lw=1.2, label="noisy pixel means")
        ax.plot(x, m, color="C0", lw=1.5, label=f"posterior mean (length {length:.2f})")
        rms = np.sqrt(np.mean((m - function(x)) ** 2))
        ax.set_title(f"{title}\nrms error {rms:.3f}", fontsize="medium")
        ax.set_xlabel("x")
    axes[0, 0].set_ylabel("f(x)")
    axes[0, 0].legend(fontsize="small", loc="upper left", ncols=2)
    fig.savefig(args.output, dpi=args.dpi)
    plt.close(fig)
    return args.output


if __name__ == "__main__":
    print("wrote", main())
