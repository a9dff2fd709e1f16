"""Elements and shapes: point values, supports, knots, derivatives and shape checks."""


import numpy as np
import pytest
from numpy.polynomial import polynomial as P

from _spanlet_tests import (check_table, derivative_values, element_info, element_knots, element_values,
                                    fit_polynomial)
from conftest import arr


def segments(*rows):
    return np.array(rows, dtype=np.float64).reshape(-1, 6)


BELOW_1 = np.nextafter(1.0, 0.0)
ABOVE_1 = np.nextafter(1.0, 2.0)
# Constants 1, 2, 3 on [0, 1), [2, 3) (after a gap) and [3, 4) (touching).
STEPS = ("shaped", segments([1, 0, 0, 0, 0, 1], [2, 0, 0, 0, 2, 3], [3, 0, 0, 0, 3, 4]), 0.0, 1.0)


@pytest.mark.parametrize(
    "element, x, expected",
    [
        (("box", 0, 1), [0, 0.5, BELOW_1, 1, -1e-300], [1, 1, 1, 0, 0]),
        (("hat", 0, 1, 2), [0, 0.5, 1, 1.5, 2, -0.1, 2.1], [0, 0.5, 1, 0.5, 0, 0, 0]),
        (("hat", 1, 1, 2), [1, BELOW_1, 1.5, 2], [1, 0, 0.5, 0]),
        (("hat", 0, 1, 1), [0, 0.5, 1, ABOVE_1], [0, 0.5, 1, 0]),
        (("delta", 0.5), [0.5, 0], [0, 0]),
        (STEPS, [-0.1, 0, BELOW_1, 1, 1.5, 2, np.nextafter(3, 0), 3, 3.5, 4], [0, 1, 1, 0, 0, 2, 2, 3, 3, 0]),
        # The shape variable is (x - center) / stretch; the value is not rescaled.
        (("shaped", segments([0, 1, 0, 0, 0, 1]), 10.0, 4.0), [10, 12, 13.99, 14, 9.99], [0, 0.5, 0.9975, 0, 0]),
        (("trapezoid", 0, 1, 0, 1), [-1, -0.5, 0, 0.5, 1], [0, 0.5, 1, 0.5, 0]),
        (("trapezoid", 1, 1, 0, 1), [-1, 0, BELOW_1, 1], [1, 1, 1, 0]),
        (("trapezoid", -0.0, 1, 0, 1), [-0.5, 0], [0.5, 1]),
        (("trapezoid", 1, 2, 5, 2), [1, 2, 3, 5, 7, 8, 9], [0, 0.5, 1, 1, 1, 0.5, 0]),
        (("linear", arr(0, 1, 3), arr(2, 4, 0), 0, 1), [0, 0.5, 1, 2, 3], [2, 3, 4, 2, 0]),
    ],
    ids=["box", "hat", "left half hat", "right half hat", "delta", "gaps and touching", "stretched",
         "triangle", "box trapezoid", "-0 top", "trapezoid", "linear"],
)
def test_values(element, x, expected):
    np.testing.assert_allclose(element_values(element, arr(*x)), expected, rtol=1e-15, atol=0)


@pytest.mark.parametrize("seed", range(5))
def test_trapezoid_matches_interpolation(seed):
    rng = np.random.default_rng(seed)
    bottom = rng.uniform(0.1, 3)
    top = rng.uniform(0, bottom * 0.99)
    center, stretch = rng.uniform(-5, 5), rng.uniform(0.2, 5)
    x = rng.uniform(center - 4 * bottom * stretch, center + 4 * bottom * stretch, 200)
    expected = np.interp((x - center) / stretch, [-bottom, -top, top, bottom], [0, 1, 1, 0])
    values = element_values(("trapezoid", top, bottom, center, stretch), x)
    np.testing.assert_allclose(values, expected, rtol=1e-12, atol=1e-12)
    lo, hi, c = element_info(("trapezoid", top, bottom, center, stretch))
    np.testing.assert_allclose([lo, hi, c], [center - bottom * stretch, center + bottom * stretch, center])


def reciprocal_box(jacobian):
    return ("mapped", "reciprocal", 2.0, 0.0, ("box", 1.0, 2.0), 1.0, 2.0, jacobian)


def test_reciprocal_mapped_with_jacobian():
    x = np.linspace(0.5, 2.5, 81)
    u = 2.0 / x
    inside = (x >= 1) & (x <= 2)
    expected = np.where(inside & (u >= 1) & (u < 2), 2.0 / x**2, 0.0)
    np.testing.assert_allclose(element_values(reciprocal_box(True), x), expected, rtol=1e-15)
    np.testing.assert_allclose(element_values(reciprocal_box(False), x), (expected > 0) * 1.0)
    assert element_info(reciprocal_box(True)) == (1.0, 2.0, 2.0 / 1.5)


