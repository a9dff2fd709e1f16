"""Module registration, the Space class and its accessors."""

import inspect
import math
import os

import numpy as np
import pytest

import spanlet
from spanlet import _spanlet

# Every public name of the module in registration order, with the text signatures of the
# callables: a native name that disappears or is renamed fails here, and one without a package
# face fails in test_package_api.
MODULE_NAMES = {
    "__version__": None,
    "SingularError": None,
    "FWHM_PER_SIGMA": None,
    "Space": None,
    "Projection": "(src, dst, weight=None)",
    "Fit": "(kernels, model, normalization, smoothing, penalty, order, weight=None)",
    "inner_products": "(a, b, weight=None)",
    "measure": "(kernels, basis, normalization, weight=None)",
    "measure_derivative": "(kernels, basis, normalization, parameter, weight=None)",
    "evaluate": "(basis, x)",
    "faddeeva_re": "(x, y)",
    "covariance_matrix": "(variance, dims, a, wa, b, wb, symmetric=False)",
    "covariance_diagonal": "(variance, dims, a, wa)",
    "covariance_length_derivatives": "(variance, dims, a, wa)",
}

# Methods of Space in the order of its method table, with their text signatures.
SPACE_METHODS = {
    "deltas": "(x)",
    "boxes": "(edges)",
    "hats": "(nodes)",
    "bsplines": "(knots, degree)",
    "harmonics": "(n, period, start)",
    "bsplines_periodic": "(breakpoints, degree)",
    "bsplines_clamped": "(breakpoints, degree)",
    "gaussians": "(centers, sigma, cutoff)",
    "lorentzians": "(centers, hwhm, cutoff)",
    "voigts": "(centers, sigma, gamma, cutoff)",
    "pseudo_voigts": "(centers, hwhm, eta, cutoff)",
    "super_gaussians": "(centers, hwhm_left, hwhm_right, power, cutoff)",
    "smoothed_boxes": "(centers, half_width, sigma, cutoff)",
    "fts": "(centers, max_opd, cutoff, apodization=None, cosine_sum=None, polynomial=None)",
    "rectangles": "(centers, widths)",
    "triangles": "(centers, hwhm)",
    "trapezoids": "(centers, top, bottom)",
    "shifted": "(shape_x, shape_y, centers, stretch, interp)",
    "tabulated": "(centers, x, y, interp)",
    "mapped": "($self, kind, a, b, jacobian)",
    "take": "($self, indices)",
    "derivative": "($self, order)",
    "lower": "($self)",
    "upper": "($self)",
    "centers": "($self)",
    "integrals": "($self, weight=None)",
}

# Members of the operator classes: methods with their text signatures, properties with None.
OPERATOR_MEMBERS = {
    "Projection": {"cross": "($self)", "to_dense": "($self)", "apply_last_axis": "($self, f, bounds=None)",
                   "n_dst": None, "n_src": None},
    "Fit": {"design": "($self)", "to_dense": "($self)", "apply_last_axis": "($self, data)",
            "n_data": None, "n_model": None},
}

# Classes that Python code cannot call.
NOT_CALLABLE = {"Space"}


def registered_names(namespace):
    return [n for n in vars(namespace) if n == "__version__" or not n.startswith("__")]


def module_callables():
    for name in registered_names(_spanlet):
        value = getattr(_spanlet, name)
        if callable(value) and name not in NOT_CALLABLE and not (
            isinstance(value, type) and issubclass(value, BaseException)
        ):
            yield name, value
        if isinstance(value, type) and not issubclass(value, BaseException):
            for method in registered_names(value):
                if callable(getattr(value, method)):  # not properties
                    yield f"{name}.{method}", getattr(value, method)


def test_registration_order():
    registered = registered_names(_spanlet)
    assert registered == list(MODULE_NAMES)
    for name in registered:
        if MODULE_NAMES[name] is not None:
            assert getattr(_spanlet, name).__text_signature__ == MODULE_NAMES[name]


def test_package_version_is_the_module_version():
    assert spanlet.__version__ == _spanlet.__version__ == "0.2.0"


def test_singular_error():
    cls = _spanlet.SingularError
    assert issubclass(cls, ValueError)
    assert f"{cls.__module__}.{cls.__name__}" == "_spanlet.SingularError"
    assert cls.__doc__ is None
    with pytest.raises(ValueError, match="^not solvable$"):
        raise cls("not solvable")


