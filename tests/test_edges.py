"""Inputs at the edges: recipes that keep what was built, empty axes, lengths and phases at the ends
of the double range, and costs that stay bounded (each call here ends within a second or two)."""

import pickle

import numpy as np
import pytest

import spanlet
from spanlet import _spanlet as sp

POINTS = np.linspace(-3, 13, 61)


def results(space):
    values = spanlet.evaluate(space, POINTS)
    return values.indptr, values.indices, values.data, space.lower(), space.upper(), space.centers()


def spoil(value):
    """Changes the caller's array or list in place, as a caller reusing its buffer would."""
    if isinstance(value, np.ndarray):
        value[...] = value + 0.25
    elif isinstance(value, list):
        value[0] = value[-1]
        value.append(value[-1])


# (inputs, how to build from them): every constructor and transform that records a recipe.
RECIPES = {
    "bsplines": ([np.arange(8.0)], lambda k: spanlet.Space.bsplines(k, 3)),
    "bsplines_clamped": ([np.arange(6.0)], lambda k: spanlet.Space.bsplines_clamped(k, 2)),
    "bsplines_periodic": ([np.arange(6.0)], lambda k: spanlet.Space.bsplines_periodic(k, 2)),
    "hats": ([np.array([0.0, 1, 2, 3])], spanlet.Space.hats),
    "boxes": ([[0.0, 1, 2, 3]], spanlet.Space.boxes),
    "deltas": ([np.array([0.0, 1, 2])], spanlet.Space.deltas),
    "triangles": ([np.array([1.0, 5]), np.array([0.5, 1])], spanlet.Space.triangles),
    "rectangles": ([np.array([1.0, 5]), np.array([0.5, 1])], spanlet.Space.rectangles),
    "trapezoids": ([np.array([1.0, 5]), np.array([0.5, 1]), np.array([1.0, 2])], spanlet.Space.trapezoids),
    "tabulated": ([np.array([1.0, 5]), np.array([-1.0, 0, 2]), np.array([[0.0, 1, 0], [0, 2, 1]])],
                  lambda c, x, y: spanlet.Space.tabulated(c, x, y, "pchip")),
    "shifted": ([np.array([-1.0, 0, 2]), np.array([0.0, 1, 0.5]), np.array([1.0, 5]), np.array([0.5, 2])],
                lambda x, y, c, s: spanlet.Space.shifted(x, y, c, s, "linear")),
    "fts": ([np.array([2.0, 6]), np.array([1.0, 2]), [0.5, 0.5]],
            lambda c, m, a: spanlet.Space.fts(c, m, 8.0, cosine_sum=a)),
    "fts-polynomial": ([np.array([2.0, 6]), [1.0, 0.5]], lambda c, p: spanlet.Space.fts(c, 1.0, 8.0, polynomial=p)),
    "gaussians": ([np.array([2.0, 6]), np.array([0.5, 1])], lambda c, s: spanlet.Space.gaussians(c, s, 5.0)),
    "lorentzians": ([np.array([2.0, 6]), np.array([0.5, 1])], lambda c, g: spanlet.Space.lorentzians(c, g, 5.0)),
    "voigts": ([np.array([2.0, 6]), np.array([0.5, 1]), np.array([0.2, 0.3])],
               lambda c, s, g: spanlet.Space.voigts(c, s, g, 5.0)),
    "pseudo_voigts": ([np.array([2.0, 6]), np.array([0.5, 1]), np.array([0.2, 0.3])],
                      lambda c, h, e: spanlet.Space.pseudo_voigts(c, h, e, 5.0)),
    "super_gaussians": ([np.array([2.0, 6]), np.array([0.5, 1]), np.array([0.7, 1]), np.array([2.0, 4])],
                        lambda c, l, r, p: spanlet.Space.super_gaussians(c, l, r, p, 3.0)),
    "smoothed_boxes": ([np.array([2.0, 6]), np.array([0.5, 1]), np.array([0.2, 0.3])],
                       lambda c, h, s: spanlet.Space.smoothed_boxes(c, h, s, 5.0)),
    "take": ([[0, 2]], lambda i: spanlet.Space.hats([0.0, 1, 2, 3]).take(i)),
    "take-of-changed-parent": ([np.array([0.0, 1, 2, 3])], lambda x: spanlet.Space.hats(x).take([1, 2])),
    "mapped": ([np.array(0.5), np.array(2.0)], lambda a, b: spanlet.Space.boxes([0.0, 1, 2]).mapped("affine", a, b)),
}


