"""Cosine-weighted integrals and Gram matrices of piecewise polynomials against recorded mpmath
references (tools/record_cosine_references.py), from omega * width = 1e-12 to 1e6."""

import json
import time
from pathlib import Path

import numpy as np
import pytest

from spanlet._spanlet import Space, inner_products
from conftest import dense

CASES = json.loads((Path(__file__).parent / "data" / "cosine_integrals.json").read_text())


def build(case):
    values = np.array([float.fromhex(v) for v in case["values"]])
    kind = case["kind"]
    if kind in ("hats", "boxes"):
        return getattr(Space, kind)(values)
    return getattr(Space, kind)(values, case["degree"])


def case_id(case):
    return f"{case['kind']}-p{case['degree']}-w{float.fromhex(case['omega']):g}-at{float.fromhex(case['values'][0]):g}"


def check(got, exact, scale):
    # 1e-12 relative, with a floor of a few rounding errors of the unweighted scale: entries far
    # below the scale come from cancellation between knots and carry that absolute error.
    err = np.abs(got - exact)
    bound = 1e-12 * np.abs(exact) + 2e-16 * np.max(scale)
    assert np.all(err <= bound), np.max(err / bound)


@pytest.mark.parametrize("case", CASES, ids=[case_id(c) for c in CASES])
def test_against_recorded_references(case):
    space = build(case)
    omega = float.fromhex(case["omega"])
    scale_integrals = np.abs(space.integrals())
    check(space.integrals(weight=omega), np.array([float(v) for v in case["integrals"]]), scale_integrals)
    plain = dense(inner_products(space, space))
    got = dense(inner_products(space, space, omega))
    check(got, np.array([[float(v) for v in row] for row in case["gram"]]), np.max(plain))


def test_smooth_spline_keeps_relative_accuracy_at_many_oscillations():
    # The true value decays like (omega h)^-4; cancelling boundary values would leave eps / omega.
    got = Space.bsplines(np.arange(5.0), 3).integrals(weight=25000.0)[0]
    case = CASES[0]
    assert case["kind"] == "bsplines" and float.fromhex(case["omega"]) == 25000.0
    assert abs(got / float(case["integrals"][0]) - 1) < 1e-13


@pytest.mark.parametrize("omega", [1e-3, 1e6, 1e12])
def test_many_oscillations_need_no_step_budget(omega):
    # Formerly refused beyond about 1e6 radians per element and slow long before.
    space = Space.bsplines_clamped(np.linspace(0.0, 1.0, 200), 3)
    start = time.perf_counter()
    gram = dense(inner_products(space, space, omega))
    assert np.all(np.isfinite(gram)) and time.perf_counter() - start < 5.0


def test_short_weighted_remainder_is_exact_for_cubic_products():
    # At omega = 0.0125 the weighted Gram of cubics used to be 2.1e-9 off (a 4-point remainder).
    space = Space.bsplines(np.arange(5.0), 3)
    a = dense(inner_products(space, space, 0.0125))[0, 0]
    b = dense(inner_products(space, space, 0.0126))[0, 0]
    # The entry is smooth in omega: d/domega of the integral of B^2 cos(omega t) is tiny here.
    ts = np.linspace(0, 4, 400001)
    x = np.arange(5.0)
    from scipy.interpolate import BSpline
    f = BSpline.basis_element(x, extrapolate=False)(ts)
    f = np.nan_to_num(f)
    from scipy.integrate import simpson
    for omega, got in ((0.0125, a), (0.0126, b)):
        assert abs(got - simpson(f * f * np.cos(omega * ts), x=ts)) < 1e-13
