"""Elements far from the origin and on knots a few ulps apart, against exact rational models."""

from fractions import Fraction

import numpy as np
import pytest

import exact_pieces as ex
from spanlet._spanlet import Space, evaluate, inner_products, measure
from conftest import arr, dense


def as_float(matrix):
    return np.array([[float(v) for v in row] for row in matrix])


def relative_error(got, exact):
    exact = np.asarray(exact, dtype=float)
    return np.max(np.abs(got - exact)) / np.max(np.abs(exact))


@pytest.mark.parametrize("knots, x, expected", [
    # Two knot intervals of 1e-8 at 1e6: the fit through rounded sample points was 0.30692.
    (arr(1e6, 1e6 + 1e-8, 1e6 + 2e-8), 1e6 + 0.3e-8, None),
    # A knot interval one ulp wide; at x = 2 only the spline that starts its descent there is 1.
    (arr(0, 1, 2, np.nextafter(2, 3), 3, 4), 2.0, [0, 1, 0, 0]),
])
def test_point_values_at_offsets_and_close_knots(knots, x, expected):
    degree = 1
    got = dense(evaluate(Space.bsplines(knots, degree), arr(x)))[0]
    exact = [float(ex.value(f, x)) for f in ex.bsplines(knots, degree)]
    if expected is not None:
        assert exact == expected
    np.testing.assert_allclose(got, exact, rtol=1e-13, atol=1e-15)


def near_repeated_knots(d):
    return arr(0, 1, 2, 3, 3 + d, 4 + d, 5 + d, 6 + d, 7 + d)


def random_knots(rng, offset, spacing):
    gaps = rng.uniform(0.05, 1.0, 9) * spacing
    gaps[rng.integers(0, 9, 2)] *= 1e-7  # two nearly repeated knots
    return offset + np.concatenate([[0.0], np.cumsum(gaps)])


def knot_cases():
    cases = [(f"d={d:g}", near_repeated_knots(d)) for d in (1e-2, 1e-4, 1e-6, 1e-8, 1e-10)]
    rng = np.random.default_rng(11)
    for offset, spacing in ((0.0, 1.0), (1e6, 1e-3), (1.7e9, 1.0), (-3e4, 1e-6)):
        cases.append((f"random@{offset:g}", random_knots(rng, offset, spacing)))
    return cases


@pytest.mark.parametrize("name, knots", knot_cases(), ids=[c[0] for c in knot_cases()])
@pytest.mark.parametrize("degree", [1, 2, 3])
def test_derivatives_of_every_order(name, knots, degree):
    exact_elements = ex.bsplines(knots, degree)
    space = Space.bsplines(knots, degree)
    # Points inside every knot interval, as doubles; the reference is exact at those doubles.
    xs = arr(*[a + (b - a) * f for a, b in zip(knots[:-1], knots[1:]) if a < b for f in (2.0**-20, 0.3, 0.7)])
    for order in range(degree + 1):
        got = dense(evaluate(space.derivative(order), xs))
        exact = as_float([[ex.value(f, x, order) for f in exact_elements] for x in xs])
        # Each derivative is exact relative to the largest value of that order at that point.
        # (rows where the whole derivative vanishes are measured against the largest row).
        scale = np.max(np.abs(exact), axis=1, keepdims=True)
        scale[scale == 0] = np.max(scale)
        assert np.max(np.abs(got - exact) / scale) < 1e-11, (name, order)


def test_derivative_example_at_near_repeated_knots():
    knots = near_repeated_knots(1e-8)
    space = Space.bsplines(knots, 3)
    x = arr(3 + 5e-9)
    second = dense(evaluate(space.derivative(2), x))[0]
    third = dense(evaluate(space.derivative(3), x))[0]
    exact = ex.bsplines(knots, 3)
    np.testing.assert_allclose(second, [float(ex.value(f, x[0], 2)) for f in exact], rtol=1e-12)
    np.testing.assert_allclose(third, [float(ex.value(f, x[0], 3)) for f in exact], rtol=1e-12)
    np.testing.assert_allclose(second[:4], [1.5, -1.5, -1.5, 1.5], rtol=1e-6)


