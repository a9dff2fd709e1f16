import numpy as np
import pytest
from scipy import sparse
from scipy.interpolate import BSpline

from reference_elements import bspline_refs, family, hat_ref, mapped_ref, ref_inner
from spanlet._spanlet import Space, evaluate, inner_products, measure
from conftest import arr, checked, no_stored_zeros


def gram(a, b, omega=None):
    return checked(inner_products(a, b, weight=omega), (len(a), len(b)))


@pytest.mark.parametrize("p", range(4))
def test_clamped_bspline_gram_matches_dense_reference(p):
    rng = np.random.default_rng(p)
    br = np.sort(rng.uniform(-3, 5, 15))
    space = Space.bsplines_clamped(br, p)
    result = inner_products(space, space)
    g = checked(result, (len(space), len(space)))
    no_stored_zeros(result)
    # Dense reference: 10-point Gauss-Legendre per breakpoint interval is exact for degree 6.
    x, w = np.polynomial.legendre.leggauss(10)
    m, h = (br[1:] + br[:-1]) / 2, (br[1:] - br[:-1]) / 2
    pts, wts = (m[:, None] + h[:, None] * x).ravel(), (h[:, None] * w).ravel()
    knots = np.concatenate([[br[0]] * p, br, [br[-1]] * p])
    b = BSpline.design_matrix(pts, knots, p).toarray()
    want = b.T @ (wts[:, None] * b)
    np.testing.assert_allclose(g, want, rtol=1e-13, atol=1e-15)
    # Exactly symmetric, banded, and a partition of unity integrates to the domain length.
    np.testing.assert_array_equal(g, g.T)
    i, j = np.nonzero(g)
    assert np.all(abs(i - j) <= p) and len(i) == sum(len(space) - abs(d) for d in range(-p, p + 1))
    assert g.sum() == pytest.approx(br[-1] - br[0], rel=1e-13)


PAIRS = [("hats", "boxes"), ("bsplines3", "pchip"), ("trapezoids", "linear"), ("shifted", "bsplines2"),
         ("triangles", "rectangles"), ("bsplines0", "bsplines1")]


@pytest.mark.parametrize("omega", [None, 2.3])
@pytest.mark.parametrize("left,right", PAIRS)
def test_cross_products_match_quadrature(left, right, omega):
    rng = np.random.default_rng(7)
    a, ra = family(left, rng)
    b, rb = family(right, rng)
    result = inner_products(a, b, weight=omega)
    got = checked(result, (len(a), len(b)))
    no_stored_zeros(result)
    want = np.array([[ref_inner(x, y, omega) for y in rb] for x in ra])
    np.testing.assert_allclose(got, want, rtol=1e-12 if omega is None else 1e-10, atol=1e-13)
    # The product commutes exactly, so swapping the spaces transposes the matrix bit for bit.
    np.testing.assert_array_equal(gram(b, a, omega), got.T)


@pytest.mark.parametrize("omega", [None, 1.7])
@pytest.mark.parametrize("kind,a,b,jacobian", [
    ("affine", 0.5, 2.0, False), ("affine", 1.0, -0.75, True),
    ("reciprocal", 3.0, 0.0, False), ("reciprocal", -2.0, 0.0, True),
])
def test_mapped_products_match_quadrature(kind, a, b, jacobian, omega):
    k = np.sort(np.random.default_rng(3).uniform(0.5, 3, 8))
    inner = Space.bsplines(k, 3).mapped(kind, a, b, jacobian)
    refs = [mapped_ref(r, kind, a, b, jacobian) for r in bspline_refs(k, 3)]
    lo, hi = min(r.lo for r in refs), max(r.hi for r in refs)
    nodes = np.linspace(lo, hi, 5)
    ext = np.concatenate([[nodes[0]], nodes, [nodes[-1]]])
    hats = Space.hats(nodes)
    want = np.array([[ref_inner(r, hat_ref(*ext[j:j + 3]), omega) for j in range(5)] for r in refs])
    np.testing.assert_allclose(gram(inner, hats, omega), want, rtol=1e-11, atol=1e-13)
    # A mapped space against itself stays symmetric.
    g = gram(inner, inner, omega)
    np.testing.assert_array_equal(g, g.T)


