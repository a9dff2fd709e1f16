import numpy as np
import pytest
from scipy.interpolate import BSpline

from spanlet._spanlet import Space, evaluate, inner_products
from conftest import arr, checked, no_stored_zeros


def dense(result):
    no_stored_zeros(result)  # evaluate never stores an exact zero
    return checked(result)


@pytest.mark.parametrize("p", range(4))
def test_clamped_bsplines_match_scipy_design_matrix(p):
    rng = np.random.default_rng(p)
    br = np.sort(rng.uniform(-2, 6, 12))
    knots = np.concatenate([[br[0]] * p, br, [br[-1]] * p])
    x = np.concatenate([rng.uniform(br[0], br[-1], 500), br[:-1]])
    rng.shuffle(x)
    space = Space.bsplines_clamped(br, p)
    got = dense(evaluate(space, x))
    assert got.shape == (len(x), len(space))
    want = BSpline.design_matrix(x, knots, p).toarray()
    np.testing.assert_allclose(got, want, rtol=1e-13, atol=1e-14)
    # Half-open segments: at the last breakpoint every element is 0, where scipy closes the interval.
    indptr, indices, _, shape = evaluate(space, br[-1:])
    assert list(indptr) == [0, 0] and len(indices) == 0 and shape == (1, len(space))


@pytest.mark.parametrize("p", range(4))
def test_open_bsplines_with_repeated_knots(p):
    # The knot at 1 has the largest multiplicity the degree allows.
    knots = np.concatenate([arr(0, 0.5), [1.0] * (p + 1), arr(2, 3.5, 4, 4.25)])
    x = np.linspace(-1, 5, 301)
    got = dense(evaluate(Space.bsplines(knots, p), x))
    want = np.column_stack([np.nan_to_num(BSpline.basis_element(knots[j:j + p + 2], extrapolate=False)(x))
                            for j in range(len(knots) - p - 1)])
    # scipy's basis_element closes the last interval; ours is half-open there.
    for j in range(want.shape[1]):
        want[x == knots[j + p + 1], j] = 0
    np.testing.assert_allclose(got, want, rtol=1e-13, atol=1e-14)


def test_evaluate_is_inner_products_with_point_masses():
    rng = np.random.default_rng(4)
    x = np.concatenate([rng.uniform(-1, 11, 200), np.arange(11.0), [3.0, 3.0]])
    for basis in (Space.hats(np.linspace(0, 10, 7)),
                  Space.tabulated(arr(2, 5), arr(-1, 0, 0.5, 2)[None, :], rng.normal(size=(2, 4)), "pchip"),
                  Space.boxes(arr(0.5, 1, 4)).mapped("reciprocal", 2.0, 0.0, True)):
        got = evaluate(basis, x)
        want = inner_products(Space.deltas(x), basis)
        for a, b in zip(got[:3], want[:3]):
            np.testing.assert_array_equal(a, b)
        assert got[3] == want[3]


def test_box_ends_and_deltas():
    boxes = Space.boxes(arr(0, 1, 2))
    # Points in any order, repeated: the upper end of a box is not stored, the lower end is 1.
    np.testing.assert_array_equal(dense(evaluate(boxes, arr(2, 1, 0, 1, 0.5))),
                                  [[0, 0], [0, 1], [1, 0], [0, 1], [1, 0]])
    d = Space.deltas(arr(0.5, 1, 0.5))
    np.testing.assert_array_equal(dense(evaluate(d, arr(0.5, 1, np.nextafter(1, 2), 3))),
                                  [[1, 0, 1], [0, 1, 0], [0, 0, 0], [0, 0, 0]])


def test_empty_points_and_empty_basis():
    indptr, indices, data, shape = evaluate(Space.hats(arr(0, 1, 2)), arr())
    assert list(indptr) == [0] and len(indices) == len(data) == 0 and shape == (0, 3)
    indptr, indices, data, shape = evaluate(Space.hats(arr(0, 1)).take([]), arr(0.5, 1))
    assert list(indptr) == [0, 0, 0] and shape == (2, 0)


@pytest.mark.parametrize("bad", [np.nan, np.inf, -np.inf])
def test_non_finite_points(bad):
    with pytest.raises(ValueError) as info:
        evaluate(Space.hats(arr(0, 1)), arr(0.5, bad))
    assert str(info.value) == "delta position must be finite"


def test_argument_errors():
    space = Space.hats(arr(0, 1))
    with pytest.raises(TypeError, match="basis"):
        evaluate(arr(0.5), space)
    with pytest.raises(TypeError, match="'x'"):
        evaluate(space, [0.5])
    with pytest.raises(TypeError):
        evaluate(space, x=arr(0.5), weight=1.0)
