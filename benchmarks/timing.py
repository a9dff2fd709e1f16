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