@pytest.mark.parametrize("b", [2.0, -0.5])
def test_affine_mapped(b):
    inner = ("hat", 0.0, 1.0, 3.0)
    a, lo, hi = 1.0, -10.0, 10.0
    element = ("mapped", "affine", a, b, inner, lo, hi, True)
    x = np.linspace(-12, 12, 97)
    u = (x - a) / b
    hat = np.interp(u, [0, 1, 3], [0, 1, 0], left=0, right=0)
    expected = np.where((x >= lo) & (x <= hi), hat / abs(b), 0)
    np.testing.assert_allclose(element_values(element, x), expected, rtol=1e-14, atol=1e-15)
    assert element_info(element)[2] == a + 1.0 * b


@pytest.mark.parametrize(
    "element, lo, hi, knots",
    [
        (("hat", 0, 1, 2), 0, 2, [1]),
        (("hat", 0, 1, 2), -1, 3, [0, 1, 2]),
        (("box", 0, 1), 0, 1, []),
        (("delta", 1), 0, 2, [1]),
        (STEPS, -1, 5, [0, 1, 2, 3, 3, 4]),  # duplicates kept, in push order
        (STEPS, 1, 4, [2, 3, 3]),
        (("trapezoid", 1, 2, 5, 2), -100, 100, [1, 3, 3, 7, 7, 9]),
        # lower, upper, then the inner hat's peak 1.5 carried to 2 / 1.5
        (("mapped", "reciprocal", 2, 0, ("hat", 1, 1.5, 2), 1, 2, False), 0, 10, [1, 2, 2 / 1.5]),
        (("mapped", "reciprocal", 2, 0, ("hat", 1, 1.5, 2), 1, 2, False), 1.4, 10, [2]),
        (("mapped", "affine", 1, -2, ("hat", 0, 1, 3), -10, 10, False), -20, 20, [-10, 10, 1, -1, -5]),
        (("mapped", "affine", 1, 2, ("hat", 0, 1, 3), 0, 4, False), -20, 20, [0, 4, 1, 3]),
    ],
)
def test_push_knots(element, lo, hi, knots):
    np.testing.assert_allclose(element_knots(element, lo, hi), knots, rtol=1e-15)


@pytest.mark.parametrize(
    "element, order, x, expected",
    [
        (("hat", 0, 1, 3), 1, [0, 0.5, 1, 2, BELOW_1 * 3, 3, -1], [1, 1, -0.5, -0.5, -0.5, 0, 0]),
        (("hat", 0, 1, 3), 2, [0, 0.5, 1, 2], [0, 0, 0, 0]),
        (("hat", 1, 1, 2), 1, [1, 1.5, 2], [-1, -1, 0]),
        (("box", 0, 1), 1, [0, 0.5, 1], [0, 0, 0]),
        (("linear", arr(0, 1, 2), arr(0, 1, 0), 0, 2), 1, [0.5, 1.5, 2.5, 3.5, 4], [0.5, 0.5, -0.5, -0.5, 0]),
        (("delta", 1), 0, [1], [0]),
    ],
)
def test_derivative_values(element, order, x, expected):
    np.testing.assert_allclose(derivative_values(element, order, arr(*x)), expected, rtol=1e-15, atol=0)


@pytest.mark.parametrize("seed", range(6))
def test_derivative_of_stretched_cubics(seed):
    rng = np.random.default_rng(seed)
    coeffs = rng.normal(size=(3, 4))
    starts = np.array([-1.0, 0.0, 1.5])
    ends = np.array([0.0, 1.0, 2.5])
    shape = np.column_stack([coeffs, starts, ends])
    center, stretch = rng.uniform(-3, 3), rng.uniform(0.1, 10)
    element = ("shaped", shape, center, stretch)
    u = np.concatenate([rng.uniform(a, b, 20) for a, b in zip(starts, ends)])
    x = center + stretch * u
    piece = np.searchsorted(starts, u, side="right") - 1
    for order in range(6):
        expected = [
            P.polyval(ui - starts[k], P.polyder(coeffs[k], order)) / stretch**order if order < 4 else 0.0
            for ui, k in zip(u, piece)
        ]
        got = derivative_values(element, order, x)
        np.testing.assert_allclose(got, expected, rtol=1e-10, atol=1e-12 * stretch ** -order)


@pytest.mark.parametrize("order", [4, 5, 1000, 2**63, 2**64 - 1])
@pytest.mark.parametrize("stretch", [1e-300, 1.0, 1e300])
def test_high_order_derivatives_are_zero_and_prompt(order, stretch):
    element = ("shaped", segments([1, 2, 3, 4, 0, 1], [5, 6, 7, 8, 1, 2]), 0.0, stretch)
    # An order of 2**64 - 1 would never finish if each order were applied in turn.
    values = derivative_values(element, order, arr(0, 0.5 * stretch, 1.5 * stretch, 3 * stretch))
    np.testing.assert_array_equal(values, 0.0)


def test_third_derivative_with_tiny_stretch_has_no_nan():
    # The zero coefficients of a linear piece must not become 0 * inf.
    element = ("shaped", segments([0, 1, 0, 0, 0, 1]), 0.0, 1e-120)
    assert not np.isnan(derivative_values(element, 3, arr(0.5e-120))).any()