@pytest.mark.parametrize("name", RECIPES)
def test_recipes_keep_what_was_built_when_the_caller_changes_its_inputs(name):
    inputs, build = RECIPES[name]
    space = build(*inputs)
    want, text = results(space), repr(space)
    for value in inputs:
        spoil(value)
    loaded = pickle.loads(pickle.dumps(space))
    assert repr(loaded) == repr(space) == text
    for got, expected in zip(results(loaded), want):
        np.testing.assert_array_equal(got, expected, strict=True)


def test_reproducers_of_pickled_recipes():
    x = np.array([0.0, 1, 2, 3])
    s = spanlet.Space.hats(x)
    x[1] = 1.5
    assert pickle.loads(pickle.dumps(s)).centers().tolist() == [0, 1, 2, 3]
    idx = [0, 2]
    t = spanlet.Space.hats([0.0, 1, 2, 3]).take(idx)
    idx.append(1)
    assert len(pickle.loads(pickle.dumps(t))) == 2


@pytest.mark.parametrize("kind", ["projection", "fit"])
def test_operators_keep_what_was_built(kind):
    x = np.linspace(0, 10, 12)
    weight = np.array(0.1)
    if kind == "projection":
        operator = spanlet.Projection(spanlet.Space.boxes(x), spanlet.Space.hats(x[::2]), weight)
    else:
        operator = spanlet.Fit(spanlet.Space.deltas(x), spanlet.Space.hats(np.linspace(0, 10, 5)), "none", 0.5, "difference", 1,
                               weight)
    want = operator.to_dense()
    spoil(x)
    weight[...] = 3.0
    loaded = pickle.loads(pickle.dumps(operator))
    np.testing.assert_array_equal(loaded.to_dense(), want, strict=True)
    assert repr(loaded) == repr(operator)


@pytest.mark.parametrize("shape", [(3, 0), (0,), (2, 0, 0)])
def test_empty_source_axis_gives_the_zero_rows(shape):
    projection = spanlet.Projection(spanlet.Space.deltas([]), spanlet.Space.hats([0.0, 1, 2]))
    for bounds in (None, "local"):
        got = projection.apply_last_axis(np.zeros(shape), bounds)
        assert got.shape == shape[:-1] + (3,)
        assert not got.any()
    curve = spanlet.Spline(spanlet.Space.deltas([]), np.zeros((3, 0)))
    assert curve([0.5, 1.0]).shape == (3, 2) and not curve([0.5, 1.0]).any()


# The integral of k over the line, per unit length, and -r k'(r) at r = l, for every family.
KERNEL_MASS = {"gaussian": np.sqrt(2 * np.pi), "matern12": 2.0, "matern32": 4 / np.sqrt(3),
               "matern52": 16 / (3 * np.sqrt(5))}
SLOPE_AT_LENGTH = {"gaussian": np.exp(-0.5), "matern12": np.exp(-1.0), "matern32": 3 * np.exp(-np.sqrt(3)),
                   "matern52": 5 * (1 + np.sqrt(5)) / 3 * np.exp(-np.sqrt(5))}


def covariance_and_derivative(dims, space, weight=None):
    value = sp.covariance_diagonal(1.0, dims, [space], [weight])
    k, lengths, _ = sp.covariance_length_derivatives(1.0, dims, [space], [weight])
    np.testing.assert_allclose(k.diagonal(), value, rtol=1e-14)
    return value, lengths[0].diagonal()


@pytest.mark.parametrize("family", KERNEL_MASS)
@pytest.mark.parametrize("length", [1e-12, 1e-17, 1e-20, 1e-100, 1e-300])
@pytest.mark.parametrize("start", [0.0, 3.0, -1e3])
def test_lengths_below_the_axis_resolution_give_the_near_delta_limit(family, length, start):
    # Over a unit box, 2 int_0^1 (1 - r) k(r) dr = I l - 2 l^2 up to terms below 1e-17 of the
    # peak: every family has int_0^inf u k(u) du = 1 at unit length.
    box = sp.Space.boxes(np.array([start, start + 1.0]))
    value, derivative = covariance_and_derivative([(family, length, None, None)], box)
    mass = KERNEL_MASS[family] * length
    np.testing.assert_allclose(value, mass - 2 * length**2, rtol=1e-13)
    np.testing.assert_allclose(derivative, mass - 4 * length**2, rtol=1e-13)


