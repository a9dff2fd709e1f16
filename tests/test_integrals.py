
import numpy as np
import pytest

from reference_elements import FAMILIES, bspline_refs, family, mapped_ref, ref_integral
from spanlet._spanlet import Space
from conftest import arr


@pytest.mark.parametrize("name", FAMILIES)
@pytest.mark.parametrize("omega", [None, 3.7, -0.4])
def test_integrals_match_quadrature(name, omega):
    space, refs = family(name, np.random.default_rng(len(name)))
    got = space.integrals() if omega is None else space.integrals(weight=omega)
    assert got.dtype == np.float64 and got.shape == (len(refs),)
    want = [ref_integral(r, omega) for r in refs]
    # Polynomial pieces are exact; the weighted path steps adaptively but just as accurately.
    np.testing.assert_allclose(got, want, rtol=1e-13 if omega is None else 1e-11, atol=1e-14)


@pytest.mark.parametrize("p", range(4))
def test_bspline_integrals_closed_form(p):
    rng = np.random.default_rng(p)
    k = np.sort(np.concatenate([rng.uniform(0, 10, 30), [3.0] * (p + 1)]))
    want = (k[p + 1:] - k[:-p - 1]) / (p + 1)
    np.testing.assert_allclose(Space.bsplines(k, p).integrals(), want, rtol=1e-13)
    b = np.sort(rng.uniform(0, 10, 12))
    clamped = Space.bsplines_clamped(b, p).integrals()
    assert clamped.sum() == pytest.approx(b[-1] - b[0], rel=1e-14)
    # A wrapped periodic B-spline keeps the integral of the B-spline it came from.
    period = b[-1] - b[0]
    ext = np.concatenate([b[len(b) - 1 - p:-1] - period, b, b[1:p + 1] + period])
    want = (ext[p + 1:] - ext[:-p - 1])[:len(b) - 1] / (p + 1)
    np.testing.assert_allclose(Space.bsplines_periodic(b, p).integrals(), want, rtol=1e-12)


def test_simple_closed_forms():
    assert Space.boxes(arr(0, 2)).integrals()[0] == 2
    np.testing.assert_array_equal(Space.hats(arr(0, 1, 3)).integrals(), [0.5, 1.5, 1])
    np.testing.assert_allclose(Space.trapezoids(arr(0, 5), arr(1), arr(2)).integrals(), [3, 3], rtol=1e-15)
    for omega in (0.3, -2.5, 40.0):
        got = Space.boxes(arr(0, 2, 5)).integrals(weight=omega)
        want = (np.sin(omega * arr(2, 5)) - np.sin(omega * arr(0, 2))) / omega
        np.testing.assert_allclose(got, want, rtol=1e-13, atol=1e-15)
        # A hat (0, 1, 2) is the box [0, 1) convolved with itself.
        got = Space.hats(arr(0, 1, 2)).integrals(weight=omega)[1]
        assert got == pytest.approx(2 * (1 - np.cos(omega)) / omega**2 * np.cos(omega), rel=1e-13, abs=1e-15)


def test_delta_integrals():
    p = arr(0, -1.5, 2.25, 1e6)
    np.testing.assert_array_equal(Space.deltas(p).integrals(), 1)
    np.testing.assert_array_equal(Space.deltas(p).integrals(weight=0.7), np.cos(0.7 * p))
    assert Space.deltas(arr()).integrals().shape == (0,)


def test_empty_space_gives_empty_array():
    got = Space.boxes(arr(0, 1)).take([]).integrals(weight=2.0)
    assert got.dtype == np.float64 and got.shape == (0,)


@pytest.mark.parametrize("jacobian", [False, True])
@pytest.mark.parametrize("a,b", [(1.0, 2.0), (-3.0, -0.5), (0.0, 7.0)])
def test_affine_mapped_integrals(a, b, jacobian):
    k = np.sort(np.random.default_rng(1).uniform(-2, 2, 9))
    space = Space.bsplines(k, 3)
    base = space.integrals()
    got = space.mapped("affine", a, b, jacobian).integrals()
    np.testing.assert_allclose(got, base if jacobian else abs(b) * base, rtol=1e-14)
    refs = [mapped_ref(r, "affine", a, b, jacobian) for r in bspline_refs(k, 3)]
    weighted = space.mapped("affine", a, b, jacobian).integrals(weight=1.3)
    np.testing.assert_allclose(weighted, [ref_integral(r, 1.3) for r in refs], rtol=1e-11, atol=1e-14)


