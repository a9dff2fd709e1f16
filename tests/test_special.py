"""The Faddeeva function and the scaled spherical Bessel functions.

References: tests/data/*.txt recorded from mpmath at 40 digits by
tools/record_special_references.py, and scipy.special as an independent double-precision peer.
"""

import inspect
import math
from pathlib import Path

import numpy as np
import pytest
import scipy.special as sp

from spanlet import _spanlet
import _spanlet_tests as t

DATA = Path(__file__).parent / "data"


def faddeeva_reference():
    x, y, re, im = np.loadtxt(DATA / "faddeeva.txt").T
    return x, y, re + 1j * im


def complex_w(x, y):
    re, im = t.faddeeva(np.asarray(x, float), np.asarray(y, float))
    return re + 1j * im


# Measured worst cases of |w - w_ref| / |w_ref| are 1.8e-15, 1.1e-15 and 3.8e-16.
@pytest.mark.parametrize("lo, hi, tol", [(0, 1, 2.5e-15), (1, 10, 1.5e-15), (10, np.inf, 8e-16)])
def test_faddeeva_against_recorded_references(lo, hi, tol):
    x, y, ref = faddeeva_reference()
    region = (np.hypot(x, y) >= lo) & (np.hypot(x, y) < hi)
    assert region.sum() > 150
    x, y, ref = x[region], y[region], ref[region]
    w = complex_w(x, y)
    scale = np.abs(ref)
    assert np.max(np.abs(w - ref) / scale) <= tol
    # Each part is as accurate relative to |w|; Re w relative to itself where it is not tiny.
    assert np.max(np.abs(w.real - ref.real) / scale) <= tol
    assert np.max(np.abs(w.imag - ref.imag) / scale) <= tol
    sizable = np.abs(ref.real) > 0.1 * scale
    assert np.max(np.abs(w.real - ref.real)[sizable] / np.abs(ref.real[sizable])) <= 10 * tol


@pytest.mark.parametrize("y", [0.0, 1e-300, 0.7071, 3.0, 1e6, 1e151, -0.5])
def test_faddeeva_at_many_points_keeps_the_bits_of_single_points(y):
    # Runs of points share SIMD lanes; every lane must round as a single point does, whatever the
    # run's length, including non-finite points and those past the expansion's range.
    x = np.concatenate([np.linspace(-40, 40, 97), [0.0, -0.0, 1e-300, 1e151, -1e200, np.inf, -np.inf, np.nan]])
    for n in (1, 3, 4, 5, len(x)):
        got = t.faddeeva_re_shared_y(x[:n], y)
        want = t.faddeeva(x[:n], np.full(n, y))[0]
        same = (got.view(np.int64) == want.view(np.int64)) | (np.isnan(got) & np.isnan(want))  # a NaN's sign is noise
        assert same.all(), n


def test_faddeeva_against_scipy_on_a_wide_grid():
    # scipy's wofz is itself good to about 2.5e-14 relative (mpmath shows it near x = 7.9, y = 4e-6);
    # our own error is an order of magnitude smaller, so the bound is scipy's.
    mags = np.concatenate([[0.0], np.logspace(-12, 14, 80), np.linspace(0.1, 30, 300)])
    x, y = np.meshgrid(np.concatenate([-mags[::3], mags]), mags)
    x, y = x.ravel(), y.ravel()
    ref = sp.wofz(x + 1j * y)
    w = complex_w(x, y)
    assert np.max(np.abs(w - ref) / np.abs(ref)) <= 5e-14
    re = np.array([_spanlet.faddeeva_re(a, b) for a, b in zip(x[::37], y[::37])])
    assert np.array_equal(re, w.real[::37])


def test_faddeeva_is_conjugate_symmetric():
    rng = np.random.default_rng(5)
    x, y = rng.normal(0, 8, 500), rng.exponential(3, 500)
    assert np.array_equal(complex_w(-x, y), np.conj(complex_w(x, y)))


@pytest.mark.parametrize(
    "x, y, expected, tol",
    [(0.0, 0.0, 1.0, 1e-15), (0.0, 1.0, sp.erfcx(1.0), 1e-15), (0.0, 10.0, sp.erfcx(10.0), 1e-15),
     (1.0, 0.0, math.exp(-1.0), 1e-15), (0.0, 1e200, 1 / (math.sqrt(math.pi) * 1e200), 1e-15)],
)
def test_faddeeva_re_on_the_axes(x, y, expected, tol):
    assert abs(_spanlet.faddeeva_re(x, y) - expected) <= tol * abs(expected)


