// Test entry points for parameter derivatives of single elements and inner products.
//
// Elements are given as (space, index), the space a public Space or a list of element tuples;
// parameters by their Python names ("center", "sigma", ...).
#include <string>
#include <vector>

#include "core/integration/derivatives.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "testing/testing.hpp"

namespace spanlet::py {

namespace {

bool to_parameter(PyObject* object, Parameter& out) {
    std::string text;
    if (!to_string(object, "parameter", text)) return false;
    const auto p = parameter_named(text);
    if (!p) {
        PyErr_SetString(PyExc_ValueError, "unknown parameter");
        return false;
    }
    out = *p;
    return true;
}

bool to_element_of(PyObject* space_object, PyObject* index_object, std::shared_ptr<const Space>& space,
                   const Element*& out) {
    std::uint64_t index;
    if (!to_core_space(space_object, space) || !to_u64(index_object, "index", index)) return false;
    if (index >= space->size()) {
        PyErr_SetString(PyExc_IndexError, "element index out of range");
        return false;
    }
    out = &space->elements()[index];
    return true;
}

bool to_weight(PyObject* object, CosineWeight& out) {
    bool present = false;
    double omega = 0.0;
    if (!to_optional_f64(object, "weight", present, omega)) return false;
    out = present ? CosineWeight{omega} : std::nullopt;
    return true;
}

PyObject* masses_list(const PointMasses& masses) {
    PyRef list(PyList_New(0));
    if (!list) return nullptr;
    for (const PointMass& p : masses) {
        PyRef item(Py_BuildValue("(dd)", p.x, p.m));
        if (!item || PyList_Append(list.get(), item.get()) != 0) return nullptr;
    }
    return list.release();
}

// element_slope(space, index, x) -> slope at every x
PyObject* t_element_slope(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"element_slope", {"space", "index", "x"}};
        std::shared_ptr<const Space> space;
        const Element* e = nullptr;
        std::vector<double> x;
        if (!a.read(args, nargs, kw) || !to_element_of(a[0], a[1], space, e) || !read_vec(a[2], "x", x))
            return nullptr;
        std::vector<double> out(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) out[i] = slope(*e, x[i]);
        return vector_array(out);
    });
}

// element_d_smooth(space, index, parameter, x) -> smooth derivative at every x (the first failure raises)
PyObject* t_element_d_smooth(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<4> a{"element_d_smooth", {"space", "index", "parameter", "x"}};
        std::shared_ptr<const Space> space;
        const Element* e = nullptr;
        Parameter p;
        std::vector<double> x;
        if (!a.read(args, nargs, kw) || !to_element_of(a[0], a[1], space, e) || !to_parameter(a[2], p) ||
            !read_vec(a[3], "x", x))
            return nullptr;
        std::vector<double> out(x.size());
        for (std::size_t i = 0; i < x.size(); ++i) {
            auto r = d_smooth(*e, p, x[i]);
            if (!r) return raise_error(r.error());
            out[i] = r.value();
        }
        return vector_array(out);
    });
}

// element_jumps(space, index, parameter) -> [(x, m), ...]
PyObject* t_element_jumps(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"element_jumps", {"space", "index", "parameter"}};
        std::shared_ptr<const Space> space;
        const Element* e = nullptr;
        Parameter p;
        if (!a.read(args, nargs, kw) || !to_element_of(a[0], a[1], space, e) || !to_parameter(a[2], p))
            return nullptr;
        auto r = jumps(*e, p);
        if (!r) return raise_error(r.error());
        return masses_list(r.value());
    });
}

// inner_derivative(a, i, b, j, parameter, weight=None) -> d<a_i, b_j>/dparameter, the jumps of a_i
// formed first as the operations form them
PyObject* t_inner_derivative(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<6> a{"inner_derivative", {"a", "i", "b", "j", "parameter", "weight"}, 5};
        std::shared_ptr<const Space> sa, sb;
        const Element *ea = nullptr, *eb = nullptr;
        Parameter p;
        CosineWeight omega;
        if (!a.read(args, nargs, kw) || !to_element_of(a[0], a[1], sa, ea) || !to_element_of(a[2], a[3], sb, eb) ||
            !to_parameter(a[4], p) || !to_weight(a[5], omega))
            return nullptr;
        auto masses = jumps(*ea, p);
        if (!masses) return raise_error(masses.error());
        std::vector<double> knots;
        auto r = inner_derivative(*ea, *eb, p, omega, masses.value(), knots);
        if (!r) return raise_error(r.error());
        return PyFloat_FromDouble(r.value());
    });
}

// integral_derivative(space, index, parameter, weight=None) -> d(integral)/dparameter
PyObject* t_integral_derivative(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<4> a{"integral_derivative", {"space", "index", "parameter", "weight"}, 3};
        std::shared_ptr<const Space> space;
        const Element* e = nullptr;
        Parameter p;
        CosineWeight omega;
        if (!a.read(args, nargs, kw) || !to_element_of(a[0], a[1], space, e) || !to_parameter(a[2], p) ||
            !to_weight(a[3], omega))
            return nullptr;
        auto masses = jumps(*e, p);
        if (!masses) return raise_error(masses.error());
        std::vector<double> knots;
        auto r = integral_derivative(*e, p, omega, masses.value(), knots);
        if (!r) return raise_error(r.error());
        return PyFloat_FromDouble(r.value());
    });
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef derivative_test_methods[] = {
    {"element_slope", as_cfunction(t_element_slope), FAST, nullptr},
    {"element_d_smooth", as_cfunction(t_element_d_smooth), FAST, nullptr},
    {"element_jumps", as_cfunction(t_element_jumps), FAST, nullptr},
    {"inner_derivative", as_cfunction(t_inner_derivative), FAST, nullptr},
    {"integral_derivative", as_cfunction(t_integral_derivative), FAST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
