// measure_derivatives(kernels, basis, normalization, parameters, weight=None): the measurement
// matrix with its derivatives in several kernel parameters from one pass over the kernels, where
// measure_derivative takes a pass per parameter. Profile kernels are evaluated once per node for
// the value and every derivative (a Voigt's Faddeeva value serves them all).
#include <string>
#include <vector>

#include "core/ops/measure_derivative.hpp"
#include "extra/extra.hpp"
#include "python/args.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/space_methods.hpp"
#include "python/weight.hpp"

namespace spanlet::py {

namespace {

// A non-empty sequence of parameter names, each checked as measure_derivative checks its one.
bool read_parameters(PyObject* object, std::vector<Parameter>& out) {
    PyRef items(PySequence_Fast(object, "argument 'parameters': expected a sequence of parameter names"));
    if (!items) return false;
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    if (n == 0) {
        PyErr_SetString(PyExc_ValueError, "parameters must name at least one parameter");
        return false;
    }
    for (Py_ssize_t i = 0; i < n; ++i) {
        std::string text;
        Parameter p;
        if (!to_string(PySequence_Fast_GET_ITEM(items.get(), i), "parameters", text) || !parse_parameter(text, p))
            return false;
        out.push_back(p);
    }
    return true;
}

PyObject* measure_derivatives_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<5> a{"measure_derivatives", {"kernels", "basis", "normalization", "parameters", "weight"}, 4};
        std::shared_ptr<const Space> kernels, basis;
        std::string mode_text;
        std::vector<Parameter> parameters;
        bool weighted = false;
        double raw_omega = 0.0;
        Normalization mode;
        CosineWeight omega;
        if (!a.read(args, nargs, kwnames) || !read_native_space(a[0], "kernels", kernels) ||
            !read_native_space(a[1], "basis", basis) || !to_string(a[2], "normalization", mode_text) ||
            !to_optional_f64(a[4], "weight", weighted, raw_omega) || !parse_normalization(mode_text, mode) ||
            !check_weight(weighted, raw_omega, omega) || !read_parameters(a[3], parameters))
            return nullptr;
        auto result = [&] {
            ReleaseGil released;
            return measure_derivatives(kernels->elements(), *basis, mode, parameters, omega);
        }();
        if (!result) return raise_error(result.error());
        PyRef w(csr_parts(std::move(result.value().first)));
        if (!w) return nullptr;
        PyRef derivatives(PyList_New(0));
        if (!derivatives) return nullptr;
        for (Csr& dw : result.value().second) {
            PyRef parts(csr_parts(std::move(dw)));
            if (!parts || PyList_Append(derivatives.get(), parts.get()) != 0) return nullptr;
        }
        return PyTuple_Pack(2, w.get(), derivatives.get());
    });
}

}  // namespace

PyMethodDef derivative_functions[] = {
    {"measure_derivatives", as_cfunction(measure_derivatives_function), METH_FASTCALL | METH_KEYWORDS,
     "measure_derivatives(kernels, basis, normalization, parameters, weight=None)\n--\n\n"
     "W and [dW/dp for p in parameters] in one pass, with one sparsity pattern for all."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
