"""evaluate on B-spline spaces, which forms each row from the knot vector by de Boor's recurrence."""

import numpy as np
import pytest
from scipy.interpolate import BSpline

import exact_pieces as ex
from spanlet._spanlet import Space, evaluate
from conftest import arr, checked, no_stored_zeros


def rows(space, x):
    parts = evaluate(space, x)
    no_stored_zeros(parts)
    return checked(parts, (len(x), len(space)))


def ulp_interval(at):
    return arr(0, 0.7, at, np.nextafter(at, 3), 2.2, 3)


BREAKPOINTS = {
    "uniform": np.linspace(0.0, 1.0, 11),
    "random": np.sort(np.random.default_rng(5).uniform(-3, 4, 14)),
    "far": 1.7e9 + np.arange(8.0),
    "far_fine": 1e6 + 1e-3 * np.arange(9.0),
    "near_repeated": arr(0, 1, 2, 3, 3 + 1e-10, 4, 5, 6),
    "one_ulp": ulp_interval(1.5),
    "graded": np.concatenate([-np.geomspace(1e3, 1e-3, 5), np.geomspace(1e-3, 1e3, 5)]),
}


@pytest.mark.parametrize("name", BREAKPOINTS)
@pytest.mark.parametrize("degree", range(4))
@pytest.mark.parametrize("kind", ["clamped", "periodic"])
def test_partition_of_unity_at_every_breakpoint(name, degree, kind):
    br = BREAKPOINTS[name]
    if kind == "periodic" and degree >= len(br) - 1:
        pytest.skip("too few intervals")
    space = Space.bsplines_clamped(br, degree) if kind == "clamped" else Space.bsplines_periodic(br, degree)
    # Each breakpoint but the last, and the doubles just below the interior ones.
    x = np.concatenate([br[:-1], np.nextafter(br[1:-1], -np.inf)])
    got = rows(space, x)
    np.testing.assert_allclose(got.sum(axis=1), 1.0, rtol=0, atol=4e-16)
    assert np.all(got >= 0)
    if kind == "clamped":
        # Only the first element is alive at the first breakpoint, and it is 1 there.
        assert list(got[0]) == [1.0] + [0.0] * (len(space) - 1)
    # The last breakpoint closes no interval: its row is empty.
    assert evaluate(space, br[-1:])[0].tolist() == [0, 0]


def exact_rows(elements, x):
    return np.array([[float(ex.value(f, v)) for f in elements] for v in x])


def awkward_points(knots):
    # Every knot, the doubles on either side of it, and points inside and around the span.
    k = np.unique(knots)
    inside = [a + (b - a) * f for a, b in zip(k[:-1], k[1:]) for f in (0.5, 0.93)]
    return np.concatenate([k, np.nextafter(k, -np.inf), np.nextafter(k, np.inf), inside,
                           [k[0] - 1.0, k[-1] + 1.0]])


OPEN_KNOTS = {
    # The knot at 1 has the largest multiplicity the degree allows.
    "repeated": lambda p: np.concatenate([arr(0, 0.5), [1.0] * (p + 1), arr(2, 3.5, 4, 4.25, 5)]),
    "far": lambda p: 1e6 + arr(0, 1, 2, 3, 5, 6, 7, 9) / 1024,
    "one_ulp": lambda p: ulp_interval(2.0),
    "clamped": lambda p: np.array(ex.clamped_knots(arr(-2, -0.5, 0, 0.25, 3), p)),
}


@pytest.mark.parametrize("name", OPEN_KNOTS)
@pytest.mark.parametrize("degree", range(4))
def test_open_knots_against_exact_values(name, degree):
    knots = OPEN_KNOTS[name](degree)
    x = awkward_points(knots)
    want = exact_rows(ex.bsplines(knots, degree), x)
    got = rows(Space.bsplines(knots, degree), x)
    # Every value, however small (the tails near a knot are cubes of an ulp), is accurate
    # relative to itself, and exactly the non-zero values are stored.
    np.testing.assert_array_equal(got != 0, want != 0)
    np.testing.assert_allclose(got, want, rtol=1e-14, atol=0)


