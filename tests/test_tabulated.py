import inspect

import numpy as np
import pytest
from scipy.interpolate import PchipInterpolator

from spanlet._spanlet import Space
from conftest import arr, element_values


def random_table(rng, n, monotone):
    x = np.cumsum(rng.uniform(0.05, 2.0, n)) - 3.0
    y = np.cumsum(rng.uniform(0, 1, n)) if monotone else rng.normal(size=n)
    return x, y


@pytest.mark.parametrize("seed", range(4))
@pytest.mark.parametrize("monotone", [True, False])
def test_pchip_matches_scipy(seed, monotone):
    rng = np.random.default_rng(seed)
    centers = arr(0, 7.5, -2)
    tables = [random_table(rng, n, monotone) for n in (2, 3, 12)]
    # Rows of one array share a length, so each table gets its own space.
    for c, (x, y) in zip(centers, tables):
        space = Space.tabulated(arr(c), x[None, :], y[None, :], "pchip")
        points = c + np.concatenate([x[:-1], rng.uniform(x[0], x[-1], 200)])
        u = points - c  # the offsets the element itself sees
        ref = np.where((u >= x[0]) & (u < x[-1]), PchipInterpolator(x, y)(u), 0.0)
        np.testing.assert_allclose(element_values(space, points)[0], ref, rtol=1e-11, atol=1e-12)
        assert (space.lower()[0], space.upper()[0]) == (c + x[0], c + x[-1])


def test_pchip_does_not_overshoot_monotone_data():
    rng = np.random.default_rng(7)
    for _ in range(5):
        x, y = random_table(rng, 10, monotone=True)
        space = Space.tabulated(arr(0), x[None, :], y[None, :], "pchip")
        v = element_values(space, np.linspace(x[0], x[-1], 2001)[:-1])[0]
        assert np.all(np.diff(v) >= -1e-12)
        assert v.min() >= y[0] - 1e-12 and v.max() <= y[-1] + 1e-12


def test_pchip_flat_steps_and_extrema_have_zero_slope():
    x = arr(0, 1, 2, 3)
    space = Space.tabulated(arr(0), x[None, :], arr(0, 0, 1, 1)[None, :], "pchip")
    v = element_values(space, np.linspace(0, 3, 601)[:-1])[0]
    assert v.min() >= 0 and v.max() <= 1
    np.testing.assert_array_equal(element_values(space.derivative(1), [1, 2])[0], [0, 0])
    # Interior extrema of non-monotone data.
    x, y = arr(0, 0.5, 2, 2.5, 4, 5), arr(0, 2, -1, 3, 3.5, 1)
    slopes = element_values(Space.tabulated(arr(0), x[None, :], y[None, :], "pchip").derivative(1), x[1:-1])[0]
    assert slopes[0] == 0 and slopes[1] == 0 and slopes[2] > 0 and slopes[3] == 0


def test_two_point_pchip_is_the_line():
    space = Space.tabulated(arr(0), arr(0, 1)[None, :], arr(0, 1)[None, :], "pchip")
    u = np.linspace(0, 1, 11)[:-1]
    np.testing.assert_allclose(element_values(space, u)[0], u, rtol=0, atol=1e-15)


@pytest.mark.parametrize("interp", ["linear", "pchip"])
def test_table_ends_are_half_open(interp):
    x, y = arr(-1, 0, 2), arr(0.25, 1, 0.5)
    space = Space.tabulated(arr(10), x[None, :], y[None, :], interp)
    got = element_values(space, [np.nextafter(9, 0), 9, 10, np.nextafter(12, 0), 12])[0]
    assert got[0] == 0 and got[1] == 0.25 and got[2] == 1 and got[4] == 0
    assert got[3] == pytest.approx(0.5)


def test_linear_tables_match_numpy_interp_with_shared_and_own_rows():
    rng = np.random.default_rng(3)
    centers = arr(-4, 0, 5)
    x = np.sort(rng.uniform(-1, 1, 6))
    y = rng.normal(size=(3, 6))
    own_x = np.sort(rng.uniform(-1, 1, (3, 6)), axis=1)
    for xs in (x[None, :], own_x):
        space = Space.tabulated(centers, xs, y, "linear")
        for i, c in enumerate(centers):
            xi = xs[0] if len(xs) == 1 else xs[i]
            u = rng.uniform(xi[0], xi[-1], 100)
            np.testing.assert_allclose(element_values(space, c + u)[i], np.interp(u, xi, y[i]), rtol=1e-12, atol=1e-13)
    empty = Space.tabulated(arr(), x[None, :], np.empty((0, 6)), "linear")
    assert len(empty) == 0


