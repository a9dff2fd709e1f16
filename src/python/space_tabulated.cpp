// Python constructors of spaces from tables: per-element tables and shifted copies of one table.
#include <string>
#include <vector>

#include "core/base/format.hpp"
#include "core/elements/pchip.hpp"
#include "core/spaces/tabulated.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"

namespace spanlet::py {

namespace {

// "linear" or "pchip", exactly; anything else is a ValueError.
bool interpolation(const std::string& text, bool& pchip) {
    if (text == "linear" || text == "pchip") {
        pchip = text == "pchip";
        return true;
    }
    raise_error(Error::invalid("interpolation must be 'linear' or 'pchip', got " + quoted(text)));
    return false;
}

}  // namespace

PyObject* space_tabulated(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<4> a{"tabulated", {"centers", "x", "y", "interp"}};
        std::vector<double> centers;
        std::vector<std::vector<double>> x, y;
        std::string interp;
        bool pchip = false;
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], "centers", centers) || !read_rows(a[1], "x", x) ||
            !read_rows(a[2], "y", y) || !to_string(a[3], "interp", interp) || !interpolation(interp, pchip))
            return nullptr;
        return wrap_space(tabulated(centers, x, y, pchip));
    });
}

PyObject* space_shifted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<5> a{"shifted", {"shape_x", "shape_y", "centers", "stretch", "interp"}};
        std::vector<double> shape_x, shape_y, centers, stretch;
        std::string interp;
        bool pchip = false;
        // Every argument is converted, in signature order, before any value is checked.
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], "shape_x", shape_x) ||
            !read_vec(a[1], "shape_y", shape_y) || !read_vec(a[2], "centers", centers) ||
            !read_vec(a[3], "stretch", stretch) || !to_string(a[4], "interp", interp) || !interpolation(interp, pchip))
            return nullptr;
        auto shape = pchip ? pchip_shape(shape_x, shape_y) : Shape::piecewise_linear(shape_x, shape_y);
        if (!shape) return raise_error(shape.error());
        return wrap_space(shifted(shape.value(), centers, stretch));
    });
}

}  // namespace spanlet::py
