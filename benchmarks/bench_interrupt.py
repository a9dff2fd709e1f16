"""How fast a long call answers Ctrl-C.

A timer thread calls _thread.interrupt_main() a third of the way into a call of a few seconds; the
latency is the time from that call to KeyboardInterrupt reaching Python. Without interruption the
caller would wait for the rest of the call, so the peer is the remaining time of the uninterrupted
call; the ratio is latency / remaining.
"""

import _thread
import statistics
import threading
import time

import numpy as np

from spanlet._spanlet import Projection, Space, evaluate, inner_products
from timing import median_time


def latency(call, delay):
    """Seconds from interrupt_main() to KeyboardInterrupt."""
    fired = []

    def interrupt():
        fired.append(time.perf_counter())
        _thread.interrupt_main()

    timer = threading.Timer(delay, interrupt)
    try:
        timer.start()
        try:
            call()
        finally:
            timer.join()
    except KeyboardInterrupt:
        pass
    return time.perf_counter() - fired[0]


def run(points=200_000, profiles=1000, rows=500, repeats=5):
    gaussians = Space.gaussians(np.linspace(0, 1, 2000), np.full(2000, 1e-5), 5e5)
    x = np.linspace(0, 1, points)
    voigts = Space.voigts(np.linspace(0, 1, profiles), np.full(profiles, 1e-3), np.full(profiles, 1e-3), 10.0)
    projection = Projection(Space.boxes(np.linspace(0, 1, 20_001)), Space.bsplines_clamped(np.linspace(0, 1, 4998), 3))
    centers = np.linspace(0, 1, 20_000)
    f = np.floor(4 * np.sin(20 * centers + np.linspace(0, 6, rows)[:, None]))
    calls = {
        f"evaluate, 2000 wide Gaussians at {points} points": lambda: evaluate(gaussians, x),
        f"inner_products, {profiles} Voigt lines": lambda: inner_products(voigts, voigts),
        f"apply_last_axis (-3, 3), {rows} rows x 2e4 boxes": lambda: projection.apply_last_axis(f, (-3.0, 3.0)),
    }
    print("interrupt latency: interrupt_main() a third into the call")
    for label, call in calls.items():
        full = median_time(call, 1)[0]
        waited = statistics.median(latency(call, full / 3) for _ in range(repeats))
        remaining = 2 * full / 3
        print(f"  {label}")
        print(f"    call {full * 1e3:9.1f} ms  latency {waited * 1e3:7.1f} ms  "
              f"ratio to the remaining {waited / remaining:6.3f}")


if __name__ == "__main__":
    run()
