"""Line-shape profiles: values, slopes, widths, supports, steps; the profile-space constructors and
their messages; profile elements in evaluate, integrals, inner products, measure and projection."""

import math

import numpy as np
import pytest
import scipy.integrate as si
import scipy.optimize as so
import scipy.special as sp

from spanlet._spanlet import Projection, Space, inner_products, measure, measure_derivative
import _spanlet_tests as t
from conftest import arr, checked, evaluated

LN2 = math.log(2)


def matern(order, length):
    k = {"half": 1.0, "three_halves": math.sqrt(3), "five_halves": math.sqrt(5)}[order]
    poly = {"half": lambda c: 1.0, "three_halves": lambda c: 1 + c, "five_halves": lambda c: 1 + c + c * c / 3}[order]
    return lambda x: poly(k * np.abs(x) / length) * np.exp(-k * np.abs(x) / length)


def smoothed_box_by_quadrature(half_width, sigma):
    """The box convolved with the Gaussian, integrated numerically (no cancellation in the tails)."""
    def unscaled(x):
        return si.quad(lambda y: np.exp(-((x - y) / sigma) ** 2 / 2), -half_width, half_width,
                       epsabs=0, epsrel=1e-13, points=[x] if abs(x) < half_width else None)[0]
    peak = unscaled(0.0)
    return lambda xs: np.array([unscaled(x) / peak for x in np.atleast_1d(xs)])


def super_gaussian(left, right, power):
    return lambda x: np.exp(-LN2 * (np.abs(x) / np.where(x < 0, left, right)) ** power)


# (kind, params, closed form, scale of x, tolerance)
CLOSED_FORMS = [
    ("gaussian", [0.7], lambda x: np.exp(-x**2 / (2 * 0.7**2)), 0.7, 1e-15),
    ("lorentzian", [2.0], lambda x: 1 / (1 + (x / 2) ** 2), 2.0, 1e-15),
    ("voigt", [1.0, 0.5], lambda x: sp.voigt_profile(x, 1.0, 0.5) / sp.voigt_profile(0, 1.0, 0.5), 1.5, 1e-13),
    ("voigt", [0.2, 3.0], lambda x: sp.voigt_profile(x, 0.2, 3.0) / sp.voigt_profile(0, 0.2, 3.0), 3.0, 1e-13),
    ("voigt", [3.0, 0.01], lambda x: sp.voigt_profile(x, 3.0, 0.01) / sp.voigt_profile(0, 3.0, 0.01), 3.0, 1e-13),
    ("pseudo_voigt", [1.5, 0.3], lambda x: 0.3 / (1 + (x / 1.5) ** 2) + 0.7 * np.exp(-LN2 * (x / 1.5) ** 2), 1.5,
     1e-15),
    ("super_gaussian", [1.0, 3.0, 4.0], super_gaussian(1.0, 3.0, 4.0), 2.0, 1e-15),
    ("super_gaussian", [2.0, 0.5, 1.0], super_gaussian(2.0, 0.5, 1.0), 1.0, 1e-15),
    ("smoothed_box", [2.0, 0.3], smoothed_box_by_quadrature(2.0, 0.3), 2.0, 1e-12),
    ("matern_half", [1.3], matern("half", 1.3), 1.3, 1e-15),
    ("matern_three_halves", [1.3], matern("three_halves", 1.3), 1.3, 1e-15),
    ("matern_five_halves", [0.8], matern("five_halves", 0.8), 0.8, 1e-15),
]
IDS = [f"{c[0]}-{i}" for i, c in enumerate(CLOSED_FORMS)]


@pytest.mark.parametrize("kind, params, ref, scale, tol", CLOSED_FORMS, ids=IDS)
def test_value_against_closed_form(kind, params, ref, scale, tol):
    x = scale * np.concatenate([[0.0], np.linspace(-6, 6, 97), [-1e-9, 1e-9]])
    value, _ = t.profile_values(kind, params, x)
    expected = ref(x)
    assert value[0] == pytest.approx(1.0, abs=2e-16)
    # Relative where the value is sizable, absolute (to the peak) in the far tails.
    assert np.all(np.abs(value - expected) <= tol * np.maximum(np.abs(expected), 1e-3) * 4)


