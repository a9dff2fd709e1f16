from fractions import Fraction

import numpy as np
import pytest
from scipy.interpolate import BSpline

from spanlet._spanlet import Space
import _spanlet_tests as t
from conftest import arr, element_values


def pchip_bumps():
    # Continuous tables (zero at both ends) so that fine trapezoid sums are accurate.
    x, y = arr(-1, -0.4, 0.1, 0.8, 1.5), arr(0, 0.6, 1, 0.3, 0)
    return Space.shifted(x, y, arr(2, 3.5), arr(1, 2.5), "pchip")


SPACES = {
    "hats": lambda: Space.hats(arr(0.5, 1.25, 2, 3.5, 4)),
    "trapezoids": lambda: Space.trapezoids(arr(1.5, 3), arr(0.25, 0), arr(1, 0.75)),
    "pchip": pchip_bumps,
}


# --- take ---

def test_take_selects_in_order_and_evaluates_like_the_source():
    source = Space.shifted(arr(-1, 0, 1), arr(0, 1, 0), arr(0, 2, 5), arr(1, 0.5, 2), "pchip")
    x = np.linspace(-3, 8, 301)
    for indices in ([2, 0, 0], [1], [0, 1, 2, 1]):
        taken = source.take(indices)
        assert len(taken) == len(indices)
        np.testing.assert_array_equal(element_values(taken, x), element_values(source, x)[indices])
        np.testing.assert_array_equal(taken.lower(), source.lower()[indices])
        np.testing.assert_array_equal(taken.upper(), source.upper()[indices])
        np.testing.assert_array_equal(taken.centers(), source.centers()[indices])
    assert len(source.take([])) == 0
    assert len(source.take(())) == 0
    assert len(source) == 3


@pytest.mark.parametrize("space,indices,message", [
    (Space.boxes(arr(0, 1, 2, 3)), [3], "index 3 out of range for 3 elements"),
    (Space.boxes(arr(0, 1, 2, 3)), [0, 2**64 - 1, 7], "index 18446744073709551615 out of range for 3 elements"),
    (Space.deltas(arr()), [0], "index 0 out of range for 0 elements"),
])
def test_take_out_of_range(space, indices, message):
    with pytest.raises(ValueError) as info:
        space.take(indices)
    assert str(info.value) == message


# --- derivative ---

def away_from_knots(space, x, gap):
    knots = np.concatenate([t.space_knots(space, i, -np.inf, np.inf) for i in range(len(space))])
    return x[np.min(np.abs(x[:, None] - knots[None, :]), axis=1) > gap]


@pytest.mark.parametrize("name", SPACES)
def test_derivative_matches_finite_differences(name):
    space = SPACES[name]()
    x = away_from_knots(space, np.random.default_rng(0).uniform(-1, 9, 400), 1e-4)
    h = 1e-6
    fd = (element_values(space, x + h) - element_values(space, x - h)) / (2 * h)
    np.testing.assert_allclose(element_values(space.derivative(1), x), fd, rtol=1e-6, atol=1e-6)
    fd2 = (element_values(space, x + 1e-4) - 2 * element_values(space, x) + element_values(space, x - 1e-4)) / 1e-8
    np.testing.assert_allclose(element_values(space.derivative(2), x), fd2, rtol=1e-4, atol=1e-4)
    np.testing.assert_array_equal(space.derivative(1).lower(), space.lower())
    np.testing.assert_array_equal(space.derivative(1).upper(), space.upper())


def test_hat_derivative_example():
    d = Space.hats(arr(0, 1, 3)).derivative(1)
    np.testing.assert_array_equal(
        element_values(d, [0, 0.5, 1, 2, 3]), [[-1, -1, 0, 0, 0], [1, 1, -0.5, -0.5, 0], [0, 0, 0.5, 0.5, 0]])
    # Jumps are not represented: a box differentiates to zero on its support.
    assert not element_values(Space.rectangles(arr(0), arr(2)).derivative(1), np.linspace(-2, 2, 9)).any()


@pytest.mark.parametrize("degree", [0, 1, 2, 3])
def test_bspline_derivatives_match_scipy(degree):
    rng = np.random.default_rng(degree)
    knots = np.cumsum(rng.uniform(0.2, 1.5, 9))
    space = Space.bsplines(knots, degree)
    x = away_from_knots(space, rng.uniform(knots[0] - 0.5, knots[-1] + 0.5, 300), 1e-9)
    for order in range(degree + 2):
        got = element_values(space.derivative(order), x)
        for j in range(len(space)):
            local = knots[j:j + degree + 2]
            inside = (x > local[0]) & (x < local[-1])
            if order <= degree:
                ref = BSpline.basis_element(local, extrapolate=False).derivative(order)(np.where(inside, x, local[0]))
            else:
                ref = np.zeros_like(x)
            np.testing.assert_allclose(got[j], np.where(inside, ref, 0.0), rtol=1e-9, atol=1e-9)


