"""Harmonic spaces: values, orthogonality through the integration engine, and every check."""

import inspect
import math

import numpy as np
import pytest

from reference_elements import bspline_refs, piecewise_quad
from spanlet._spanlet import Projection, Space, evaluate, inner_products, measure
from _spanlet_tests import harmonic_profile
from conftest import dense

PERIOD_START = "harmonics need a finite period > 0 and a finite start"
PHASE_CENTER = "harmonic phase and center must be finite"


def waves(n, period, start, t):
    """Columns cos 1, sin 1, ..., cos n, sin n of the Fourier basis, zero outside one period."""
    t = np.asarray(t, dtype=float)
    cols = []
    for k in range(1, n + 1):
        arg = 2 * np.pi * k * t / period
        cols += [np.cos(arg), np.sin(arg)]
    inside = (t >= start) & (t <= start + period)
    return np.where(inside[:, None], np.array(cols).T, 0.0)


def test_first_harmonic_on_two():
    space = Space.harmonics(1, 2.0, 0.0)
    np.testing.assert_array_equal(space.lower(), [0, 0])
    np.testing.assert_array_equal(space.upper(), [2, 2])
    np.testing.assert_array_equal(space.centers(), [1, 1])
    v = dense(evaluate(space, np.array([0.5])))[0]
    assert abs(v[0]) < 1e-15 and v[1] == pytest.approx(1, abs=1e-15)


@pytest.mark.parametrize("n, period, start", [(3, 2.0, 0.0), (5, 0.7, -3.1), (4, 1e-3, 2e-3), (2, 40.0, 1e3)])
def test_values_are_the_fourier_basis(n, period, start):
    t = np.concatenate([start + period * np.linspace(0, 1, 101), [start - period * 0.01, start + period * 1.01]])
    got = dense(evaluate(Space.harmonics(n, period, start), t))
    # The stored phase is referred to the center, so rounding grows with start / period.
    tol = 1e-14 * (4 + abs(start) / period) * n
    np.testing.assert_allclose(got, waves(n, period, start, t), rtol=0, atol=tol)


def test_support_is_closed_at_both_ends():
    space = Space.harmonics(3, 2.0, 4.0)
    v = dense(evaluate(space, np.array([4.0, 6.0, np.nextafter(6.0, 7.0), np.nextafter(4.0, 3.0)])))
    # The phase referred to the center (up to 15 pi here) carries a rounding of a few ulps of itself.
    np.testing.assert_allclose(v[:2, 0::2], 1.0, rtol=1e-14)
    np.testing.assert_allclose(v[:2, 1::2], 0.0, atol=3e-14)
    assert not v[2:].any()


@pytest.mark.parametrize("n, period, start", [(4, 2.0, 0.0), (6, 0.3, -1.7), (3, 250.0, 12.5)])
def test_orthogonal_with_norm_half_the_period(n, period, start):
    space = Space.harmonics(n, period, start)
    assert len(space) == 2 * n
    # Rounding of the 8-point sums over 4k steps per wave.
    np.testing.assert_allclose(space.integrals(), 0.0, atol=4e-15 * period)
    gram = dense(inner_products(space, space))
    # The cosine and sine of one harmonic store their phases referred to the center, each rounded:
    # their phase difference is pi/2 only to a few ulps of 2 pi n c / P.
    phase = 2 * np.pi * n * abs(start + period / 2) / period
    tol = period * (4e-15 + 2.3e-16 * phase)
    np.testing.assert_allclose(gram, np.eye(2 * n) * period / 2, rtol=0, atol=tol)


@pytest.mark.parametrize("omega", [0.9, -2.4, 13.0])
def test_weighted_integrals_closed_form(omega):
    n, period, start = 3, 2.5, -0.4
    got = Space.harmonics(n, period, start).integrals(weight=omega)
    a, b = start, start + period
    want = []
    for k in range(1, n + 1):
        q = 2 * np.pi * k / period
        # cos(qt) cos(wt) and sin(qt) cos(wt) as sums of single waves, integrated exactly.
        for trig in ((np.sin, 1), (np.cos, -1)):
            f, sign = trig
            total = 0.0
            for r in (q - omega, q + omega):
                total += sign * (f(r * b) - f(r * a)) / r / 2
            want.append(total)
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-14)


@pytest.mark.parametrize("omega", [None, 1.7])
def test_inner_products_with_bsplines_match_quadrature(omega):
    n, period, start = 3, 3.0, -1.0
    space = Space.harmonics(n, period, start)
    breaks = np.linspace(-2, 3, 9)
    basis = Space.bsplines(breaks, 3)
    weight = {} if omega is None else {"weight": omega}
    gram = dense(inner_products(space, basis, **weight))
    for i in range(2 * n):
        k = i // 2 + 1
        f = (lambda t, k=k: math.cos(2 * math.pi * k * t / period)) if i % 2 == 0 else (
            lambda t, k=k: math.sin(2 * math.pi * k * t / period))
        for j, b in enumerate(basis_refs := bspline_refs(breaks, 3)):
            lo, hi = max(start, b.lo), min(start + period, b.hi)
            want = 0.0
            if hi > lo:
                kn = np.unique(np.clip(np.concatenate([b.knots, np.linspace(lo, hi, 25)]), lo, hi))
                want = piecewise_quad(lambda t: f(t) * b.f(t), kn, omega)
            assert gram[i, j] == pytest.approx(want, rel=1e-10, abs=1e-13), (i, j)
        assert len(basis_refs) == len(basis)


