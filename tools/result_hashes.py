"""Record every numerical result of a fixed set of spaces, to check that a change keeps the bits.

    python tools/result_hashes.py record before.npz     # on the old build
    python tools/result_hashes.py compare before.npz    # on the new build: lists what changed

The cases cover integrals, inner products, measurement matrices and their parameter derivatives,
point evaluation, projections, fits and covariances, each over a dozen kinds of space, with and
without a cosine weight. A changed result is reported with its largest relative change.
"""
from __future__ import annotations

import sys

import numpy as np

from spanlet import _spanlet as sp

S = sp.Space


def spaces() -> dict[str, object]:
    x = np.linspace(0.0, 4.0, 9)
    c = np.array([0.7, 1.6, 2.2, 3.1])
    return {
        "bsplines": S.bsplines(np.array([0.0, 0.5, 1.1, 1.5, 2.0, 2.6, 3.0, 3.5, 4.0]), 3),
        "clamped": S.bsplines_clamped(x, 2),
        "periodic": S.bsplines_periodic(x, 3),
        "hats": S.hats(x),
        "boxes": S.boxes(x),
        "deltas": S.deltas(np.array([0.1, 0.9, 2.0, 3.3])),
        "triangles": S.triangles(c, np.full(4, 0.4)),
        "trapezoids": S.trapezoids(c, np.full(4, 0.2), np.full(4, 0.7)),
        "pchip": S.tabulated(c, np.tile([-0.5, -0.1, 0.2, 0.5], (4, 1)), np.tile([0.0, 1.0, 0.6, 0.0], (4, 1)), "pchip"),
        "shifted": S.shifted(np.array([-0.5, 0.0, 0.5]), np.array([0.0, 1.0, 0.0]), c, np.full(4, 1.3), "linear"),
        "gaussians": S.gaussians(c, np.full(4, 0.2), 6.0),
        "lorentzians": S.lorentzians(c, np.full(4, 0.15), 20.0),
        "voigts": S.voigts(c, np.array([0.1, 0.2, 0.01, 0.3]), np.array([0.1, 0.03, 0.2, 0.05]), 12.0),
        "voigt_limits": S.voigts(c, np.array([0.1, 0.2, 0.0, 0.3]), np.array([0.1, 0.0, 0.2, 0.05]), 12.0),
        "pseudo_voigts": S.pseudo_voigts(c, np.full(4, 0.2), np.full(4, 0.3), 10.0),
        "smoothed_boxes": S.smoothed_boxes(c, np.full(4, 0.3), np.full(4, 0.05), 8.0),
        "super_gaussians": S.super_gaussians(c, np.full(4, 0.2), np.full(4, 0.3), np.full(4, 3.0), 6.0),
        "fts": S.fts(c, np.full(4, 3.0), 6.0, apodization="hann"),
        "fts_nb": S.fts(c, np.full(4, 4.0), 5.0, apodization="norton_beer_medium"),
        "harmonics": S.harmonics(2, 4.0, 0.0),
        "affine": S.hats(x).mapped("affine", 0.5, 0.3, True),
        "reciprocal": S.bsplines_clamped(np.linspace(1.0, 3.0, 5), 2).mapped("reciprocal", 2.0, 0.0, False),
        "derivative": S.bsplines_clamped(x, 3).derivative(1),
        "take": S.gaussians(c, np.full(4, 0.25), 6.0).take([0, 2]),
        "far": S.bsplines(1e6 + np.arange(12.0) / 1024, 3),
    }


DERIVATIVE_KERNELS = {
    "center": ["gaussians", "voigts", "fts", "hats", "boxes", "shifted"],
    "scale": ["gaussians", "lorentzians", "triangles"],
    "sigma": ["voigts", "smoothed_boxes"],
    "gamma": ["voigts"],
    "eta": ["pseudo_voigts"],
    "power": ["super_gaussians"],
    "asymmetry": ["super_gaussians"],
    "half_width": ["smoothed_boxes"],
}


def csr(parts):
    indptr, indices, data, shape = parts
    return np.concatenate([indptr.astype(float), indices.astype(float), data, np.array(shape, float)])


def run(name, f, out):
    try:
        out[name] = np.atleast_1d(np.asarray(f(), dtype=float))
    except Exception as e:  # a refusal is a result too
        out[name] = np.frombuffer(f"{type(e).__name__}: {e}".encode(), dtype=np.uint8).astype(float)