def test_smoothed_box_tails_keep_relative_accuracy():
    x = np.array([4.0, 5.0, 6.0, -6.0, -7.5])
    value, _ = t.profile_values("smoothed_box", [2.0, 0.3], x)
    np.testing.assert_allclose(value, smoothed_box_by_quadrature(2.0, 0.3)(x), rtol=1e-9, atol=0)
    assert np.all(value > 0)


@pytest.mark.parametrize("kind, params, ref, scale, tol", CLOSED_FORMS, ids=IDS)
def test_slope_against_central_differences(kind, params, ref, scale, tol):
    # Away from the kinks at 0 of the Laplace-like shapes.
    x = scale * np.concatenate([np.linspace(-5, -0.05, 40), np.linspace(0.05, 5, 40)])
    h = 1e-5 * scale
    _, slope = t.profile_values(kind, params, x)
    up, _ = t.profile_values(kind, params, x + h)
    down, _ = t.profile_values(kind, params, x - h)
    differences = (up - down) / (2 * h)
    assert np.max(np.abs(slope - differences)) <= 1e-8 * np.max(np.abs(slope))


@pytest.mark.parametrize("kind, params", [("super_gaussian", [1.0, 2.0, 1.0]), ("matern_half", [1.0]),
                                          ("gaussian", [1.0]), ("smoothed_box", [1.0, 0.2])])
def test_slope_at_the_center_is_zero(kind, params):
    _, slope = t.profile_values(kind, params, arr(0.0))
    assert abs(slope[0]) <= 1e-16


def test_super_gaussian_slope_is_zero_where_the_value_underflows():
    # A huge power gives an infinite power factor there; the slope is still 0, not NaN.
    value, slope = t.profile_values("super_gaussian", [1.0, 1.0, 1e6], arr(1.01, -2.0))
    assert np.all(value == 0) and np.all(slope == 0)


HALF_MAXIMA = [
    ("gaussian", [0.7], 1e-15), ("lorentzian", [2.0], 1e-15), ("pseudo_voigt", [1.5, 0.3], 1e-15),
    ("super_gaussian", [1.5, 1.5, 3.0], 1e-15), ("matern_half", [1.3], 1e-15),
    ("matern_three_halves", [1.3], 2e-15), ("matern_five_halves", [1.3], 2e-15),
    # Olivero and Longbothum's width approximation is good to about 2e-4 in the width, which moves
    # the value by up to 3e-4 (the width itself is checked below).
    ("voigt", [1.0, 0.5], 4e-4), ("voigt", [0.1, 2.0], 4e-4), ("voigt", [2.0, 0.05], 4e-4),
]


@pytest.mark.parametrize("kind, params, tol", HALF_MAXIMA, ids=[f"{k}-{i}" for i, (k, _, _) in enumerate(HALF_MAXIMA)])
def test_value_at_hwhm_is_half(kind, params, tol):
    half, _, _ = t.profile_geometry(kind, params, arr(), 1.0)
    value, _ = t.profile_values(kind, params, arr(-half, half))
    np.testing.assert_allclose(value, 0.5, rtol=tol, atol=0)


@pytest.mark.parametrize("sigma, gamma", [(1.0, 0.5), (0.3, 2.0), (2.0, 0.1), (1.0, 1.0)])
def test_voigt_half_width_against_scipy(sigma, gamma):
    half, _, _ = t.profile_geometry("voigt", [sigma, gamma], arr(), 1.0)
    peak = sp.voigt_profile(0.0, sigma, gamma)
    exact = so.brentq(lambda x: sp.voigt_profile(x, sigma, gamma) - peak / 2, 0, 10 * (sigma + gamma))
    # The approximation's worst case is about 2.1e-4 relative, near gamma = sigma / 2.
    assert abs(half - exact) <= 2.5e-4 * exact


