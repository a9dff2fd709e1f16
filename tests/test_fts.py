"""FTS instrument line shapes: apodization table, line shape and slope, Space.fts and its checks."""

import inspect
import math
import warnings

import numpy as np
import pytest
from scipy.integrate import IntegrationWarning, quad

from reference_elements import bspline_refs, piecewise_quad
from spanlet._spanlet import Space, inner_products, measure
from _spanlet_tests import fts_line_shape
from conftest import arr, dense, evaluated

GIVE_ONE = "give one of apodization (a name), cosine_sum (1-4 coefficients) or polynomial (1-5 coefficients)"

# The windows A(u) on u in [-1, 1], written out independently of the implementation.
WINDOWS = {
    "boxcar": lambda u: 1.0,
    "hann": lambda u: 0.5 + 0.5 * math.cos(math.pi * u),
    "hamming": lambda u: 0.54 + 0.46 * math.cos(math.pi * u),
    "blackman": lambda u: 0.42 + 0.5 * math.cos(math.pi * u) + 0.08 * math.cos(2 * math.pi * u),
    "blackman_harris": lambda u: (0.35875 + 0.48829 * math.cos(math.pi * u) + 0.14128 * math.cos(2 * math.pi * u)
                                  + 0.01168 * math.cos(3 * math.pi * u)),
    "triangle": lambda u: 1 - abs(u),
    "norton_beer_weak": lambda u: 0.384093 - 0.087577 * (1 - u * u) + 0.703484 * (1 - u * u) ** 2,
    "norton_beer_medium": lambda u: 0.152442 - 0.136176 * (1 - u * u) + 0.983734 * (1 - u * u) ** 2,
    "norton_beer_strong": lambda u: 0.045335 + 0.554883 * (1 - u * u) ** 2 + 0.399782 * (1 - u * u) ** 4,
}
ALIASES = [("none", "boxcar"), ("hanning", "hann"), ("happ_genzel", "hamming")]


def cosine_transform(window, theta):
    """The integral of A(u) cos(theta u) over [-1, 1]; A is even, so twice the half range."""
    with warnings.catch_warnings():
        # quad reports "roundoff" when the integral is already at rounding level.
        warnings.simplefilter("ignore", IntegrationWarning)
        return 2 * quad(lambda u: window(u) * math.cos(theta * u), 0, 1, epsabs=1e-15, epsrel=1e-14, limit=400)[0]


def fts_ref(window, max_opd, center):
    peak = cosine_transform(window, 0)
    return lambda t: cosine_transform(window, 2 * math.pi * max_opd * (t - center)) / peak


