// Penalised(design, penalty): penalised least squares with the weight left open, and
// PenalisedFit, one factored system of it (Penalised.fit(alpha)).
#include <cmath>
#include <memory>
#include <vector>

#include "core/base/pool.hpp"
#include "core/linalg/banded_inverse.hpp"
#include "core/linalg/solve.hpp"
#include "core/ops/penalised.hpp"
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

struct Factored {
    std::shared_ptr<const PenalisedNormal> normal;
    BandedCholesky factor;
    double alpha;
};

struct PenalisedObject {
    PyObject_HEAD
    std::shared_ptr<const PenalisedNormal> value;
};

const std::shared_ptr<const PenalisedNormal>& normal_of(PyObject* self) {
    return reinterpret_cast<PenalisedObject*>(self)->value;
}

const Factored& factored(PyObject* self) { return owned_value<Factored>(self); }

bool check_alpha(double alpha) {
    if (std::isfinite(alpha) && alpha >= 0.0) return true;
    raise_error(Error::invalid("alpha must be finite and >= 0"));
    return false;
}

PyObject* penalised_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"Penalised", {"design", "penalty"}, 1};
        Csr design, penalty;
        if (!a.read_tuple(args, kwargs) || !read_csr(a[0], "design", design) ||
            (a[1] != nullptr && a[1] != Py_None && !read_csr(a[1], "penalty", penalty)))
            return nullptr;
        auto made = [&] {
            ReleaseGil released;
            return PenalisedNormal::make(std::move(design), penalty);
        }();
        if (!made) return raise_error(made.error());
        auto shared = std::make_shared<const PenalisedNormal>(std::move(made).value());
        PyObject* self = type->tp_alloc(type, 0);
        if (self == nullptr) return nullptr;
        new (&reinterpret_cast<PenalisedObject*>(self)->value) std::shared_ptr<const PenalisedNormal>(std::move(shared));
        return self;
    });
}

void penalised_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<PenalisedObject*>(self)->value.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

// fit(alpha) -> PenalisedFit
PyObject* penalised_fit(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{"fit", {"alpha"}};
        double alpha;
        if (!a.read(args, nargs, kwnames) || !to_f64(a[0], "alpha", alpha) || !check_alpha(alpha)) return nullptr;
        const auto& normal = normal_of(self);
        auto factor = [&] {
            ReleaseGil released;
            return normal->factor(alpha);
        }();
        if (!factor) return raise_error(factor.error());
        return new_owner(penalised_fit_type(), Factored{normal, std::move(factor).value(), alpha});
    });
}

// score(alpha, data) -> (rss, penalty, edf, log_det) for one data vector
PyObject* penalised_score_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"score", {"alpha", "data"}};
        double alpha;
        std::vector<double> data;
        const auto& normal = normal_of(self);
        if (!a.read(args, nargs, kwnames) || !to_f64(a[0], "alpha", alpha) || !read_vec(a[1], "data", data) ||
            !check_alpha(alpha) || !check_length("data", data.size(), normal->n_data()))
            return nullptr;
        auto score = [&] {
            ReleaseGil released;
            return penalised_score(*normal, alpha, data.data());
        }();
        if (!score) return raise_error(score.error());
        const PenalisedScore& s = score.value();
        return Py_BuildValue("(dddd)", s.rss, s.penalty, s.edf, s.log_det);
    });
}

PyObject* penalised_n_data(PyObject* self, void*) { return PyLong_FromSize_t(normal_of(self)->n_data()); }
PyObject* penalised_n_model(PyObject* self, void*) { return PyLong_FromSize_t(normal_of(self)->n_model()); }
PyObject* penalised_trace_normal(PyObject* self, void*) { return PyFloat_FromDouble(normal_of(self)->trace_normal()); }
PyObject* penalised_trace_penalty(PyObject* self, void*) {
    return PyFloat_FromDouble(normal_of(self)->trace_penalty());
}

