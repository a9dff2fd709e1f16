// Test entry points for the special-function kernels, vectorised over float64 arrays.
#include <array>
#include <vector>

#include "core/functions/faddeeva.hpp"
#include "core/functions/spherical_bessel.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/space_methods.hpp"
#include "testing/testing.hpp"

namespace spanlet::py {

namespace {

// faddeeva(x, y) -> (re, im): w at x[i] + i y[i] for arrays of equal length.
PyObject* t_faddeeva(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"faddeeva", {"x", "y"}};
        std::vector<double> x, y;
        if (!a.read(args, nargs, kw) || !read_vec(a[0], "x", x) || !read_vec(a[1], "y", y)) return nullptr;
        if (x.size() != y.size()) {
            PyErr_SetString(PyExc_ValueError, "x and y need equal lengths");
            return nullptr;
        }
        std::vector<double> re(x.size()), im(x.size());
        {
            ReleaseGil released;
            for (std::size_t i = 0; i < x.size(); ++i) {
                const Complex w = faddeeva(x[i], y[i]);
                re[i] = w.re;
                im[i] = w.im;
            }
        }
        return Py_BuildValue("(NN)", vector_array(re), vector_array(im));
    });
}

// faddeeva_re_shared_y(x, y) -> Re w at x[i] + i y, the points taken together.
PyObject* t_faddeeva_re_shared_y(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"faddeeva_re_shared_y", {"x", "y"}};
        std::vector<double> x;
        if (!a.read(args, nargs, kw) || !read_vec(a[0], "x", x)) return nullptr;
        const double y = PyFloat_AsDouble(a[1]);
        if (y == -1.0 && PyErr_Occurred()) return nullptr;
        std::vector<double> re(x.size());
        faddeeva_re(x.data(), y, re.data(), x.size());
        return vector_array(re);
    });
}

// weideman_table() -> (coefficients, scale)
PyObject* t_weideman_table(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Weideman& table = Weideman::get();
        const std::vector<double> c(table.coefficients.begin(), table.coefficients.end());
        return Py_BuildValue("(Nd)", vector_array(c), table.scale);
    });
}

// spherical_bessel_over_power(x) -> array of shape (len(x), 6)
PyObject* t_spherical_bessel_over_power(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::vector<double> x;
        if (!read_vec(arg, "x", x)) return nullptr;
        std::vector<double> out(x.size() * 6);
        for (std::size_t i = 0; i < x.size(); ++i) {
            const std::array<double, 6> v = spherical_bessel_over_power(x[i]);
            for (std::size_t n = 0; n < 6; ++n) out[i * 6 + n] = v[n];
        }
        return array2(out, x.size(), 6);
    });
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef function_test_methods[] = {
    {"faddeeva", as_cfunction(t_faddeeva), FAST, nullptr},
    {"faddeeva_re_shared_y", as_cfunction(t_faddeeva_re_shared_y), FAST, nullptr},
    {"weideman_table", t_weideman_table, METH_NOARGS, nullptr},
    {"spherical_bessel_over_power", t_spherical_bessel_over_power, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