@pytest.mark.parametrize("family", KERNEL_MASS)
def test_near_delta_limit_under_a_weight_and_a_factor(family):
    length, omega = 1e-19, 2.0
    box = sp.Space.boxes(np.array([0.0, 1.0]))
    factor = (sp.Space.boxes(np.array([-1.0, 2.0])), [2.0])
    value, derivative = covariance_and_derivative([(family, length, None, factor)], box, omega)
    # 4 int_0^1 cos^2(w x) dx over the squared weighted integral of the box
    want = KERNEL_MASS[family] * length * 4 * (0.5 + np.sin(2 * omega) / (4 * omega)) / (np.sin(omega) / omega) ** 2
    np.testing.assert_allclose(value, want, rtol=1e-12)
    np.testing.assert_allclose(derivative, want, rtol=1e-12)


def test_reproducer_of_a_length_far_below_the_resolution():
    got = sp.covariance_diagonal(1.0, [("gaussian", 1e-20, None, None)], [sp.Space.boxes(np.array([0.0, 1.0]))],
                                 [None])
    np.testing.assert_allclose(got, [np.sqrt(2 * np.pi) * 1e-20], rtol=1e-14)


@pytest.mark.parametrize("family", KERNEL_MASS)
@pytest.mark.parametrize("length", [1e-170, 1e-300, 1e-310, 5e-321])
def test_length_derivatives_of_the_shortest_lengths_are_finite(family, length):
    points = sp.Space.deltas(np.array([0.0, 0.0, length]))
    k, lengths, _ = sp.covariance_length_derivatives(1.0, [(family, length, None, None)], [points], [None])
    want = np.zeros((3, 3))
    want[2, :2] = want[:2, 2] = SLOPE_AT_LENGTH[family]
    np.testing.assert_allclose(lengths[0], want, rtol=1e-14, atol=0)
    assert k[0, 1] == 1.0
    # and between elements: the kernel seen as a point mass of weight I l, as above
    box = sp.Space.boxes(np.array([0.0, 1.0]))
    value, derivative = covariance_and_derivative([(family, length, None, None)], box)
    assert np.isfinite(derivative).all()
    if length > 1e-300:
        np.testing.assert_allclose([value, derivative], KERNEL_MASS[family] * length, rtol=1e-12)


APODIZATIONS = ["none", "hann", "blackman_harris", "triangle", "norton_beer_strong"]


@pytest.mark.parametrize("apodization", APODIZATIONS)
def test_fts_lines_where_the_phase_passes_the_largest_double(apodization):
    # theta = 2 pi max_opd x overflows inside the support; the shape is O(1 / theta) there.
    space = sp.Space.fts(np.array([0.0]), np.array([2.5]), 1.7976931348623157e308, apodization=apodization)
    x = np.array([1.8e307, -3.5e307, 1e300])
    values = spanlet.evaluate(space, x).toarray().ravel()
    slopes = spanlet.measure_derivative(space, sp.Space.deltas(x), "none", "center")[1].toarray()
    assert np.isfinite(values).all() and np.isfinite(slopes).all()
    assert np.all(np.abs(values) <= 4 / (2 * np.pi) / (2.5 * np.abs(x)))
    if apodization == "none":  # sin(theta) / theta where theta is finite
        theta = 2 * np.pi * 2.5 * x[2]
        np.testing.assert_allclose(values[2], np.sin(theta) / theta, rtol=1e-6)
    # a max_opd whose 2 pi max_opd overflows: the slope at the center is 0, not inf * 0
    huge = sp.Space.fts(np.array([0.0]), np.array([1e308]), 8.0, apodization=apodization)
    slope = spanlet.measure_derivative(huge, sp.Space.deltas(np.array([0.0])), "none", "center")[1].toarray()
    assert np.array_equal(slope, [[0.0]])


