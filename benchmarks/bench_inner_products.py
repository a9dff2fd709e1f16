"""Gram matrix of clamped cubic B-splines: time per stored entry, a scipy peer, and thread scaling.

The peer assembles the same sparse Gram matrix from scipy's design matrix at 4 Gauss-Legendre
points per knot interval (exact for the degree-6 products) as B^T W B. Scaling runs each CPU count
in a fresh process whose affinity is set before spanlet is imported, since the worker pool sizes
itself on first use; the counts alternate over a few rounds, and each speed-up is the median of its
rounds'.
"""

import os
import subprocess
import sys

import numpy as np

from timing import median_time

DEGREE = 3
ROUNDS = 3


def breakpoints(n):
    return np.linspace(0.0, 1.0, n - DEGREE + 1)


def ours(n, repeats):
    from spanlet._spanlet import Space, inner_products

    space = Space.bsplines_clamped(breakpoints(n), DEGREE)
    return median_time(lambda: inner_products(space, space), repeats)


def theirs(n, repeats):
    from scipy.interpolate import BSpline

    br = breakpoints(n)
    knots = np.concatenate([[br[0]] * DEGREE, br, [br[-1]] * DEGREE])
    nodes, weights = np.polynomial.legendre.leggauss(4)

    def gram():
        mid, half = (br[1:] + br[:-1]) * 0.5, (br[1:] - br[:-1]) * 0.5
        x = (mid[:, None] + half[:, None] * nodes).ravel()
        w = (half[:, None] * weights).ravel()
        b = BSpline.design_matrix(x, knots, DEGREE)
        return (b.T @ (b.multiply(w[:, None]))).tocsr()

    return median_time(gram, repeats)


def cpu_counts():
    cpus = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []
    counts = sorted({1, len(cpus)} | {k for k in (2, 4, 8, 16) if k < len(cpus)}) if cpus else []
    return cpus, counts


def time_with_cpus(n, cpus, repeats):
    out = subprocess.run([sys.executable, os.path.abspath(__file__), "--worker", str(n), ",".join(map(str, cpus)),
                          str(repeats)], check=True, capture_output=True, text=True)
    return float(out.stdout.split()[-1])


def run(sizes=(10**4, 10**5), repeats=7):
    for n in sizes:
        seconds, g = ours(n, repeats)
        peer, _ = theirs(n, repeats)
        stored = len(g[2])
        print(f"inner_products: {n} clamped cubic B-splines, {stored} stored entries")
        print(f"  spanlet.inner_products      {seconds * 1e3:10.2f} ms  ({seconds / stored * 1e9:.1f} ns per entry)")
        print(f"  scipy design matrix B^T W B {peer * 1e3:10.2f} ms")
        print(f"  ratio ours/theirs           {seconds / peer:10.3f}")
    cpus, counts = cpu_counts()
    if not counts:
        print("thread scaling: CPU affinity is not available here")
        return
    n = max(sizes)
    # Each round times every count once, one after the other: a burst of load from elsewhere on a
    # shared machine then spoils one round's speed-ups, not every count's time.
    times = {k: [] for k in counts}
    for _ in range(ROUNDS):
        for k in counts:
            times[k].append(time_with_cpus(n, cpus[:k], repeats))
    print(f"thread scaling, n = {n} (workers = CPUs the process may use; medians of {ROUNDS} rounds)")
    for k in counts:
        speed_up = np.median(np.array(times[counts[0]]) / np.array(times[k]))
        print(f"  {k:3d} CPU(s)                  {np.median(times[k]) * 1e3:10.2f} ms  speed-up {speed_up:5.2f}")


def worker(argv):
    n, cpus, repeats = int(argv[0]), {int(c) for c in argv[1].split(",")}, int(argv[2])
    os.sched_setaffinity(0, cpus)
    print(ours(n, repeats)[0])


if __name__ == "__main__":
    if sys.argv[1:2] == ["--worker"]:
        worker(sys.argv[2:])
    else:
        run()
