"""B-spline spaces against SciPy, partitions of unity, periodic wrapping, messages and the support index."""

import math
import numpy as np
import pytest
from scipy.interpolate import BSpline

from spanlet._spanlet import Space
from _spanlet_tests import space_candidates, space_index, space_overlaps, space_values
from conftest import arr


def random_knots(rng, degree):
    """A knot vector on a coarse grid, so that knots repeat, with no B-spline of empty support."""
    while True:
        m = rng.integers(degree + 2, degree + 10)
        knots = np.sort(rng.integers(0, 6, m)) * 0.75 + rng.uniform(-3, 3)
        if all(knots[j] < knots[j + degree + 1] for j in range(m - degree - 1)):
            return knots


def scipy_basis(knots, degree, j, x):
    """B-spline j on the half-open support [t_j, t_{j+p+1}): SciPy closes the last interval."""
    own = knots[j:j + degree + 2]
    values = np.nan_to_num(BSpline.basis_element(own, extrapolate=False)(x), nan=0.0)
    return np.where(x < own[-1], values, 0.0)


@pytest.mark.parametrize("degree", [0, 1, 2, 3])
@pytest.mark.parametrize("seed", range(12))
def test_elements_match_scipy(degree, seed):
    rng = np.random.default_rng(seed)
    knots = random_knots(rng, degree)
    space = Space.bsplines(knots, degree)
    assert len(space) == len(knots) - degree - 1
    np.testing.assert_array_equal(space.lower(), knots[:len(space)])
    np.testing.assert_array_equal(space.upper(), knots[degree + 1:])
    # Random points, and the knots themselves: both sides are right-continuous there.
    x = np.concatenate([rng.uniform(knots[0] - 1, knots[-1] + 1, 400), knots])
    values = space_values(space, x)
    for j in range(len(space)):
        np.testing.assert_allclose(values[j], scipy_basis(knots, degree, j, x), rtol=1e-11, atol=1e-12)


@pytest.mark.parametrize(
    "knots, degree, x, expected",
    [
        ((0, 1, 2, 3), 2, (1.5, 1, 2, 0, 3), (0.75, 0.5, 0.5, 0, 0)),
        ((0, 1), 0, (0, 0.5, 1), (1, 1, 0)),
        ((0, 0, 0, 0, 1), 3, (0, 0.25, 0.5), (1, 0.75**3, 0.125)),
    ],
)
def test_single_element_examples(knots, degree, x, expected):
    space = Space.bsplines(arr(*knots), degree)
    assert len(space) == 1
    np.testing.assert_allclose(space_values(space, arr(*x))[0], expected, rtol=1e-14, atol=1e-15)


@pytest.mark.parametrize("degree", [0, 1, 2, 3])
@pytest.mark.parametrize("seed", range(6))
def test_clamped_partition_of_unity(degree, seed):
    rng = np.random.default_rng(200 + seed)
    breakpoints = np.cumsum(rng.uniform(0.05, 2, rng.integers(2, 9))) - 3
    space = Space.bsplines_clamped(breakpoints, degree)
    assert len(space) == len(breakpoints) + degree - 1
    x = np.concatenate([rng.uniform(breakpoints[0], breakpoints[-1], 300), breakpoints[:-1]])
    values = space_values(space, x)
    np.testing.assert_allclose(values.sum(axis=0), 1.0, rtol=0, atol=1e-13)
    assert np.all(values >= -1e-13)
    np.testing.assert_array_equal(space_values(space, breakpoints[-1:]), 0.0)
    assert space_values(space, breakpoints[:1])[0, 0] == pytest.approx(1.0, abs=1e-13)
    np.testing.assert_array_equal(space_values(space, arr(breakpoints[0] - 1e-9, breakpoints[-1] + 1)), 0.0)