# Inputs whose work has no useful bound: each is refused before the work starts, with a message
# naming the parameter at fault (before, they ran for 15 s to hours or exhausted memory).
BOXES_0_4 = sp.Space.boxes(np.array([0.0, 4.0]))
COSTLY_COVARIANCES = {
    "period-box": ([("gaussian", 1e-6, 5e-8, None)], BOXES_0_4, None, "period 0.00000005 is too short"),
    "period-bspline": ([("gaussian", 1e-6, 5e-8, None)], sp.Space.bsplines(np.arange(5.0), 3), None,
                       "period 0.00000005 is too short"),
    "subnormal-period-reciprocal": ([("gaussian", 1e-320, 5e-321, None)],
                                    sp.Space.boxes(np.array([1.0, 2.0])).mapped("reciprocal", 1.0, 1.0, False), None,
                                    "is too short for correlation length"),
    "weight-300": ([("matern52", 1.0, None, None)], sp.Space.boxes(np.array([0.0, 2.9])), 300.0,
                   "correlation length 1, cosine weight 300: one covariance entry"),
    "weight-1000": ([("matern52", 1.0, None, None)], sp.Space.boxes(np.array([0.0, 2.9])), 1000.0,
                    "correlation length 1, cosine weight 1000: one covariance entry"),
    "images-on-a-profile": ([("matern52", 2.8, 0.1, None)],
                            sp.Space.smoothed_boxes(np.array([0.0]), np.array([1.0]), np.array([0.1]), 5.0), None,
                            "period 0.1 is too short for correlation length 2.8"),
    "harmonic-under-a-tiny-length": ([("matern12", 1e-300, None, None)], sp.Space.harmonics(1, 1.0, 0.0), None,
                                     "one covariance entry between these atoms would take more than"),
}


@pytest.mark.parametrize("name", COSTLY_COVARIANCES)
def test_costly_covariance_entries_are_refused_up_front(name):
    dims, atoms, weight, message = COSTLY_COVARIANCES[name]
    for call in (lambda: sp.covariance_diagonal(1.0, dims, [atoms], [weight]),
                 lambda: sp.covariance_length_derivatives(1.0, dims, [atoms], [weight])):
        with pytest.raises(ValueError, match=message):
            call()


def test_steps_counted_before_an_adaptive_integral_starts():
    lines = sp.Space.fts(np.array([0.0]), np.array([1.0]), 1e15, apodization="blackman_harris")
    message = r"adaptive integration over \[-500000000000000, 500000000000000\] needs more than 4194304 steps"
    for call in (lambda: sp.inner_products(lines, lines), lines.integrals):
        with pytest.raises(ValueError, match=message):
            call()
    # the same lines with a cutoff that needs fewer steps are still integrated: sinc^2 over the line
    # is 1 / (2 max_opd) in the limit, the apodized one a little more
    short = sp.Space.fts(np.array([0.0]), np.array([1.0]), 1e4, apodization="none")
    np.testing.assert_allclose(short.integrals(), [0.5], rtol=1e-4)


def voigt_reference(x, sigma, gamma, parameter):
    """d/dparameter of Re w(z) / Re w(i y'), z = (x + i gamma) / (sigma sqrt 2), in 40 digits."""
    mp = pytest.importorskip("mpmath")

    def shape(s, g):
        scale = s * mp.sqrt(2)
        w = lambda z: mp.exp(-z * z) * mp.erfc(-1j * z)  # noqa: E731
        return mp.re(w(mp.mpc(x, g) / scale)) / mp.re(w(mp.mpc(0, g) / scale))

    with mp.workdps(40):
        s, g = mp.mpf(sigma), mp.mpf(gamma)
        if parameter == "sigma":
            return float(mp.diff(lambda v: shape(v, g), s))
        return float(mp.diff(lambda v: shape(s, v), g))


@pytest.mark.parametrize("parameter", ["sigma", "gamma"])
@pytest.mark.parametrize("ratio", [1e-8, 1e-6, 2e-4, 2e-3, 2e-2, 0.2, 1.0, 5.0, 1e2, 1e4, 1e6, 1e8])
def test_voigt_parameter_derivatives_keep_their_digits_towards_both_limits(parameter, ratio):
    gamma = 0.5
    x = np.array([1.0, 0.1, 7.0])
    lines = spanlet.Space.voigts([0.0], ratio * gamma, gamma, 1e12)
    got = spanlet.measure_derivative(lines, spanlet.Space.deltas(x), "none", parameter)[1].toarray().ravel()
    want = [voigt_reference(v, ratio * gamma, gamma, parameter) for v in x]
    np.testing.assert_allclose(got, want, rtol=1e-10, atol=0)


def test_reproducer_of_the_voigt_sigma_derivative_near_the_lorentzian_limit():
    lines = spanlet.Space.voigts([0.0], 1e-4, 0.5, 1e3)
    got = spanlet.measure_derivative(lines, spanlet.Space.deltas([1.0]), "none", "sigma")[1].toarray()
    np.testing.assert_allclose(got, [[voigt_reference(1.0, 1e-4, 0.5, "sigma")]], rtol=1e-12)
    np.testing.assert_allclose(got, [[2.304e-4]], rtol=1e-3)