def test_smoothed_box_hwhm_and_supports():
    half, _, reach = t.profile_geometry("smoothed_box", [2.0, 0.3], arr(), 4.0)
    assert half == 2.0 and reach == (2.0 + 4.0 * 0.3, 2.0 + 4.0 * 0.3)
    half, _, _ = t.profile_geometry("smoothed_box", [0.1, 1.0], arr(), 4.0)
    assert half == pytest.approx(math.sqrt(2 * LN2))
    _, _, reach = t.profile_geometry("super_gaussian", [1.0, 3.0, 2.0], arr(), 2.0)
    assert reach == (2.0, 6.0)
    for kind, params in [("lorentzian", [2.0]), ("voigt", [1.0, 0.5]), ("pseudo_voigt", [1.5, 0.3])]:
        half, _, reach = t.profile_geometry(kind, params, arr(), 5.0)
        assert reach == (5.0 * half, 5.0 * half)
    _, _, reach = t.profile_geometry("matern_five_halves", [0.8], arr(), 3.0)
    assert reach == (3.0 * 0.8, 3.0 * 0.8)


def test_steps_are_positive_and_finite():
    # What makes adaptive stepping end; how small the steps are is judged by accuracy below.
    r = np.concatenate([[0.0], np.logspace(-12, 3, 40)])
    for kind, params, _, _, _ in CLOSED_FORMS:
        _, steps, _ = t.profile_geometry(kind, params, r, 1.0)
        assert np.all(steps > 0) and np.all(np.isfinite(steps)), kind


def super_gaussian_side(h, power, cutoff):
    """h * int_0^cutoff exp(-ln2 u^power) du, by the regularised lower incomplete gamma function."""
    a = 1 / power
    return h * LN2 ** -a * sp.gamma(a) * sp.gammainc(a, LN2 * cutoff ** power) / power


# Powers near 1 put a kink (an infinite slope for power < 2) at the center; large powers put
# steep flanks at the half widths: the two places where the steps must be small.
@pytest.mark.parametrize("power", [1.0, 1.0001, 1.01, 1.3, 2.0, 8.0, 40.0])
@pytest.mark.parametrize("left, right", [(0.5, 0.5), (0.05, 2.0), (3.0, 0.2)])
def test_super_gaussian_integrals_are_accurate_at_kinks_and_flanks(power, left, right):
    c, cutoff, omega = 1.7, 6.0, 7.0
    space = Space.super_gaussians(arr(c), arr(left), arr(right), arr(power), cutoff)
    whole = super_gaussian_side(left, power, cutoff) + super_gaussian_side(right, power, cutoff)
    assert space.integrals()[0] == pytest.approx(whole, rel=2e-13, abs=0)

    def f(x):
        return math.exp(-LN2 * (abs(x - c) / (left if x < c else right)) ** power)
    # Pieces split at the center and the half widths; QUADPACK's cosine rule for the weight.
    edges = [c - cutoff * left, c - left, c, c + right, c + cutoff * right]
    ref = sum(si.quad(f, lo, hi, weight="cos", wvar=omega, limit=500, epsabs=1e-14, epsrel=1e-12)[0]
              for lo, hi in zip(edges[:-1], edges[1:]))
    assert abs(space.integrals(weight=omega)[0] - ref) <= 1e-13 * whole


@pytest.mark.parametrize("cutoff", [0.0, -1.0, math.inf, math.nan])
def test_cutoff_must_be_positive(cutoff):
    with pytest.raises(ValueError, match=f"^cutoff must be finite and > 0, got {cutoff if cutoff else 0:g}$".replace(
            "inf", "inf").replace("nan", "NaN")):
        t.profile_geometry("gaussian", [1.0], arr(), cutoff)
    with pytest.raises(ValueError, match="^cutoff must be finite and > 0, got "):
        Space.gaussians(arr(0.0), arr(1.0), cutoff)


def test_subnormal_cutoff_is_accepted():
    space = Space.gaussians(arr(1.0), arr(1.0), 5e-324)
    assert len(space) == 1 and space.lower()[0] <= 1.0 <= space.upper()[0]


def test_profile_list_length_and_center():
    lower, upper = t.profile_space("gaussian", [1.0], 1, arr(0.0, 10.0), 3.0)
    np.testing.assert_array_equal(lower, [-3.0, 7.0])
    np.testing.assert_array_equal(upper, [3.0, 13.0])
    lower, _ = t.profile_space("lorentzian", [1.0], 3, arr(0.0, 1.0, 2.0), 2.0)
    np.testing.assert_array_equal(lower, [-2.0, -1.0, 0.0])
    with pytest.raises(ValueError, match="^profiles has length 2, expected 1 or 3$"):
        t.profile_space("gaussian", [1.0], 2, arr(0.0, 1.0, 2.0), 3.0)
    for bad in (math.nan, math.inf):
        with pytest.raises(ValueError, match="^profile center must be finite$"):
            Space.gaussians(arr(0.0, bad), arr(1.0, 1.0), 3.0)