@pytest.mark.parametrize("offset, spacing", [(0.0, 1.0), (1e6, 1e-8), (1e6, 1e-3), (1.7e9, 1.0), (1.7e9, 1e-4)])
@pytest.mark.parametrize("degree", [0, 1, 2, 3])
def test_clamped_integrals_and_gram(offset, spacing, degree):
    breakpoints = offset + spacing * np.arange(9.0)
    space = Space.bsplines_clamped(breakpoints, degree)
    exact = ex.bsplines(ex.clamped_knots(breakpoints, degree), degree)
    np.testing.assert_allclose(space.integrals(), [float(ex.integral(f)) for f in exact], rtol=1e-13)
    assert relative_error(dense(inner_products(space, space)), as_float(ex.gram(exact))) < 1e-13


@pytest.mark.parametrize("d", [1e-6, 1e-8])
def test_second_derivative_penalty_gram(d):
    knots = near_repeated_knots(d)
    space = Space.bsplines(knots, 3).derivative(2)
    exact = as_float(ex.gram(ex.bsplines(knots, 3), order=2))
    assert relative_error(dense(inner_products(space, space)), exact) < 1e-11


@pytest.mark.parametrize("nodes", [1.7e9 + np.arange(6.0), 1e6 + 1e-3 * np.arange(3.0), 2.0**-30 * np.arange(4.0) + 3e5])
def test_hat_gram_far_from_origin(nodes):
    got = dense(inner_products(Space.hats(nodes), Space.hats(nodes)))
    n = len(nodes)
    hats = [ex.hat(nodes[max(i - 1, 0)], nodes[i], nodes[min(i + 1, n - 1)]) for i in range(n)]
    assert relative_error(got, as_float(ex.gram(hats))) < 1e-14


def test_boxes_a_few_ulps_wide():
    edges = [2.5]
    for _ in range(8):
        edges.append(np.nextafter(edges[-1], 3.0))
    space = Space.boxes(arr(edges[0], edges[4], edges[8]))
    width = float(Fraction(edges[4]) - Fraction(edges[0]))
    np.testing.assert_allclose(np.diag(dense(inner_products(space, space))), [width, width], rtol=1e-15)
    np.testing.assert_allclose(space.integrals(), [width, width], rtol=1e-15)


@pytest.mark.parametrize("center", [0.5, 1.0, 1e3])
def test_narrow_triangle_measured_by_linear_bsplines(center):
    # A triangle of half width 1e-12 centred on a knot splits evenly between the two hats.
    basis = Space.bsplines_clamped(center + np.arange(-2.0, 3.0), 1)
    kernel = Space.triangles(arr(center), arr(0.5e-12))
    row = dense(measure(kernel, basis, "integral"))[0]
    tri = ex.hat(center - 1e-12, center, center + 1e-12)
    exact = [float(ex.inner(tri, f) / ex.integral(tri))
             for f in ex.bsplines(ex.clamped_knots(center + np.arange(-2.0, 3.0), 1), 1)]
    np.testing.assert_allclose(row, exact, rtol=1e-13, atol=1e-16)


@pytest.mark.parametrize("breakpoints", [
    arr(0, 0.2, 0.4, 0.4 + 1e-10, 0.6, 0.8, 1.0),  # snapping to 1e-9 of the period collapsed the short one
    arr(0, 1e-10, 0.3, 0.6, 1 - 1e-10, 1.0),  # short intervals on both sides of the wrap
    arr(0.1, 0.4, 0.7, 1.1 - 1e-10, 1.1),  # 1.1 - 1e-10 - period rounds to ulp(0.1) of the short one
    1e6 + arr(0, 1, 2, 2 + 1e-8, 3, 4),
])
@pytest.mark.parametrize("degree", [1, 2, 3])
def test_periodic_close_breakpoints(breakpoints, degree):
    space = Space.bsplines_periodic(breakpoints, degree)
    exact = ex.periodic_bsplines(breakpoints, degree)
    np.testing.assert_allclose(space.integrals(), [float(ex.integral(f)) for f in exact], rtol=1e-13)
    assert relative_error(dense(inner_products(space, space)), as_float(ex.gram(exact))) < 1e-13
    xs = arr(*[a + (b - a) * f for a, b in zip(breakpoints[:-1], breakpoints[1:]) for f in (0.25, 0.75)])
    exact_values = as_float([[ex.value(f, x) for f in exact] for x in xs])
    np.testing.assert_allclose(dense(evaluate(space, xs)), exact_values, rtol=0, atol=1e-13)


