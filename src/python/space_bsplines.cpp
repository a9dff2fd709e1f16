// Python constructors of B-spline spaces.
#include <vector>

#include "core/spaces/bsplines.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"

namespace spanlet::py {

namespace {

using Builder = Result<Space> (*)(const std::vector<double>&, std::uint64_t);

PyObject* bspline_space(const char* function, const char* values_name, Builder build, PyObject* const* args,
                        Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{function, {values_name, "degree"}};
        std::vector<double> values;
        std::uint64_t degree = 0;
        if (!a.read(args, nargs, kwnames) || !read_vec(a[0], values_name, values) || !to_u64(a[1], "degree", degree))
            return nullptr;
        return wrap_space(build(values, degree));
    });
}

}  // namespace

PyObject* space_bsplines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bspline_space("bsplines", "knots", bsplines, args, nargs, kwnames);
}

PyObject* space_bsplines_periodic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return bspline_space("bsplines_periodic", "breakpoints", bsplines_periodic, args, nargs, kwnames);
}

PyObject* space_bsplines_clamped(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    // Open at the last breakpoint, as every piece is half-open.
    auto open = [](const std::vector<double>& breakpoints, std::uint64_t degree) {
        return bsplines_clamped(breakpoints, degree);
    };
    return bspline_space("bsplines_clamped", "breakpoints", open, args, nargs, kwnames);
}

}  // namespace spanlet::py
