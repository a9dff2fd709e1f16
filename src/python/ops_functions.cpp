// Module functions on spaces: inner_products, measure and evaluate; and Space.integrals.
#include <string>
#include <vector>

#include "core/base/format.hpp"
#include "core/ops/bspline_values.hpp"
#include "core/ops/inner_products.hpp"
#include "core/ops/interval_assembly.hpp"
#include "core/ops/integrals.hpp"
#include "core/ops/measure.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/module_functions.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"
#include "python/weight.hpp"

namespace spanlet::py {

namespace {

PyObject* matrix_result(Result<Csr> result) {
    if (!result) return raise_error(result.error());
    return csr_parts(std::move(result).value());
}

// Rows of a B-spline space at points, written by the core straight into the arrays returned:
// indices and data are made as long as the bound on the entries and cut to what was stored.
PyObject* bspline_matrix(const std::vector<double>& x, const KnotVector& knots) {
    Status checked = [&] {
        ReleaseGil released;
        return check_points(x);
    }();
    if (!checked) return raise_error(checked.error());
    const std::uint64_t bound = bspline_value_bound(x.size(), knots);
    PyRef indptr(index_result_array(x.size() + 1));
    if (!indptr) return nullptr;
    PyRef indices(index_result_array(bound));
    if (!indices) return nullptr;
    PyRef data(result_array(bound));
    if (!data) return nullptr;
    const std::uint64_t stored = [&] {
        ReleaseGil released;
        return bspline_values(x, knots, {index_data(indptr.get()), index_data(indices.get()), array_data(data.get())});
    }();
    if (!truncate_array(indices.get(), stored) || !truncate_array(data.get(), stored)) return nullptr;
    return Py_BuildValue("(OOO(KK))", indptr.get(), indices.get(), data.get(),
                         static_cast<unsigned long long>(x.size()), static_cast<unsigned long long>(knots.elements()));
}

}  // namespace

PyObject* inner_products_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"inner_products", {"a", "b", "weight"}, 2};
        std::shared_ptr<const Space> left, right;
        CosineWeight omega;
        if (!a.read(args, nargs, kwnames) || !to_space(a[0], "a", left) || !to_space(a[1], "b", right) ||
            !read_weight(a[2], omega))
            return nullptr;
        PyObject* parts = nullptr;
        if (interval_products_apply(*left, *right, omega) && interval_csr_parts(*left, *right, parts)) return parts;
        auto rows = [&] {
            ReleaseGil released;
            return inner_product_rows(*left, *right, omega);
        }();
        if (!rows) return raise_error(rows.error());
        return csr_parts(std::move(rows).value());
    });
}

PyObject* measure_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<4> a{"measure", {"kernels", "basis", "normalization", "weight"}, 3};
        std::shared_ptr<const Space> kernels, basis;
        std::string mode_text;
        bool weighted = false;
        double raw_omega = 0.0;
        Normalization mode;
        CosineWeight omega;
        // Every argument is converted before any value is checked.
        if (!a.read(args, nargs, kwnames) || !to_space(a[0], "kernels", kernels) ||
            !to_space(a[1], "basis", basis) || !to_string(a[2], "normalization", mode_text) ||
            !to_optional_f64(a[3], "weight", weighted, raw_omega) || !parse_normalization(mode_text, mode) ||
            !check_weight(weighted, raw_omega, omega))
            return nullptr;
        auto result = [&] {
            ReleaseGil released;
            return measure(*kernels, *basis, mode, omega);
        }();
        return matrix_result(std::move(result));
    });
}

PyObject* evaluate_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"evaluate", {"basis", "x"}};
        std::shared_ptr<const Space> basis;
        std::vector<double> x;
        if (!a.read(args, nargs, kwnames) || !to_space(a[0], "basis", basis) || !read_vec(a[1], "x", x))
            return nullptr;
        if (const KnotVector* knots = basis->knot_vector()) return bspline_matrix(x, *knots);
        auto result = [&] {
            ReleaseGil released;
            return evaluate_points(x, *basis);
        }();
        return matrix_result(std::move(result));
    });
}

PyObject* space_integrals(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{"integrals", {"weight"}, 0};
        CosineWeight omega;
        if (!a.read(args, nargs, kwnames) || !read_weight(a[0], omega)) return nullptr;
        const Space& space = owned_value<Space>(self);
        auto result = [&] {
            ReleaseGil released;
            return integrals(space.elements(), omega);
        }();
        if (!result) return raise_error(result.error());
        return vector_array(std::move(result).value());
    });
}

}  // namespace spanlet::py
