"""Package-layer refusals speak of the caller's arguments, not of the native elements behind them."""

import numpy as np
import pytest

import spanlet
from spanlet import _spanlet
from spanlet._functions import PARAMETERS
from spanlet._space import APODIZATIONS
from spanlet.covariance import FAMILIES, covariance_diagonal, covariance_matrix

S = spanlet.Space
POINTS = S.deltas(np.linspace(0, 1, 20))
MODEL = S.hats(np.linspace(0, 1, 5))
GAUSS = [("gaussian", 1.0, None, None)]


@pytest.mark.parametrize("call,error,text", [
    (lambda: spanlet.evaluate(S.hats([0, 1]), [0, 1, 2, np.nan]), ValueError, "x must be finite, got nan at index 3"),
    (lambda: spanlet.evaluate(S.hats([0, 1]), -np.inf), ValueError, "x must be finite, got -inf at index 0"),
    (lambda: S.deltas([0, np.nan]), ValueError, "x must be finite, got nan at index 1"),
    (lambda: S.rectangles([0, 1], [1, 0]), ValueError, "widths must be finite and > 0, got 0.0 at index 1"),
    (lambda: S.rectangles([0, 1], np.inf), ValueError, "widths must be finite and > 0, got inf at index 0"),
    (lambda: S.rectangles([0, np.nan], 1), ValueError, "centers must be finite, got nan at index 1"),
    (lambda: S.triangles([0, 1], -0.5), ValueError, "hwhm must be finite and > 0, got -0.5 at index 0"),
    (lambda: S.trapezoids([np.inf], 1, 2), ValueError, "centers must be finite, got inf at index 0"),
    (lambda: S.gaussians([0, np.nan], 1, 3), ValueError, "centers must be finite, got nan at index 1"),
    (lambda: S.fts([np.nan], 1, 10, "hann"), ValueError, "centers must be finite, got nan at index 0"),
    (lambda: S.bsplines(np.arange(10), 5), ValueError, "degree must be 0, 1, 2 or 3, got 5"),
    (lambda: S.bsplines_clamped([0, 1, 2], -1), ValueError, "degree must be 0, 1, 2 or 3, got -1"),
    (lambda: S.bsplines_periodic(np.arange(10), 4), ValueError, "degree must be 0, 1, 2 or 3, got 4"),
    (lambda: spanlet.lsq_spline(np.linspace(0, 1, 9), np.zeros(9), [0, 1], 4), ValueError,
     "degree must be 0, 1, 2 or 3, got 4"),
    (lambda: spanlet.smoothing_spline([0, 2, 1, 3], [0, 1, 2, 3], 0.1), ValueError,
     "x must be strictly increasing, got 1.0 at index 2 after 2.0"),
    (lambda: spanlet.smoothing_spline([0, 1, 1], [0, 1, 2], 0.1), ValueError,
     "x must be strictly increasing, got 1.0 at index 2 after 1.0"),
    (lambda: S.deltas([0, 1]).mapped("reciprocal", 1.0), ValueError,
     "the reciprocal map with a=1.0, b=1.0 sends a point mass to a non-finite position"),
    (lambda: covariance_matrix(1.0, GAUSS, np.linspace(0, 1, 5)), TypeError,
     "argument 'a': expected a Space or a sequence of Spaces, got numbers; for atoms at points x use Space.deltas(x)"),
    (lambda: covariance_diagonal(1.0, GAUSS, [0.0, 1.0]), TypeError,
     "argument 'a': expected a Space or a sequence of Spaces, got numbers; for atoms at points x use Space.deltas(x)"),
    (lambda: covariance_matrix(1.0, GAUSS, POINTS, b=np.zeros(3)), TypeError,
     "argument 'b': expected a Space or a sequence of Spaces, got numbers; for atoms at points x use Space.deltas(x)"),
])
def test_refusals_name_the_argument(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert str(info.value) == text


WEIGHTED = {
    "Fit": lambda w: spanlet.Fit(POINTS, MODEL, "none", 0.1, "difference", 2, weight=w),
    "Fit.from_lambda": lambda w: spanlet.Fit.from_lambda(POINTS, MODEL, "none", 0.1, "difference", 2, weight=w),
    "Projection": lambda w: spanlet.Projection(MODEL, MODEL, w),
    "inner_products": lambda w: spanlet.inner_products(MODEL, MODEL, weight=w),
    "measure": lambda w: spanlet.measure(POINTS, MODEL, "none", w),
    "measure_derivative": lambda w: spanlet.measure_derivative(S.gaussians([0.5], 0.1, 3), MODEL, "none", "center", w),
    "integrals": lambda w: MODEL.integrals(w),
}


@pytest.mark.parametrize("name", WEIGHTED)
@pytest.mark.parametrize("weight,error,text", [
    (np.ones(20), TypeError,
     "weight must be None or a single number, the frequency ω of the weight cos(ωt), got an array of shape (20,)"),
    ([2.0], TypeError,
     "weight must be None or a single number, the frequency ω of the weight cos(ωt), got an array of shape (1,)"),
    (0, ValueError, "weight must be None or a non-zero finite number, got 0.0"),
    (np.nan, ValueError, "weight must be None or a non-zero finite number, got nan"),
])
def test_weight_is_one_cosine_frequency(name, weight, error, text):
    with pytest.raises(error) as info:
        WEIGHTED[name](weight)
    assert str(info.value) == text


@pytest.mark.parametrize("name", WEIGHTED)
def test_scalar_weights_still_reach_the_native_call(name):
    WEIGHTED[name](np.float64(0.5))  # a NumPy scalar is one number
    WEIGHTED[name](np.array(0.5))


def test_native_messages_stay():
    with pytest.raises(ValueError, match="^delta position must be finite$"):
        _spanlet.evaluate(_spanlet.Space.hats(np.array([0.0, 1.0])), np.array([np.nan]))
    with pytest.raises(ValueError, match=r"^box needs finite a < b, got \[1, 1\]$"):
        _spanlet.Space.rectangles(np.array([1.0]), np.array([0.0]))


# The package keeps its own lists of option names so that it can list them; each must be one the
# native call takes, and a name outside it must be one the native call refuses.
OPTIONS = {
    "parameter": (PARAMETERS, "centre",
                  lambda p: _spanlet.measure_derivative(S.smoothed_boxes([0.5], 0.2, 0.05, 4).native, MODEL.native,
                                                        "none", p)),
    "apodization": (APODIZATIONS, "hanning2", lambda a: _spanlet.Space.fts(np.array([0.0]), np.array([1.0]), 10.0, a)),
    "covariance family": (FAMILIES, "gauss",
                          lambda f: _spanlet.covariance_diagonal(1.0, [(f, 1.0, None, None)], [POINTS.native], [None])),
}
PACKAGE_CALLS = {
    "parameter": lambda p: spanlet.measure_derivative(S.gaussians([0.5], 0.1, 3), MODEL, "none", p),
    "apodization": lambda a: S.fts([0.0], 1.0, 10.0, a),
    "covariance family": lambda f: covariance_diagonal(1.0, [(f, 1.0, None, None)], POINTS),
}


@pytest.mark.parametrize("what", OPTIONS)
def test_unknown_names_list_the_choices(what):
    names, wrong, native = OPTIONS[what]
    listed = ", ".join(f'"{n}"' for n in names)
    with pytest.raises(ValueError) as info:
        PACKAGE_CALLS[what](wrong)
    assert str(info.value) == f'unknown {what} "{wrong}": expected one of {listed}'
    with pytest.raises(ValueError, match=f'^unknown {what} "{wrong}"$'):
        native(wrong)
    for name in names:
        try:
            native(name)
        except ValueError as error:  # a kernel may lack the parameter; the name itself is known
            assert not str(error).startswith("unknown"), name