# Spacings whose coefficients in x, and products of values, leave the range of doubles.
EXTREME_SPACINGS = [2.0**-996, 1e-109, 1e103, 2.0**996]


@pytest.mark.parametrize("spacing", EXTREME_SPACINGS)
@pytest.mark.parametrize("degree", [0, 1, 2, 3])
def test_extreme_spacings(spacing, degree):
    breakpoints = spacing * np.arange(4.0)
    space = Space.bsplines_clamped(breakpoints, degree)
    exact = ex.bsplines(ex.clamped_knots(breakpoints, degree), degree)
    np.testing.assert_allclose(space.integrals(), [float(ex.integral(f)) for f in exact], rtol=1e-13)
    assert relative_error(dense(inner_products(space, space)), as_float(ex.gram(exact))) < 1e-13
    if degree > 0:
        # Slopes go like 1 / spacing and their Gram like 1 / spacing: representable here.
        slopes = space.derivative(1)
        assert relative_error(dense(inner_products(slopes, slopes)), as_float(ex.gram(exact, order=1))) < 1e-13
    # Under a cosine weight the same space at unit spacing, scaled (omega * spacing fixed).
    unit = Space.bsplines_clamped(np.arange(4.0), degree)
    for omega_h in (0.01, 10.0):
        got = dense(inner_products(space, space, weight=omega_h / spacing))
        assert relative_error(got / spacing, dense(inner_products(unit, unit, weight=omega_h))) < 1e-13


@pytest.mark.parametrize("spacing", [1e-160, 1e160])
@pytest.mark.parametrize("omega_h", [None, 0.5, 50.0])
def test_slope_gram_beyond_the_squared_range(spacing, omega_h):
    # Slopes of 1e160 square to beyond the largest double, slopes of 1e-160 to below the smallest.
    slopes = Space.hats(spacing * np.arange(4.0)).derivative(1)
    unit = Space.hats(np.arange(4.0)).derivative(1)
    weight = {} if omega_h is None else {"weight": omega_h / spacing}
    unit_weight = {} if omega_h is None else {"weight": omega_h}
    got = dense(inner_products(slopes, slopes, **weight)) * spacing
    # Phases up to 150 radians carry their own rounding of eps * 150.
    assert relative_error(got, dense(inner_products(unit, unit, **unit_weight))) < (1e-13 if omega_h != 50.0 else 1e-12)
    if omega_h is None:
        np.testing.assert_allclose(np.diag(dense(inner_products(slopes, slopes))), arr(1, 2, 2, 1) / spacing,
                                   rtol=1e-13)


@pytest.mark.parametrize("build, ends, degree", [
    ("boxes", (1e308, 1.7e308), 0),
    ("bsplines_clamped", (-1.7e308, 1.7e308), 3),  # one knot interval wider than the largest double
])
def test_near_the_largest_double(build, ends, degree):
    space = Space.boxes(arr(*ends)) if build == "boxes" else Space.bsplines_clamped(arr(*ends), degree)
    exact = ex.bsplines(ex.clamped_knots(ends, degree), degree)
    np.testing.assert_allclose(space.integrals(), [float(ex.integral(f)) for f in exact], rtol=1e-13)
    assert relative_error(dense(inner_products(space, space)), as_float(ex.gram(exact))) < 1e-13


@pytest.mark.parametrize("make, message", [
    (lambda: Space.bsplines_clamped(1e-109 * np.arange(4.0), 3).derivative(3),
     "the order-3 derivative overflows on a knot interval of length 1e-109"),
    (lambda: Space.hats(1e-320 * np.arange(4.0)).derivative(1),
     "the order-1 derivative overflows on a knot interval of length 1e-320"),
    (lambda: Space.bsplines(arr(0, 1e-110, 2e-110, 3e-110, 1), 3),
     "B-spline 0 cannot be represented: knot interval 1e-110 is too short for its support of 1e0"),
    (lambda: Space.bsplines_periodic(arr(-1e308, 0, 1e308), 1),
     "periodic breakpoints span more than the largest double: -1e308 to 1e308"),
])
def test_unrepresentable_results_are_refused(make, message):
    with pytest.raises(ValueError) as info:
        make()
    assert str(info.value) == message
