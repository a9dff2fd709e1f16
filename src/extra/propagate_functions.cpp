// propagate(projection, variance): the covariance G^-1 K S K^T G^-1 of a projection's output for
// source coefficients of covariance S, given as variances (independent sources) or as a sparse
// matrix. It reads the factor and the cross matrix that the native Projection already holds.
#include <memory>
#include <vector>

#include "core/ops/propagate.hpp"
#include "extra/extra.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/owner_object.hpp"
#include "python/space_methods.hpp"

namespace spanlet::py {

namespace {

// The core projection of a spanlet._spanlet.Projection; TypeError naming the argument otherwise.
const Projection* native_projection(PyObject* object) {
    PyRef module(PyImport_ImportModule("spanlet._spanlet"));
    if (!module) return nullptr;
    PyRef type(PyObject_GetAttrString(module.get(), "Projection"));
    if (!type) return nullptr;
    if (!PyType_Check(type.get()) || !PyObject_TypeCheck(object, reinterpret_cast<PyTypeObject*>(type.get()))) {
        PyErr_Format(PyExc_TypeError, "argument 'projection' must be spanlet._spanlet.Projection, not %s",
                     Py_TYPE(object)->tp_name);
        return nullptr;
    }
    return &owned_value<Projection>(object);
}

PyObject* propagate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"propagate", {"projection", "variance"}};
        if (!a.read(args, nargs, kwnames)) return nullptr;
        const Projection* projection = native_projection(a[0]);
        if (projection == nullptr) return nullptr;
        const std::size_t n_src = projection->n_src();
        const bool matrix = PyTuple_Check(a[1]);
        Csr covariance;
        std::vector<double> variance;
        if (matrix) {
            if (!read_csr(a[1], "variance", covariance)) return nullptr;
            if (covariance.nrows != n_src || covariance.ncols != n_src) {
                PyErr_Format(PyExc_ValueError, "variance must be %zu x %zu, got %llu x %llu", n_src, n_src,
                             static_cast<unsigned long long>(covariance.nrows),
                             static_cast<unsigned long long>(covariance.ncols));
                return nullptr;
            }
        } else if (!read_vec(a[1], "variance", variance) || !check_length("variance", variance.size(), n_src)) {
            return nullptr;
        }
        auto result = [&] {
            ReleaseGil released;
            return matrix ? spanlet::propagate(*projection, covariance) : spanlet::propagate(*projection, variance);
        }();
        if (!result) return raise_error(result.error());
        PropagatedCovariance& p = result.value();
        const std::size_t n = projection->n_dst();
        if (p.is_sparse) return csr_parts(std::move(p.sparse));
        return array2(std::move(p.dense), n, n);
    });
}

}  // namespace

PyMethodDef propagate_functions[] = {
    {"propagate", as_cfunction(propagate), METH_FASTCALL | METH_KEYWORDS, "propagate(projection, variance)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
