import os
import pickle
import subprocess
import sys
import textwrap
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import pytest

import _spanlet_tests as t


def expected(count, work):
    # Mirrors the test item: i^2 plus a small sum of sines, added in index order.
    values = np.empty(count)
    for i in range(count):
        s = float(i) * float(i)
        for j in range(work + 1):
            s += np.sin(float(i * (j + 1))) * 1e-3
        values[i] = s
    return values


def run_script(body, **kwargs):
    script = textwrap.dedent(body)
    result = subprocess.run([sys.executable, "-c", script], capture_output=True, text=True, timeout=120, **kwargs)
    assert result.returncode == 0, result.stdout + result.stderr
    return result.stdout


def test_worker_count_follows_affinity():
    assert t.worker_count() == len(os.sched_getaffinity(0))


@pytest.mark.parametrize("value, cap", [("1", 1), ("2", 2), ("100000", None), ("0", None), ("-1", None),
                                        ("two", None), ("2x", None), ("", None)])
def test_spanlet_num_threads_caps_the_workers(value, cap):
    cpus = len(os.sched_getaffinity(0))
    env = dict(os.environ, SPANLET_NUM_THREADS=value)
    out = run_script("import _spanlet_tests as t; print(t.worker_count())", env=env)
    assert int(out) == (cpus if cap is None else min(cpus, cap))


@pytest.mark.parametrize("count", [0, 1, 2, 3, 17, 1000])
def test_every_index_is_computed_once(count):
    np.testing.assert_allclose(t.parallel_map(count, 4), expected(count, 4), rtol=1e-15, atol=1e-15)


def test_nested_call_runs_inline():
    inner = expected(7, 2).sum()
    np.testing.assert_allclose(t.parallel_map(50, 2, nested=7), expected(50, 2) + inner, rtol=1e-14)


@pytest.mark.parametrize("fail_at", [0, 1, 499, 999])
def test_lowest_failing_index_is_reported(fail_at):
    # Every item from fail_at on throws; the error must be the first of them.
    with pytest.raises(RuntimeError, match=f"^internal error: item {fail_at}$"):
        t.parallel_map(1000, 1, fail_at=fail_at)
    # The pool is still usable afterwards.
    np.testing.assert_allclose(t.parallel_map(100, 1), expected(100, 1), rtol=1e-15, atol=1e-15)


def test_allocation_failure_becomes_memory_error():
    with pytest.raises(MemoryError):
        t.parallel_map(1000, 1, oom_at=640)


def test_concurrent_callers():
    reference = t.parallel_map(3000, 30)

    def call(_):
        return all(np.array_equal(t.parallel_map(3000, 30), reference) for _ in range(10))

    with ThreadPoolExecutor(8) as executor:
        assert all(executor.map(call, range(16)))


def test_results_do_not_depend_on_thread_count():
    rng = np.random.default_rng(5)
    dense = rng.standard_normal((40, 60)) * (rng.random((40, 60)) < 0.2)
    rows = [(np.flatnonzero(r).tolist(), r[r != 0]) for r in dense]
    x = rng.standard_normal((500, 60))
    here = (t.parallel_map(2000, 20), t.csr_apply_last_axis(t.csr_from_rows(rows, 40, 60), x))
    out = run_script(
        """
        import os, pickle, sys
        os.sched_setaffinity(0, {min(os.sched_getaffinity(0))})
        import _spanlet_tests as t
        assert t.worker_count() == 1
        rows, x = pickle.loads(bytes.fromhex(sys.stdin.read()))
        matrix = t.csr_from_rows(rows, 40, 60)
        sys.stdout.write(pickle.dumps((t.parallel_map(2000, 20), t.csr_apply_last_axis(matrix, x))).hex())
        """,
        input=pickle.dumps((rows, x)).hex(),
    )
    there = pickle.loads(bytes.fromhex(out))
    assert np.array_equal(here[0], there[0])
    assert np.array_equal(here[1], there[1])


def test_child_after_fork_builds_its_own_pool():
    # Forks while another thread keeps the parent's pool busy, so the child may inherit locked
    # state; every child must still finish its own parallel work.
    run_script(
        """
        import os, threading
        import numpy as np
        import _spanlet_tests as t
        reference = t.parallel_map(5000, 10)
        stop = False
        def busy():
            while not stop:
                t.parallel_map(5000, 10)
        worker = threading.Thread(target=busy)
        worker.start()
        try:
            for _ in range(20):
                pid = os.fork()
                if pid == 0:
                    ok = np.array_equal(t.parallel_map(5000, 10), reference) and t.worker_count() >= 1
                    os._exit(0 if ok else 1)
                _, status = os.waitpid(pid, 0)
                assert os.waitstatus_to_exitcode(status) == 0
        finally:
            stop = True
            worker.join()
        """
    )


def test_one_pool_serves_every_extension_module():
    # Both modules link one native library: after work in each, the process holds the caller
    # and one worker per CPU, not a second pool.
    out = run_script(
        """
        import os
        import numpy as np
        from spanlet import _spanlet as sp
        import _spanlet_tests as t
        count = lambda: len(os.listdir("/proc/self/task"))
        before = count()
        space = sp.Space.bsplines_clamped(np.linspace(0, 1, 2000), 3)
        sp.inner_products(space, space)
        public = count()
        t.parallel_map(5000, 10)
        sp.inner_products(space, space)
        print(before, public, count(), t.worker_count())
        """
    )
    before, public, after, workers = map(int, out.split())
    assert public - before <= workers
    assert after == public


def test_test_extension_stays_out_of_the_package():
    import spanlet

    assert not any("tests" in name for name in dir(spanlet))
    assert not any("tests" in name for name in dir(spanlet._spanlet))


def test_one_thread_means_no_background_worker():
    # The caller computes its own job, so a cap of one starts no thread besides it.
    out = run_script(
        """
        import os
        import numpy as np
        from spanlet import _spanlet as sp
        count = lambda: len(os.listdir("/proc/self/task"))
        before = count()
        space = sp.Space.bsplines_clamped(np.linspace(0, 1, 20000), 3)
        sp.inner_products(space, space)
        print(before, count())
        """,
        env=dict(os.environ, SPANLET_NUM_THREADS="1"),
    )
    before, after = map(int, out.split())
    assert after == before
