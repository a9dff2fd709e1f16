// Module function measure_derivative: the measurement matrix and its kernel-parameter derivative.
#include <string>

#include "core/base/format.hpp"
#include "core/ops/measure_derivative.hpp"
#include "python/args.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/module_functions.hpp"
#include "python/space_object.hpp"
#include "python/weight.hpp"

namespace spanlet::py {

PyObject* measure_derivative_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<5> a{"measure_derivative", {"kernels", "basis", "normalization", "parameter", "weight"}, 4};
        std::shared_ptr<const Space> kernels, basis;
        std::string mode_text, parameter_text;
        bool weighted = false;
        double raw_omega = 0.0;
        Normalization mode;
        Parameter parameter;
        CosineWeight omega;
        // Every argument is converted before any value is checked.
        if (!a.read(args, nargs, kwnames) || !to_space(a[0], "kernels", kernels) ||
            !to_space(a[1], "basis", basis) || !to_string(a[2], "normalization", mode_text) ||
            !to_string(a[3], "parameter", parameter_text) || !to_optional_f64(a[4], "weight", weighted, raw_omega) ||
            !parse_normalization(mode_text, mode) || !check_weight(weighted, raw_omega, omega) ||
            !parse_parameter(parameter_text, parameter))
            return nullptr;
        auto result = [&] {
            ReleaseGil released;
            return measure_derivative(kernels->elements(), *basis, mode, parameter, omega);
        }();
        if (!result) return raise_error(result.error());
        PyRef w(csr_parts(std::move(result.value().first)));
        if (!w) return nullptr;
        PyRef dw(csr_parts(std::move(result.value().second)));
        if (!dw) return nullptr;
        return PyTuple_Pack(2, w.get(), dw.get());
    });
}

}  // namespace spanlet::py