NOT_PIECEWISE = "only piecewise-polynomial elements have derivatives"


@pytest.mark.parametrize(
    "element, order, message",
    [
        (("delta", 1), 1, NOT_PIECEWISE),
        (reciprocal_box(True), 1, NOT_PIECEWISE),
        (("hat", 1, 1, 1), 1, "a shape needs at least one segment"),
        (("box", 1, 1), 1, "shape segments need a < b"),
        (("box", 0, np.inf), 1, "shape segments must be finite"),
    ],
)
def test_derivative_errors(element, order, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        derivative_values(element, order, arr(0))


@pytest.mark.parametrize(
    "rows, message",
    [
        ([], "a shape needs at least one segment"),
        ([[1, 0, 0, 0, 0, 1], [1, 0, 0, 0, 0.5, 2]], "shape segments must be sorted and non-overlapping"),
        ([[1, 0, 0, 0, 1, 1]], "shape segments need a < b"),
        ([[1, 0, 0, 0, 2, 1]], "shape segments need a < b"),
        ([[1, 0, 0, np.nan, 0, 1]], "shape segments must be finite"),
        ([[1, 0, 0, 0, 0, np.inf]], "shape segments must be finite"),
        # Every segment is checked on its own before any pair is.
        ([[1, 0, 0, 0, 0, 1], [1, 0, 0, 0, 0.5, 2], [np.inf, 0, 0, 0, 3, 4]], "shape segments must be finite"),
        ([[1, 0, 0, 0, 0, 1], [1, 0, 0, 0, 0.5, 2], [1, 0, 0, 0, 4, 3]], "shape segments need a < b"),
    ],
)
def test_shape_errors(rows, message):
    with pytest.raises(ValueError, match=f"^{message}$"):
        element_info(("shaped", segments(*rows), 0.0, 1.0))


TRAPEZOID = "trapezoid needs 0 <= top <= bottom, bottom > 0; got "


@pytest.mark.parametrize(
    "top, bottom, tail",
    [(2, 1, "2, 1"), (0, 0, "0, 0"), (-1, 1, "-1, 1"), (0.5, -0.0, "0.5, -0"), (np.nan, 1, "NaN, 1"),
     (0, np.inf, "0, inf"), (1e-7, 1e-8, "0.0000001, 0.00000001"), (-np.inf, -np.inf, "-inf, -inf")],
)
def test_trapezoid_errors(top, bottom, tail):
    with pytest.raises(ValueError) as info:
        element_info(("trapezoid", top, bottom, 0.0, 1.0))
    assert str(info.value) == TRAPEZOID + tail


@pytest.mark.parametrize("center, stretch", [(np.inf, 1), (np.nan, 1), (0, 0), (0, -1), (0, np.inf), (0, np.nan)])
def test_shaped_placement_errors(center, stretch):
    with pytest.raises(ValueError, match="^piecewise element needs finite center and stretch > 0$"):
        element_info(("trapezoid", 0, 1, center, stretch))


TABLE_LENGTH = "a tabulated shape needs x and y of equal length >= 2"


@pytest.mark.parametrize(
    "x, y, message",
    [
        ([0, 1], [0], TABLE_LENGTH),
        ([0], [0], TABLE_LENGTH),
        ([], [], TABLE_LENGTH),
        ([0, np.nan], [0, 1], "a tabulated shape must be finite"),
        ([0, 1], [0, np.inf], "a tabulated shape must be finite"),
        ([0, 0], [0, np.nan], "a tabulated shape must be finite"),  # finiteness before order
        ([1, 0], [0, 1], "a tabulated shape needs strictly increasing x"),
        ([0, 1, 1], [0, 1, 2], "a tabulated shape needs strictly increasing x"),
        ([0, 0], [0, 1, 2], TABLE_LENGTH),
        ([0, 1], [1, 0], None),
    ],
)
def test_check_table(x, y, message):
    if message is None:
        assert check_table(arr(*x), arr(*y)) is None
        return
    with pytest.raises(ValueError, match=f"^{message}$"):
        check_table(arr(*x), arr(*y))
    with pytest.raises(ValueError, match=f"^{message}$"):
        element_info(("linear", arr(*x), arr(*y), 0.0, 1.0))


@pytest.mark.parametrize("n", [1, 2, 3, 4])
@pytest.mark.parametrize("seed", range(10))
def test_fit_polynomial_is_exact_on_polynomials(n, seed):
    rng = np.random.default_rng(seed)
    coeffs = np.zeros(4)
    coeffs[:n] = rng.normal(size=n) * 10.0 ** rng.integers(-3, 4, n)
    s = np.sort(rng.uniform(-2, 2, n))
    if n > 1:
        s = s[0] + np.cumsum(np.concatenate([[0], np.diff(s) + 0.1]))
    y = P.polyval(s, coeffs)
    got = fit_polynomial(s, y)
    np.testing.assert_allclose(got, coeffs, rtol=1e-9, atol=1e-9 * np.abs(coeffs).max())