def test_periodic_linear_example():
    space = Space.bsplines_periodic(arr(0, 1, 2, 3, 4), 1)
    assert len(space) == 4
    x = arr(0, 0.5, 1, 2, 3, 3.5, 3.75, 4)
    np.testing.assert_allclose(space_values(space, x)[0], [1, 0.5, 0, 0, 0, 0.5, 0.75, 0], atol=1e-15)
    np.testing.assert_allclose(space_values(space, x)[1], [0, 0.5, 1, 0, 0, 0, 0, 0], atol=1e-15)
    np.testing.assert_array_equal(space.lower(), [0, 0, 1, 2])
    np.testing.assert_array_equal(space.upper(), [4, 2, 3, 4])


@pytest.mark.parametrize("degree", [0, 1, 2, 3])
@pytest.mark.parametrize("seed", range(6))
def test_periodic_matches_wrapped_scipy(degree, seed):
    rng = np.random.default_rng(300 + seed)
    breakpoints = np.cumsum(rng.uniform(0.1, 2, rng.integers(degree + 2, 10))) - 5
    intervals = len(breakpoints) - 1
    period = breakpoints[-1] - breakpoints[0]
    space = Space.bsplines_periodic(breakpoints, degree)
    assert len(space) == intervals
    x = rng.uniform(breakpoints[0], breakpoints[-1], 300)
    x = np.concatenate([x[np.min(np.abs(x[:, None] - breakpoints), axis=1) > 1e-6], breakpoints[:-1]])
    values = space_values(space, x)
    np.testing.assert_allclose(values.sum(axis=0), 1.0, atol=1e-12)
    # Element j is the B-spline on x_{j-p} .. x_{j+1} (indices taken periodically), folded into one period.
    extended = np.concatenate([breakpoints[:-1] - period, breakpoints[:-1], breakpoints + period])
    for j in range(intervals):
        start = intervals + j - degree
        expected = sum(scipy_basis(extended, degree, start, x + shift) for shift in (-period, 0, period))
        np.testing.assert_allclose(values[j], expected, rtol=1e-10, atol=1e-11)
    np.testing.assert_array_equal(space_values(space, arr(breakpoints[0] - 0.1, breakpoints[-1] + 0.1)), 0.0)
    # Wrapped pieces are snapped onto the breakpoints, so the supports end exactly there.
    assert set(space.lower()) | set(space.upper()) <= set(breakpoints)


@pytest.mark.parametrize(
    "build, values, degree, message",
    [
        ("bsplines", (0, 1, 2, 3, 4, 5), 4, "B-spline degree must be 0..=3, got 4"),
        ("bsplines", (0, 1), 2**64 - 1, "B-spline degree must be 0..=3, got 18446744073709551615"),
        ("bsplines", (0, 1, 2), 2, "degree 2 B-splines need at least 4 knots"),
        ("bsplines", (), 0, "degree 0 B-splines need at least 2 knots"),
        ("bsplines", (0, 1, 2), 7, "B-spline degree must be 0..=3, got 7"),  # degree before count
        ("bsplines", (0, 1, 2, np.nan), 1, "knots must be finite and nondecreasing"),
        ("bsplines", (0, 2, 1, 3), 1, "knots must be finite and nondecreasing"),
        ("bsplines", (0, 1, np.inf), 1, "knots must be finite and nondecreasing"),
        ("bsplines", (0, 0, 0, 0, 0, 1), 3, "B-spline 0 has empty support (knot multiplicity > degree + 1)"),
        ("bsplines", (0, 1, 1, 1, 1, 2), 2, "B-spline 1 has empty support (knot multiplicity > degree + 1)"),
        ("bsplines", (0, 1, 2, 2, 3), 0, "B-spline 2 has empty support (knot multiplicity > degree + 1)"),
        ("bsplines_clamped", (0, 0, 1), 7, "breakpoints must be strictly increasing"),
        ("bsplines_clamped", (0,), 7, "breakpoints needs at least 2 values"),
        ("bsplines_clamped", (0, np.nan, 0), 7, "breakpoints must be finite"),
        ("bsplines_clamped", (0, 1), 4, "B-spline degree must be 0..=3, got 4"),
        ("bsplines_clamped", (0, 1), 2**64 - 1, "B-spline degree must be 0..=3, got 18446744073709551615"),
        ("bsplines_periodic", (0, 1), 1, "periodic degree-1 B-splines need degree <= 3 and at least 2 intervals"),
        ("bsplines_periodic", (0, 1, 2, 3), 3, "periodic degree-3 B-splines need degree <= 3 and at least 4 intervals"),
        ("bsplines_periodic", tuple(range(10)), 4, "periodic degree-4 B-splines need degree <= 3 and at least 5 intervals"),
        ("bsplines_periodic", (0, 1), 2**64 - 1,
         "periodic degree-18446744073709551615 B-splines need degree <= 3 and at least 18446744073709551616 intervals"),
        ("bsplines_periodic", (1, 0), 9, "breakpoints must be strictly increasing"),
        ("bsplines_periodic", (), 0, "breakpoints needs at least 2 values"),
    ],
)
def test_messages(build, values, degree, message):
    with pytest.raises(ValueError) as info:
        getattr(Space, build)(arr(*values), degree)
    assert str(info.value) == message