@pytest.mark.parametrize("order", [4, 5, 2**63, 2**64 - 1])
def test_high_order_derivatives_are_zero_and_prompt(order):
    x = np.linspace(-1, 9, 101)
    for make in (*SPACES.values(), lambda: Space.bsplines_clamped(arr(0, 1, 2, 4), 3)):
        d = make().derivative(order)
        assert not element_values(d, x).any()
        assert len(d) == len(make())


def test_derivative_of_non_polynomial_elements():
    deltas = Space.deltas(arr(2, -1, 2))
    same = deltas.derivative(0)
    assert list(same.lower()) == list(same.upper()) == [2, -1, 2]
    mapped = Space.hats(arr(1, 2)).mapped("affine", 0, 2, False)
    np.testing.assert_array_equal(element_values(mapped.derivative(0), [2, 3, 4]), element_values(mapped, [2, 3, 4]))
    for space in (deltas, mapped):
        with pytest.raises(ValueError) as info:
            space.derivative(1)
        assert str(info.value) == "only piecewise-polynomial elements have derivatives"


# --- mapped ---

def expected_mapped(source, kind, a, b, jacobian, x):
    u = a / x if kind == "reciprocal" else (x - a) / b
    scale = np.abs(a / (x * x)) if kind == "reciprocal" else abs(1 / b)
    return element_values(source, u) * (scale if jacobian else 1.0)


@pytest.mark.parametrize("kind,a,b", [
    ("affine", 1.5, 2.0), ("affine", -3.0, -0.5), ("reciprocal", 4.0, np.nan), ("reciprocal", -2.5, 0.0)])
@pytest.mark.parametrize("name", SPACES)
def test_mapped_values_bounds_and_centers(name, kind, a, b):
    source = SPACES[name]()
    lo, hi, c = source.lower(), source.upper(), source.centers()
    if kind == "reciprocal":
        ends, centers = np.sort([a / lo, a / hi], axis=0), a / c
    else:
        ends, centers = np.sort([lo * b + a, hi * b + a], axis=0), a + c * b
    for jacobian in (False, True):
        m = source.mapped(kind, a, b, jacobian)
        np.testing.assert_array_equal(m.lower(), ends[0])
        np.testing.assert_array_equal(m.upper(), ends[1])
        np.testing.assert_allclose(m.centers(), centers, rtol=1e-15)
        x = np.random.default_rng(1).uniform(ends[0].min() - 1, ends[1].max() + 1, 300)
        got = element_values(m, x)
        inside = (x >= ends[0][:, None]) & (x <= ends[1][:, None])
        ref = np.where(inside, expected_mapped(source, kind, a, b, jacobian, x), 0.0)
        np.testing.assert_allclose(got, ref, rtol=1e-14, atol=1e-300)


@pytest.mark.parametrize("kind,a,b", [("affine", 1.5, 2.0), ("affine", 4.0, -0.3), ("reciprocal", 3.0, 0.0),
                                      ("reciprocal", -0.5, 0.0)])
@pytest.mark.parametrize("name", SPACES)
def test_jacobian_preserves_integrals(name, kind, a, b):
    source = SPACES[name]()
    m = source.mapped(kind, a, b, True)

    def integrals(space):
        # Midpoint sums: the closed ends are not sampled, so rounding of the inverse map there
        # (a half hat's end value of 1 may land just outside) cannot bias the result.
        out = []
        for i, (lo, hi) in enumerate(zip(space.lower(), space.upper())):
            edges = np.linspace(lo, hi, 40001)
            out.append(np.sum(element_values(space, (edges[1:] + edges[:-1]) / 2)[i] * np.diff(edges)))
        return np.array(out)

    np.testing.assert_allclose(integrals(m), integrals(source), rtol=1e-6)


def test_half_open_ends_follow_the_slope():
    box = Space.boxes(arr(0, 1))
    right = box.mapped("affine", 1, 2, False)
    assert (right.lower()[0], right.upper()[0]) == (1, 3)
    np.testing.assert_array_equal(element_values(right, [1, 2, np.nextafter(3, 0), 3]), [[1, 1, 1, 0]])
    np.testing.assert_array_equal(element_values(box.mapped("affine", 1, 2, True), [1, 2, 3]), [[0.5, 0.5, 0]])
    left = box.mapped("affine", 0, -1, False)
    np.testing.assert_array_equal(element_values(left, [-1, np.nextafter(-1, 0), -0.5, 0]), [[0, 1, 1, 1]])
    recip = Space.boxes(arr(1, 2)).mapped("reciprocal", 2, 0, True)
    assert (recip.lower()[0], recip.upper()[0]) == (1, 2)
    x = arr(1, np.nextafter(1, 2), 1.5, 2)
    np.testing.assert_allclose(element_values(recip, x), [[0, 2 / x[1] ** 2, 2 / 2.25, 0.5]], rtol=1e-15)


def test_mapping_a_mapped_space_composes_the_maps():
    source = SPACES["hats"]()
    x = np.linspace(-10, 20, 601)
    for jacobian in (False, True):
        twice = source.mapped("affine", 1, 3, jacobian).mapped("affine", -2, -0.5, jacobian)
        once = source.mapped("affine", -2.5, -1.5, jacobian)
        np.testing.assert_allclose(twice.lower(), once.lower(), rtol=1e-15)
        np.testing.assert_allclose(element_values(twice, x), element_values(once, x), rtol=1e-12, atol=1e-12)
        back = source.mapped("reciprocal", 2, 0, jacobian).mapped("reciprocal", 6, 0, jacobian)
        np.testing.assert_allclose(element_values(back, x), element_values(source.mapped("affine", 0, 3, jacobian), x),
                                   rtol=1e-12, atol=1e-12)