def test_delta_products():
    d = Space.deltas(arr(1, 1, 2))
    np.testing.assert_array_equal(gram(d, d), [[1, 1, 0], [1, 1, 0], [0, 0, 1]])
    # Two point masses meet with weight 1 whatever the cosine weight says.
    np.testing.assert_array_equal(gram(d, d, 5.0), gram(d, d))
    boxes = Space.boxes(arr(0, 1, 2, 3))
    # A point mass at an edge sees only the box the edge opens.
    np.testing.assert_array_equal(gram(d, boxes), [[0, 1, 0], [0, 1, 0], [0, 0, 1]])
    np.testing.assert_array_equal(gram(boxes, Space.deltas(arr(3, 0))), [[0, 1], [0, 0], [0, 0]])
    hats = Space.hats(arr(0, 1, 3))
    p = arr(0.5, 2.0)
    want = np.array([[0.5, 0.5, 0], [0, 0.5, 0.5]])
    np.testing.assert_array_equal(gram(Space.deltas(p), hats), want)
    np.testing.assert_allclose(gram(Space.deltas(p), hats, 0.9), want * np.cos(0.9 * p)[:, None], rtol=1e-15)


def test_touching_and_disjoint_supports_store_nothing():
    boxes = Space.boxes(arr(0, 1, 2, 3))
    result = inner_products(boxes, boxes, weight=1.5)
    assert list(result[0]) == [0, 1, 2, 3] and list(result[1]) == [0, 1, 2]
    rects = Space.rectangles(arr(0, 1, 2), arr(1))
    assert list(inner_products(rects, rects)[1]) == [0, 1, 2]
    far = Space.hats(arr(10, 11, 12))
    for a, b in ((boxes, far), (far, boxes)):
        indptr, indices, data, shape = inner_products(a, b)
        assert np.all(indptr == 0) and len(indices) == len(data) == 0 and shape == (len(a), len(b))


def test_wide_element_far_left_is_found():
    # One wide element among narrow ones: the query must look back past every narrow one.
    centers = np.concatenate([[0.0], np.arange(200.0)])
    widths = np.concatenate([[2000.0], np.full(200, 0.5)])
    basis = Space.rectangles(centers, widths)
    kernels = Space.rectangles(arr(900, 150.1), arr(1, 0.2))
    g = gram(kernels, basis)
    assert g[0, 0] == pytest.approx(1, rel=1e-15) and np.count_nonzero(g[0]) == 1
    assert g[1, 0] == pytest.approx(0.2) and g[1, 151] == pytest.approx(0.2) and np.count_nonzero(g[1]) == 2


def test_empty_spaces():
    boxes = Space.boxes(arr(0, 1, 2))
    empty = boxes.take([])
    for a, b, shape in ((empty, boxes, (0, 2)), (boxes, empty, (2, 0)), (empty, empty, (0, 0))):
        for result in (inner_products(a, b), measure(a, b, "integral"), measure(a, b, "rowsum", 1.0)):
            checked(result, shape)
            assert len(result[1]) == 0


def test_measure_rowsum_and_empty_rows():
    rng = np.random.default_rng(11)
    basis = Space.bsplines_clamped(np.linspace(0, 10, 21), 3)
    kernels = Space.triangles(np.concatenate([rng.uniform(0, 10, 30), [20.0]]), arr(0.3))
    for omega in (None, 0.5):
        result = measure(kernels, basis, "rowsum", omega)
        w = checked(result, (31, len(basis)))
        no_stored_zeros(result)
        np.testing.assert_allclose(w[:30].sum(axis=1), 1, rtol=1e-14)
        assert result[0][31] == result[0][30]  # the kernel beyond the basis has an empty row
        # Each row is the inner-product row times the reciprocal of its sum in storage order.
        indptr, _, data, _ = inner_products(kernels, basis, omega)
        for i in range(30):
            row = data[indptr[i]:indptr[i + 1]]
            total = -0.0
            for v in row:
                total += v
            np.testing.assert_array_equal(result[2][indptr[i]:indptr[i + 1]], row * (1 / total))


def test_measure_integral_normalization():
    tiles = Space.boxes(np.linspace(-5, 5, 41))
    kernels = Space.trapezoids(arr(-1.3, 0.2, 2.9), arr(0.4), arr(1.1))
    w = checked(measure(kernels, tiles, "integral"), (3, 40))
    np.testing.assert_allclose(w.sum(axis=1), 1, rtol=1e-14)
    # Under a weight every row is divided by the kernel's own weighted integral.
    wk = checked(measure(kernels, tiles, "integral", 0.8), (3, 40))
    g = gram(kernels, tiles, 0.8)
    np.testing.assert_array_equal(wk, g * (1 / kernels.integrals(weight=0.8))[:, None])
    # Normalisers of many kernels are computed in blocks on the pool; they equal the sequential ones.
    many = Space.trapezoids(np.linspace(-4, 4, 1500), arr(0.05), arr(0.2))
    wm = checked(measure(many, tiles, "integral", 0.8), (1500, 40))
    np.testing.assert_array_equal(wm, gram(many, tiles, 0.8) * (1 / many.integrals(weight=0.8))[:, None])
    # A kernel reaching past the basis sees only part of it.
    w = checked(measure(Space.rectangles(arr(5), arr(2)), tiles, "integral"), (1, 40))
    assert w.sum() == pytest.approx(0.5, rel=1e-14)


