"""Each benchmark runs at a tiny size so it never rots."""

import pathlib
import runpy
import sys

import pytest

BENCHMARKS = pathlib.Path(__file__).resolve().parent.parent / "benchmarks"


def load(name):
    # The scripts import their shared helpers (timing.py) from their own directory.
    if str(BENCHMARKS) not in sys.path:
        sys.path.insert(0, str(BENCHMARKS))
    return runpy.run_path(str(BENCHMARKS / f"{name}.py"))


def test_bench_banded(capsys):
    load("bench_banded")["run"](20, repeats=1)
    out = capsys.readouterr().out
    assert "ratio" in out and "periodic" in out


def test_bench_fit(capsys):
    load("bench_fit")["run"](400, 20, rows=3, repeats=1, growth=(20, 40))
    assert "ratio" in capsys.readouterr().out


def test_bench_projection(capsys):
    load("bench_projection")["run"](300, 40, rows=3, repeats=1, periodic_sizes=(40,))
    out = capsys.readouterr().out
    assert "ratio" in out and "periodic" in out


def test_bench_lines(capsys):
    load("bench_lines")["run"](lines=4, pixels=400, fts=100, continuum=6, peer_lines=2, peer_pixels=200,
                               peer_continuum=6)
    out = capsys.readouterr().out
    assert "ratio" in out and "FTS" in out


@pytest.mark.parametrize("name,kwargs", [
    ("bench_evaluate", dict(elements=20, points=100, repeats=1)),
    ("bench_inner_products", dict(sizes=(50,), repeats=1)),
    ("bench_cosine_gram", dict(n=40, repeats=1)),
    ("bench_measure", dict(kernels=100, elements=20, repeats=1)),
    ("bench_measure_derivative", dict(kernels=50, elements=20, repeats=1)),
    ("bench_interrupt", dict(points=2000, profiles=20, rows=3, repeats=1)),
    ("bench_faddeeva", dict(points=100, scalar_calls=10, repeats=1)),
    ("bench_voigt", dict(elements=20, points=200, kernels=50, repeats=1)),
    ("bench_covariance", dict(points=50, boxes=10, atoms2d=10, repeats=1, workers=(1,), matern52_boxes=100)),
    ("bench_gp", dict(points=40, boxes=20, box_fit=10, nodes=4, repeats=1)),
])
def test_bench_operators(name, kwargs, capsys):
    load(name)["run"](**kwargs)
    assert "ms" in capsys.readouterr().out


def test_bench_gcv(capsys):
    load("bench_gcv")["run"](sizes=(200, 400), repeats=1)
    assert "ratio" in capsys.readouterr().out


def test_bench_propagate(capsys):
    load("bench_propagate")["run"](n_src=300, n_dst=30, repeats=1, draws=20, dense_src=200, dense_dst=20)
    assert "ratio" in capsys.readouterr().out