def test_mapped_deltas_stay_deltas():
    for jacobian in (False, True):
        m = Space.deltas(arr(2, -4)).mapped("reciprocal", 4, 0, jacobian)
        assert list(m.lower()) == list(m.upper()) == [2, -1]
        assert not element_values(m, [2, -1]).any()
    m = Space.deltas(arr(2)).mapped("affine", 1, -3, True)
    assert (m.lower()[0], m.upper()[0]) == (-5, -5)


def test_map_arguments_accept_float_conversions():
    m = Space.boxes(arr(0, 1)).mapped("affine", Fraction(1, 2), np.float32(2), jacobian=False)
    assert (m.lower()[0], m.upper()[0]) == (0.5, 2.5)
    assert len(Space.boxes(arr(1, 2)).mapped("reciprocal", 3, float("nan"), False)) == 1


KIND = "map kind must be 'reciprocal' or 'affine', got "
RECIP_K = "reciprocal map needs a finite nonzero k"
AFFINE = "affine map needs finite offset and nonzero finite scale"
SIDE = "a reciprocal map needs supports on one side of 0, got "


@pytest.mark.parametrize("space,args,message", [
    (Space.deltas(arr()), ("Affine", 0, 1, False), KIND + '"Affine"'),
    (Space.hats(arr(0, 1)), ("affine\n", 0, 1, False), KIND + '"affine\\n"'),
    (Space.hats(arr(0, 1)), ('re"c', 0, 0, False), KIND + '"re\\"c"'),
    (Space.hats(arr(1, 2)), ("reciprocal", 0, 1, False), RECIP_K),
    (Space.hats(arr(1, 2)), ("reciprocal", np.inf, 1, False), RECIP_K),
    (Space.hats(arr(-1, 1)), ("reciprocal", np.nan, 1, True), RECIP_K),
    (Space.deltas(arr(0)), ("reciprocal", 0, 1, True), RECIP_K),
    (Space.hats(arr(1, 2)), ("affine", 0, 0, False), AFFINE),
    (Space.hats(arr(1, 2)), ("affine", np.nan, 1, False), AFFINE),
    (Space.hats(arr(1, 2)), ("affine", 0, -np.inf, False), AFFINE),
    (Space.hats(arr(-1, 0, 1)).take([1]), ("reciprocal", 1, 0, True), SIDE + "[-1, 1]"),
    (Space.hats(arr(-1, 1, 2)), ("reciprocal", 1, 0, False), SIDE + "[-1, 1]"),
    (Space.boxes(arr(-2, -1, 0, 1)), ("reciprocal", 1, 0, False), SIDE + "[-1, 0]"),
    (Space.boxes(arr(0, 0.5)), ("reciprocal", 1, 0, False), SIDE + "[0, 0.5]"),
    (Space.deltas(arr(1, 0)), ("reciprocal", 1, 0, False), "delta position must be finite"),
    (Space.deltas(arr(2)), ("affine", 1, 1e308, False), "delta position must be finite"),
    # Bounds that overflow would make the element unusable.
    (Space.boxes(arr(0, 2)), ("affine", 0, 1e308, False), "mapped element bounds must be finite, got [0, inf]"),
    (Space.boxes(arr(0, 2)), ("affine", 0, -1e308, True), "mapped element bounds must be finite, got [-inf, 0]"),
    (Space.boxes(arr(5e-324, 1)), ("reciprocal", 1, 0, True), "mapped element bounds must be finite, got [1, inf]"),
])
def test_mapped_failures(space, args, message):
    with pytest.raises(ValueError) as info:
        space.mapped(*args)
    assert str(info.value) == message


def test_parameter_checks_are_per_element():
    empty = Space.deltas(arr())
    assert len(empty.mapped("reciprocal", 0, 0, False)) == 0
    assert len(empty.mapped("affine", np.nan, 0, True)) == 0


@pytest.mark.parametrize("call,error,name", [
    (lambda s: s.take("abc"), TypeError, "indices"),
    (lambda s: s.take(2), TypeError, "indices"),
    (lambda s: s.take([0, -1]), OverflowError, "indices"),
    (lambda s: s.derivative(-1), OverflowError, "order"),
    (lambda s: s.derivative(1.0), TypeError, "order"),
    (lambda s: s.mapped(1, 0, 1, True), TypeError, "kind"),
    (lambda s: s.mapped("bogus", "x", 1, True), TypeError, "a"),
    (lambda s: s.mapped("affine", 0, None, True), TypeError, "b"),
    (lambda s: s.mapped("affine", 0, 1, 1), TypeError, "jacobian"),
])
def test_conversion_failures_name_the_argument(call, error, name):
    with pytest.raises(error, match=f"'{name}'"):
        call(Space.hats(arr(1, 2)))