def test_support_that_overflows_is_refused():
    with pytest.raises(ValueError, match=r"^profile support must be finite, got \[-inf, inf\]$"):
        Space.lorentzians(arr(0.0), arr(1e300), 1e10)
    # A finite reach can still overflow at a center near the largest double.
    with pytest.raises(ValueError, match=r"^profile support must be finite, got \[1\d{308}, inf\]$"):
        Space.gaussians(arr(1.7e308), arr(1e307), 2.0)
    assert len(Space.gaussians(arr(0.0), arr(1.0), 1e308)) == 1  # large but finite


def test_parameter_names():
    names = ["center", "scale", "sigma", "gamma", "eta", "power", "asymmetry", "half_width"]
    assert t.parameter_names() == names
    assert t.parameter_named("half_width") == 7 and t.parameter_named("Sigma") is None


# ---- Python constructors ---------------------------------------------------------------------

CONSTRUCTORS = {
    "gaussians": (Space.gaussians, ["sigma"]),
    "lorentzians": (Space.lorentzians, ["hwhm"]),
    "voigts": (Space.voigts, ["sigma", "gamma"]),
    "pseudo_voigts": (Space.pseudo_voigts, ["hwhm", "eta"]),
    "smoothed_boxes": (Space.smoothed_boxes, ["half_width", "sigma"]),
    "super_gaussians": (Space.super_gaussians, ["hwhm_left", "hwhm_right", "power"]),
}
GOOD = {"sigma": 1.0, "hwhm": 1.0, "gamma": 0.5, "eta": 0.5, "half_width": 1.0, "hwhm_left": 1.0,
        "hwhm_right": 2.0, "power": 2.0}


def build(name, centers, cutoff=3.0, **override):
    make, params = CONSTRUCTORS[name]
    n = len(centers)
    arrays = [override.get(p, np.full(n, GOOD[p])) for p in params]
    return make(np.asarray(centers, float), *arrays, cutoff)


@pytest.mark.parametrize("name", CONSTRUCTORS)
def test_every_element_peaks_at_one_at_its_center(name):
    centers = arr(-3.0, 0.5, 1e6)
    space = build(name, centers)
    assert len(space) == 3
    np.testing.assert_array_equal(space.centers(), centers)
    np.testing.assert_allclose(np.diag(evaluated(space, centers)), 1.0, rtol=2e-16, atol=0)


@pytest.mark.parametrize("name", CONSTRUCTORS)
def test_parameter_array_shorter_than_centers(name):
    params = CONSTRUCTORS[name][1]
    for p in params:
        with pytest.raises(ValueError, match=f"^{p} has length 1 but centers has length 2$"):
            build(name, [0.0, 1.0], **{p: arr(1.0)})
    # Values beyond the number of centers are ignored, and with no centers nothing is validated.
    longer = build(name, [0.0], **{p: np.full(3, GOOD[p]) for p in params})
    assert len(longer) == 1
    empty = build(name, [], -1.0, **{p: arr(-5.0) for p in params})
    assert len(empty) == 0