@pytest.mark.parametrize("interp", ["linear", "pchip"])
def test_shifted_places_stretched_copies(interp):
    x, y = arr(-1, -0.25, 0.5, 2), arr(0, 0.75, 1, 0.2)
    centers, stretch = arr(0, 10, -5), arr(2, 0.5, 3)
    space = Space.shifted(x, y, centers, stretch, interp)
    np.testing.assert_array_equal(space.lower(), centers + stretch * x[0])
    np.testing.assert_array_equal(space.upper(), centers + stretch * x[-1])
    np.testing.assert_array_equal(space.centers(), centers)
    reference = Space.tabulated(arr(0), x[None, :], y[None, :], interp)
    u = np.linspace(x[0], x[-1], 57)[:-1]
    for i, (c, s) in enumerate(zip(centers, stretch)):
        got = element_values(space, c + s * u)[i]
        np.testing.assert_allclose(got, element_values(reference, u)[0], rtol=1e-12, atol=1e-14)
        assert element_values(space, [c + s * 0.5])[i, 0] == 1.0  # the peak is not rescaled
    shared = Space.shifted(x, y, centers, arr(2), interp)
    np.testing.assert_array_equal(shared.upper(), centers + 4)
    # A subnormal stretch is still a positive stretch.
    assert len(Space.shifted(x, y, arr(0), arr(5e-324), interp)) == 1


def test_docstrings():
    assert inspect.getdoc(Space.tabulated) == (
        "Per-element tables: x has 1 or len(centers) rows, y has len(centers) rows.")
    assert inspect.getdoc(Space.shifted) == (
        "Copies of the tabulated shape (shape_x, shape_y), shifted to `centers` and stretched by\n`stretch`.")


ROW = arr(0, 1, 2)[None, :]
INTERP = "interpolation must be 'linear' or 'pchip', got "


@pytest.mark.parametrize("args,message", [
    ((arr(0, 1, 2), np.zeros((2, 3)), np.zeros((2, 3)), "linear"), "y has 2 shapes, expected 3"),
    ((arr(0, 1, 2), np.zeros((2, 3)), np.zeros((3, 3)), "linear"), "x has 2 shapes, expected 1 or 3"),
    ((arr(0), np.zeros((1, 1)), np.zeros((1, 1)), "pchip"), "a tabulated shape needs x and y of equal length >= 2"),
    ((arr(0), ROW, np.zeros((1, 2)), "linear"), "a tabulated shape needs x and y of equal length >= 2"),
    ((arr(0), ROW, arr(0, np.nan, 1)[None, :], "pchip"), "a tabulated shape must be finite"),
    ((arr(0), arr(0, 0, 1)[None, :], arr(0, 1, 0)[None, :], "linear"),
     "a tabulated shape needs strictly increasing x"),
    ((arr(np.inf), ROW, ROW, "linear"), "piecewise element needs finite center and stretch > 0"),
    # The first failing center decides.
    ((arr(np.nan, 0), np.vstack([ROW, ROW]), np.vstack([ROW, arr(0, np.inf, 1)]), "linear"),
     "piecewise element needs finite center and stretch > 0"),
    ((arr(0, 1), ROW, ROW, "Linear"), INTERP + '"Linear"'),
    ((arr(0, 1), ROW, np.zeros((5, 3)), "pchip\n"), INTERP + '"pchip\\n"'),
])
def test_tabulated_failures(args, message):
    with pytest.raises(ValueError) as info:
        Space.tabulated(*args)
    assert str(info.value) == message


@pytest.mark.parametrize("args,message", [
    ((arr(0, 1), arr(0, 1), arr(0, 1, 2), arr(1, 1), "linear"), "stretch has length 2, expected 1 or 3"),
    ((arr(0, 1), arr(0, 1), arr(0, 1), arr(), "linear"), "stretch has length 0, expected 1 or 2"),
    ((arr(0, 1), arr(0, 1), arr(0), arr(0), "pchip"), "piecewise element needs finite center and stretch > 0"),
    ((arr(0, 1), arr(0, 1), arr(0, 1), arr(1, -1), "pchip"), "piecewise element needs finite center and stretch > 0"),
    ((arr(0, 1), arr(0, 1), arr(np.nan), arr(1), "linear"), "piecewise element needs finite center and stretch > 0"),
    ((arr(0, 1), arr(0, 1), arr(0), arr(np.inf), "linear"), "piecewise element needs finite center and stretch > 0"),
    # The shape is checked before the broadcast of stretch.
    ((arr(1, 0), arr(0, 1), arr(0, 1, 2), arr(1, 1), "linear"), "a tabulated shape needs strictly increasing x"),
    ((arr(1, 0), arr(0, 1), arr(0), arr(1), "linear\x00"), INTERP + '"linear\\u{0}"'),
    ((arr(0), arr(0), arr(0), arr(1), "PCHIP"), INTERP + '"PCHIP"'),
])
def test_shifted_failures(args, message):
    with pytest.raises(ValueError) as info:
        Space.shifted(*args)
    assert str(info.value) == message


def test_arrays_are_read_before_interpolation_is_parsed():
    with pytest.raises(TypeError, match="'y'"):
        Space.tabulated(arr(0), ROW, arr(0, 1, 2), "bogus")
    with pytest.raises(TypeError, match="'interp'"):
        Space.tabulated(arr(0), ROW, ROW, b"linear")
    # Conversion of every argument comes before the table is checked.
    with pytest.raises(TypeError, match="'centers'"):
        Space.shifted(arr(1, 0), arr(0, 1), [0.0], arr(1), "linear")
    with pytest.raises(TypeError, match="'stretch'"):
        Space.shifted(arr(0, 1), arr(0, 1), arr(0), None, 5)
