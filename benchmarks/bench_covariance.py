"""Covariance matrices: point atoms against scikit-learn's Matern kernel, and integrated atoms
(boxes in one dimension, boxes x hats in two) per entry and from one worker to all of them."""

import os
import pathlib
import subprocess
import sys

import numpy as np

from spanlet._spanlet import Space, covariance_matrix
from timing import median_time

HERE = pathlib.Path(__file__).resolve().parent


def point_atoms(n):
    return np.sort(np.random.default_rng(0).uniform(0.0, 10.0, n))


def integrated_case(kind, n):
    """(dims, atoms) of n integrated atoms: "boxes" in one dimension, "boxes-hats" in two."""
    edges = np.linspace(0.0, 10.0, n + 1)
    boxes = Space.boxes(edges)
    if kind == "boxes":
        return [("matern32", 0.5, None, None)], [boxes]
    hats = Space.hats(np.linspace(0.0, 5.0, n + 2)).take(list(range(1, n + 1)))
    return [("matern32", 0.5, None, None), ("gaussian", 0.3, None, None)], [boxes, hats]


def time_integrated(kind, n, repeats):
    dims, atoms = integrated_case(kind, n)
    weights = [None] * len(atoms)
    call = lambda: covariance_matrix(1.0, dims, atoms, weights, atoms, weights, True)
    # One call first: the process is fresh, and its first call also starts the worker pool. Calls
    # of a few milliseconds are repeated more, so that the machine's noise does not set the median.
    first, _ = median_time(call, 1)
    seconds, _ = median_time(call, max(repeats, min(25, int(0.05 / max(first, 1e-6)))))
    return seconds


def time_with_workers(kind, n, repeats, workers):
    # The pool reads SPANLET_NUM_THREADS when it starts, so each worker count needs its own process.
    env = dict(os.environ, SPANLET_NUM_THREADS=str(workers))
    out = subprocess.run([sys.executable, str(HERE / "bench_covariance.py"), "--child", kind, str(n), str(repeats)],
                         env=env, capture_output=True, text=True, check=True, cwd=HERE)
    return float(out.stdout)


def run(points=2000, boxes=500, atoms2d=500, repeats=3, workers=None, matern52_boxes=1000):
    x = point_atoms(points)
    deltas = Space.deltas(x)
    dims = [("matern32", 0.7, None, None)]
    ours, K = median_time(lambda: covariance_matrix(1.0, dims, [deltas], [None], [deltas], [None], True), repeats)
    print(f"covariance_matrix: {points} point atoms, 'matern32', symmetric")
    print(f"  spanlet.covariance_matrix          {ours * 1e3:10.2f} ms")
    try:
        from sklearn.gaussian_process.kernels import Matern
    except ImportError:
        print("  scikit-learn not installed: no comparison")
    else:
        kernel = Matern(length_scale=0.7, nu=1.5)
        theirs, reference = median_time(lambda: kernel(x[:, None]), repeats)
        assert np.allclose(K, reference, rtol=1e-12, atol=1e-15)
        print(f"  sklearn Matern(nu=1.5)             {theirs * 1e3:10.2f} ms  ratio {ours / theirs:6.2f} (goal <= 1)")
    cpus = len(os.sched_getaffinity(0))
    counts = (1, cpus) if workers is None else workers
    for kind, n in (("boxes", boxes), ("boxes-hats", atoms2d)):
        print(f"covariance_matrix: {kind} atoms, symmetric (goals: time per entry flat in n, "
              f"speed-up >= 1.8 on 2 workers)")
        base = None
        for count, size in [(counts[0], n // 2)] + [(c, n) for c in counts]:
            entries = size * (size + 1) // 2
            seconds = time_with_workers(kind, size, repeats, count)
            if size == n:
                base = base or seconds
            speed = f"  speed-up {base / seconds:5.2f}" if size == n else ""
            print(f"  n = {size:5d}, {count} worker(s)  {seconds * 1e3:10.2f} ms"
                  f"  {seconds / entries * 1e6:8.3f} us/entry{speed}")
    run_matern52_boxes(matern52_boxes, repeats)


def run_matern52_boxes(n=1000, repeats=3):
    """Box atoms against the Matern 5/2 kernel on all workers (goal <= 0.1 us per entry on 2), with a
    few entries checked against nested adaptive quadrature (goal 1e-12 relative)."""
    from scipy.integrate import quad

    length = 0.5
    edges = np.linspace(0.0, 10.0, n + 1)
    boxes = Space.boxes(edges)
    dims = [("matern52", length, None, None)]
    seconds, K = median_time(lambda: covariance_matrix(1.0, dims, [boxes], [None], [boxes], [None], True), repeats)
    entries = n * (n + 1) // 2
    workers = os.environ.get("SPANLET_NUM_THREADS", str(len(os.sched_getaffinity(0))))
    print(f"covariance_matrix: {n} boxes, 'matern52', symmetric, {workers} worker(s)")
    print(f"  {seconds * 1e3:10.2f} ms  {seconds / entries * 1e6:8.3f} us/entry (goal <= 0.1 on 2 workers)")

    def kernel(r):
        z = np.sqrt(5.0) * abs(r) / length
        return (1.0 + z + z * z / 3.0) * np.exp(-z)

    worst = 0.0
    for i, j in [(0, 0), (0, 1), (3, n // 25), (n // 2, n // 2 + 7), (n - 1, n - 1 - n // 3)]:
        a0, a1, b0, b1 = edges[i], edges[i + 1], edges[j], edges[j + 1]
        inner = lambda x: quad(lambda y: kernel(x - y), b0, b1, points=[x] if b0 < x < b1 else None,
                               epsabs=0, epsrel=1e-13, limit=200)[0]
        ref = quad(inner, a0, a1, points=[b0, b1] if a0 < b0 < a1 else None, epsabs=0, epsrel=1e-13,
                   limit=200)[0] / ((a1 - a0) * (b1 - b0))
        worst = max(worst, abs(K[i, j] - ref) / abs(ref))
    print(f"  largest relative difference to nested quad on 5 entries: {worst:.1e} (goal <= 1e-12)")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--child"]:
        print(time_integrated(sys.argv[2], int(sys.argv[3]), int(sys.argv[4])))
    else:
        run()
