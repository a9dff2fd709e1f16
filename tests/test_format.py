"""Renderings of numbers and strings used in messages."""

import math
import re
from decimal import Decimal

import pytest
from hypothesis import given
from hypothesis import strategies as st

from _spanlet_tests import decimal, exponent, quoted, structural, structural_record

NAN = float("nan")
INF = float("inf")
finite_floats = st.floats(allow_nan=False, allow_infinity=False)


def reference_positional(x):
    """Python's shortest round-trip digits written out without an exponent."""
    text = format(Decimal(repr(x)), "f")
    return text[:-2] if text.endswith(".0") else text


def reference_exponent(x):
    sign, digits, power = Decimal(repr(x)).normalize().as_tuple()
    mantissa = "".join(map(str, digits))
    power += len(digits) - 1
    if len(mantissa) > 1:
        mantissa = mantissa[0] + "." + mantissa[1:]
    return ("-" if sign else "") + f"{mantissa}e{power}"


def unquote(text):
    assert text[0] == text[-1] == '"'
    simple = {'"': '"', "\\": "\\", "t": "\t", "n": "\n", "r": "\r", "0": "\0"}
    out, i, body = [], 0, text[1:-1]
    while i < len(body):
        c = body[i]
        assert c != '"', "unescaped quote"
        if c != "\\":
            out.append(c)
            i += 1
        elif body[i + 1] in simple:
            out.append(simple[body[i + 1]])
            i += 2
        else:
            match = re.match(r"u\{([0-9a-f]+)\}", body[i + 1:])
            assert match, body[i:]
            out.append(chr(int(match.group(1), 16)))
            i += 1 + match.end()
    return "".join(out)


@pytest.mark.parametrize(
    "value, text",
    [(1.0, "1"), (0.5, "0.5"), (-0.0, "-0"), (0.0, "0"), (1e-7, "0.0000001"), (-2.5, "-2.5"), (100.0, "100"),
     (1e16, "10000000000000000"), (0.1, "0.1"), (INF, "inf"), (-INF, "-inf"), (NAN, "NaN"), (-NAN, "NaN"),
     (1.2345e22, "12345000000000000000000"), (-1e300, "-1" + "0" * 300), (5e-324, "0." + "0" * 323 + "5"),
     (123.456, "123.456"), (2.0**70, "1180591620717411300000")],
)
def test_decimal(value, text):
    assert decimal(value) == text


@pytest.mark.parametrize(
    "value, text",
    [(0.0, "0e0"), (-0.0, "-0e0"), (2.5e-4, "2.5e-4"), (1.0, "1e0"), (12345.0, "1.2345e4"), (1e100, "1e100"),
     (5e-324, "5e-324"), (-1.5e300, "-1.5e300"), (NAN, "NaN"), (INF, "inf"), (-INF, "-inf")],
)
def test_exponent(value, text):
    assert exponent(value) == text


@pytest.mark.parametrize(
    "value, text",
    [(2.0, "2.0"), (0.0, "0.0"), (-0.0, "-0.0"), (1e-7, "1e-7"), (1e16, "1e16"), (1e-4, "0.0001"),
     (9.5e-5, "9.5e-5"), (-1e16, "-1e16"), (9999999999999998.0, "9999999999999998.0"), (0.25, "0.25"),
     (NAN, "NaN"), (-INF, "-inf")],
)
def test_structural(value, text):
    assert structural(value) == text


@given(st.floats())
def test_decimal_reads_back(x):
    text = decimal(x)
    assert "e" not in text.lower() or text == "NaN"
    back = float(text)
    assert back == x or (math.isnan(x) and math.isnan(back))
    assert math.copysign(1, back) == math.copysign(1, x) or math.isnan(x)


@given(finite_floats)
def test_decimal_digits_are_shortest(x):
    # As many significant digits as repr, at any magnitude.
    assert decimal(x) == reference_positional(x)


@given(finite_floats)
def test_exponent_matches_shortest_digits(x):
    text = exponent(x)
    assert text == reference_exponent(x)
    assert float(text) == x


@given(finite_floats)
def test_structural_matches_python_repr(x):
    # Python's repr switches to exponent form at the same magnitudes, and always shows a point.
    if x == 0 or 1e-4 <= abs(x) < 1e16:
        assert structural(x) == repr(x)
    else:
        assert structural(x) == exponent(x)


def test_structural_record():
    assert structural_record("Gaussian", ["sigma"], [2.0]) == "Gaussian { sigma: 2.0 }"
    assert structural_record("Voigt", ["sigma", "gamma"], [1e-7, -3.0]) == "Voigt { sigma: 1e-7, gamma: -3.0 }"


@pytest.mark.parametrize(
    "text, rendered",
    [("linear", '"linear"'), ("", '""'), ('say "hi"', r'"say \"hi\""'), ("a\\b", r'"a\\b"'),
     ("tab\there", r'"tab\there"'), ("two\nlines\r", r'"two\nlines\r"'), ("\u00e9t\u00e9", '"\u00e9t\u00e9"')],
)
def test_quoted(text, rendered):
    assert quoted(text) == rendered


@given(st.text())
def test_quoted_reads_back(text):
    rendered = quoted(text)
    assert not any(ord(c) < 0x20 or ord(c) == 0x7F for c in rendered)
    assert unquote(rendered) == text
