"""Conversion of Python arguments: arrays, integers, floats, bools, strings, sequences, tuples."""

import sys

import numpy as np
import pytest

from spanlet import _spanlet
from _spanlet_tests import convert

Space = _spanlet.Space
BSPLINE_CONSTRUCTORS = [
    (Space.bsplines, "knots"),
    (Space.bsplines_clamped, "breakpoints"),
    (Space.bsplines_periodic, "breakpoints"),
]


class Float64Subclass(np.ndarray):
    pass


def views_of(values):
    """Differently laid-out float64 arrays holding `values` in index order."""
    spaced = np.zeros(3 * len(values))
    spaced[::3] = values
    unaligned = np.zeros(8 * len(values) + 1, np.uint8)[1:].view(np.float64)
    unaligned[:] = values
    readonly = np.array(values)
    readonly.flags.writeable = False
    return {
        "strided": spaced[::3],
        "reversed": np.array(values[::-1])[::-1],
        "swapped": np.array(values, dtype=np.dtype(">f8")),
        "unaligned": unaligned,
        "readonly": readonly,
        "subclass": np.array(values).view(Float64Subclass),
        "fortran column": np.asfortranarray(np.stack([values, values], axis=1))[:, 1],
    }


@pytest.mark.parametrize("layout", list(views_of(np.arange(3.0))))
def test_vec_reads_any_layout_in_index_order(layout):
    values = np.array([0.5, -1.0, 3.25, np.inf, -0.0, 1e-300])
    assert convert("vec", views_of(values)[layout]).tobytes() == values.tobytes()  # bit-exact, -0 included
    # The same through a public entry point.
    knots = np.array([0.0, 0.5, 1.5, 2.0, 4.0])
    space = Space.bsplines(views_of(knots)[layout], 1)
    np.testing.assert_array_equal(space.centers(), Space.bsplines(knots, 1).centers())


def test_rows_reads_any_layout():
    matrix = np.arange(12.0).reshape(3, 4)
    for view in (matrix.T, matrix[::-1, ::2], matrix.astype(">f8"), np.asfortranarray(matrix)):
        np.testing.assert_array_equal(convert("rows", view), np.ascontiguousarray(view))
    assert convert("rows", np.zeros((0, 3))).shape[0] == 0


@pytest.mark.parametrize(
    "value",
    [[0.0, 1.0, 2.0], (0.0, 1.0, 2.0), np.arange(3, dtype=np.float32), np.arange(3), np.arange(4.0).reshape(2, 2),
     np.float64(1.0), np.array(1.0), np.arange(3.0).astype(np.complex128), None],
    ids=["list", "tuple", "float32", "int64", "2-D", "scalar", "0-D", "complex", "None"],
)
@pytest.mark.parametrize("build, name", BSPLINE_CONSTRUCTORS)
def test_array_argument_refuses_other_types(build, name, value):
    with pytest.raises(TypeError, match=f"'{name}'"):
        build(value, 1)


@pytest.mark.parametrize(
    "degree, error",
    [(1.0, TypeError), ("1", TypeError), (np.float64(1), TypeError), (None, TypeError),
     (-1, OverflowError), (2**64, OverflowError), (-(2**70), OverflowError)],
)
@pytest.mark.parametrize("build, name", BSPLINE_CONSTRUCTORS)
def test_degree_conversion_errors(build, name, degree, error):
    with pytest.raises(error, match="'degree'"):
        build(np.arange(6.0), degree)


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 4


class FailingFloat:
    def __float__(self):
        raise ZeroDivisionError("no value")


@pytest.mark.parametrize("value", [0, 5, 2**64 - 1, np.int64(7), np.uint64(2**64 - 1), np.uint8(3), Indexy()])
def test_u64_accepts_integers(value):
    assert convert("u64", value) == value.__index__()


@pytest.mark.parametrize(
    "value, expected",
    [(3, 3.0), (2.5, 2.5), (np.float32(0.5), 0.5), (np.int16(-4), -4.0), (Floaty(), 2.5), (True, 1.0),
     (np.float64("nan"), None), (float("-inf"), float("-inf")), (2**60 + 1, float(2**60 + 1))],
)
def test_f64_accepts_numbers(value, expected):
    out = convert("f64", value)
    assert np.isnan(out) if expected is None else out == expected


@pytest.mark.parametrize(
    "value, error",
    [("1.5", TypeError), (None, TypeError), (b"1", TypeError), (10**400, OverflowError),
     (FailingFloat(), ZeroDivisionError), (1j, TypeError)],
)
def test_f64_errors_name_argument(value, error):
    with pytest.raises(error, match="^argument 'value'"):
        convert("f64", value)


def test_optional_f64():
    assert convert("optional_f64", None) is None
    assert convert("optional_f64", 3) == 3.0
    with pytest.raises(TypeError, match="'value'"):
        convert("optional_f64", "x")


@pytest.mark.parametrize("value, expected", [(True, True), (False, False), (np.bool_(True), True),
                                             (np.bool_(False), False)])