PyMethodDef penalised_methods[] = {
    {"fit", as_cfunction(penalised_fit), METH_FASTCALL | METH_KEYWORDS, "fit($self, alpha)\n--\n\n"},
    {"score", as_cfunction(penalised_score_method), METH_FASTCALL | METH_KEYWORDS,
     "score($self, alpha, data)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef penalised_properties[] = {
    {"n_data", penalised_n_data, nullptr, nullptr, nullptr},
    {"n_model", penalised_n_model, nullptr, nullptr, nullptr},
    {"trace_normal", penalised_trace_normal, nullptr, nullptr, nullptr},
    {"trace_penalty", penalised_trace_penalty, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

// apply_last_axis(data): coefficients A^-1 D^T d for each row of data, shape (k, n_data).
PyObject* fit_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{"apply_last_axis", {"data"}};
        MatrixCopy data;
        const Factored& f = factored(self);
        if (!a.read(args, nargs, kwnames) || !data.read(a[0], "data") ||
            !check_length("data", data.cols, f.normal->n_data()))
            return nullptr;
        const std::size_t k = data.rows;
        std::vector<double> x = [&] {
            ReleaseGil released;
            std::vector<double> y = f.normal->rhs(data.data(), k);
            solve_rows(f.factor, y, k);
            return y;
        }();
        return array2(std::move(x), k, f.normal->n_model());
    });
}

// solve_last_axis(rhs): A^-1 r for each row r of rhs, shape (k, n_model).
PyObject* fit_solve(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<1> a{"solve_last_axis", {"rhs"}};
        MatrixCopy rhs;
        const Factored& f = factored(self);
        if (!a.read(args, nargs, kwnames) || !rhs.read(a[0], "rhs") ||
            !check_length("rhs", rhs.cols, f.normal->n_model()))
            return nullptr;
        const std::size_t k = rhs.rows, n = rhs.cols;
        std::vector<double> x = [&] {
            ReleaseGil released;
            std::vector<double> y(rhs.data(), rhs.data() + k * n);
            solve_rows(f.factor, y, k);
            return y;
        }();
        return array2(std::move(x), k, n);
    });
}

// inverse_band(): A^-1 inside the envelope of the factor, both triangles.
PyObject* fit_inverse_band(PyObject* self, PyObject*) {
    return guarded([&]() -> PyObject* {
        const Factored& f = factored(self);
        Csr band = [&] {
            ReleaseGil released;
            return InverseEnvelope(f.factor).to_csr();
        }();
        return csr_parts(std::move(band));
    });
}

PyObject* fit_alpha(PyObject* self, void*) { return PyFloat_FromDouble(factored(self).alpha); }

PyMethodDef fit_methods[] = {
    {"apply_last_axis", as_cfunction(fit_apply), METH_FASTCALL | METH_KEYWORDS,
     "apply_last_axis($self, data)\n--\n\n"},
    {"solve_last_axis", as_cfunction(fit_solve), METH_FASTCALL | METH_KEYWORDS,
     "solve_last_axis($self, rhs)\n--\n\n"},
    {"inverse_band", fit_inverse_band, METH_NOARGS, "inverse_band($self)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef fit_properties[] = {
    {"alpha", fit_alpha, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

PyTypeObject* make_type(PyType_Spec& spec) { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec)); }

}  // namespace

PyTypeObject* penalised_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(penalised_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(penalised_dealloc)},
        {Py_tp_methods, penalised_methods},
        {Py_tp_getset, penalised_properties},
        {Py_tp_doc, const_cast<char*>("Penalised(design, penalty=None)\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"spanlet._extra.Penalised", sizeof(PenalisedObject), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    return type = make_type(spec);
}

PyTypeObject* penalised_fit_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc<Factored>)},
        {Py_tp_methods, fit_methods},
        {Py_tp_getset, fit_properties},
        {Py_tp_doc, const_cast<char*>("A factored penalised system; made by Penalised.fit(alpha).")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"spanlet._extra.PenalisedFit", sizeof(OwnerObject<Factored>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE | Py_TPFLAGS_DISALLOW_INSTANTIATION,
                               slots};
    return type = make_type(spec);
}

}  // namespace spanlet::py