def results() -> dict[str, np.ndarray]:
    sps = spaces()
    out: dict[str, np.ndarray] = {}
    pts = np.linspace(-0.3, 4.3, 97)
    bases = ["bsplines", "clamped", "periodic", "hats", "boxes", "far", "derivative", "reciprocal"]
    for n, s in sps.items():
        run(f"integrals/{n}", lambda: s.integrals(), out)
        run(f"integrals_w/{n}", lambda: s.integrals(weight=2.5), out)
        run(f"evaluate/{n}", lambda: csr(sp.evaluate(s, pts)), out)
        run(f"gram/{n}", lambda: csr(sp.inner_products(s, s)), out)
        run(f"gram_w/{n}", lambda: csr(sp.inner_products(s, s, weight=1.7)), out)
        for b in bases:
            for norm in ("integral", "rowsum", "none"):
                run(f"measure/{n}/{b}/{norm}", lambda: csr(sp.measure(s, sps[b], norm)), out)
            run(f"measure_w/{n}/{b}", lambda: csr(sp.measure(s, sps[b], "none", weight=0.9)), out)
    for parameter, kernels in DERIVATIVE_KERNELS.items():
        for k in kernels:
            for b in bases + ["gaussians", "voigts"]:
                for norm in ("integral", "none"):
                    run(f"measure_derivative/{parameter}/{k}/{b}/{norm}",
                        lambda: np.concatenate([csr(m) for m in sp.measure_derivative(sps[k], sps[b], norm, parameter)]),
                        out)
                run(f"measure_derivative_w/{parameter}/{k}/{b}",
                    lambda: np.concatenate([csr(m) for m in sp.measure_derivative(sps[k], sps[b], "none", parameter,
                                                                                  weight=1.3)]), out)
    for a, b in [("boxes", "hats"), ("hats", "clamped"), ("gaussians", "bsplines")]:
        run(f"projection/{a}/{b}", lambda: sp.Projection(sps[a], sps[b]).to_dense(), out)
    run("fit/boxes/clamped", lambda: sp.Fit(sps["boxes"], sps["clamped"], "integral", 0.01, "derivative", 2).to_dense(),
        out)
    atoms = ["boxes", "hats", "deltas", "bsplines", "gaussians", "fts", "harmonics", "trapezoids"]
    factor = (S.bsplines_clamped(np.linspace(-1.0, 5.0, 4), 1), [1.0, 0.5, 2.0, 1.2])
    for family in ("gaussian", "matern12", "matern32", "matern52"):
        for period in (None, 5.0):
            for fac in (None, factor):
                dims = [(family, 0.8, period, fac)]
                tag = f"{family}/{period}/{fac is not None}"
                for a in atoms:
                    run(f"cov_diag/{tag}/{a}", lambda: sp.covariance_diagonal(1.3, dims, [sps[a]], [None]), out)
                    run(f"cov_diag_w/{tag}/{a}", lambda: sp.covariance_diagonal(1.3, dims, [sps[a]], [2.0]), out)
                    run(f"cov_matrix/{tag}/{a}", lambda: sp.covariance_matrix(1.3, dims, [sps[a]], [None],
                                                                              [sps["deltas"]], [None]), out)
                    run(f"cov_deriv/{tag}/{a}",
                        lambda: np.concatenate([np.ravel(v) for v in _flat(sp.covariance_length_derivatives(
                            1.3, dims, [sps[a]], [None]))]), out)
    dims2 = [("matern32", 0.7, None, None), ("gaussian", 1.1, None, None)]
    run("cov_product", lambda: sp.covariance_matrix(0.9, dims2, [sps["boxes"], sps["hats"].take(list(range(8)))],
                                                    [None, None], [sps["hats"].take([0, 1, 2]), sps["bsplines"].take([0, 1, 2])],
                                                    [None, 1.0]), out)
    return out


def _flat(value):
    if isinstance(value, (list, tuple)):
        for v in value:
            yield from _flat(v)
    else:
        yield np.asarray(value, float)


def main() -> None:
    mode, path = sys.argv[1], sys.argv[2]
    now = results()
    if mode == "record":
        np.savez_compressed(path, **{k.replace("/", "|"): v for k, v in now.items()})
        print(f"{len(now)} results recorded")
        return
    before = {k.replace("|", "/"): v for k, v in np.load(path).items()}
    changed = 0
    for name in sorted(set(before) | set(now)):
        a, b = before.get(name), now.get(name)
        if a is None or b is None or a.shape != b.shape:
            print(f"{name}: shape or presence changed")
            changed += 1
        elif not np.array_equal(a.view(np.uint64), b.view(np.uint64)):
            scale = np.maximum(np.abs(a), np.abs(b))
            rel = np.where(scale > 0, np.abs(a - b) / np.where(scale > 0, scale, 1), 0)
            norm = np.nanmax(np.abs(a - b)) / max(np.nanmax(np.abs(a)), np.finfo(float).tiny)
            print(f"{name}: max relative change {np.nanmax(rel):.3g}, {norm:.3g} of the largest entry")
            changed += 1
    print(f"{changed} of {len(now)} results changed")


if __name__ == "__main__":
    main()
