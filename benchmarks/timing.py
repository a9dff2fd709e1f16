"""Median wall-clock timing shared by the benchmark scripts."""

import statistics
import time


def median_time(fn, repeats):
    """Median seconds of `repeats` calls of fn(), and the last result."""
    times, result = [], None
    for _ in range(max(1, repeats)):
        start = time.perf_counter()
        result = fn()
        times.append(time.perf_counter() - start)
    return statistics.median(times), result


def interleaved_medians(fns, rounds):
    """Median seconds of each of fns, called in turn for `rounds` rounds: a change in the
    machine's load falls on all of them alike, which keeps their ratios steady."""
    times = [[] for _ in fns]
    for _ in range(max(1, rounds)):
        for fn, kept in zip(fns, times):
            start = time.perf_counter()
            fn()
            kept.append(time.perf_counter() - start)
    return [statistics.median(kept) for kept in times]
