"""Spline(..., extrapolate=): the end pieces continued as scipy's BSpline does, 0, and periodic
wrapping, against scipy.interpolate.BSpline."""

import pickle

import numpy as np
import pytest
from scipy.interpolate import BSpline

import spanlet
from spanlet import Space


def clamped_knots(breakpoints, degree):
    return np.concatenate([[breakpoints[0]] * degree, breakpoints, [breakpoints[-1]] * degree])


BREAKS = np.array([0.0, 0.7, 1.1, 2.0, 2.4, 3.0])
OUTSIDE = np.array([-2.0, -0.3, -1e-9, 3.0, 3.0 + 1e-9, 3.5, 5.0])


def bases():
    for degree in range(4):
        yield f"clamped {degree}", Space.bsplines_clamped(BREAKS, degree), clamped_knots(BREAKS, degree), degree
    knots = np.array([-1.0, -0.5, 0.0, 0.7, 1.1, 2.0, 2.4, 3.0, 3.2, 4.0])
    yield "bsplines 3", Space.bsplines(knots, 3), knots, 3
    yield "hats", Space.hats(BREAKS), clamped_knots(BREAKS, 1), 1
    yield "boxes", Space.boxes(BREAKS), BREAKS, 0


@pytest.mark.parametrize("name,basis,knots,degree", list(bases()), ids=lambda v: v if isinstance(v, str) else "")
def test_continued_end_pieces_match_scipy(name, basis, knots, degree):
    c = np.random.default_rng(len(name)).standard_normal(len(basis))
    f = spanlet.Spline(basis, c, extrapolate=True)
    reference = BSpline(knots, c, degree, extrapolate=True)
    lo, hi = knots[degree], knots[len(knots) - degree - 1]
    x = np.concatenate([lo + (OUTSIDE / 3.0) * (hi - lo), np.linspace(lo, hi, 23)[:-1]])
    expected = reference(x)
    np.testing.assert_allclose(f(x), expected, rtol=1e-12, atol=1e-12 * np.abs(expected).max())
    derivative = f.derivative()
    if degree > 0:
        np.testing.assert_allclose(derivative(x), reference.derivative()(x), rtol=1e-11,
                                   atol=1e-11 * np.abs(expected).max())


@pytest.mark.parametrize("degree", [0, 1, 2, 3])
def test_periodic_matches_scipy(degree):
    breaks = np.array([0.0, 0.4, 1.0, 1.5, 2.2, 2.5, 3.0])
    basis = Space.bsplines_periodic(breaks, degree)
    c = np.random.default_rng(degree).standard_normal(len(basis))
    f = spanlet.Spline(basis, c)
    assert f.extrapolate == "periodic"
    # scipy's periodic knots extend the breakpoints by `degree` intervals on each side; element j
    # starts at knot j in both, and scipy's last `degree` elements repeat our first ones.
    period, n = breaks[-1] - breaks[0], len(breaks) - 1
    knots = np.concatenate([breaks[n - degree:n] - period, breaks, breaks[1:degree + 1] + period])
    reference = BSpline(knots, np.concatenate([c, c[:degree]]), degree, extrapolate="periodic")
    x = np.concatenate([np.linspace(-7.0, 10.0, 171), [3.0, 6.0, -3.0, -1e-17]])
    np.testing.assert_allclose(f(x), reference(x), rtol=1e-12, atol=1e-12)
    assert f(3.0) == f(0.0)  # a periodic fit at the period end is its value at the start


@pytest.mark.parametrize("basis,default", [
    (Space.bsplines_clamped(BREAKS, 3), True),
    (Space.bsplines_clamped(BREAKS, 3).derivative(1), True),
    (Space.bsplines_periodic(BREAKS, 2), "periodic"),
    (Space.hats(BREAKS), False),
    (Space.boxes(BREAKS), False),
    (Space.gaussians([0.0, 1.0], 0.5, 5.0), False),
])
def test_defaults_and_zero(basis, default):
    f = spanlet.Spline(basis, np.ones(len(basis)))
    assert f.extrapolate == default
    zero = spanlet.Spline(basis, np.ones(len(basis)), extrapolate=False)
    assert zero(-50.0) == 0.0 and zero(50.0) == 0.0
    again = pickle.loads(pickle.dumps(spanlet.Spline(basis, np.ones(len(basis)), extrapolate=False)))
    assert again.extrapolate is False and again(-50.0) == 0.0


def test_fits_extrapolate_as_scipy():
    from scipy.interpolate import make_smoothing_spline
    x = np.linspace(0, 1, 30)
    y = np.sin(6 * x) + 0.1 * np.random.default_rng(0).standard_normal(30)
    ours = spanlet.smoothing_spline(x, y, lam=1e-4)
    theirs = make_smoothing_spline(x, y, lam=1e-4)
    t = np.array([-0.2, -0.01, 1.0, 1.01, 1.3])
    np.testing.assert_allclose(ours(t), theirs(t), rtol=1e-8, atol=1e-8)


def test_standard_error_follows_the_extrapolated_curve():
    basis = Space.bsplines_clamped(BREAKS, 2)
    n = len(basis)
    a = np.random.default_rng(2).standard_normal((n, n))
    cov = a @ a.T
    f = spanlet.Spline(basis, np.zeros(n), covariance=cov, extrapolate=True)
    x = np.array([-1.0, 0.5, 3.0, 4.0])
    rows = np.array([BSpline(clamped_knots(BREAKS, 2), e, 2, extrapolate=True)(x) for e in np.eye(n)]).T
    np.testing.assert_allclose(f.std(x), np.sqrt(np.einsum("ij,jk,ik->i", rows, cov, rows)), rtol=1e-10)


@pytest.mark.parametrize("basis,value,message", [
    (Space.bsplines_clamped(BREAKS, 1), "yes", "extrapolate must be True, False, 'periodic' or None, got 'yes'"),
    (Space.gaussians([0.0, 1.0], 0.5, 5.0), True, "extrapolate=True needs a basis of polynomial pieces"),
    (Space.boxes(BREAKS).take([0, 2]), "periodic", "extrapolate='periodic' needs a basis of polynomial pieces"),
])
def test_refusals(basis, value, message):
    with pytest.raises(ValueError, match=message.replace("(", r"\(").replace(")", r"\)")):
        spanlet.Spline(basis, np.ones(len(basis)), extrapolate=value)
