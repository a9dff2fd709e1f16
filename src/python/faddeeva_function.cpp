// The module function faddeeva_re: the real part of the Faddeeva function at one point.
#include "core/functions/faddeeva.hpp"
#include "python/args.hpp"
#include "python/errors.hpp"
#include "python/module_functions.hpp"

namespace spanlet::py {

// One evaluation costs less than releasing the interpreter lock, so it is kept.
PyObject* faddeeva_re_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"faddeeva_re", {"x", "y"}};
        double x, y;
        if (!a.read(args, nargs, kwnames) || !to_f64(a[0], "x", x) || !to_f64(a[1], "y", y)) return nullptr;
        return PyFloat_FromDouble(faddeeva(x, y).re);
    });
}

}  // namespace spanlet::py
