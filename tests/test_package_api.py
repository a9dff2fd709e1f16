"""The package layer: coverage of the native names, documentation, input conversion, results."""

import doctest
import importlib
import inspect
import pkgutil

import numpy as np
import pytest
import scipy.sparse

import spanlet
from spanlet import _spanlet

PACKAGE_MODULES = ["spanlet"] + [f"spanlet.{m.name}" for m in pkgutil.iter_modules(spanlet.__path__)
                                 if m.name not in ("_spanlet", "libspanlet_native")]


def native_public(namespace):
    return [n for n in vars(namespace) if not n.startswith("_")]


def test_every_native_name_has_a_package_face():
    # A native function or Space method added without its package wrapper fails here: see
    # src/spanlet/DEVELOPING.md for the pattern.
    missing = [n for n in native_public(_spanlet) if not hasattr(spanlet, n)]
    missing += [f"Space.{n}" for n in native_public(_spanlet.Space) if not hasattr(spanlet.Space, n)]
    for cls in ("Projection", "Fit"):
        missing += [f"{cls}.{n}" for n in native_public(getattr(_spanlet, cls))
                    if not hasattr(getattr(spanlet, cls), n)]
    assert missing == []
    assert sorted(spanlet.__all__) == sorted(set(spanlet.__all__))
    assert all(hasattr(spanlet, n) for n in spanlet.__all__)


def documented_objects():
    for name in spanlet.__all__:
        value = getattr(spanlet, name)
        if not callable(value) or isinstance(value, type) and issubclass(value, BaseException):
            continue  # constants and the native exception are documented in the package docstring
        yield name, value
        if isinstance(value, type):
            for member, attribute in vars(value).items():
                if not member.startswith("_"):
                    yield f"{name}.{member}", getattr(value, member)


@pytest.mark.parametrize("name,value", list(documented_objects()), ids=lambda v: v if isinstance(v, str) else "")
def test_public_names_have_a_reference_docstring(name, value):
    doc = inspect.getdoc(value)
    assert doc, name
    if not isinstance(value, property):
        assert "Examples\n--------\n>>> " in doc, name
        inspect.signature(value)  # every wrapper reports a signature


def test_package_docstring_lists_every_public_name():
    for name in spanlet.__all__:
        if name != "__version__":
            assert name in spanlet.__doc__, name


@pytest.mark.parametrize("module", PACKAGE_MODULES)
def test_doctests(module):
    result = doctest.testmod(importlib.import_module(module), optionflags=doctest.NORMALIZE_WHITESPACE)
    assert result.failed == 0


# The same call with float64 arrays on the native module, and with user-style inputs on the package.
INPUTS = {
    "list": lambda a: a.tolist(),
    "int": lambda a: a.astype(np.int64) if np.all(a == np.round(a)) else a.tolist(),
    "float32-exact": lambda a: a.astype(np.float32) if np.all(a.astype(np.float32) == a) else a,
    "strided": lambda a: np.repeat(a, 2, axis=-1)[..., ::2],
    "reversed-copy": lambda a: a[::-1].copy()[::-1],
}

CONSTRUCTORS = [
    ("bsplines", (np.array([0.0, 1, 2, 3, 5, 6]), 2)),
    ("bsplines_clamped", (np.array([0.0, 0.5, 2, 3]), 3)),
    ("bsplines_periodic", (np.array([0.0, 1, 2, 4, 5]), 2)),
    ("hats", (np.array([0.0, 1, 3, 4]),)),
    ("boxes", (np.array([0.0, 1, 3, 4]),)),
    ("deltas", (np.array([3.0, 1, 2, 2]),)),
    ("triangles", (np.array([0.0, 4, 1]), np.array([1.0, 0.5, 2]))),
    ("rectangles", (np.array([0.0, 4, 1]), np.array([2.0]))),
    ("trapezoids", (np.array([0.0, 5]), np.array([1.0]), np.array([2.0, 3]))),
    ("tabulated", (np.array([0.0, 4]), np.array([[-1.0, 0, 1]]), np.array([[0.0, 1, 0], [0, 2, 0.5]]), "pchip")),
    ("shifted", (np.array([-1.0, 0, 2]), np.array([0.0, 1, 0]), np.array([0.0, 5]), np.array([2.0]), "linear")),
]
PROBE = np.linspace(-3, 8, 45)


