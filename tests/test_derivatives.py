"""Parameter derivatives of single elements: slopes, smooth parts, point masses, inner products."""

import numpy as np
import pytest

import _spanlet_tests as t
from spanlet import _spanlet as s

H = 1e-6


def fd(f, h=H):
    return (f(h) - f(-h)) / (2 * h)


def test_box_jumps_center_and_scale():
    box = [("box", 0.0, 1.0)]
    assert t.element_jumps(box, 0, "center") == [(0.0, -1.0), (1.0, 1.0)]
    assert t.element_jumps(box, 0, "scale") == [(0.0, 0.5), (1.0, 0.5)]
    assert t.element_jumps([("delta", 2.0)], 0, "sigma") == []


def test_box_center_derivative_is_the_difference_of_the_ends():
    b = s.Space.bsplines(np.linspace(-3, 4, 8), 3)
    j = 3
    expected = t.space_values(b, np.array([1.0]))[j, 0] - t.space_values(b, np.array([0.0]))[j, 0]
    assert t.inner_derivative([("box", 0.0, 1.0)], 0, b, j, "center") == pytest.approx(expected, abs=1e-14)


@pytest.mark.parametrize("p, expected", [(0.25, 1.0), (1.0, 0.0), (1.5, -0.5)])
def test_delta_center_derivative_is_the_slope(p, expected):
    hat = [("hat", 0.0, 1.0, 3.0)]
    assert t.inner_derivative([("delta", p)], 0, hat, 0, "center") == expected
    omega = 0.7
    value = t.space_values(hat, np.array([p]))[0, 0]
    weighted = expected * np.cos(omega * p) - omega * np.sin(omega * p) * value
    assert t.inner_derivative([("delta", p)], 0, hat, 0, "center", omega) == pytest.approx(weighted, abs=1e-15)


def spaces():
    """Elements of every kind, each as a one-element space."""
    bs = s.Space.bsplines(np.array([0.3, 0.5, 1.5, 2.0, 3.2]), 3)
    return {
        "hat": s.Space.triangles(np.array([1.0]), np.array([0.8])),
        "shaped": bs,
        "gaussian": s.Space.gaussians(np.array([1.0]), np.array([0.7]), 4.0),
        "voigt": s.Space.voigts(np.array([1.0]), np.array([0.5]), np.array([0.3]), 6.0),
        "super_gaussian": s.Space.super_gaussians(np.array([1.0]), np.array([0.6]), np.array([1.1]),
                                                  np.array([3.0]), 3.0),
        "affine": bs.mapped("affine", 0.5, 2.0, False),
        "affine_jacobian": bs.mapped("affine", 0.5, -2.0, True),
        "reciprocal": bs.mapped("reciprocal", 2.0, 0.0, False),
        "reciprocal_jacobian": bs.mapped("reciprocal", 2.0, 0.0, True),
    }


@pytest.mark.parametrize("kind", list(spaces()))
def test_slope_matches_finite_differences_of_the_value(kind):
    space = spaces()[kind]
    lo, hi = space.lower()[0], space.upper()[0]
    x = np.linspace(lo, hi, 41)[1:-1] + 1e-3
    x = x[x < hi]
    numeric = (t.space_values(space, x + 1e-6)[0] - t.space_values(space, x - 1e-6)[0]) / 2e-6
    assert np.allclose(t.element_slope(space, 0, x), numeric, rtol=1e-6, atol=1e-6)


