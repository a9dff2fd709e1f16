"""measure_derivative against central differences of measure with rebuilt kernels."""

import numpy as np
import pytest

from spanlet import _spanlet as s
from conftest import dense

C = np.array([1.1, 2.35, 3.6])
H = 1e-6


def v(x):
    return np.array(x, dtype=float)


# (kernel family, parameter) -> kernels at parameter offset d. "scale" stretches about the centers.
KERNELS = {
    ("rectangles", "center"): lambda d: s.Space.rectangles(C + d, v([0.7, 0.9, 0.6])),
    ("rectangles", "scale"): lambda d: s.Space.rectangles(C, v([0.7, 0.9, 0.6]) * (1 + d)),
    ("triangles", "center"): lambda d: s.Space.triangles(C + d, v([0.5, 0.4, 0.6])),
    ("triangles", "scale"): lambda d: s.Space.triangles(C, v([0.5, 0.4, 0.6]) * (1 + d)),
    ("deltas", "center"): lambda d: s.Space.deltas(C + d),
    ("deltas", "scale"): lambda d: s.Space.deltas(C),
    ("gaussians", "center"): lambda d: s.Space.gaussians(C + d, v([0.3] * 3), 4.0),
    ("gaussians", "scale"): lambda d: s.Space.gaussians(C, v([0.3] * 3) * (1 + d), 4.0),
    ("gaussians", "sigma"): lambda d: s.Space.gaussians(C, v([0.3] * 3) + d, 4.0),
    ("lorentzians", "gamma"): lambda d: s.Space.lorentzians(C, v([0.2] * 3) + d, 8.0),
    ("voigts", "center"): lambda d: s.Space.voigts(C + d, v([0.2] * 3), v([0.1] * 3), 6.0),
    ("voigts", "scale"): lambda d: s.Space.voigts(C, v([0.2] * 3) * (1 + d), v([0.1] * 3) * (1 + d), 6.0),
    ("voigts", "sigma"): lambda d: s.Space.voigts(C, v([0.2] * 3) + d, v([0.1] * 3), 6.0),
    ("voigts", "gamma"): lambda d: s.Space.voigts(C, v([0.2] * 3), v([0.1] * 3) + d, 6.0),
    ("pseudo_voigts", "eta"): lambda d: s.Space.pseudo_voigts(C, v([0.25] * 3), v([0.4] * 3) + d, 6.0),
    ("super_gaussians", "power"): lambda d: s.Space.super_gaussians(C, v([0.3] * 3), v([0.4] * 3),
                                                                    v([2.5] * 3) + d, 2.5),
    ("super_gaussians", "asymmetry"): lambda d: s.Space.super_gaussians(C, v([0.3] * 3) - 0.35 * d,
                                                                        v([0.4] * 3) + 0.35 * d, v([2.5] * 3), 2.5),
    ("smoothed_boxes", "sigma"): lambda d: s.Space.smoothed_boxes(C, v([0.4] * 3), v([0.1] * 3) + d, 4.0),
    ("smoothed_boxes", "half_width"): lambda d: s.Space.smoothed_boxes(C, v([0.4] * 3) + d, v([0.1] * 3), 4.0),
}

BASES = {
    "cubic": s.Space.bsplines(np.linspace(-1.0, 6.0, 29), 3),
    "boxes": s.Space.boxes(np.linspace(-0.03, 5.97, 25)),
}


@pytest.mark.parametrize("weight", [None, 1.3])
@pytest.mark.parametrize("mode", ["integral", "rowsum", "none"])
@pytest.mark.parametrize("basis", list(BASES))
@pytest.mark.parametrize("family, parameter", list(KERNELS))
def test_derivative_matches_central_differences(family, parameter, basis, mode, weight):
    build, b = KERNELS[family, parameter], BASES[basis]
    if family == "deltas" and basis == "boxes":
        pytest.skip("point values of boxes do not move with the point")
    w, dw = s.measure_derivative(build(0.0), b, mode, parameter, weight)
    assert np.array_equal(w[0], dw[0]) and np.array_equal(w[1], dw[1])
    numeric = (dense(s.measure(build(H), b, mode, weight)) - dense(s.measure(build(-H), b, mode, weight))) / (2 * H)
    scale = max(1.0, np.abs(numeric).max())
    assert np.allclose(dense(dw), numeric, rtol=0, atol=2e-5 * scale)
    if family in ("rectangles", "triangles", "deltas"):
        assert np.allclose(dense(w), dense(s.measure(build(0.0), b, mode, weight)), rtol=1e-13, atol=1e-15)
    else:  # profiles take value and derivative in one pass, which keeps the values' bits
        assert np.array_equal(dense(w), dense(s.measure(build(0.0), b, mode, weight)))
    if mode == "rowsum":
        assert np.allclose(dense(dw).sum(axis=1), 0.0, atol=1e-10 * scale)


def test_entries_stored_where_only_the_derivative_is_nonzero():
    # A box kernel on a box of the basis: its right neighbour has value 0 but derivative +1.
    kernel, basis = s.Space.boxes(v([1.0, 2.0])), s.Space.boxes(v([0.0, 1.0, 2.0, 3.0]))
    w, dw = s.measure_derivative(kernel, basis, "none", "center")
    assert list(w[1]) == [1, 2] and np.allclose(w[2], [1.0, 0.0], rtol=0, atol=1e-15) and w[2][1] == 0
    assert np.allclose(dw[2], [-1.0, 1.0], rtol=0, atol=1e-15)