@pytest.mark.parametrize("name, param, bad, message", [
    ("gaussians", "sigma", 0.0, "sigma must be finite and > 0, got 0"),
    ("gaussians", "sigma", -0.0, "sigma must be finite and > 0, got -0"),
    ("lorentzians", "hwhm", math.inf, "hwhm must be finite and > 0, got inf"),
    ("pseudo_voigts", "hwhm", math.nan, "hwhm must be finite and > 0, got NaN"),
    ("pseudo_voigts", "eta", 1.5, "pseudo-Voigt eta must be in [0, 1], got 1.5"),
    ("pseudo_voigts", "eta", math.nan, "pseudo-Voigt eta must be in [0, 1], got NaN"),
    ("pseudo_voigts", "eta", -1e-7, "pseudo-Voigt eta must be in [0, 1], got -0.0000001"),
    ("smoothed_boxes", "half_width", -1.0, "half_width must be finite and > 0, got -1"),
    ("smoothed_boxes", "sigma", 0.0, "sigma must be finite and > 0, got 0"),
    ("super_gaussians", "hwhm_left", 0.0, "hwhm_left must be finite and > 0, got 0"),
    ("super_gaussians", "hwhm_right", -2.5, "hwhm_right must be finite and > 0, got -2.5"),
    ("super_gaussians", "power", 0.5, "super-Gaussian power must be >= 1, got 0.5"),
    ("super_gaussians", "power", math.inf, "super-Gaussian power must be >= 1, got inf"),
    ("voigts", "sigma", -1.0, "voigt needs finite sigma >= 0 and gamma >= 0"),
    ("voigts", "gamma", math.nan, "voigt needs finite sigma >= 0 and gamma >= 0"),
])
def test_parameter_messages(name, param, bad, message):
    with pytest.raises(ValueError) as info:
        build(name, [0.0, 1.0], **{param: arr(1.0, bad) if param != "gamma" else arr(0.5, bad)})
    assert str(info.value) == message


def test_parameter_checks_come_before_centers_and_cutoff():
    with pytest.raises(ValueError, match="^sigma must be"):
        Space.gaussians(arr(math.nan), arr(-1.0), 0.0)
    with pytest.raises(ValueError, match="^profile center must be finite$"):
        Space.gaussians(arr(math.nan), arr(1.0), 0.0)


def test_voigt_degenerate_cases():
    with pytest.raises(ValueError, match="^voigt needs sigma > 0 or gamma > 0$"):
        Space.voigts(arr(0.0), arr(0.0), arr(-0.0), 3.0)
    x = np.linspace(-4, 4, 33)
    lorentz = Space.voigts(arr(0.0), arr(0.0), arr(1.0), 3.0)
    np.testing.assert_array_equal(lorentz.upper(), [3.0])  # cutoff times the Lorentzian hwhm
    np.testing.assert_array_equal(evaluated(lorentz, x), evaluated(Space.lorentzians(arr(0.0), arr(1.0), 3.0), x))
    gauss = Space.voigts(arr(0.0), arr(2.0), arr(0.0), 3.0)
    np.testing.assert_array_equal(gauss.upper(), [6.0])  # cutoff times sigma
    np.testing.assert_array_equal(evaluated(gauss, x), evaluated(Space.gaussians(arr(0.0), arr(2.0), 3.0), x))
    # gamma / sigma beyond the double range: the Gaussian part is below resolution.
    tiny = Space.voigts(arr(0.0), arr(5e-324), arr(1.0), 3.0)
    np.testing.assert_array_equal(evaluated(tiny, x), evaluated(lorentz, x))


def test_voigt_space_against_scipy_normalised_to_peak():
    centers = arr(-2.0, 0.0, 3.0)
    sigma, gamma = arr(0.5, 1.0, 0.2), arr(0.5, 0.1, 1.0)
    space = Space.voigts(centers, sigma, gamma, 10.0)
    x = np.linspace(-8, 10, 301)
    got = evaluated(space, x).T
    for i in range(3):
        ref = sp.voigt_profile(x - centers[i], sigma[i], gamma[i]) / sp.voigt_profile(0, sigma[i], gamma[i])
        inside = (x >= space.lower()[i]) & (x <= space.upper()[i])
        np.testing.assert_allclose(got[i, inside], ref[inside], rtol=1e-13, atol=1e-16)
        assert np.all(got[i, ~inside] == 0)


def test_gaussian_support_ends_are_included():
    space = Space.gaussians(arr(0.0), arr(1.0), 3.0)
    np.testing.assert_array_equal(space.lower(), [-3.0])
    np.testing.assert_array_equal(space.upper(), [3.0])
    values = evaluated(space, arr(3.0, np.nextafter(3.0, 4.0), -3.0, np.nextafter(-3.0, -4.0)))
    np.testing.assert_array_equal(values[:, 0], [math.exp(-4.5), 0.0, math.exp(-4.5), 0.0])
    assert evaluated(Space.lorentzians(arr(0.0), arr(2.0), 3.0), arr(2.0))[0, 0] == 0.5