def test_fwhm_per_sigma():
    assert _spanlet.FWHM_PER_SIGMA == 2.3548200450309493
    assert _spanlet.FWHM_PER_SIGMA == 2 * math.sqrt(2 * math.log(2))
    assert type(_spanlet.FWHM_PER_SIGMA) is float


def test_space_method_table():
    registered = registered_names(_spanlet.Space)
    assert registered == list(SPACE_METHODS)
    for name in registered:
        assert getattr(_spanlet.Space, name).__text_signature__ == SPACE_METHODS[name]


@pytest.mark.parametrize("cls", OPERATOR_MEMBERS)
def test_operator_member_tables(cls):
    native = getattr(_spanlet, cls)
    assert registered_names(native) == list(OPERATOR_MEMBERS[cls])
    for name, signature in OPERATOR_MEMBERS[cls].items():
        member = getattr(native, name)
        assert getattr(member, "__text_signature__", None) == signature, name
        assert (signature is None) == (not callable(member)), name  # properties are data, not methods


@pytest.mark.parametrize("name, value", list(module_callables()), ids=lambda v: v if isinstance(v, str) else "")
def test_signatures_are_introspectable(name, value):
    assert value.__text_signature__ is not None, name
    inspect.signature(value)


def test_space_is_not_constructible_and_immutable():
    with pytest.raises(TypeError):
        _spanlet.Space()
    with pytest.raises(TypeError):
        _spanlet.Space.__new__(_spanlet.Space)
    space = _spanlet.Space.bsplines(np.arange(4.0), 1)
    with pytest.raises(AttributeError):
        space.extra = 1
    with pytest.raises((AttributeError, TypeError)):
        _spanlet.Space.lower = None


def test_accessors_of_bsplines():
    knots = np.array([0.0, 1.0, 1.0, 3.0, 4.0, 7.0])
    space = _spanlet.Space.bsplines(knots, 2)
    assert len(space) == 3
    np.testing.assert_array_equal(space.lower(), knots[:3])
    np.testing.assert_array_equal(space.upper(), knots[3:])
    np.testing.assert_array_equal(space.centers(), (knots[:3] + knots[3:]) / 2)


def test_accessors_return_fresh_arrays():
    space = _spanlet.Space.bsplines(np.arange(5.0), 0)
    first = space.lower()
    assert first.dtype == np.float64 and first.flags.writeable and first.flags.owndata
    first[:] = -1
    np.testing.assert_array_equal(space.lower(), np.arange(4.0))
    assert space.centers() is not space.centers()


@pytest.mark.skipif("libasan" in os.environ.get("LD_PRELOAD", ""), reason="the sanitizer keeps freed memory")
def test_results_hand_over_their_buffers_and_free_them():
    basis = _spanlet.Space.bsplines_clamped(np.linspace(0, 1, 200), 3)
    x = np.linspace(0, 1, 100_000)
    want = [a.copy() for a in _spanlet.evaluate(basis, x)[:3]]

    def resident():
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")

    before = resident()
    for _ in range(50):  # 6.4 MB each: 320 MB if the buffers were kept
        got = _spanlet.evaluate(basis, x)
    assert resident() - before < 100e6
    for a, w in zip(got[:3], want):
        assert a.dtype == w.dtype and a.flags.writeable and a.flags.c_contiguous
        np.testing.assert_array_equal(a, w)
        a[:] = 0
    np.testing.assert_array_equal(_spanlet.evaluate(basis, x)[2], want[2])


def test_keyword_arguments():
    knots = np.arange(5.0)
    by_keyword = _spanlet.Space.bsplines(degree=1, knots=knots)
    np.testing.assert_array_equal(_spanlet.Space.bsplines(knots, 1).lower(), by_keyword.lower())


@pytest.mark.parametrize(
    "args, kwargs, text",
    [((np.arange(4.0),), {}, "degree"), ((), {"degree": 1}, "knots"), ((np.arange(4.0), 1, 2), {}, "at most"),
     ((np.arange(4.0), 1), {"degree": 1}, "degree"), ((np.arange(4.0),), {"degree": 1, "order": 2}, "order")],
)
def test_argument_matching_errors(args, kwargs, text):
    with pytest.raises(TypeError, match=text):
        _spanlet.Space.bsplines(*args, **kwargs)
    with pytest.raises(TypeError):
        _spanlet.Space.bsplines(np.arange(4.0), 1).lower(1)


def test_empty_space():
    space = _spanlet.Space.bsplines(np.arange(4.0), 1).take([])
    assert len(space) == 0
    for values in (space.lower(), space.upper(), space.centers()):
        assert values.shape == (0,) and values.dtype == np.float64
