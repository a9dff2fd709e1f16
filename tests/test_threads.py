import _thread
import os
import pickle
import signal
import subprocess
import sys
import textwrap
import threading
import time
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

from spanlet._spanlet import Space, covariance_length_derivatives, covariance_matrix, evaluate, inner_products, measure

# Big enough for many row blocks, so the work is really split between workers.
WORKLOAD = """
import numpy as np
from spanlet._spanlet import Space, covariance_diagonal, covariance_matrix, evaluate, inner_products, measure

def workload():
    rng = np.random.default_rng(0)
    basis = Space.bsplines_clamped(np.sort(rng.uniform(0, 100, 3000)), 3)
    kernels = Space.triangles(rng.uniform(-1, 101, 20000), rng.uniform(0.01, 0.5, 20000))
    pixels = Space.boxes(np.linspace(0, 10, 61))
    dims = [("matern32", 0.8, 7.0, (Space.hats(np.linspace(-1, 11, 9)), np.linspace(0.5, 2, 9)))]
    return [inner_products(basis, basis), inner_products(kernels, basis, 0.7),
            measure(kernels, basis, "integral"), measure(kernels, basis, "rowsum", -2.0),
            evaluate(basis, rng.uniform(0, 100, 50000)), kernels.integrals(weight=3.0),
            covariance_matrix(2.0, dims, [pixels], [0.3], [pixels], [None], False),
            covariance_diagonal(2.0, dims, [pixels], [0.3])]
"""
namespace = {}
exec(WORKLOAD, namespace)
workload = namespace["workload"]


def assert_identical(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        if isinstance(w, tuple):
            for a, b in zip(g[:3], w[:3]):
                np.testing.assert_array_equal(a, b)
            assert g[3] == w[3]
        else:
            np.testing.assert_array_equal(g, w)


@pytest.mark.skipif(not hasattr(os, "sched_setaffinity"), reason="needs CPU affinity")
def test_results_do_not_depend_on_the_number_of_workers(tmp_path):
    out = tmp_path / "one_cpu.pickle"
    # The pool sizes itself on first use, so the affinity is set before the module is imported.
    script = "import os, pickle, sys\nos.sched_setaffinity(0, {min(os.sched_getaffinity(0))})\n" + WORKLOAD + \
        textwrap.dedent(f"""
        with open({str(out)!r}, "wb") as f:
            pickle.dump((len(os.sched_getaffinity(0)), workload()), f)
        """)
    subprocess.run([sys.executable, "-c", script], check=True, timeout=300)
    with open(out, "rb") as f:
        cpus, single = pickle.load(f)
    assert cpus == 1
    assert_identical(workload(), single)


@pytest.fixture(scope="module")
def big_space():
    return Space.bsplines_clamped(np.linspace(0, 1, 200001), 3)


@pytest.fixture(scope="module")
def taken_space(big_space):
    # The same elements without the knot vector: evaluate goes element by element, slowly enough
    # to watch (on the B-spline space itself it takes a few milliseconds).
    return big_space.take(range(len(big_space)))


LONG_CALLS = {
    # Interval assembly takes tens of milliseconds here: a few calls make the span worth watching.
    "inner_products": lambda s: [inner_products(s, s) for _ in range(5)],
    "measure": lambda s: measure(s, s, "integral", 1.0),
    "evaluate": lambda s: evaluate(s, np.random.default_rng(0).uniform(0, 1, 300000)),
    # About 2e6 adaptive steps on the calling thread (a reciprocal map is not polynomial).
    "integrals": lambda s: Space.boxes(np.array([1.0, 2.0])).mapped("reciprocal", 1.0, 0.0, False)
    .integrals(weight=1e6),
    # Boxes against hats take the pieces path, a few tenths of a second here (two boxes apart would
    # take too little time to watch).
    "covariance_matrix": lambda s: covariance_matrix(1.0, [("matern32", 0.5, None, None)],
                                                     [Space.boxes(np.linspace(0, 10, 1001))], [None],
                                                     [Space.hats(np.linspace(0, 10, 1001))], [None], False),
}


@pytest.mark.parametrize("call", LONG_CALLS)
def test_interpreter_runs_other_threads_during_a_call(big_space, taken_space, call):
    stop = threading.Event()
    longest_gap = [0.0]

    def spin():
        last = time.perf_counter()
        while not stop.is_set():
            now = time.perf_counter()
            longest_gap[0] = max(longest_gap[0], now - last)
            last = now

    spinner = threading.Thread(target=spin)
    spinner.start()
    try:
        time.sleep(0.01)
        start = time.perf_counter()
        LONG_CALLS[call](taken_space if call == "evaluate" else big_space)
        duration = time.perf_counter() - start
    finally:
        stop.set()
        spinner.join()
    # Holding the interpreter lock would stall the spinner for the whole call.
    assert duration > 0.05 and longest_gap[0] < 0.5 * duration


# Calls of a few seconds with small results, and a short version of each: Gaussians whose wide
# supports are exactly zero almost everywhere, and adaptive inner products of Voigt lines.
def interruptible(call):
    if call == "evaluate":
        g = Space.gaussians(np.linspace(0, 1, 2000), np.full(2000, 1e-5), 5e5)
        return lambda: evaluate(g, np.linspace(0, 1, 200000)), lambda: evaluate(g, np.linspace(0, 1, 2000))
    if call == "covariance_matrix":
        b = Space.boxes(np.linspace(0, 300, 3001))
        dims = [("matern32", 1.0, None, None)]
        short = b.take(range(20))
        return (lambda: covariance_matrix(1.0, dims, [b], [None], [b], [None], True),
                lambda: covariance_matrix(1.0, dims, [short], [None], [short], [None], True))
    if call == "covariance_length_derivatives":
        # A variance factor makes every entry 1 + 2 M covariances, each long under a cosine weight.
        b = Space.boxes(np.linspace(0, 10, 4))
        dims = [("matern32", 3.0, None, (Space.hats(np.linspace(-1, 11, 10)), list(np.linspace(1, 2, 10))))]
        return (lambda: covariance_length_derivatives(1.0, dims, [b], [30.0]),
                lambda: covariance_length_derivatives(1.0, dims, [b.take([0])], [1.0])[0])
    v = Space.voigts(np.linspace(0, 1, 1000), np.full(1000, 1e-3), np.full(1000, 1e-3), 10.0)
    return lambda: inner_products(v, v), lambda: inner_products(v.take(range(10)), v)


@pytest.mark.parametrize("call", ["evaluate", "inner_products", "covariance_matrix", "covariance_length_derivatives"])
def test_interrupt_stops_a_long_call(call):
    long_call, short_call = interruptible(call)
    before = short_call()
    fired = []

    def interrupt():
        fired.append(time.perf_counter())
        _thread.interrupt_main()

    timer = threading.Timer(0.2, interrupt)
    try:
        timer.start()
        try:
            long_call()
        finally:
            timer.join()
        ended = None
    except KeyboardInterrupt:
        ended = time.perf_counter()
    assert ended is not None and ended - fired[0] < 0.5
    assert_identical([short_call()], [before])


def test_handlers_that_do_not_raise_leave_results_unchanged():
    want = workload()
    handled = []
    previous = signal.signal(signal.SIGALRM, lambda *_: handled.append(1))
    signal.setitimer(signal.ITIMER_REAL, 0.005, 0.005)
    try:
        got = workload()
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)
    assert handled
    assert_identical(got, want)