def test_values_use_the_exact_offset_from_the_center():
    # Far from the origin the offset x - center is exact, so the element matches one at 0.
    offsets = np.linspace(-3e-3, 3e-3, 41)
    far = evaluated(Space.gaussians(arr(1e8), arr(1e-3), 4.0), 1e8 + offsets)
    near = evaluated(Space.gaussians(arr(0.0), arr(1e-3), 4.0), (1e8 + offsets) - 1e8)
    np.testing.assert_array_equal(far, near)


def test_constructor_arguments():
    with pytest.raises(TypeError, match="sigma"):
        Space.gaussians(arr(0.0), [1.0], 3.0)
    with pytest.raises(TypeError, match="centers"):
        Space.voigts(np.array([0], dtype=np.float32), arr(1.0), arr(1.0), 3.0)
    with pytest.raises(TypeError, match="cutoff"):
        Space.lorentzians(arr(0.0), arr(1.0), "3")
    with pytest.raises(TypeError, match="power"):
        Space.super_gaussians(arr(0.0), arr(1.0), arr(1.0), np.ones((1, 1)), 3.0)
    by_keyword = Space.pseudo_voigts(cutoff=2, eta=arr(0.5), hwhm=arr(1.0), centers=arr(0.0))
    np.testing.assert_array_equal(by_keyword.upper(), [2.0])
    reversed_view = arr(3.0, 2.0, 1.0)[::-1]
    np.testing.assert_array_equal(Space.smoothed_boxes(reversed_view, arr(1, 1, 1), arr(1, 1, 1), 1.0).centers(),
                                  [1.0, 2.0, 3.0])


# ---- profiles in integration -------------------------------------------------------------------

SPACES = {
    "gaussians": lambda: Space.gaussians(arr(0.3, 4.0), arr(0.5, 1.2), 6.0),
    "lorentzians": lambda: Space.lorentzians(arr(0.3, 4.0), arr(0.5, 1.2), 30.0),
    "voigts": lambda: Space.voigts(arr(0.3, 4.0), arr(0.5, 0.2), arr(0.3, 1.0), 20.0),
    "pseudo_voigts": lambda: Space.pseudo_voigts(arr(0.3, 4.0), arr(0.5, 1.2), arr(0.2, 0.9), 20.0),
    "smoothed_boxes": lambda: Space.smoothed_boxes(arr(0.3, 4.0), arr(1.0, 0.2), arr(0.1, 0.4), 6.0),
    "super_gaussians": lambda: Space.super_gaussians(arr(0.3, 4.0), arr(0.5, 1.0), arr(1.0, 0.4), arr(1.0, 6.0),
                                                     5.0),
}


def element_function(space, i):
    lo, hi = space.lower()[i], space.upper()[i]
    sub = space.take([i])
    def f(x):
        return evaluated(sub, np.atleast_1d(float(x)))[0, 0] if lo <= x <= hi else 0.0
    return f, lo, hi, space.centers()[i]


@pytest.mark.parametrize("name", SPACES)
@pytest.mark.parametrize("omega", [None, 2.5])
def test_integrals_against_quad(name, omega):
    space = SPACES[name]()
    got = space.integrals(weight=omega)
    for i in range(len(space)):
        f, lo, hi, c = element_function(space, i)
        g = (lambda x: f(x)) if omega is None else (lambda x: f(x) * math.cos(omega * x))
        ref = si.quad(g, lo, hi, points=[c], limit=500, epsabs=1e-14, epsrel=1e-12)[0]
        assert abs(got[i] - ref) <= 1e-10 * max(abs(ref), 1e-3), (i, got[i], ref)