def test_delta_kernels_under_a_weight():
    x, omega = v([0.3, 1.7]), 2.1
    basis = s.Space.bsplines(np.linspace(-1, 3, 9), 3)
    w, dw = s.measure_derivative(s.Space.deltas(x), basis, "none", "center", omega)
    wi, dwi = s.measure_derivative(s.Space.deltas(x), basis, "integral", "center", omega)
    n, dn = np.cos(omega * x), -omega * np.sin(omega * x)
    expected = (dense(dw) - dense(w) * (dn / n)[:, None]) / n[:, None]
    assert np.allclose(dense(dwi), expected, atol=1e-13)


def test_no_kernels():
    w, dw = s.measure_derivative(s.Space.deltas(v([])), BASES["cubic"], "integral", "center")
    for m in (w, dw):
        assert list(m[0]) == [0] and m[3] == (0, len(BASES["cubic"]))


GAUSS = s.Space.gaussians(v([1.0]), v([2.0]), 3.0)


@pytest.mark.parametrize("args, message", [
    ((GAUSS, GAUSS, "Integral", "center"), "normalization must be 'integral', 'rowsum' or 'none', got \"Integral\""),
    ((GAUSS, GAUSS, "Integral", "Center", 0.0), "normalization must be 'integral', 'rowsum' or 'none', got "),
    ((GAUSS, GAUSS, "none", "Center", 0.0), "bad cosine weight scale 0"),
    ((GAUSS, GAUSS, "none", "Center"), 'unknown parameter "Center"'),
    ((GAUSS, GAUSS, "none", 'a"b'), 'unknown parameter "a\\"b"'),
    ((GAUSS, GAUSS, "none", "eta"), "Gaussian { sigma: 2.0 } has no parameter Eta"),
    ((s.Space.boxes(v([0.0, 1.0])), GAUSS, "none", "gamma"), "Gamma applies only to line-shape profiles"),
    ((s.Space.deltas(v([0.0])), GAUSS, "none", "power"), "a delta has no parameter Power"),
])
def test_messages(args, message):
    with pytest.raises(ValueError) as info:
        s.measure_derivative(*args)
    assert str(info.value).startswith(message)


def test_lowest_failing_kernel_decides():
    # Row 0 is a Gaussian (no Eta), row 600 (another block) a box: the Gaussian's message wins.
    boxes = s.Space.boxes(np.linspace(0, 1, 1200))
    gauss = s.Space.gaussians(v([0.5]), v([2.0]), 3.0)
    kernels = s.Space.mapped(gauss, "affine", 0.0, 1.0, True)
    with pytest.raises(ValueError, match=r"^Gaussian \{ sigma: 2\.0 \} has no parameter Eta$"):
        s.measure_derivative(kernels, boxes, "none", "eta")
    with pytest.raises(ValueError, match="^Eta applies only to line-shape profiles$"):
        s.measure_derivative(boxes, boxes, "none", "eta")
    with pytest.raises(TypeError):
        s.measure_derivative(boxes, boxes, "none", 3)


def test_readme_gauss_newton_recovers_a_line_width():
    import spanlet

    pixels = spanlet.Space.boxes(np.arange(996.0, 1004.0, 0.125))
    line = spanlet.Space.voigts([1000.0], 0.03, 0.05, 60)
    observed = spanlet.measure(line, pixels, "none").toarray()[0]
    gamma = 0.08
    for _ in range(4):
        w, dw = spanlet.measure_derivative(spanlet.Space.voigts([1000.0], 0.03, gamma, 60), pixels, "none", "gamma")
        r, j = observed - w.toarray()[0], dw.toarray()[0]
        gamma += (j @ r) / (j @ j)
    assert gamma == pytest.approx(0.05, rel=1e-12)


@pytest.mark.parametrize("parameter", ["center", "scale"])
@pytest.mark.parametrize("normalization", ["none", "integral"])
def test_rows_do_not_depend_on_where_the_origin_lies(parameter, normalization):
    # Knots on a 2^-10 grid are exact doubles at every offset, so shifting the whole problem must
    # not move a single value: derivative integrals run in offsets from each knot interval.
    h = 2.0**-10

    def rows(offset):
        basis = s.Space.bsplines(offset + h * np.arange(12.0), 3)
        kernels = s.Space.hats(offset + h * np.array([2, 3.5, 4, 6.25, 7]))
        return [m[2] for m in s.measure_derivative(kernels, basis, normalization, parameter)]

    at_zero = rows(0.0)
    for offset in (1e3, 1e6, 1e8):
        for before, after in zip(at_zero, rows(offset)):
            assert np.max(np.abs(after - before)) <= 1e-15 * np.max(np.abs(before))


@pytest.mark.parametrize("weight", [None, 1.3])
@pytest.mark.parametrize("mode", ["integral", "rowsum", "none"])
@pytest.mark.parametrize("kernels, parameters", [
    (s.Space.voigts(C, v([0.2] * 3), v([0.1] * 3), 6.0), ["center", "sigma", "gamma", "scale"]),
    (s.Space.gaussians(C, v([0.3] * 3), 4.0), ["sigma", "center"]),
    (s.Space.triangles(C, v([0.5, 0.4, 0.6])), ["center", "scale"]),
], ids=["voigts", "gaussians", "triangles"])
def test_several_parameters_in_one_pass_equal_one_call_each(kernels, parameters, mode, weight):
    import spanlet
    basis = BASES["cubic"]
    w, derivatives = spanlet.measure_derivatives(kernels, basis, mode, parameters, weight)
    for p, dw in zip(parameters, derivatives):
        one_w, one_dw = s.measure_derivative(kernels, basis, mode, p, weight)
        assert np.array_equal(w.toarray(), dense(one_w)) and np.array_equal(dw.toarray(), dense(one_dw))
    with pytest.raises(ValueError, match="parameters"):
        spanlet.measure_derivatives(kernels, basis, mode, ["center", "width"])