@pytest.mark.parametrize("name", WINDOWS)
def test_line_shape_is_the_cosine_transform_of_the_window(name):
    theta = np.concatenate([[0.0, 5e-5, -3e-4, 1e-3], np.linspace(-40, 40, 161), [3.999, 4.0, 2 * math.pi]])
    values, _ = fts_line_shape(theta, name)
    want = [cosine_transform(WINDOWS[name], t) for t in theta]
    np.testing.assert_allclose(values, want, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("name", WINDOWS)
def test_line_shape_slope_matches_central_differences(name):
    theta = np.concatenate([[0.0, 2e-4, -7e-4, 0.5], np.linspace(-30, 30, 41) + 0.1])
    h = 1e-5
    _, slope = fts_line_shape(theta, name)
    up, _ = fts_line_shape(theta + h, name)
    down, _ = fts_line_shape(theta - h, name)
    np.testing.assert_allclose(slope, (up - down) / (2 * h), rtol=1e-7, atol=1e-10)


def test_series_branches_join_smoothly():
    # sinc and its slope switch to short series near 0; both sides of each switch agree.
    for edge in (1e-4, 1e-3):
        theta = np.array([np.nextafter(edge, 0), edge, -edge, np.nextafter(-edge, 0)])
        values, slopes = fts_line_shape(theta, "boxcar")
        np.testing.assert_allclose(values, 2 * np.sinc(theta / np.pi), rtol=1e-15)
        # The Taylor series of sinc' to four terms; the closed form cancels too much to serve here.
        t2 = theta * theta
        want = 2 * theta * (-1 / 3 + t2 * (1 / 30 - t2 * (1 / 840 - t2 / 45360)))
        np.testing.assert_allclose(slopes, want, rtol=1e-9)


@pytest.mark.parametrize("name", WINDOWS)
def test_fts_elements_are_peak_normalised_line_shapes(name):
    centers, max_opd = arr(-1.0, 0.5, 3.0), arr(0.8, 2.0, 1.25)
    space = Space.fts(centers, max_opd, 6.0, name)
    np.testing.assert_allclose(space.centers(), centers)
    np.testing.assert_allclose(space.upper() - centers, 6.0 * 0.5 / max_opd, rtol=1e-15)
    np.testing.assert_allclose(centers - space.lower(), 6.0 * 0.5 / max_opd, rtol=1e-15)
    x = np.linspace(-6, 8, 57)
    got = evaluated(space, x)
    for i, (c, m) in enumerate(zip(centers, max_opd)):
        ref = fts_ref(WINDOWS[name], m, c)
        inside = (x >= space.lower()[i]) & (x <= space.upper()[i])
        want = np.where(inside, [ref(t) for t in x], 0.0)
        np.testing.assert_allclose(got[:, i], want, rtol=1e-11, atol=1e-13)
    np.testing.assert_allclose(evaluated(space, centers).diagonal(), 1.0, rtol=1e-15)


def test_boxcar_and_triangle_closed_forms():
    x = np.linspace(-1.9, 1.9, 77)
    box = evaluated(Space.fts(arr(0.0), arr(1.0), 4.0, "boxcar"), x)[:, 0]
    np.testing.assert_allclose(box, np.sinc(2 * x), rtol=1e-13, atol=1e-15)
    assert abs(evaluated(Space.fts(arr(0.0), arr(1.0), 4.0, "boxcar"), [0.5])[0, 0]) < 1e-15
    tri = evaluated(Space.fts(arr(0.0), arr(0.5), 4.0, "triangle"), x)[:, 0]
    np.testing.assert_allclose(tri, np.sinc(0.5 * x) ** 2, rtol=1e-13, atol=1e-15)
    assert abs(evaluated(Space.fts(arr(0.0), arr(0.5), 4.0, "triangle"), [2.0])[0, 0]) < 1e-15


@pytest.mark.parametrize("alias, name", ALIASES)
def test_aliases_build_identical_spaces(alias, name):
    x = np.linspace(-3, 3, 31)
    a = Space.fts(arr(0.0, 1.0), arr(1.0, 1.5), 5.0, alias)
    b = Space.fts(arr(0.0, 1.0), arr(1.0, 1.5), 5.0, name)
    np.testing.assert_array_equal(evaluated(a, x), evaluated(b, x))


@pytest.mark.parametrize("keyword, coefficients, name, rtol", [
    ("cosine_sum", [0.5, 0.5], "hann", 0),
    ("cosine_sum", [0.35875, 0.48829, 0.14128, 0.01168], "blackman_harris", 0),
    ("polynomial", [0.045335, 0, 0.554883, 0, 0.399782], "norton_beer_strong", 0),
    # 2 j_0(theta) against 2 sinc(theta): the same function along two routes.
    ("polynomial", [1], "boxcar", 1e-14),
])
def test_coefficients_match_named_windows(keyword, coefficients, name, rtol):
    x = np.linspace(-3, 3, 61)
    a = Space.fts(arr(0.0), arr(1.0), 5.0, **{keyword: coefficients})
    b = Space.fts(arr(0.0), arr(1.0), 5.0, name)
    np.testing.assert_allclose(evaluated(a, x), evaluated(b, x), rtol=rtol, atol=1e-15 if rtol else 0)


def test_tiny_positive_integral_passes_with_a_huge_peak_factor():
    # sinc(pi) is a tiny positive double, so a1 alone has a positive (rounding-level) integral.
    space = Space.fts(arr(0.0), arr(1.0), 3.0, cosine_sum=[0, 1])
    v = evaluated(space, [0.0, 0.25])[:, 0]
    assert v[0] == pytest.approx(1.0)
    assert abs(v[1]) > 1e10


@pytest.mark.parametrize("name", ["hann", "triangle", "norton_beer_medium", "blackman_harris"])
@pytest.mark.parametrize("omega", [None, 2.3])
def test_integrals_match_quadrature(name, omega):
    centers, max_opd = arr(0.3, 2.0), arr(1.5, 0.9)
    space = Space.fts(centers, max_opd, 5.0, name)
    weight = {} if omega is None else {"weight": omega}
    want = [piecewise_quad(fts_ref(WINDOWS[name], m, c), np.linspace(lo, hi, 21), omega)
            for c, m, lo, hi in zip(centers, max_opd, space.lower(), space.upper())]
    np.testing.assert_allclose(space.integrals(**weight), want, rtol=1e-10, atol=1e-12)


@pytest.mark.parametrize("name", ["hamming", "norton_beer_weak"])
@pytest.mark.parametrize("omega", [None, 2.3])
def test_inner_products_with_bsplines_match_quadrature(name, omega):
    space = Space.fts(arr(0.3), arr(1.5), 5.0, name)
    ref = fts_ref(WINDOWS[name], 1.5, 0.3)
    breaks = np.linspace(-2, 2.5, 6)
    basis = Space.bsplines(breaks, 3)
    weight = {} if omega is None else {"weight": omega}
    gram = dense(inner_products(space, basis, **weight))
    for j, b in enumerate(bspline_refs(breaks, 3)):
        lo, hi = max(space.lower()[0], b.lo), min(space.upper()[0], b.hi)
        k = np.unique(np.concatenate([b.knots, np.linspace(lo, hi, 13)]))
        k = k[(k >= lo) & (k <= hi)]
        want = piecewise_quad(lambda t: ref(t) * b.f(t), k, omega) if hi > lo else 0.0
        assert gram[0, j] == pytest.approx(want, rel=1e-9, abs=1e-12)


def test_measure_rows_are_normalised_by_the_kernel_integral():
    kernels = Space.fts(arr(1.0, 2.5), arr(2.0, 3.0), 8.0, "hamming")
    basis = Space.bsplines(np.linspace(-2, 6, 33), 2)
    w = dense(measure(kernels, basis, "integral"))
    g = dense(inner_products(kernels, basis))
    np.testing.assert_allclose(w, g / kernels.integrals()[:, None], rtol=1e-14, atol=1e-16)


@pytest.mark.parametrize("kwargs", [
    {},
    {"cosine_sum": [1, 0, 0, 0, 0]},
    {"polynomial": [1, 0, 0, 0, 0, 0]},
    {"cosine_sum": []},
    {"polynomial": ()},
    {"cosine_sum": [1], "polynomial": [1]},
    {"apodization": "hann", "cosine_sum": [1]},
    {"apodization": "hann", "polynomial": [1]},
    {"apodization": "hann", "cosine_sum": [1], "polynomial": [1]},
    {"apodization": None, "cosine_sum": None, "polynomial": None},
])
def test_one_of_three_forms(kwargs):
    with pytest.raises(ValueError) as info:
        Space.fts(arr(0.0), arr(1.0), 3.0, **kwargs)
    assert str(info.value) == GIVE_ONE


@pytest.mark.parametrize("name, rendered", [
    ("Hann", '"Hann"'), ("BOXCAR", '"BOXCAR"'), ("", '""'), ("hann ", '"hann "'), ('a"b\\c\n', '"a\\"b\\\\c\\n"'),
])
def test_unknown_apodization(name, rendered):
    with pytest.raises(ValueError) as info:
        Space.fts(arr(0.0), arr(1.0), 3.0, name)
    assert str(info.value) == "unknown apodization " + rendered


@pytest.mark.parametrize("max_opd, text", [(0.0, "0"), (-0.0, "-0"), (-2.5, "-2.5"), (math.inf, "inf"),
                                           (math.nan, "NaN")])
def test_max_opd_must_be_positive(max_opd, text):
    with pytest.raises(ValueError) as info:
        Space.fts(arr(0.0, 1.0), arr(1.0, max_opd), 3.0, "hann")
    assert str(info.value) == "max_opd must be finite and > 0, got " + text


@pytest.mark.parametrize("kwargs", [{"cosine_sum": [-1]}, {"polynomial": [-1]}, {"cosine_sum": [math.nan]},
                                    {"polynomial": [0, 0, 0, 0, math.inf]}, {"cosine_sum": [0, 0, 0, 0]}])
def test_apodization_needs_a_positive_integral(kwargs):
    with pytest.raises(ValueError) as info:
        Space.fts(arr(0.0), arr(1.0), 3.0, **kwargs)
    assert str(info.value) == "apodization must have a positive integral"
    # Nothing is validated per center when there are none.
    assert len(Space.fts(arr(), arr(), 3.0, **kwargs)) == 0


def test_checks_run_in_order():
    # A bad max_opd of the first center decides before the apodization's integral does.
    with pytest.raises(ValueError, match="^max_opd must be"):
        Space.fts(arr(0.0), arr(0.0), 0.0, cosine_sum=[-1])
    with pytest.raises(ValueError, match="^apodization must have"):
        Space.fts(arr(math.nan), arr(1.0), 0.0, cosine_sum=[-1])
    with pytest.raises(ValueError) as info:
        Space.fts(arr(0.0), arr(1.0), 0.0, "hann")
    assert str(info.value) == "cutoff must be finite and > 0, got 0"
    with pytest.raises(ValueError) as info:
        Space.fts(arr(math.nan), arr(1.0), 2.0, "hann")
    assert str(info.value) == "profile center must be finite"
    # Only as many max_opd values as centers are read.
    assert len(Space.fts(arr(0.0), arr(1.0, -1.0), 2.0, "hann")) == 1


@pytest.mark.parametrize("center, max_opd, tail", [(0.0, 1e-308, "-inf, inf]"), (1.7e308, 1e-307, ", inf]")])
def test_support_must_be_finite(center, max_opd, tail):
    # A tiny max_opd times the cutoff overflows the support; so does a center near the largest double.
    with pytest.raises(ValueError) as info:
        Space.fts(arr(center), arr(max_opd), 10.0, "hann")
    assert str(info.value).startswith("profile support must be finite, got [")
    assert str(info.value).endswith(tail)


def test_max_opd_shorter_than_centers():
    with pytest.raises(ValueError) as info:
        Space.fts(arr(0.0, 1.0, 2.0), arr(1.0, 1.0), 2.0, "hann")
    assert str(info.value) == "max_opd has length 2 but centers has length 3"


def test_huge_max_opd_keeps_the_center_value():
    # 2 pi max_opd overflows here, while the line shape on its (tiny) support does not.
    space = Space.fts(arr(0.0), arr(1e308), 4.0, "hann")
    v = evaluated(space, [0.0, 0.5 / 1e308])[:, 0]
    assert v[0] == 1.0
    assert v[1] == pytest.approx(cosine_transform(WINDOWS["hann"], math.pi) / cosine_transform(WINDOWS["hann"], 0))


@pytest.mark.parametrize("kwargs, argument, error", [
    ({"centers": [0.0]}, "centers", TypeError),
    ({"max_opd": np.array([1], dtype=np.int64)}, "max_opd", TypeError),
    ({"cutoff": "3"}, "cutoff", TypeError),
    ({"apodization": 1}, "apodization", TypeError),
    ({"apodization": None, "cosine_sum": "ab"}, "cosine_sum", TypeError),
    ({"apodization": None, "cosine_sum": 0.5}, "cosine_sum", TypeError),
    ({"apodization": None, "polynomial": [1, "x"]}, "polynomial", TypeError),
])
def test_argument_types(kwargs, argument, error):
    args = {"centers": arr(0.0), "max_opd": arr(1.0), "cutoff": 3.0, "apodization": "hann"}
    args.update(kwargs)
    with pytest.raises(error, match=argument):
        Space.fts(**args)


def test_signature_and_docstring():
    assert str(inspect.signature(Space.fts)) == (
        "(centers, max_opd, cutoff, apodization=None, cosine_sum=None, polynomial=None)")
    doc = Space.fts.__doc__.splitlines()
    assert doc[-2:] == ["`apodization` is a name, or None with `cosine_sum` (<= 4) or `polynomial` (<= 5)",
                        "coefficients."]
    # Positional and keyword forms agree; coefficient sequences may be any sequence of floats.
    a = Space.fts(arr(0.0), arr(1.0), 3.0, None, (0.5, np.float64(0.5)))
    b = Space.fts(centers=arr(0.0), max_opd=arr(1.0), cutoff=3.0, apodization="hann")
    np.testing.assert_array_equal(evaluated(a, [0.1, 0.7]), evaluated(b, [0.1, 0.7]))


def test_package_face_accepts_array_like_and_pickles():
    import pickle

    import spanlet
    ours = spanlet.Space.fts([0, 1.5], 2, 6, polynomial=np.array([0.2, 0.8]))
    theirs = Space.fts(arr(0.0, 1.5), arr(2.0, 2.0), 6.0, polynomial=[0.2, 0.8])
    x = np.linspace(-2, 4, 37)
    np.testing.assert_array_equal(spanlet.evaluate(ours, x).toarray(), evaluated(theirs, x))
    again = pickle.loads(pickle.dumps(ours))
    np.testing.assert_array_equal(spanlet.evaluate(again, x).toarray(), evaluated(theirs, x))
    assert repr(ours) == "Space(2 FTS line shapes (polynomial) on [-1.5, 3])"


def test_transforms_of_line_shape_spaces():
    space = Space.fts(arr(5.0, 8.0), arr(1.5, 0.7), 6.0, "blackman")
    with pytest.raises(ValueError) as info:
        space.derivative(1)
    assert str(info.value) == "only piecewise-polynomial elements have derivatives"
    assert len(space.take([1])) == 1
    np.testing.assert_array_equal(space.take([1, 0]).integrals(), space.integrals()[::-1])
    # x = 2 + 3u with the Jacobian keeps every integral; the steps carry through the map.
    affine = space.mapped("affine", 2.0, 3.0, True)
    np.testing.assert_allclose(affine.integrals(), space.integrals(), rtol=1e-12)
    # Through x = 10 / u the integral becomes one over u of the line shape at 10 / u times 10 / u^2.
    recip = space.mapped("reciprocal", 10.0, 0.0, False)
    ref = fts_ref(WINDOWS["blackman"], 1.5, 5.0)
    lo, hi = recip.lower()[0], recip.upper()[0]
    want = piecewise_quad(lambda u: ref(10 / u), np.linspace(lo, hi, 200))
    assert recip.integrals()[0] == pytest.approx(want, rel=1e-10)


def test_a_voigt_line_seen_through_fts_kernels_keeps_its_area():
    # The README's spectrum: unit-area kernels sampled finer than 1 / (2 max_opd) sum to about 1,
    # so the recorded spectrum keeps the line's area, and peaks at the line.
    line = Space.voigts(arr(1000.0), arr(0.03), arr(0.05), 60.0)
    grid = np.arange(996.0, 1004.0, 0.125)
    kernels = Space.fts(grid, np.full(grid.size, 2.0), 24.0, "norton_beer_medium")
    spectrum = dense(measure(kernels, line, "integral"))[:, 0]
    assert grid[spectrum.argmax()] == 1000.0
    assert spectrum.sum() * 0.125 == pytest.approx(line.integrals()[0], rel=1e-3)
