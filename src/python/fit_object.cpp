// The Python Fit class.
#include <cmath>
#include <string>
#include <vector>

#include "core/base/format.hpp"
#include "core/ops/fit.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/fit_object.hpp"
#include "python/operator_objects.hpp"
#include "python/owner_object.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"
#include "python/weight.hpp"

namespace spanlet::py {

namespace {

const Fit& fit_core(PyObject* self) { return owned_value<Fit>(self); }

bool parse_penalty(const std::string& text, Penalty::Kind& out) {
    if (text == "derivative" || text == "difference") {
        out = text == "derivative" ? Penalty::Kind::Derivative : Penalty::Kind::Difference;
        return true;
    }
    raise_error(Error::invalid("penalty must be 'derivative' or 'difference', got " + quoted(text)));
    return false;
}

bool check_smoothing(double smoothing) {
    if (std::isfinite(smoothing) && smoothing >= 0.0) return true;
    raise_error(Error::invalid("smoothing must be finite and >= 0"));
    return false;
}

PyObject* fit_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Arguments<7> a{"Fit", {"kernels", "model", "normalization", "smoothing", "penalty", "order", "weight"}, 6};
        std::shared_ptr<const Space> kernels, model;
        std::string mode_text, penalty_text;
        double smoothing = 0.0, raw_omega = 0.0;
        std::uint64_t order = 0;
        bool weighted = false;
        Normalization mode;
        CosineWeight omega;
        Penalty penalty{Penalty::Kind::Difference, 0};
        // All arguments are converted before any value is checked.
        if (!a.read_tuple(args, kwargs) || !to_space(a[0], "kernels", kernels) || !to_space(a[1], "model", model) ||
            !to_string(a[2], "normalization", mode_text) || !to_f64(a[3], "smoothing", smoothing) ||
            !to_string(a[4], "penalty", penalty_text) || !to_u64(a[5], "order", order) ||
            !to_optional_f64(a[6], "weight", weighted, raw_omega))
            return nullptr;
        if (!parse_normalization(mode_text, mode) || !check_weight(weighted, raw_omega, omega) ||
            !parse_penalty(penalty_text, penalty.kind) || !check_smoothing(smoothing))
            return nullptr;
        penalty.order = order;
        auto built = [&] {
            ReleaseGil released;
            return Fit::make(*kernels, *model, mode, smoothing, penalty, omega);
        }();
        if (!built) return raise_error(built.error());
        return new_owner(type, std::move(built).value());
    });
}

PyObject* fit_design(PyObject* self, PyObject*) {
    return guarded([&] { return csr_parts(fit_core(self).design()); });
}

PyObject* fit_to_dense(PyObject* self, PyObject*) {
    return guarded([&] {
        const Fit& fit = fit_core(self);
        std::vector<double> dense = [&] {
            ReleaseGil released;
            return fit.to_dense();
        }();
        return array2(std::move(dense), fit.n_model(), fit.n_data());
    });
}

PyObject* fit_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{"apply_last_axis", {"data"}};
        MatrixCopy data;
        const Fit& fit = fit_core(self);
        if (!a.read(args, nargs, kwnames) || !data.read(a[0], "data") || !check_columns("data", data.cols, fit.n_data()))
            return nullptr;
        const std::size_t k = data.rows;
        std::vector<double> x = [&] {
            ReleaseGil released;
            return fit.apply_last_axis(data.data(), k);
        }();
        return array2(std::move(x), k, fit.n_model());
    });
}

PyObject* fit_n_data(PyObject* self, void*) { return PyLong_FromSize_t(fit_core(self).n_data()); }
PyObject* fit_n_model(PyObject* self, void*) { return PyLong_FromSize_t(fit_core(self).n_model()); }

PyMethodDef fit_methods[] = {
    {"design", fit_design, METH_NOARGS, "design($self)\n--\n\n"},
    {"to_dense", fit_to_dense, METH_NOARGS, "to_dense($self)\n--\n\n"},
    {"apply_last_axis", as_cfunction(fit_apply), METH_FASTCALL | METH_KEYWORDS,
     "apply_last_axis($self, data)\n--\n\n"
     "Fits each row of data, shape (k, n_data), returning coefficients (k, n_model)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef fit_properties[] = {
    {"n_data", fit_n_data, nullptr, nullptr, nullptr},
    {"n_model", fit_n_model, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* fit_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(fit_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc<Fit>)},
        {Py_tp_methods, fit_methods},
        {Py_tp_getset, fit_properties},
        {Py_tp_doc,
         const_cast<char*>("Fit(kernels, model, normalization, smoothing, penalty, order, weight=None)\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"spanlet._spanlet.Fit", sizeof(OwnerObject<Fit>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return type;
}

}  // namespace spanlet::py