def test_measure_zero_normaliser_gives_zero_row():
    # The derivative of a hat integrates to 0 against the two boxes it spans together.
    kernel = Space.hats(arr(0, 1, 2)).take([1]).derivative(1)
    indptr, indices, data, _ = measure(kernel, Space.boxes(arr(0, 1, 2)), "rowsum")
    assert list(indices) == [0, 1] and np.all(data == 0)
    indptr, indices, data, _ = measure(kernel, Space.boxes(arr(0, 1, 2)), "integral")
    assert list(indices) == [0, 1] and np.all(data == 0)


@pytest.mark.parametrize("omega", [None, -1.25])
def test_measure_none_equals_inner_products(omega):
    a, _ = family("pchip", np.random.default_rng(5))
    b = Space.bsplines_clamped(np.linspace(-5, 5, 12), 2)
    got, want = measure(a, b, "none", omega), inner_products(a, b, omega)
    for x, y in zip(got[:3], want[:3]):
        np.testing.assert_array_equal(x, y)
    assert got[3] == want[3]


@pytest.mark.parametrize("value,text", [
    (0.0, "0"), (-0.0, "-0"), (np.inf, "inf"), (-np.inf, "-inf"), (np.nan, "NaN"),
])
def test_bad_weights(value, text):
    s = Space.boxes(arr(0, 1))
    message = "^bad cosine weight scale " + text + "$"
    with pytest.raises(ValueError, match=message):
        inner_products(s, s, weight=value)
    with pytest.raises(ValueError, match=message):
        measure(s, s, "rowsum", value)


@pytest.mark.parametrize("given,shown", [
    ("Integral", '"Integral"'), ("", '""'), ("row sum", '"row sum"'), ('a"b\\\n\t', r'"a\"b\\\n\t"'),
])
def test_bad_normalization_message(given, shown):
    s = Space.boxes(arr(0, 1))
    message = "normalization must be 'integral', 'rowsum' or 'none', got " + shown
    with pytest.raises(ValueError) as info:
        measure(s, s, given)
    assert str(info.value) == message
    # The normalisation is checked before the weight.
    with pytest.raises(ValueError) as info:
        measure(s, s, given, weight=0.0)
    assert str(info.value) == message


def test_argument_conversion_errors_name_the_argument():
    s = Space.boxes(arr(0, 1))
    with pytest.raises(TypeError, match="weight"):
        inner_products(s, s, weight="2")
    # Conversion of every argument comes before any value check.
    with pytest.raises(TypeError, match="weight"):
        measure(s, s, "Integral", weight="2")
    with pytest.raises(TypeError, match="normalization"):
        measure(s, s, 1)
    with pytest.raises(TypeError, match="'b'"):
        inner_products(s, np.zeros(3))
    with pytest.raises(TypeError, match="kernels"):
        measure(None, s, "none")


# Spaces of a few hundred elements, so that rows fall into many blocks, with the breakpoints
# between which every element is a polynomial.
def block_space(name, rng):
    if name == "clamped3":
        br = np.sort(rng.uniform(-2, 6, 120))
        return Space.bsplines_clamped(br, 3), br
    if name == "repeated2":
        t = np.sort(np.concatenate([rng.uniform(-1, 5, 80), [1.5, 1.5, 3.25, 3.25, 3.25]]))
        return Space.bsplines(t, 2), np.unique(t)
    if name == "periodic2":
        x = np.sort(rng.uniform(-2, 6, 90))
        return Space.bsplines_periodic(x, 2), x
    if name == "hats":
        n = np.sort(rng.uniform(-3, 7, 300))
        return Space.hats(n), n
    if name == "boxes":
        e = np.sort(np.concatenate([rng.uniform(-1, 5, 150), [1.5, 3.25]]))
        return Space.boxes(e), e


def dense_inner(a, b, breaks):
    # 10-point Gauss-Legendre on every interval between the breakpoints of both spaces: exact for
    # products of cubics, with the element values taken pointwise.
    x, w = np.polynomial.legendre.leggauss(10)
    m, h = (breaks[1:] + breaks[:-1]) / 2, (breaks[1:] - breaks[:-1]) / 2
    pts, wts = (m[:, None] + h[:, None] * x).ravel(), (h[:, None] * w).ravel()
    va, vb = checked(evaluate(a, pts)), checked(evaluate(b, pts))
    return va.T @ (wts[:, None] * vb)


@pytest.mark.parametrize("left,right", [("clamped3", "clamped3"), ("clamped3", "hats"), ("repeated2", "boxes"),
                                        ("periodic2", "clamped3"), ("hats", "boxes"), ("periodic2", "periodic2")])