def brute_force_candidates(lower, upper, lo, hi):
    return [i for i in range(len(lower)) if lower[i] <= hi and lo <= upper[i]]


def random_elements(rng, n, wide):
    elements = []
    for _ in range(n):
        a = float(rng.integers(0, 40)) / 2
        kind = rng.integers(0, 3)
        if kind == 0:
            elements.append(("delta", a))
        elif kind == 1:
            elements.append(("box", a, a + float(rng.integers(1, 6)) / 2))
        else:
            elements.append(("hat", a, a + 0.5, a + float(rng.integers(1, 4))))
    for k in range(wide):
        elements.insert(int(rng.integers(0, n)), ("box", -50.0 + k, 100.0 - 2 * k))
    return elements


@pytest.mark.parametrize("wide", [0, 1, 3])
@pytest.mark.parametrize("seed", range(5))
def test_candidates_match_brute_force(seed, wide):
    rng = np.random.default_rng(400 + seed)
    elements = random_elements(rng, 40, wide)
    lower, upper, order, _, max_width, wide_list = space_index(elements)
    assert len(wide_list) == wide and max_width <= 10.0  # the wide boxes are kept apart
    assert sorted(order + wide_list) == list(range(len(elements)))
    ends = np.concatenate([lower, upper])
    for _ in range(200):
        if rng.random() < 0.5:
            lo, hi = np.sort(rng.choice(ends, 2))  # queries that touch supports at one point
        else:
            lo, hi = np.sort(rng.uniform(-60, 110, 2))
        assert space_candidates(elements, lo, hi) == brute_force_candidates(lower, upper, lo, hi)


@pytest.mark.parametrize("wide", [0, 2])
@pytest.mark.parametrize("seed", range(3))
def test_overlap_counts_of_query_sequences_match_brute_force(seed, wide):
    # Runs of queries moving up the axis, whose windows follow on from the last, broken by jumps
    # back, queries that touch supports at a point, and NaN ends.
    rng = np.random.default_rng(500 + seed)
    elements = random_elements(rng, 40, wide)
    lower, upper = space_index(elements)[:2]
    ends = np.concatenate([lower, upper])
    lows, highs = [], []
    for _ in range(20):
        start = rng.uniform(-60, 100)
        steps = np.cumsum(rng.choice([0.0, 0.5, 3.0], 10))
        for lo, width in zip(start + steps, rng.uniform(0, 8, 10)):
            touch = rng.random() < 0.2
            lows.append(rng.choice(ends) if touch else lo)
            highs.append(max(lows[-1], lo + width))
    lows[7], highs[30] = math.nan, math.nan
    want = [sum(lo < u and lw < hi for lw, u in zip(lower, upper)) for lo, hi in zip(lows, highs)]
    assert space_overlaps(elements, np.array(lows), np.array(highs)) == want