@pytest.mark.parametrize("centers, build, parameter", [
    ([1.0], lambda c, d: s.Space.gaussians(np.array(c), np.array([0.7 + d]), 4.0), "sigma"),
    ([1.0], lambda c, d: s.Space.lorentzians(np.array(c), np.array([0.4 + d]), 9.0), "gamma"),
    ([1.0], lambda c, d: s.Space.voigts(np.array(c), np.array([0.5 + d]), np.array([0.3]), 6.0), "sigma"),
    ([1.0], lambda c, d: s.Space.voigts(np.array(c), np.array([0.5]), np.array([0.3 + d]), 6.0), "gamma"),
    ([1.0], lambda c, d: s.Space.pseudo_voigts(np.array(c), np.array([0.5]), np.array([0.3 + d]), 6.0), "eta"),
    ([1.0], lambda c, d: s.Space.super_gaussians(np.array(c), np.array([0.6]), np.array([1.1]),
                                                 np.array([3.0 + d]), 3.0), "power"),
    ([1.0], lambda c, d: s.Space.super_gaussians(np.array(c), np.array([0.6 - 0.85 * d]),
                                                 np.array([1.1 + 0.85 * d]), np.array([3.0]), 3.0), "asymmetry"),
    ([1.0], lambda c, d: s.Space.smoothed_boxes(np.array(c), np.array([0.8]), np.array([0.2 + d]), 5.0), "sigma"),
    ([1.0], lambda c, d: s.Space.smoothed_boxes(np.array(c), np.array([0.8 + d]), np.array([0.2]), 5.0),
     "half_width"),
])
def test_smooth_part_matches_finite_differences_inside_the_support(centers, build, parameter):
    space = build(centers, 0.0)
    lo, hi = space.lower()[0], space.upper()[0]
    x = np.linspace(lo, hi, 37)[2:-2] + 1e-3
    numeric = fd(lambda d: t.space_values(build(centers, d), x)[0])
    assert np.allclose(t.element_d_smooth(space, 0, parameter, x), numeric, rtol=1e-5, atol=1e-7)
    # Outside the support the smooth part is zero whatever the parameter.
    assert t.element_d_smooth(space, 0, "eta" if parameter != "eta" else "sigma", np.array([hi + 1])) == 0


def test_pseudo_voigt_eta_has_no_point_masses():
    pv = s.Space.pseudo_voigts(np.array([0.0]), np.array([1.0]), np.array([0.5]), 3.0)
    assert [m for _, m in t.element_jumps(pv, 0, "eta")] == [0.0, 0.0]


def test_mapped_masses_carry_the_affine_stretch():
    box = s.Space.boxes(np.array([0.0, 1.0]))
    plain = box.mapped("affine", 2.0, -3.0, False)
    jac = box.mapped("affine", 2.0, -3.0, True)
    assert t.element_jumps(plain, 0, "center") == [(2.0, -3.0), (-1.0, 3.0)]
    assert t.element_jumps(jac, 0, "center") == [(2.0, -1.0), (-1.0, 1.0)]


@pytest.mark.parametrize("space, parameter, message", [
    ([("box", 0.0, 1.0)], "sigma", "Sigma applies only to line-shape profiles"),
    ([("hat", 0.0, 1.0, 2.0)], "half_width", "HalfWidth applies only to line-shape profiles"),
    (s.Space.gaussians(np.array([0.0]), np.array([2.0]), 3.0), "eta", "Gaussian { sigma: 2.0 } has no parameter Eta"),
    (s.Space.voigts(np.array([0.0]), np.array([1e-5]), np.array([1e17]), 3.0), "power",
     "Voigt { sigma: 1e-5, gamma: 1e17, inv_peak: "),
    (s.Space.super_gaussians(np.array([0.0]), np.array([1.0]), np.array([2.0]), np.array([2.5]), 3.0), "gamma",
     "SuperGaussian { hwhm_left: 1.0, hwhm_right: 2.0, power: 2.5 } has no parameter Gamma"),
    (s.Space.fts(np.array([0.0]), np.array([2.0]), 3.0, apodization="triangle"), "sigma",
     "Fts { max_opd: 2.0, apodization: Triangle, inv_peak: "),
    (s.Space.harmonics(1, 2.0, 0.0), "asymmetry",
     "Harmonic { wavenumber: 1.0, period: 2.0, phase: "),
])
def test_messages(space, parameter, message):
    with pytest.raises(ValueError) as info:
        t.element_jumps(space, 0, parameter)
    assert str(info.value).startswith(message)
    with pytest.raises(ValueError) as info:
        t.element_d_smooth(space, 0, parameter, np.array([0.0]))
    assert str(info.value).startswith(message)


def test_delta_message():
    with pytest.raises(ValueError, match="^a delta has no parameter Gamma$"):
        t.inner_derivative([("delta", 0.0)], 0, [("box", -1.0, 1.0)], 0, "gamma")
    assert t.inner_derivative([("delta", 0.0)], 0, [("box", -1.0, 1.0)], 0, "scale") == 0
