import numpy as np
import pytest

from spanlet._spanlet import Space
from conftest import arr, element_values


def around(*points):
    """Each point with its neighbouring doubles, for probing element ends."""
    return np.array([v for p in points for v in (np.nextafter(p, -np.inf), p, np.nextafter(p, np.inf))])


def test_hats_match_linear_interpolation_of_unit_vectors():
    rng = np.random.default_rng(1)
    nodes = np.sort(rng.uniform(-5, 5, 9))
    space = Space.hats(nodes)
    x = np.concatenate([around(*nodes), rng.uniform(-6, 6, 200)])
    got = element_values(space, x)
    inside = (x >= nodes[0]) & (x <= nodes[-1])
    for i in range(len(nodes)):
        ref = np.where(inside, np.interp(x, nodes, np.eye(len(nodes))[i]), 0.0)
        np.testing.assert_allclose(got[i], ref, rtol=1e-12, atol=1e-12)
    np.testing.assert_array_equal(element_values(space, nodes), np.eye(len(nodes)))
    assert list(space.lower()) == [nodes[0], *nodes[:-1]]
    assert list(space.upper()) == [*nodes[1:], nodes[-1]]
    assert list(space.centers()) == list(nodes)


@pytest.mark.parametrize("seed", range(5))
def test_hats_sum_to_one_on_their_range(seed):
    rng = np.random.default_rng(seed)
    nodes = np.sort(rng.uniform(-10, 10, rng.integers(2, 12)))
    x = np.concatenate([nodes, rng.uniform(nodes[0], nodes[-1], 300)])
    np.testing.assert_allclose(element_values(Space.hats(nodes), x).sum(axis=0), 1.0, rtol=0, atol=1e-14)


def test_hats_example_and_closed_ends():
    got = element_values(Space.hats(arr(0, 1, 3)), [0, 1, 2, 3, -1e-300, 3.0000000000000004])
    np.testing.assert_array_equal(
        got, [[1, 0, 0, 0, 0, 0], [0, 1, 0.5, 0, 0, 0], [0, 0, 0.5, 1, 0, 0]])


def test_boxes_partition_into_half_open_cells():
    edges = arr(-1, 0.5, 2, 7)
    space = Space.boxes(edges)
    x = around(*edges)
    ref = np.array([(x >= a) & (x < b) for a, b in zip(edges[:-1], edges[1:])], dtype=float)
    np.testing.assert_array_equal(element_values(space, x), ref)
    assert element_values(space, [7.0]).sum() == 0.0
    assert list(space.centers()) == [-0.25, 1.25, 4.5]


def test_deltas_keep_order_and_repeats_and_have_no_point_value():
    space = Space.deltas(arr(3, 1, 1, -2))
    assert len(space) == 4
    assert list(space.lower()) == list(space.upper()) == list(space.centers()) == [3, 1, 1, -2]
    assert not element_values(space, arr(3, 1, -2)).any()
    assert len(Space.deltas(arr())) == 0


def test_triangles_are_hats_of_given_half_width():
    centers, hwhm = arr(0, 10, -3), arr(1, 0.25, 2)
    space = Space.triangles(centers, hwhm)
    np.testing.assert_array_equal(space.lower(), centers - 2 * hwhm)
    np.testing.assert_array_equal(space.upper(), centers + 2 * hwhm)
    for i, (c, h) in enumerate(zip(centers, hwhm)):
        x = np.concatenate([around(c - 2 * h, c, c + 2 * h), c + h * np.linspace(-2.5, 2.5, 41)])
        ref = np.clip(1 - np.abs(x - c) / (2 * h), 0, None)
        np.testing.assert_allclose(element_values(space, x)[i], ref, rtol=0, atol=1e-15)
        np.testing.assert_allclose(element_values(space, [c - h, c + h])[i], 0.5)
    # A single half width is shared.
    np.testing.assert_array_equal(Space.triangles(arr(0, 10), arr(1)).upper(), [2, 12])


def test_rectangles_are_half_open():
    space = Space.rectangles(arr(0, 5), arr(2, 1))
    assert list(space.lower()) == [-1, 4.5] and list(space.upper()) == [1, 5.5]
    x = around(-1, 1, 4.5, 5.5)
    ref = np.array([(x >= -1) & (x < 1), (x >= 4.5) & (x < 5.5)], dtype=float)
    np.testing.assert_array_equal(element_values(space, x), ref)


@pytest.mark.parametrize("top,bottom", [(1, 2), (0, 1.5), (0.5, 0.5), (0.25, 3)])
def test_trapezoids_against_closed_form(top, bottom):
    c = 1.75
    space = Space.trapezoids(arr(c), arr(top), arr(bottom))
    assert (space.lower()[0], space.upper()[0]) == (c - bottom, c + bottom)
    x = np.concatenate([around(c - bottom, c - top, c + top, c + bottom),
                        np.linspace(c - bottom - 1, c + bottom + 1, 101)])
    got = element_values(space, x)[0]
    if top == bottom:
        ref = ((x >= c - bottom) & (x < c + bottom)).astype(float)
    else:
        ref = np.interp(x - c, [-bottom, -top, top, bottom], [0, 1, 1, 0])
        ref[x - c >= bottom] = 0  # the last segment is half-open
    np.testing.assert_allclose(got, ref, rtol=0, atol=1e-14)