@pytest.mark.parametrize("breakpoints", [arr(0, 1e-10, 0.3, 0.6, 1 - 1e-10, 1.0), 1e6 + arr(0, 1, 2, 2 + 1e-8, 3, 4),
                                         arr(0.1, 0.4, 0.7, 1.1 - 1e-10, 1.1)])
@pytest.mark.parametrize("degree", range(4))
def test_periodic_against_exact_values(breakpoints, degree):
    x = awkward_points(breakpoints)
    want = exact_rows(ex.periodic_bsplines(breakpoints, degree), x)
    want[x == breakpoints[-1]] = 0.0  # the domain is half-open
    got = rows(Space.bsplines_periodic(breakpoints, degree), x)
    # Sums across the wrap join two differences of breakpoints, so the short intervals next to
    # it keep a few ulps rather than the last place of every value.
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15)


@pytest.mark.parametrize("degree", range(4))
def test_many_row_blocks_match_scipy(degree):
    rng = np.random.default_rng(degree)
    br = np.sort(rng.uniform(-2, 6, 40))
    # Points on knots (a zero left out), outside (empty rows) and inside, shuffled, over enough
    # rows that the work is split into many blocks whose gaps must be closed.
    x = np.concatenate([rng.uniform(br[0] - 1, br[-1] + 1, 6000), np.repeat(br, 20)])
    rng.shuffle(x)
    got = rows(Space.bsplines_clamped(br, degree), x)
    knots = np.concatenate([[br[0]] * degree, br, [br[-1]] * degree])
    inside = (x >= br[0]) & (x < br[-1])
    want = np.zeros_like(got)
    want[inside] = BSpline.design_matrix(x[inside], knots, degree).toarray()
    np.testing.assert_allclose(got, want, rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("space", [
    Space.bsplines(arr(0, 0.5, 1.1, 1.5, 2, 2.6, 3, 3.5, 4), 3),
    Space.bsplines_clamped(np.linspace(-1, 1, 30), 2),
    Space.bsplines_periodic(np.linspace(0, 4, 9), 3),
    Space.bsplines_periodic(arr(0, 0.3, 1, 1.1), 2),
])
def test_same_as_element_by_element(space):
    # A space taken from the elements no longer knows its knots and evaluates them one by one.
    x = np.random.default_rng(2).uniform(-1.5, 4.5, 3000)
    general = rows(space.take(range(len(space))), x)
    np.testing.assert_allclose(rows(space, x), general, rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("spacing", [2.0**-996, 1e-109, 1e103, 2.0**996])
@pytest.mark.parametrize("degree", [1, 3])
def test_extreme_spacings(spacing, degree):
    breakpoints = spacing * np.arange(5.0)
    x = spacing * arr(0, 0.3, 1, 1.5, 2.9, 3.99)
    want = exact_rows(ex.bsplines(ex.clamped_knots(breakpoints, degree), degree), x)
    np.testing.assert_allclose(rows(Space.bsplines_clamped(breakpoints, degree), x), want, rtol=1e-13, atol=1e-15)


@pytest.mark.parametrize("space", [Space.bsplines_clamped(arr(0, 1, 2), 3), Space.bsplines_periodic(arr(0, 1, 2, 3), 1)])
@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_points(space, bad):
    with pytest.raises(ValueError) as info:
        evaluate(space, arr(0.5, bad))
    assert str(info.value) == "delta position must be finite"


def test_empty_points():
    indptr, indices, data, shape = evaluate(Space.bsplines_clamped(arr(0, 1, 2), 2), arr())
    assert list(indptr) == [0] and len(indices) == len(data) == 0 and shape == (0, 4)
