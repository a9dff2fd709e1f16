"""B-spline spaces at their breakpoints, ends included: partition of unity, SciPy's values, and an
index that finds every element a point evaluates, for breakpoints whose knots do not survive the
round trip through an element's own variable (near zero, across it, far from the origin)."""

import numpy as np
import pytest
from scipy.interpolate import BSpline

import spanlet
from spanlet._spanlet import Space
from _spanlet_tests import space_candidates, space_values
from conftest import evaluated

# 8 units in the last place of 1: the rounding of a sum of four cubic pieces.
POU = 8 * np.finfo(float).eps


KINDS = ["near_zero", "across_zero", "clustered", "far", "far_negative"]


def breakpoint_sets(kind, count=40):
    rng = np.random.default_rng(KINDS.index(kind))
    for _ in range(count):
        n = int(rng.integers(2, 8))
        if kind == "near_zero":  # a first breakpoint much closer to 0 than the elements' centers
            x = np.sort(rng.uniform(0, 0.05, n))
            x[0] = rng.uniform(1e-4, 1e-3)
        elif kind == "across_zero":
            x = np.sort(rng.uniform(-1, 1, n)) * 10.0 ** rng.integers(-3, 4)
        elif kind == "clustered":  # short intervals far from the centers of their elements
            x = np.sort(np.r_[-1.0, 1.0, rng.uniform(0, 1e-9, n)])
        elif kind == "far":
            x = 1e6 + np.sort(rng.uniform(0, 0.05, n))
        else:
            x = -1e8 + np.sort(rng.uniform(0, 3, n))
        if np.all(np.diff(x) > 0):
            yield x


def clamped_knots(x, k):
    return np.r_[[x[0]] * k, x, [x[-1]] * k]


def check_evaluation(space, at):
    """Values through the support index equal the elements' own values: none is left out."""
    values = evaluated(space, at)
    # B-spline spaces evaluate by de Boor's recurrence, elements one by one: equal to rounding.
    np.testing.assert_allclose(values, space_values(space, at).T, rtol=0, atol=POU)
    return values


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("degree", [0, 1, 2, 3])
@pytest.mark.parametrize("closed", [False, True])
def test_clamped_partition_of_unity_and_scipy_at_every_breakpoint(kind, degree, closed):
    for x in breakpoint_sets(kind):
        space = spanlet.Space.bsplines_clamped(x, degree, closed=closed)._native
        at = x if closed else x[:-1]  # open, the last breakpoint lies outside every piece
        values = check_evaluation(space, at)
        np.testing.assert_allclose(values.sum(axis=1), 1.0, rtol=0, atol=POU)
        # SciPy closes the last interval, as closed=True does.
        reference = BSpline.design_matrix(at, clamped_knots(x, degree), degree).toarray()
        np.testing.assert_allclose(values, reference, rtol=0, atol=1e-12)
        if not closed:
            assert not evaluated(space, x[-1:]).any()


@pytest.mark.parametrize("kind", KINDS)
@pytest.mark.parametrize("degree", [0, 1, 2, 3])
def test_open_and_periodic_partition_of_unity_at_every_breakpoint(kind, degree):
    for x in breakpoint_sets(kind, 20):
        # Open knots: the sum is 1 from knot p to knot m - p - 1.
        knots = np.r_[x[0] - np.arange(degree, 0, -1) * 0.3 * (x[-1] - x[0]), x]
        values = check_evaluation(Space.bsplines(knots, degree), knots[degree:len(knots) - degree - 1])
        np.testing.assert_allclose(values.sum(axis=1), 1.0, rtol=0, atol=POU)
        if len(x) - 1 > degree:
            values = check_evaluation(Space.bsplines_periodic(x, degree), x[:-1])
            np.testing.assert_allclose(values.sum(axis=1), 1.0, rtol=0, atol=POU)


@pytest.mark.parametrize("degree", [1, 2, 3])
def test_derivatives_and_maps_keep_the_first_breakpoint(degree):
    x = np.array([0.00038968, 0.01788976, 0.02429177, 0.03, 0.04, 0.05])
    space = Space.bsplines_clamped(x, degree)
    np.testing.assert_allclose(check_evaluation(space.derivative(1), x[:-1]).sum(axis=1), 0.0, atol=1e-9)
    mapped = space.mapped("affine", -1.0, 2.0, False)
    np.testing.assert_allclose(evaluated(mapped, 2.0 * x[:-1] - 1.0).sum(axis=1), 1.0, rtol=0, atol=POU)


@pytest.mark.parametrize("breakpoints", [[-5.0, 5.0], [-5.0, 0.0, 5.0], [0.0, 10.0], [-1e-300, 1.0], [-10.0, 1.0]])
@pytest.mark.parametrize("degree", [0, 1, 2, 3])
def test_closed_adds_the_last_breakpoint_and_changes_nothing_else(breakpoints, degree):
    closed = spanlet.Space.bsplines_clamped(breakpoints, degree, closed=True)
    opened = spanlet.Space.bsplines_clamped(breakpoints, degree)
    end = breakpoints[-1]
    np.testing.assert_allclose(spanlet.evaluate(closed, [end]).sum(), 1.0, rtol=0, atol=POU)
    assert spanlet.evaluate(closed, [np.nextafter(end, np.inf)]).nnz == 0  # the end, and not beyond
    inside = np.linspace(breakpoints[0], end, 50)[:-1]
    np.testing.assert_allclose(spanlet.evaluate(closed, inside).toarray(),
                               spanlet.evaluate(opened, inside).toarray(), rtol=0, atol=POU)
    np.testing.assert_array_equal(closed.lower(), opened.lower())
    np.testing.assert_array_equal(closed.centers(), opened.centers())


def test_index_window_holds_widths_that_round_down():
    # The width 10 + 4.4e-16 rounds to 10; the window must still reach back to the lower end.
    lower = -4.440892098500626e-16
    elements = [("hat", lower, 10.0, 10.0), ("box", 3.0, 4.0)]
    assert space_candidates(elements, 10.0, 10.0) == [0]
    np.testing.assert_array_equal(space_values(elements, np.array([10.0]))[:, 0], [1.0, 0.0])


def test_closed_spaces_pickle_and_describe_themselves():
    import pickle

    closed = spanlet.Space.bsplines_clamped([-5.0, 5.0], 3, closed=True)
    again = pickle.loads(pickle.dumps(closed))
    np.testing.assert_array_equal(spanlet.evaluate(again, [5.0]).toarray(), spanlet.evaluate(closed, [5.0]).toarray())
    assert repr(again) == repr(closed) and "clamped cubic B-splines" in repr(closed)
