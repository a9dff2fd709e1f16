// The Python Projection class.
#include <string>
#include <vector>

#include "core/base/format.hpp"
#include "core/ops/projection.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/operator_objects.hpp"
#include "python/projection_object.hpp"
#include "python/owner_object.hpp"
#include "python/space_methods.hpp"
#include "python/space_object.hpp"
#include "python/weight.hpp"

namespace spanlet::py {

namespace {

const Projection& projection_core(PyObject* self) { return owned_value<Projection>(self); }

PyObject* projection_new(PyTypeObject* type, PyObject* args, PyObject* kwargs) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"Projection", {"src", "dst", "weight"}, 2};
        std::shared_ptr<const Space> src, dst;
        CosineWeight omega;
        if (!a.read_tuple(args, kwargs) || !to_space(a[0], "src", src) || !to_space(a[1], "dst", dst) ||
            !read_weight(a[2], omega))
            return nullptr;
        auto built = [&] {
            ReleaseGil released;
            return Projection::make(*src, *dst, omega);
        }();
        if (!built) return raise_error(built.error());
        return new_owner(type, std::move(built).value());
    });
}

PyObject* projection_cross(PyObject* self, PyObject*) {
    return guarded([&] { return csr_parts(projection_core(self).cross()); });
}

PyObject* projection_to_dense(PyObject* self, PyObject*) {
    return guarded([&] {
        const Projection& p = projection_core(self);
        std::vector<double> dense = [&] {
            ReleaseGil released;
            return p.to_dense();
        }();
        return array2(std::move(dense), p.n_dst(), p.n_src());
    });
}

// None (plain), "local", or a tuple (lo, hi) with lo <= hi. Messages carry no argument name.
bool parse_bounds(PyObject* object, bool& bounded, ProjectionBounds& out) {
    bounded = object != nullptr && object != Py_None;
    if (!bounded) return true;
    if (PyUnicode_Check(object)) {
        std::string text;
        if (!to_string(object, "bounds", text)) return false;
        if (text != "local") {
            raise_error(Error::invalid("bounds must be 'local' or (lo, hi), got " + quoted(text)));
            return false;
        }
        out.kind = ProjectionBounds::Kind::Local;
        return true;
    }
    if (!PyTuple_Check(object)) {
        PyErr_Format(PyExc_TypeError, "'%s' object cannot be converted to a tuple (lo, hi)", Py_TYPE(object)->tp_name);
        return false;
    }
    if (PyTuple_GET_SIZE(object) != 2) {
        PyErr_Format(PyExc_ValueError, "expected a tuple of length 2, got length %zd", PyTuple_GET_SIZE(object));
        return false;
    }
    const double lo = PyFloat_AsDouble(PyTuple_GET_ITEM(object, 0));
    if (lo == -1.0 && PyErr_Occurred()) return false;
    const double hi = PyFloat_AsDouble(PyTuple_GET_ITEM(object, 1));
    if (hi == -1.0 && PyErr_Occurred()) return false;
    if (!(lo <= hi)) {
        raise_error(Error::invalid("bounds need lo <= hi"));
        return false;
    }
    out = {ProjectionBounds::Kind::Range, lo, hi};
    return true;
}

PyObject* projection_apply(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"apply_last_axis", {"f", "bounds"}, 1};
        MatrixCopy f;
        bool bounded = false;
        ProjectionBounds bounds;
        const Projection& p = projection_core(self);
        if (!a.read(args, nargs, kwnames) || !f.read(a[0], "f") || !parse_bounds(a[1], bounded, bounds) ||
            !check_columns("f", f.cols, p.n_src()))
            return nullptr;
        const std::size_t k = f.rows;
        std::vector<double> x = [&] {
            ReleaseGil released;
            return bounded ? p.apply_bounded_last_axis(f.data(), k, bounds) : p.apply_last_axis(f.data(), k);
        }();
        return array2(std::move(x), k, p.n_dst());
    });
}

PyObject* projection_n_dst(PyObject* self, void*) { return PyLong_FromSize_t(projection_core(self).n_dst()); }
PyObject* projection_n_src(PyObject* self, void*) { return PyLong_FromSize_t(projection_core(self).n_src()); }

PyMethodDef projection_methods[] = {
    {"cross", projection_cross, METH_NOARGS, "cross($self)\n--\n\n"},
    {"to_dense", projection_to_dense, METH_NOARGS, "to_dense($self)\n--\n\n"},
    {"apply_last_axis", as_cfunction(projection_apply), METH_FASTCALL | METH_KEYWORDS,
     "apply_last_axis($self, f, bounds=None)\n--\n\n"
     "Projects each row of f, shape (k, n_src), returning (k, n_dst). `bounds` is None,\n"
     "\"local\", or (lo, hi)."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef projection_properties[] = {
    {"n_dst", projection_n_dst, nullptr, nullptr, nullptr},
    {"n_src", projection_n_src, nullptr, nullptr, nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

}  // namespace

PyTypeObject* projection_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_new, reinterpret_cast<void*>(projection_new)},
        {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc<Projection>)},
        {Py_tp_methods, projection_methods},
        {Py_tp_getset, projection_properties},
        {Py_tp_doc, const_cast<char*>("Projection(src, dst, weight=None)\n--\n\n")},
        {0, nullptr},
    };
    static PyType_Spec spec = {"spanlet._spanlet.Projection", sizeof(OwnerObject<Projection>), 0,
                               Py_TPFLAGS_DEFAULT | Py_TPFLAGS_IMMUTABLETYPE, slots};
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return type;
}

}  // namespace spanlet::py