@pytest.mark.parametrize("degree", [1, 3])
def test_periodic_candidates_and_self_projection(degree):
    from spanlet._spanlet import Projection
    rng = np.random.default_rng(degree)
    space = Space.bsplines_periodic(np.sort(np.concatenate([[0.0, 1.0], rng.uniform(0, 1, 30)])), degree)
    lower, upper = space.lower(), space.upper()
    for lo, hi in np.sort(rng.uniform(-0.1, 1.1, (100, 2)), axis=1):
        assert space_candidates(space, lo, hi) == brute_force_candidates(lower, upper, lo, hi)
    x = rng.standard_normal((3, len(space)))  # projecting a space onto itself is the identity
    np.testing.assert_allclose(Projection(space, space).apply_last_axis(x), x, rtol=0, atol=1e-9)


@pytest.mark.parametrize("lowers", [[-1.7e308, -1.0, 0.0, 1.6e308], [0.0, 5e-324, 1e-300, 1.0], [-0.0, 0.0, 0.0, 3.0]])
def test_candidates_at_extreme_positions(lowers):
    # Spans that overflow, subnormal steps, signed zeros; queries out to the infinities.
    elements = [("box", a, a + 1.0 if abs(a) < 1e300 else a) for a in lowers]
    elements.append(("delta", lowers[1]))
    lower, upper = space_index(elements)[:2]
    points = sorted(set(lowers) | {-math.inf, math.inf, 0.5, -0.0, 2.0})
    for lo in points:
        for hi in points:
            assert space_candidates(elements, lo, hi) == brute_force_candidates(lower, upper, lo, hi)


def test_candidates_closed_ends():
    boxes = [("box", 0.0, 1.0), ("box", 1.0, 2.0), ("box", 2.0, 3.0)]
    assert space_candidates(boxes, 1.0, 1.0) == [0, 1]
    assert space_candidates(boxes, 3.0, 4.0) == [2]
    assert space_candidates(boxes, 3.5, 4.0) == []
    assert space_candidates([], 0.0, 1.0) == []
    assert space_candidates(boxes, 2.5, 0.5) == []


def test_candidates_of_bspline_space():
    knots = np.arange(12.0)
    space = Space.bsplines(knots, 3)
    assert space_candidates(space, 4.0, 4.0) == [0, 1, 2, 3, 4]
    assert space_candidates(space, 4.5, 5.5) == [1, 2, 3, 4, 5]


def test_index_of_space():
    elements = [("box", 1.0, 2.0), ("box", 0.0, 1.5), ("box", 1.0, 4.0), ("delta", 0.0), ("hat", 1.0, 1.5, 2.0)]
    lower, upper, order, sorted_lower, max_width, wide = space_index(elements)
    np.testing.assert_array_equal(lower, [1, 0, 1, 0, 1])
    np.testing.assert_array_equal(upper, [2, 1.5, 4, 0, 2])
    assert order == [1, 3, 0, 2, 4]  # equal lower ends keep index order
    np.testing.assert_array_equal(sorted_lower, [0, 0, 1, 1, 1])
    assert max_width == 3.0 and wide == []  # not far wider than the median


def test_index_total_order_and_nan_widths():
    neg_nan = np.copysign(np.nan, -1.0)
    elements = [("box", 0.0, 1.0), ("box", np.nan, 5.0), ("box", -0.0, 1.0), ("box", neg_nan, 1.0),
                ("delta", -np.inf), ("box", 2.0, 10.0)]
    _, _, order, _, max_width, wide = space_index(elements)
    assert order == [3, 4, 2, 0, 1] and wide == [5]
    assert max_width == 1.0  # NaN widths are left out


def test_empty_index():
    lower, upper, order, sorted_lower, max_width, wide = space_index([])
    assert len(lower) == len(upper) == len(order) == len(sorted_lower) == len(wide) == 0
    assert max_width == 0.0