@pytest.mark.parametrize("name", SPACES)
@pytest.mark.parametrize("omega", [None, 1.7])
def test_inner_products_with_cubic_bsplines_against_quad(name, omega):
    from scipy.interpolate import BSpline
    space = SPACES[name]()
    knots = np.linspace(-3, 8, 12)
    basis = Space.bsplines(knots, 3)
    got = checked(inner_products(space, basis, weight=omega), (2, 8))
    for i in range(2):
        f, lo, hi, c = element_function(space, i)
        for j in range(8):
            b = BSpline.basis_element(knots[j:j + 5], extrapolate=False)
            a, z = max(lo, knots[j]), min(hi, knots[j + 4])
            if a >= z:
                assert got[i, j] == 0
                continue
            w = (lambda x: 1.0) if omega is None else (lambda x: math.cos(omega * x))
            pts = [p for p in [c, *knots[j:j + 5]] if a < p < z]
            ref = si.quad(lambda x: f(x) * np.nan_to_num(b(x)) * w(x), a, z, points=pts or None, limit=500,
                          epsabs=1e-14, epsrel=1e-12)[0]
            assert abs(got[i, j] - ref) <= 1e-10 * max(abs(ref), 1e-4), (i, j, got[i, j], ref)


def test_measure_normalises_profile_kernels():
    kernels = SPACES["voigts"]()
    basis = Space.hats(np.linspace(-30, 40, 141))
    indptr, indices, data, shape = measure(kernels, basis, "integral")
    integrals = kernels.integrals()
    g_indptr, g_indices, g_data, _ = inner_products(kernels, basis)
    np.testing.assert_array_equal(indices, g_indices)
    for i in range(2):
        np.testing.assert_allclose(data[indptr[i]:indptr[i + 1]], g_data[g_indptr[i]:g_indptr[i + 1]] / integrals[i],
                                   rtol=1e-15)
    # The hats cover the kernels' supports and sum to 1 there, so every row sums to 1.
    np.testing.assert_allclose([data[indptr[i]:indptr[i + 1]].sum() for i in range(2)], 1.0, rtol=1e-12)


def test_projection_of_a_gaussian_onto_fine_splines():
    src = Space.gaussians(arr(5.0), arr(1.0), 6.0)
    dst = Space.bsplines_clamped(np.linspace(-2, 12, 57), 3)
    coefficients = Projection(src, dst).to_dense()[:, 0]
    x = np.linspace(0, 10, 101)
    approx = evaluated(dst, x) @ coefficients
    np.testing.assert_allclose(approx, np.exp(-(x - 5) ** 2 / 2), atol=2e-5)


def test_mapped_profile_keeps_its_integral():
    space = Space.lorentzians(arr(2.0), arr(0.5), 20.0)
    mapped = space.mapped("affine", 1.0, 3.0, True)
    np.testing.assert_allclose(mapped.integrals(), space.integrals(), rtol=1e-12)
    np.testing.assert_allclose(space.mapped("affine", 1.0, 3.0, False).integrals(), 3 * space.integrals(), rtol=1e-12)


def test_profile_elements_have_no_derivative():
    with pytest.raises(ValueError, match="^only piecewise-polynomial elements have derivatives$"):
        Space.gaussians(arr(0.0), arr(1.0), 3.0).derivative(1)


def fine_panels(lo, hi, knots, center):
    # Nodes and weights of 32 8-point panels per knot interval of [lo, hi], split at the center.
    nodes, weights = np.polynomial.legendre.leggauss(8)
    edges = np.unique(np.clip(np.r_[lo, hi, knots, center], lo, hi))
    panels = np.concatenate([np.linspace(a, b, 33)[:-1] for a, b in zip(edges[:-1], edges[1:])] + [[hi]])
    mid, half = (panels[1:] + panels[:-1]) / 2, (panels[1:] - panels[:-1]) / 2
    return (mid[:, None] + half[:, None] * nodes).ravel(), np.repeat(half, 8) * np.tile(weights, len(mid))