@pytest.mark.parametrize("jacobian", [False, True])
@pytest.mark.parametrize("a", [2.0, -0.5])
@pytest.mark.parametrize("omega", [None, 2.0])
def test_reciprocal_mapped_integrals(a, jacobian, omega):
    k = np.sort(np.random.default_rng(2).uniform(0.2, 3, 9))
    space = Space.bsplines(k, 2).mapped("reciprocal", a, 0.0, jacobian)
    got = space.integrals(weight=omega)
    refs = [mapped_ref(r, "reciprocal", a, 0.0, jacobian) for r in bspline_refs(k, 2)]
    np.testing.assert_allclose(got, [ref_integral(r, omega) for r in refs], rtol=1e-12)
    if jacobian and omega is None:
        np.testing.assert_allclose(got, (k[3:] - k[:-3]) / 3, rtol=1e-12)


def test_nested_maps_compose():
    # Two reciprocal maps with the same k give back the original variable.
    k = arr(1, 1.5, 2.5, 4)
    space = Space.bsplines(k, 1)
    twice = space.mapped("reciprocal", 3.0, 0.0, True).mapped("reciprocal", 3.0, 0.0, True)
    np.testing.assert_allclose(twice.integrals(), space.integrals(), rtol=1e-12)
    np.testing.assert_allclose(twice.integrals(weight=2.0), space.integrals(weight=2.0), rtol=1e-11)


@pytest.mark.parametrize("value,text", [
    (0.0, "0"), (-0.0, "-0"), (np.inf, "inf"), (-np.inf, "-inf"), (np.nan, "NaN"),
])
def test_bad_weight_messages(value, text):
    space = Space.boxes(arr(0, 1))
    with pytest.raises(ValueError) as info:
        space.integrals(weight=value)
    assert str(info.value) == "bad cosine weight scale " + text
    # The check does not depend on the space being non-empty.
    with pytest.raises(ValueError, match="^bad cosine weight scale"):
        space.take([]).integrals(value)


def test_weight_conversion():
    space = Space.boxes(arr(0, 1))
    with pytest.raises(TypeError, match="weight"):
        space.integrals(weight="1.0")
    with pytest.raises(TypeError, match="weight"):
        space.integrals(weight=[1.0])
    np.testing.assert_array_equal(space.integrals(weight=None), [1])
    # Negative and subnormal weights are accepted; a subnormal one is a constant weight of 1.
    assert space.integrals(weight=5e-324)[0] == pytest.approx(1, rel=1e-15)
    assert space.integrals(weight=-2.0)[0] == pytest.approx(np.sin(2.0) / 2, rel=1e-14)
    assert space.integrals(weight=np.float64(2.0))[0] == space.integrals(weight=2)[0]


def test_adaptive_step_budget_ends_the_loop():
    # 4e299 steps would be needed; the step budget refuses the integral instead of running for ages.
    # Polynomial elements never step (their weighted integrals are closed-form); a reciprocal map does.
    assert Space.boxes(arr(0, 1)).integrals(weight=1e300)[0] == pytest.approx(np.sin(1e300) / 1e300, rel=1e-14)
    recip = Space.boxes(arr(1, 2)).mapped("reciprocal", 1.0, 0.0, False)
    with pytest.raises(ValueError, match=r"^adaptive integration over \[0.5, 1\] needs more than 4194304 steps$"):
        recip.integrals(weight=1e9)


def test_reciprocal_steps_stay_finite_at_extreme_scales():
    # The step cap is a tenth of |t|, so supports spanning hundreds of decades still end quickly.
    space = Space.boxes(arr(1e-150, 1e150)).mapped("reciprocal", 1.0, 0.0, True)
    assert space.integrals()[0] == pytest.approx(1e150, rel=1e-12)
    tiny = Space.boxes(arr(1, 2)).mapped("reciprocal", 1e-320, 0.0, False)
    assert tiny.integrals()[0] == pytest.approx(0.5e-320, rel=1e-2)
    # A nested map at a tiny scale: the step bound must not underflow to a standstill.
    inner = Space.boxes(arr(1, 2)).mapped("reciprocal", 1.0, 0.0, True)
    for a in (1e-200, -1e-250):
        # Within the step budget, or the call would raise.
        got = inner.mapped("reciprocal", a, 0.0, False).integrals()[0]
        assert got == pytest.approx(7 * abs(a) / 3, rel=1e-12)