def test_concurrent_callers_get_identical_results():
    want = workload()
    with ThreadPoolExecutor(4) as ex:
        for got in [f.result() for f in [ex.submit(workload) for _ in range(4)]]:
            assert_identical(got, want)


def wait_for_child(pid, timeout):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        done, status = os.waitpid(pid, os.WNOHANG)
        if done:
            return os.waitstatus_to_exitcode(status)
        time.sleep(0.05)
    os.kill(pid, 9)
    os.waitpid(pid, 0)
    pytest.fail("child process hung")


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
@pytest.mark.parametrize("busy", [False, True])
def test_child_after_fork_can_compute(busy):
    rng = np.random.default_rng(1)
    basis = Space.bsplines_clamped(np.sort(rng.uniform(0, 10, 2000)), 3)
    want = inner_products(basis, basis, 1.5)  # starts the pool in the parent
    background = None
    if busy:
        # Fork while another thread is in the middle of parallel work.
        big = Space.bsplines_clamped(np.linspace(0, 1, 100001), 3)
        background = threading.Thread(target=lambda: [inner_products(big, big) for _ in range(3)])
        background.start()
        time.sleep(0.05)
    pid = os.fork()
    if pid == 0:
        code = 1
        try:
            got = inner_products(basis, basis, 1.5)
            same = all(np.array_equal(a, b) for a, b in zip(got[:3], want[:3])) and got[3] == want[3]
            code = 0 if same else 2
        finally:
            os._exit(code)
    try:
        assert wait_for_child(pid, 120) == 0
    finally:
        if background is not None:
            background.join()