@pytest.mark.parametrize("sigma, gamma", [(1.0, 1e-9), (1.0, 0.1), (1.0, 1.0), (0.3, 1.0), (0.001, 1.0)])
@pytest.mark.parametrize("spacing", [0.15, 1.1, 4.0, 20.0])
def test_voigt_products_at_rounding_level_against_fine_panels(sigma, gamma, spacing):
    # The integration steps are sized by accuracy, and runs of steps share one rule of higher
    # order; 32 8-point panels per knot interval of scipy's profile are converged far below the
    # tolerance, in every regime from Gaussian to Lorentzian. Knots 20 widths apart leave whole
    # tails, whose steps grow with the distance, within one interval.
    from scipy.interpolate import BSpline
    space = Space.voigts(arr(0.0, 1.37), arr(sigma, sigma), arr(gamma, gamma), 12.0)
    knots = np.arange(-15.0 - 3 * spacing, 16.5 + 3 * spacing, spacing) * max(sigma, gamma)
    got = checked(inner_products(space, Space.bsplines(knots, 3)))
    peak = sp.voigt_profile(0.0, sigma, gamma)
    for i, c in enumerate(space.centers()):
        x, w = fine_panels(space.lower()[i], space.upper()[i], knots, c)
        f = sp.voigt_profile(x - c, sigma, gamma) / peak * w
        for j in range(len(knots) - 4):
            inside = (x > knots[j]) & (x < knots[j + 4])
            b = BSpline.basis_element(knots[j:j + 5], extrapolate=False)(x[inside])
            assert abs(got[i, j] - f[inside] @ b) <= 2e-14 * np.abs(got[i]).max(), (i, j)


def voigt_slope(t, sigma, gamma):
    # d/dt Re w(z), z = (t + i gamma) / (sigma sqrt 2), w' = -2 z w + 2i / sqrt(pi); beyond |z| = 8,
    # where that difference cancels, from the asymptotic series of z w.
    s = sigma * np.sqrt(2)
    z = (t + 1j * gamma) / s
    d = -2 * z * sp.wofz(z) + 2j / np.sqrt(np.pi)
    far = np.abs(z) > 8
    q = 1 / (2 * z[far] ** 2)
    term, total = np.ones_like(q), np.zeros_like(q)
    for k in range(1, 40):
        term = term * (2 * k - 1) * q
        total += term
    d[far] = -2j / np.sqrt(np.pi) * total
    return d.real / s


@pytest.mark.parametrize("sigma", [1.0, 0.01])
def test_voigt_center_derivatives_over_long_knot_intervals_against_fine_panels(sigma):
    # Knots 30 widths apart hold a whole tail in one interval; a rule spanning steps from a width
    # to ten widths out would lose digits there. The reference: 32 8-point panels per interval of
    # the slope, plus the cut ends' terms, which move with the center.
    from scipy.interpolate import BSpline
    gamma, spacing = 1.0, 30.0
    space = Space.voigts(arr(0.0, 1.37), arr(sigma, sigma), arr(gamma, gamma), 10.0)
    knots = np.arange(-4, 5) * spacing
    got = checked(measure_derivative(space, Space.bsplines(knots, 3), "none", "center")[1])
    peak = sp.wofz(1j * gamma / (sigma * np.sqrt(2))).real
    for i, c in enumerate(space.centers()):
        lo, hi = space.lower()[i], space.upper()[i]
        x, w = fine_panels(lo, hi, knots, c)
        f = -voigt_slope(x - c, sigma, gamma) / peak * w
        ends = sp.wofz((np.array([lo, hi]) - c + 1j * gamma) / (sigma * np.sqrt(2))).real / peak
        want = np.zeros(len(knots) - 4)
        for j in range(len(want)):
            b = BSpline.basis_element(knots[j:j + 5], extrapolate=False)
            inside = (x > knots[j]) & (x < knots[j + 4])
            want[j] = f[inside] @ b(x[inside]) + np.nan_to_num(b(np.array([lo, hi]))) @ (ends * [-1, 1])
        np.testing.assert_allclose(got[i], want, rtol=0, atol=2e-13 * np.abs(want).max())


@pytest.mark.parametrize("sigma", [1e-3, 1e-6])
def test_voigt_slope_keeps_its_digits_towards_the_lorentzian_limit(sigma):
    # Far from the center (|z| large) the slope is a small difference of two large terms; it must
    # approach the Lorentzian's, from which the Voigt differs by O(sigma^2).
    space = Space.voigts(arr(0.0), arr(sigma), arr(1.0), 100.0)
    x = np.array([0.3, 1.0, 3.0, 10.0, 50.0])
    slope = checked(measure_derivative(space, Space.deltas(x), "none", "center")[1])[0]
    lorentzian = 2 * x / (1 + x * x) ** 2
    np.testing.assert_allclose(slope, lorentzian, rtol=400 * sigma ** 2, atol=0)