def test_products_over_many_row_blocks_match_dense_quadrature(left, right):
    rng = np.random.default_rng(11)
    a, ka = block_space(left, rng)
    b, kb = (a, ka) if left == right else block_space(right, rng)
    result = inner_products(a, b)
    got = checked(result, (len(a), len(b)))
    no_stored_zeros(result)
    want = dense_inner(a, b, np.union1d(ka, kb))
    np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15 * abs(want).max())
    # Stored are exactly the pairs whose supports share an interval: there the products of these
    # non-negative elements integrate to a positive number.
    np.testing.assert_array_equal(got != 0, want > 0)
    # Each pair's knot intervals come from both whole spaces: swapping them transposes bit for bit,
    # and a Gram matrix is exactly symmetric.
    np.testing.assert_array_equal(checked(inner_products(b, a)), got.T)
    # As measurement rows the products are the same numbers.
    np.testing.assert_array_equal(checked(measure(a, b, "none")), got)


def test_overlapping_pairs_whose_products_vanish_store_nothing():
    # Tabulated shapes that are zero over their first stretch: a neighbour's support overlaps each
    # one's where it is zero, so those pairs come out zeros (exact ones, or a few units of rounding
    # in local coordinates), and exact zeros are not stored: rows hold fewer entries than they
    # have overlapping neighbours, and close up.
    centers = np.arange(0.0, 300.0) * 0.6
    nodes = np.array([-0.5, -0.1, 0.2, 0.5])
    shapes = Space.tabulated(centers, np.tile(nodes, (300, 1)), np.tile([0.0, 0.0, 1.0, 0.0], (300, 1)), "linear")
    hats = Space.hats(np.linspace(-1.0, 181.0, 401))
    breaks = np.union1d((centers[:, None] + nodes).ravel(), np.linspace(-1.0, 181.0, 401))
    for a, b in [(shapes, shapes), (shapes, hats), (hats, shapes)]:
        result = inner_products(a, b)
        got = checked(result, (len(a), len(b)))
        no_stored_zeros(result)
        want = dense_inner(a, b, breaks)
        np.testing.assert_allclose(got, want, rtol=1e-12, atol=1e-15 * abs(want).max())
        assert np.all(abs(got[want == 0]) < 1e-30)
    stored = len(inner_products(shapes, shapes)[2])
    assert len(shapes) < stored < 3 * len(shapes) - 2


def as_csr(parts):
    indptr, indices, data, shape = parts
    return sparse.csr_matrix((data, indices, indptr), shape=shape)


def test_kernels_listed_out_of_order_give_the_rows_of_the_ordered_measurement():
    # Overlapping boxes at random places, listed in random order, partly sorted, or sorted: blocks
    # of rows are walked in runs that follow one another along the axis, and every entry comes out
    # the same number whichever run takes it.
    rng = np.random.default_rng(11)
    basis = Space.bsplines_clamped(np.linspace(0.0, 1.0, 300), 3)
    centers = rng.uniform(0.0, 1.0, 4000)
    order = np.argsort(centers)
    boxes = Space.rectangles(centers, rng.uniform(0.5, 4.0, 4000) / 300)
    partly = order.copy()
    partly[::5] = rng.permutation(partly[::5])
    want = as_csr(measure(boxes, basis, "integral"))
    for pick in (order, partly, order[::-1]):
        got = as_csr(measure(boxes.take(pick), basis, "integral"))
        expected = want[pick]
        np.testing.assert_array_equal(got.indptr, expected.indptr)
        np.testing.assert_array_equal(got.indices, expected.indices)
        np.testing.assert_array_equal(got.data, expected.data)


@pytest.mark.parametrize("order", ["reversed", "shuffled", "every_third", "halves_swapped"])
def test_rows_in_any_order_are_the_rows_of_the_ordered_gram(order):
    # Blocks of rows whose candidates come out of order, or with gaps between neighbours, are
    # assembled as one ordered block would be: each entry is the same number.
    rng = np.random.default_rng(5)
    space = Space.bsplines_clamped(np.sort(rng.uniform(-2, 6, 2000)), 3)
    n = len(space)
    pick = {"reversed": np.arange(n)[::-1], "shuffled": rng.permutation(n), "every_third": np.arange(0, n, 3),
            "halves_swapped": np.roll(np.arange(n), n // 2)}[order]
    taken = space.take(pick)
    full = as_csr(inner_products(space, space))
    for got, want in [(inner_products(taken, taken), full[pick][:, pick]), (inner_products(taken, space), full[pick]),
                      (inner_products(space, taken), full[:, pick])]:
        no_stored_zeros(got)
        got, want = as_csr(got), want.tocsr()
        want.eliminate_zeros()
        want.sort_indices()
        np.testing.assert_array_equal(got.indptr, want.indptr)
        np.testing.assert_array_equal(got.indices, want.indices)
        np.testing.assert_allclose(got.data, want.data, rtol=1e-14, atol=0)