def native_values(space):
    return _spanlet.evaluate(space, PROBE)


def assert_same_matrix(matrix, parts):
    indptr, indices, data, shape = parts
    assert isinstance(matrix, scipy.sparse.csr_array)
    assert matrix.shape == shape
    np.testing.assert_array_equal(matrix.indptr, indptr)
    np.testing.assert_array_equal(matrix.indices, indices)
    np.testing.assert_array_equal(matrix.data, data)


@pytest.mark.parametrize("form", INPUTS)
@pytest.mark.parametrize("method,args", CONSTRUCTORS, ids=[c[0] for c in CONSTRUCTORS])
def test_constructors_accept_array_like_and_build_the_native_space(method, args, form):
    convert = INPUTS[form]
    user = tuple(convert(a) if isinstance(a, np.ndarray) else a for a in args)
    ours = getattr(spanlet.Space, method)(*user)
    theirs = getattr(_spanlet.Space, method)(*args)
    assert isinstance(ours, spanlet.Space) and len(ours) == len(theirs)
    assert_same_matrix(spanlet.evaluate(ours, PROBE), native_values(theirs))
    np.testing.assert_array_equal(ours.integrals(), theirs.integrals())
    np.testing.assert_array_equal(ours.centers(), theirs.centers())


@pytest.mark.parametrize("call,native", [
    (lambda: spanlet.Space.triangles([0, 4], 0.5), lambda: _spanlet.Space.triangles(np.array([0.0, 4]), np.array([0.5]))),
    (lambda: spanlet.Space.deltas(2), lambda: _spanlet.Space.deltas(np.array([2.0]))),
    (lambda: spanlet.Space.tabulated([1], [0, 1, 2], [0, 1, 0], "linear"),
     lambda: _spanlet.Space.tabulated(np.array([1.0]), np.array([[0.0, 1, 2]]), np.array([[0.0, 1, 0]]), "linear")),
])
def test_scalars_and_single_rows_where_natural(call, native):
    assert_same_matrix(spanlet.evaluate(call(), PROBE), native_values(native()))


@pytest.mark.parametrize("make", [
    lambda s: s.take(np.array([2, 0, 0])),
    lambda s: s.derivative(2),
    lambda s: s.mapped("affine", 1.0, -2.0, True),
    lambda s: s.mapped("reciprocal", 3.0, 0.0, False),
], ids=["take", "derivative", "affine", "reciprocal"])
def test_transforms_match_native(make):
    breakpoints = np.array([0.5, 1.0, 2.0, 3.0])
    ours = make(spanlet.Space.bsplines_clamped(breakpoints, 3))
    theirs = make(_spanlet.Space.bsplines_clamped(breakpoints, 3))
    assert_same_matrix(spanlet.evaluate(ours, PROBE), native_values(theirs))


def test_matrix_functions_match_native_parts():
    basis = spanlet.Space.bsplines_clamped(np.linspace(0, 4, 9), 2)
    kernels = spanlet.Space.triangles(np.linspace(-1, 5, 13), 0.4)
    assert_same_matrix(spanlet.inner_products(basis, basis), _spanlet.inner_products(basis.native, basis.native))
    assert_same_matrix(spanlet.inner_products(kernels, basis, weight=2),
                       _spanlet.inner_products(kernels.native, basis.native, 2.0))
    for mode in ("integral", "rowsum", "none"):
        assert_same_matrix(spanlet.measure(kernels, basis, mode, 1.5),
                           _spanlet.measure(kernels.native, basis.native, mode, 1.5))
    # native spaces are accepted too
    assert_same_matrix(spanlet.evaluate(basis.native, [1, 2]), _spanlet.evaluate(basis.native, np.array([1.0, 2])))


def test_evaluate_matrix_works_as_scipy_matrix():
    basis = spanlet.Space.hats([0, 1, 2, 3])
    x = [0.0, 0.5, 2.25, 3.0]
    values = spanlet.evaluate(basis, x) @ np.array([1.0, 3, 2, 4])
    np.testing.assert_allclose(values, np.interp(x, [0, 1, 2, 3], [1, 3, 2, 4]), rtol=0, atol=1e-15)


