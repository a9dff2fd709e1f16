"""Pickling and copying of the package objects, in this process and through process pools."""

import copy
import multiprocessing
import pickle
from concurrent.futures import ProcessPoolExecutor

import numpy as np
import pytest

import spanlet

BREAKPOINTS = np.sort(np.random.default_rng(0).uniform(0, 10, 40))
POINTS = np.linspace(-1, 11, 97)

SPACES = {
    "bsplines": lambda: spanlet.Space.bsplines(BREAKPOINTS[:9], 3),
    "clamped-closed": lambda: spanlet.Space.bsplines_clamped(BREAKPOINTS, 3, closed=True),
    "periodic": lambda: spanlet.Space.bsplines_periodic(BREAKPOINTS, 2),
    "hats": lambda: spanlet.Space.hats(BREAKPOINTS),
    "boxes": lambda: spanlet.Space.boxes(BREAKPOINTS),
    "deltas": lambda: spanlet.Space.deltas(BREAKPOINTS[::-1]),
    "triangles": lambda: spanlet.Space.triangles(BREAKPOINTS, 0.3),
    "rectangles": lambda: spanlet.Space.rectangles(BREAKPOINTS, BREAKPOINTS / 10 + 0.1),
    "trapezoids": lambda: spanlet.Space.trapezoids(BREAKPOINTS, 0.1, 0.4),
    "tabulated": lambda: spanlet.Space.tabulated(BREAKPOINTS[:3], [-1, 0, 2], np.eye(3) + 1, "pchip"),
    "shifted": lambda: spanlet.Space.shifted([-1, 0, 2], [0, 1, 0.5], BREAKPOINTS, 0.7, "linear"),
    "transformed": lambda: spanlet.Space.hats(BREAKPOINTS).take([5, 1, 1]).derivative(1)
    .mapped("affine", 0.5, -1.5, True),
}


def space_results(space):
    values = spanlet.evaluate(space, POINTS)
    return values.indptr, values.indices, values.data, space.integrals(), space.lower()


def operators():
    src = spanlet.Space.boxes(BREAKPOINTS)
    dst = spanlet.Space.hats(np.linspace(0, 10, 9))
    kernels = spanlet.Space.triangles(np.linspace(0.5, 9.5, 60), 0.2)
    model = spanlet.Space.bsplines_clamped(np.linspace(0, 10, 8), 3, closed=True)
    return {
        "projection": spanlet.Projection(src, dst),
        "weighted-projection": spanlet.Projection(src, dst, 0.05),
        "fit": spanlet.Fit(kernels, model, "integral", 1e-3, "derivative", 2),
        "weighted-fit": spanlet.Fit(kernels, model, "rowsum", 0.1, "difference", 1, weight=0.2),
    }


def operator_results(operator, seed=0):
    n = operator.n_src if isinstance(operator, spanlet.Projection) else operator.n_data
    data = np.random.default_rng(seed).uniform(0, 1, (3, n))
    if isinstance(operator, spanlet.Projection):
        return operator.apply_last_axis(data), operator.apply_last_axis(data, "local"), operator.to_dense()
    return operator.apply_last_axis(data), operator.to_dense(), operator.design().data


def assert_identical(got, want):
    assert len(got) == len(want)
    for g, w in zip(got, want):
        np.testing.assert_array_equal(g, w, strict=True)


@pytest.mark.parametrize("name", SPACES)
def test_space_round_trip_is_bit_identical(name):
    space = SPACES[name]()
    loaded = pickle.loads(pickle.dumps(space))
    assert repr(loaded) == repr(space)
    assert_identical(space_results(loaded), space_results(space))
    assert copy.deepcopy(space) is space and copy.copy(space) is space


def test_pickles_stay_small_and_share_parents():
    space = spanlet.Space.bsplines_clamped(np.linspace(0, 1, 1001), 3)
    # the recipe: about the breakpoints' 8 kB, not the elements
    assert len(pickle.dumps(space)) < 9000
    both = pickle.loads(pickle.dumps([space, space.derivative(1)]))
    assert both[1]._recipe[1] is both[0]
    projection = spanlet.Projection(space, spanlet.Space.hats(np.linspace(0, 1, 201)))
    assert len(pickle.dumps(projection)) < 12000


@pytest.mark.parametrize("name", ["projection", "weighted-projection", "fit", "weighted-fit"])
def test_operator_round_trip_is_bit_identical(name):
    operator = operators()[name]
    loaded = pickle.loads(pickle.dumps(operator))
    assert repr(loaded) == repr(operator)
    assert_identical(operator_results(loaded), operator_results(operator))
    assert copy.deepcopy(operator) is operator


def test_spline_round_trip():
    spline = spanlet.lsq_spline(POINTS, np.cos(POINTS), np.linspace(-1, 11, 10))
    loaded = pickle.loads(pickle.dumps(spline))
    np.testing.assert_array_equal(loaded(POINTS), spline(POINTS))


def test_singular_error_pickles():
    with pytest.raises(spanlet.SingularError) as info:
        spanlet.Projection(spanlet.Space.boxes([0, 1]), spanlet.Space.boxes([0, 1]).take([0, 0]))
    loaded = pickle.loads(pickle.dumps(info.value))
    assert type(loaded) is spanlet.SingularError and isinstance(loaded, ValueError)
    assert loaded.args == info.value.args


def test_singular_error_pickles_after_tblib_takes_over_exceptions():
    # distributed installs tblib, which replaces the registered reducer of every exception class.
    tblib = pytest.importorskip("tblib.pickling_support")
    tblib.install()
    error = spanlet.SingularError("matrix is not positive definite")
    loaded = pickle.loads(pickle.dumps(error))
    assert type(loaded) is spanlet.SingularError and loaded.args == error.args


def fail_singular():
    spanlet.Fit(spanlet.Space.deltas([0.5]), spanlet.Space.boxes([0, 1, 2]), "none", 0.0, "difference", 0)


def apply_shipped(obj):
    return space_results(obj) if isinstance(obj, spanlet.Space) else operator_results(obj)


@pytest.fixture(scope="module")
def pool():
    # spawn: the workers import spanlet afresh and get the objects only through pickle
    with ProcessPoolExecutor(2, mp_context=multiprocessing.get_context("spawn")) as executor:
        yield executor


def test_objects_travel_to_a_process_pool(pool):
    objects = [SPACES["shifted"](), SPACES["transformed"]()] + list(operators().values())
    for obj, got in zip(objects, pool.map(apply_shipped, objects)):
        assert_identical(got, apply_shipped(obj))
    spline = spanlet.smoothing_spline(BREAKPOINTS, np.sin(BREAKPOINTS), 0.1)
    np.testing.assert_array_equal(pool.submit(spline, POINTS).result(), spline(POINTS))
    with pytest.raises(spanlet.SingularError, match="add smoothing$"):
        pool.submit(fail_singular).result()