def test_faddeeva_imaginary_part_is_dawson():
    x = np.array([0.5, 1.0, 3.0, 20.0])
    w = complex_w(x, np.zeros(4))
    np.testing.assert_allclose(w.imag, 2 / math.sqrt(math.pi) * sp.dawsn(x), rtol=1e-15, atol=0)
    assert abs(w.imag[1] - 0.6071577058413936) <= 1e-15


@pytest.mark.parametrize("x, y", [(1e200, 0.0), (-3e300, 1e-300), (1e151, 1e151), (2.0, 1e300), (1e160, 5.0)])
def test_faddeeva_far_out_is_finite_and_asymptotic(x, y):
    # Where the squares of the expansion would overflow, w = i / (sqrt(pi) z) to double precision.
    w = complex_w([x], [y])[0]
    z = complex(x, y)
    np.testing.assert_allclose(w, 1j / (math.sqrt(math.pi) * z), rtol=1e-15, atol=0)


def test_faddeeva_non_finite_input():
    w = complex_w([np.nan, 0.0, np.inf], [0.0, np.nan, 0.0])
    assert np.isnan(w[0].real) and np.isnan(w[1].real)
    assert w[2] == 0  # w tends to 0 along the real axis
    assert math.isnan(_spanlet.faddeeva_re(math.nan, 1.0))


def test_faddeeva_re_arguments():
    assert str(inspect.signature(_spanlet.faddeeva_re)) == "(x, y)"
    assert _spanlet.faddeeva_re.__doc__ == "Re w(x + iy) for y >= 0, w the Faddeeva function."
    assert _spanlet.faddeeva_re(y=1, x=np.float32(0.5)) == _spanlet.faddeeva_re(0.5, 1.0)
    assert type(_spanlet.faddeeva_re(1, 2)) is float
    with pytest.raises(TypeError, match="'x'"):
        _spanlet.faddeeva_re("1", 0.0)
    with pytest.raises(TypeError, match="'y'"):
        _spanlet.faddeeva_re(0.0, None)
    with pytest.raises(TypeError):
        _spanlet.faddeeva_re(0.0)


def test_weideman_table():
    coefficients, scale = t.weideman_table()
    assert coefficients.shape == (40,)
    assert scale == 5.3182958969449885
    assert abs(scale**2 - 28.2842712474619) <= 4e-15


ODD_FACTORIALS = np.array([1.0, 3.0, 15.0, 105.0, 945.0, 10395.0])


def bessel_envelope(x):
    """min(1 / (2n+1)!!, 1 / |x|^(n+1)): the size of j_n(x) / x^n away from its zeros."""
    n = np.arange(6)
    with np.errstate(divide="ignore"):
        return np.minimum(1 / ODD_FACTORIALS, 1 / np.abs(x)[:, None] ** (n + 1))


# Measured worst cases of |error| / envelope: 8.8e-16 (series), 3.0e-15 (recurrence, n = 5 at 4.001).
@pytest.mark.parametrize("series, tol", [(True, 1.5e-15), (False, 5e-15)])
def test_spherical_bessel_against_recorded_references(series, tol):
    data = np.loadtxt(DATA / "spherical_bessel.txt")
    x, ref = data[:, 0], data[:, 1:]
    keep = (np.abs(x) < 4) == series
    x, ref = x[keep], ref[keep]
    assert len(x) > 50
    value = t.spherical_bessel_over_power(x)
    assert np.max(np.abs(value - ref) / bessel_envelope(x)) <= tol


@pytest.mark.parametrize("x", [0.5, 2.0, 3.5, 3.999, 4.0, 4.001, 6.5, 25.0, 1e3, 1e7, -3.0, -17.0])
def test_spherical_bessel_against_scipy(x):
    n = np.arange(6)
    ref = sp.spherical_jn(n, abs(x)) / abs(x) ** n
    value = t.spherical_bessel_over_power(np.array([x]))[0]
    assert np.all(np.abs(value - ref) <= 8e-15 * bessel_envelope(np.array([x]))[0])


def test_spherical_bessel_at_zero_and_across_four():
    assert np.array_equal(t.spherical_bessel_over_power(np.array([0.0, -0.0])), np.tile(1 / ODD_FACTORIALS, (2, 1)))
    below, at = t.spherical_bessel_over_power(np.array([np.nextafter(4.0, 0.0), 4.0]))
    np.testing.assert_allclose(below, at, rtol=2e-15, atol=0)


def test_spherical_bessel_is_even_and_nan_for_non_finite():
    x = np.concatenate([np.linspace(0.01, 50, 400), [1e-300, 1e300]])
    assert np.array_equal(t.spherical_bessel_over_power(-x), t.spherical_bessel_over_power(x))
    assert np.all(np.isnan(t.spherical_bessel_over_power(np.array([np.nan, np.inf, -np.inf]))))