@pytest.mark.parametrize("call,error,text", [
    (lambda: spanlet.Space.boxes([0, 1j]), TypeError, "argument 'edges': expected real numbers"),
    (lambda: spanlet.Space.boxes(["a", "b"]), TypeError, "argument 'edges': expected an array_like"),
    (lambda: spanlet.Space.boxes([[0, 1]]), ValueError, "edges must be a 1-dimensional array, got shape (1, 2)"),
    (lambda: spanlet.Space.boxes(3.0), ValueError, "edges must be a 1-dimensional array, got shape ()"),
    (lambda: spanlet.Space.triangles([0], [[1]]), ValueError, "hwhm must be a number or a 1-dimensional array"),
    (lambda: spanlet.Space.tabulated([0], [[[0, 1]]], [[0, 1]], "linear"), ValueError,
     "x must be a 2-dimensional array, got shape (1, 1, 2)"),
    (lambda: spanlet.evaluate("basis", [0]), TypeError, "argument 'basis': expected a spanlet.Space, got str"),
    (lambda: spanlet.Projection(spanlet.Space.boxes([0, 1]), 3), TypeError, "argument 'dst'"),
    (lambda: spanlet.Space(), TypeError, "has no constructor"),
])
def test_bad_inputs_name_the_argument(call, error, text):
    with pytest.raises(error) as info:
        call()
    assert text in str(info.value)


def test_native_errors_pass_through_unchanged():
    with pytest.raises(ValueError, match="^breakpoints must be strictly increasing$"):
        spanlet.Space.bsplines_clamped([0, 0, 1], 2)
    with pytest.raises(ValueError, match="^a tabulated shape needs strictly increasing x$"):
        spanlet.Space.tabulated([0], [0, 0, 1], [0, 1, 0], "pchip")


@pytest.mark.parametrize("space,text", [
    (lambda: spanlet.Space.bsplines_clamped(np.linspace(0, 1, 33), 3), "Space(35 clamped cubic B-splines on [0, 1])"),
    (lambda: spanlet.Space.bsplines_periodic([0, 1, 2, 3], 1), "Space(3 periodic linear B-splines on [0, 3])"),
    (lambda: spanlet.Space.bsplines([0, 1, 2, 3], 2), "Space(1 quadratic B-splines on [0, 3])"),
    (lambda: spanlet.Space.deltas([]), "Space(0 deltas)"),
    (lambda: spanlet.Space.hats([0, 0.25]).take([1]), "Space(1 elements taken from 2 hats on [0, 0.25])"),
    (lambda: spanlet.Space.boxes([0, 1]).derivative(1), "Space(order-1 derivatives of 1 boxes on [0, 1])"),
    (lambda: spanlet.Space.shifted([0, 1], [1, 0], [0], 1, "pchip"), "Space(1 shifted shapes (pchip) on [0, 1])"),
])
def test_space_repr(space, text):
    assert repr(space()) == text


def test_operator_reprs():
    src = spanlet.Space.boxes(np.linspace(0, 1, 101))
    dst = spanlet.Space.boxes(np.linspace(0, 1, 11))
    assert repr(spanlet.Projection(src, dst)) == "Projection(n_src=100, n_dst=10)"
    assert repr(spanlet.Projection(src, dst, 0.5)) == "Projection(n_src=100, n_dst=10, weight=0.5)"
    fit = spanlet.Fit(spanlet.Space.deltas(np.linspace(0, 0.99, 30)), dst, "none", 0.5, "difference", 1)
    assert repr(fit) == ("Fit(n_data=30, n_model=10, normalization='none', smoothing=0.5, "
                         "penalty='difference', order=1)")
    assert repr(spanlet.Spline(dst, np.zeros((3, 10)))) == ("Spline(Space(10 boxes on [0, 1]), "
                                                             "coefficients of shape (3, 10))")


def test_faddeeva_re_broadcasts_and_matches_scipy():
    from scipy.special import wofz
    x = np.linspace(-5, 5, 11)
    y = np.array([[0.0], [0.5], [3.0]])
    got = spanlet.faddeeva_re(x.tolist(), y)
    assert got.shape == (3, 11)
    np.testing.assert_allclose(got, wofz(x + 1j * y).real, rtol=1e-12, atol=1e-13)  # absolute accuracy of the expansion
    assert isinstance(spanlet.faddeeva_re(0, 1), float)
    assert spanlet.faddeeva_re(np.float32(1), 0) == _spanlet.faddeeva_re(1.0, 0.0)