def test_trapezoids_example_and_per_element_parameters():
    np.testing.assert_array_equal(
        element_values(Space.trapezoids(arr(0), arr(1), arr(2)), [-1.5, -1, 0, 1, 1.5]), [[0.5, 1, 1, 1, 0.5]])
    space = Space.trapezoids(arr(0, 10), arr(0, 1), arr(1))
    np.testing.assert_array_equal(element_values(space, [0.5, 10.5]), [[0.5, 0], [0, 1]])
    assert len(Space.trapezoids(arr(), arr(), arr())) == 0


MESSAGES = [
    (Space.hats, (arr(0),), "nodes needs at least 2 values"),
    (Space.hats, (arr(0, np.nan, 2),), "nodes must be finite"),
    (Space.hats, (arr(0, 1, 1),), "nodes must be strictly increasing"),
    (Space.boxes, (arr(),), "edges needs at least 2 values"),
    (Space.boxes, (arr(2, 1, np.inf),), "edges must be finite"),
    (Space.boxes, (arr(2, 1),), "edges must be strictly increasing"),
    (Space.deltas, (arr(0, -np.inf),), "delta position must be finite"),
    (Space.deltas, (arr(np.nan),), "delta position must be finite"),
    (Space.triangles, (arr(0, 1, 2), arr(1, 1)), "hwhm has length 2, expected 1 or 3"),
    (Space.triangles, (arr(0, 1), arr()), "hwhm has length 0, expected 1 or 2"),
    (Space.triangles, (arr(0), arr(0)), "hat needs finite a <= c <= b with a < b, got (0, 0, 0)"),
    (Space.triangles, (arr(1, 2), arr(1, -0.5)), "hat needs finite a <= c <= b with a < b, got (3, 2, 1)"),
    (Space.triangles, (arr(np.inf), arr(1)), "hat needs finite a <= c <= b with a < b, got (inf, inf, inf)"),
    (Space.triangles, (arr(0), arr(1e308)),
     "hat needs finite a <= c <= b with a < b, got (-inf, 0, inf)"),
    (Space.rectangles, (arr(0, 1, 2), arr(1, 2)), "widths has length 2, expected 1 or 3"),
    (Space.rectangles, (arr(0), arr(-1)), "box needs finite a < b, got [0.5, -0.5]"),
    (Space.rectangles, (arr(0, np.nan), arr(1)), "box needs finite a < b, got [NaN, NaN]"),
    (Space.trapezoids, (arr(0, 1, 2), arr(1, 1), arr(1, 1)), "top has length 2, expected 1 or 3"),
    (Space.trapezoids, (arr(0, 1, 2), arr(1), arr(1, 1)), "bottom has length 2, expected 1 or 3"),
    (Space.trapezoids, (arr(), arr(2), arr(1)), "trapezoid needs 0 <= top <= bottom, bottom > 0; got 2, 1"),
    (Space.trapezoids, (arr(), arr(0), arr(0)), "trapezoid needs 0 <= top <= bottom, bottom > 0; got 0, 0"),
    (Space.trapezoids, (arr(0), arr(0), arr(-0.0)), "trapezoid needs 0 <= top <= bottom, bottom > 0; got 0, -0"),
    (Space.trapezoids, (arr(0, 1), arr(1), arr(2, np.nan)),
     "trapezoid needs 0 <= top <= bottom, bottom > 0; got 1, NaN"),
    # Element order decides; within an element the shape comes before the center.
    (Space.trapezoids, (arr(np.nan, 1), arr(1), arr(2, 0.5)),
     "piecewise element needs finite center and stretch > 0"),
    (Space.trapezoids, (arr(np.nan, 1), arr(1), arr(0.5, 2)),
     "trapezoid needs 0 <= top <= bottom, bottom > 0; got 1, 0.5"),
]


@pytest.mark.parametrize("build,args,message", MESSAGES)
def test_failure_messages(build, args, message):
    with pytest.raises(ValueError) as info:
        build(*args)
    assert str(info.value) == message


def test_arguments_are_named_in_conversion_errors():
    with pytest.raises(TypeError, match="'edges'"):
        Space.boxes([0.0, 1.0])
    with pytest.raises(TypeError, match="'widths'"):
        Space.rectangles(arr(0), np.ones((1, 1)))
    with pytest.raises(TypeError, match="'bottom'"):
        Space.trapezoids(arr(0), arr(1), "2")


def test_messages_give_the_shortest_digits_of_large_numbers():
    with pytest.raises(ValueError, match=r"^box needs finite a < b, got \[12345000000000000000000, 12345000000000000000000\]$"):
        Space.rectangles(np.array([1.2345e22]), np.array([0.0]))