def test_measure_and_projection_through_harmonics():
    # A cos-1 kernel and a box kernel seen through a harmonic basis; rows scale by the kernel integral.
    basis = Space.harmonics(2, 2.0, 0.0)
    kernels = Space.bsplines(np.array([0.0, 0.5, 1.0, 1.5]), 2)
    w = dense(measure(kernels, basis, "integral"))
    g = dense(inner_products(kernels, basis))
    np.testing.assert_allclose(w, g / kernels.integrals()[:, None], rtol=1e-14, atol=1e-16)
    # Projecting the harmonic space onto itself is the identity.
    p = Projection(basis, basis)
    np.testing.assert_allclose(p.to_dense(), np.eye(4), atol=1e-13)


def test_huge_period_keeps_values_finite():
    # The center and phase are finite here, but x (k 2 pi) at the support ends overflows.
    period = 1.5e308
    space = Space.harmonics(1, period, -period / 2)
    t = np.array([-period / 2, -period / 4, 0.0, period / 4, period / 2])
    got = dense(evaluate(space, t))
    want = np.array([[math.cos(2 * math.pi * u), math.sin(2 * math.pi * u)] for u in t / period])
    np.testing.assert_allclose(got, want, atol=1e-15)


@pytest.mark.parametrize("n, period, start, message", [
    (0, 1.0, 0.0, "harmonics need n >= 1"),
    (0, math.nan, math.nan, "harmonics need n >= 1"),
    (1, 0.0, 0.0, PERIOD_START),
    (1, -0.0, 0.0, PERIOD_START),
    (2, -1.0, 0.0, PERIOD_START),
    (1, math.inf, 0.0, PERIOD_START),
    (1, math.nan, 0.0, PERIOD_START),
    (1, 1.0, math.nan, PERIOD_START),
    (1, 1.0, -math.inf, PERIOD_START),
    (1, 1.7e308, 1.7e308, PHASE_CENTER),  # the center overflows
    (1, 1e308, 1e308, PHASE_CENTER),  # the center is finite, the stored phase is not
    (3, 1e308, 0.0, PHASE_CENTER),
])
def test_errors(n, period, start, message):
    with pytest.raises(ValueError) as info:
        Space.harmonics(n, period, start)
    assert str(info.value) == message


def test_subnormal_period_is_accepted():
    space = Space.harmonics(1, 5e-324 * 8, 0.0)
    assert len(space) == 2 and space.upper()[0] > 0


@pytest.mark.parametrize("args, error, argument", [
    ((1.5, 1.0, 0.0), TypeError, "n"),
    (("2", 1.0, 0.0), TypeError, "n"),
    ((-1, 1.0, 0.0), OverflowError, "n"),
    ((2 ** 64, 1.0, 0.0), OverflowError, "n"),
    ((1, "1", 0.0), TypeError, "period"),
    ((1, 1.0, None), TypeError, "start"),
])
def test_argument_types(args, error, argument):
    with pytest.raises(error, match=argument):
        Space.harmonics(*args)


def test_too_many_harmonics_is_a_memory_error():
    with pytest.raises(MemoryError):
        Space.harmonics(2 ** 63, 1.0, 0.0)


def test_signature_and_keywords():
    assert str(inspect.signature(Space.harmonics)) == "(n, period, start)"
    a = Space.harmonics(n=2, period=np.float64(1.5), start=1)
    np.testing.assert_array_equal(a.lower(), [1.0] * 4)


# The profile itself: the builder's checks, its value and its slope.

@pytest.mark.parametrize("args, message", [
    ((0.0, 1.0, 0.0, 0.0), "wavenumber must be finite and > 0, got 0"),
    ((math.inf, 1.0, 0.0, 0.0), "wavenumber must be finite and > 0, got inf"),
    ((1.0, -2.0, 0.0, 0.0), "period must be finite and > 0, got -2"),
    ((1.0, math.nan, 0.0, 0.0), "period must be finite and > 0, got NaN"),
    ((1.0, 1.0, 0.0, math.inf), PHASE_CENTER),
    ((1.0, 1.0, math.nan, 0.0), PHASE_CENTER),
    ((2.0, 1e-300, 0.0, 1e10), PHASE_CENTER),
])
def test_harmonic_builder_errors(args, message):
    with pytest.raises(ValueError) as info:
        harmonic_profile(*args, np.array([0.0]))
    assert str(info.value) == message


@pytest.mark.parametrize("k, period, phase, center", [(1.0, 2.0, 0.0, 1.0), (3.0, 0.5, 0.7, -2.25),
                                                      (7.0, 10.0, -math.pi / 2, 4.0)])
def test_harmonic_value_and_slope(k, period, phase, center):
    x = np.linspace(-period / 2, period / 2, 41)
    values, slopes = harmonic_profile(k, period, phase, center, x)
    t = x + center
    np.testing.assert_allclose(values, np.cos(2 * np.pi * k * t / period + phase), atol=1e-13)
    h = 1e-6 * period
    up, _ = harmonic_profile(k, period, phase, center, x + h)
    down, _ = harmonic_profile(k, period, phase, center, x - h)
    np.testing.assert_allclose(slopes, (up - down) / (2 * h), rtol=1e-6, atol=1e-7 * k / period)


def test_package_face():
    import pickle

    import spanlet
    ours = spanlet.Space.harmonics(np.int64(3), 2, -1)
    theirs = Space.harmonics(3, 2.0, -1.0)
    t = np.linspace(-1, 1, 21)
    np.testing.assert_array_equal(spanlet.evaluate(ours, t).toarray(), dense(evaluate(theirs, t)))
    assert len(pickle.loads(pickle.dumps(ours))) == 6
    assert repr(ours) == "Space(6 harmonic waves on [-1, 1])"
    with pytest.raises(TypeError):
        spanlet.Space.harmonics(2.0, 1.0, 0.0)