def test_bool_accepts_bools(value, expected):
    assert convert("bool", value) is expected


@pytest.mark.parametrize("value", [1, 0, None, 1.0, "True", np.array(True), np.array([True])])
def test_bool_refuses_other_types(value):
    with pytest.raises(TypeError, match="'value'"):
        convert("bool", value)


@pytest.mark.parametrize("value", ["", "linear", "\u00e9\u4e2d\U0001f600", "a\0b", np.str_("pchip")])
def test_str_round_trips(value):
    assert convert("str", value) == value


@pytest.mark.parametrize("value, error", [(b"linear", TypeError), (bytearray(b"x"), TypeError), (1, TypeError),
                                          (None, TypeError), ("a\ud800", TypeError)])
def test_str_refuses_other_types(value, error):
    with pytest.raises(error, match="'value'"):
        convert("str", value)


@pytest.mark.parametrize("value", [(1, 2), [1, 2], range(1, 3), np.array([1, 2])])
def test_list_accepts_sequences(value):
    assert convert("u64_list", value) == [1, 2]


@pytest.mark.parametrize("value, error", [("12", TypeError), (5, TypeError), (iter([1]), TypeError),
                                          ({1, 2}, TypeError), ([1, -1], OverflowError), ([1, 1.0], TypeError)])
def test_list_errors_name_argument(value, error):
    with pytest.raises(error, match="'value'"):
        convert("u64_list", value)


class LyingSequence:
    """A sequence whose reported length disagrees with its items."""

    def __init__(self, length, items):
        self.length, self.items = length, items

    def __len__(self):
        if isinstance(self.length, BaseException):
            raise self.length
        return self.length

    def __getitem__(self, i):
        return self.items[i]


@pytest.mark.parametrize("length", [0, 1, 2**62, 2**31 + 5])
def test_list_length_is_only_a_hint(length):
    assert convert("u64_list", LyingSequence(length, [4, 5, 6])) == [4, 5, 6]


@pytest.mark.parametrize("length, items, error", [(-1, [4], ValueError), (2**63, [4], OverflowError),
                                                  (RuntimeError("no length"), [4], RuntimeError),
                                                  (3, {0: 4}, KeyError)])  # an item that fails to load
def test_list_with_broken_length_or_items_raises(length, items, error):
    with pytest.raises(error, match="'value'"):
        convert("u64_list", LyingSequence(length, items))


def test_tuple_of_declared_length():
    assert convert("pair", (1, 2.5)) == (1.0, 2.5)


@pytest.mark.parametrize("value, error, text", [
    ((1,), ValueError, "expected a tuple of length 2, got length 1"),
    ((1, 2, 3), ValueError, "expected a tuple of length 2, got length 3"),
    ((), ValueError, "expected a tuple of length 2, got length 0"),
    ([1, 2], TypeError, "tuple"),
    (np.array([1.0, 2.0]), TypeError, "tuple"),
    ((1, "x"), TypeError, ""),
])
def test_tuple_errors(value, error, text):
    with pytest.raises(error, match=f"'value'.*{text}"):
        convert("pair", value)


@pytest.mark.parametrize("build, name", BSPLINE_CONSTRUCTORS)
@pytest.mark.parametrize("degree", [0, 1, 2, 3, 4, 2**64 - 1])
@pytest.mark.parametrize(
    "values",
    [[], [np.nan], [0.0, np.nan, 2.0], [-np.inf, 0.0, np.inf], [0.0] * 5, [-1e308, 0.0, 1e308],
     [-1e308, -1e308, 1e308, 1e308, 1e308], [0.0, 5e-324, 1e-323, 1.5e-323, 2e-323],
     [1e300, 1e300 * (1 + 2e-16), 1e300 * (1 + 4e-16), 1e300 * (1 + 8e-16)],
     list(np.cumsum(np.random.default_rng(1).exponential(size=2000)))],
    ids=["empty", "nan", "inner nan", "inf", "repeated", "huge", "huge repeated", "subnormal", "dense huge",
         "long"],
)
def test_bad_or_extreme_values_never_crash(build, name, degree, values):
    try:
        space = build(np.array(values, dtype=np.float64), degree)
    except ValueError as error:
        assert str(error)
        return
    assert len(space) > 0
    assert np.all(space.lower() <= space.upper())


def test_calls_leave_argument_references_unchanged():
    knots, big, items = np.arange(6.0), 10**30, [1, 2, "a"]
    calls = [lambda: Space.bsplines(knots, 2), lambda: Space.bsplines(knots, big),
             lambda: Space.bsplines_periodic(knots, 9), lambda: convert("u64_list", items),
             lambda: convert("f64", FailingFloat())]
    before = [sys.getrefcount(o) for o in (knots, big, items)]
    for _ in range(100):
        for call in calls:
            try:
                call()
            except (ValueError, TypeError, OverflowError, ZeroDivisionError):
                pass
    assert [sys.getrefcount(o) for o in (knots, big, items)] == before
