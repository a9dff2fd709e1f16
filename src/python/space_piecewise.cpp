// Python constructors of piecewise spaces: deltas, boxes, hats, rectangles, triangles, trapezoids.
#include <vector>

#include "core/spaces/piecewise.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"

namespace spanlet::py {

namespace {

using OneArray = Result<Space> (*)(const std::vector<double>&);
using TwoArrays = Result<Space> (*)(const std::vector<double>&, const std::vector<double>&);

PyObject* from_one_array(const char* function, const char* name, OneArray build, PyObject* const* args,
                         Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{function, {name}};
        std::vector<double> values;
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], name, values)) return nullptr;
        return wrap_space(build(values));
    });
}

PyObject* from_two_arrays(const char* function, const char* second, TwoArrays build, PyObject* const* args,
                          Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{function, {"centers", second}};
        std::vector<double> centers, values;
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], "centers", centers) || !read_vec(a[1], second, values))
            return nullptr;
        return wrap_space(build(centers, values));
    });
}

}  // namespace

PyObject* space_deltas(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return from_one_array("deltas", "x", deltas, args, nargs, kwnames);
}

PyObject* space_boxes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return from_one_array("boxes", "edges", boxes, args, nargs, kwnames);
}

PyObject* space_hats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return from_one_array("hats", "nodes", hats, args, nargs, kwnames);
}

PyObject* space_rectangles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return from_two_arrays("rectangles", "widths", rectangles, args, nargs, kwnames);
}

PyObject* space_triangles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return from_two_arrays("triangles", "hwhm", triangles, args, nargs, kwnames);
}

PyObject* space_trapezoids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"trapezoids", {"centers", "top", "bottom"}};
        std::vector<double> centers, top, bottom;
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], "centers", centers) || !read_vec(a[1], "top", top) ||
            !read_vec(a[2], "bottom", bottom))
            return nullptr;
        return wrap_space(trapezoids(centers, top, bottom));
    });
}

}  // namespace spanlet::py
