#include "python/space_object.hpp"

#include <new>
#include <vector>

#include "python/arrays.hpp"
#include "python/errors.hpp"

namespace spanlet::py {

namespace {

Py_ssize_t space_length(PyObject* self) { return static_cast<Py_ssize_t>(core_space(self).size()); }

}  // namespace

PyObject* space_lower(PyObject* self, PyObject*) {
    return guarded([&] { return vector_array(core_space(self).index().lower); });
}

PyObject* space_upper(PyObject* self, PyObject*) {
    return guarded([&] { return vector_array(core_space(self).index().upper); });
}

PyObject* space_centers(PyObject* self, PyObject*) {
    return guarded([&] {
        const Space& space = core_space(self);
        std::vector<double> values(space.size());
        for (std::size_t i = 0; i < values.size(); ++i) values[i] = center(space.elements()[i]);
        return vector_array(values);
    });
}

PyTypeObject* space_type() {
    static PyTypeObject* type = nullptr;
    if (type != nullptr) return type;
    static PyType_Slot slots[] = {
        {Py_tp_dealloc, reinterpret_cast<void*>(owner_dealloc<Space>)},
        {Py_tp_methods, space_methods},
        {Py_sq_length, reinterpret_cast<void*>(space_length)},
        {0, nullptr},
    };
    static PyType_Spec spec = {
        "spanlet._spanlet.Space",
        sizeof(SpaceObject),
        0,
        Py_TPFLAGS_DEFAULT | Py_TPFLAGS_DISALLOW_INSTANTIATION | Py_TPFLAGS_IMMUTABLETYPE,
        slots,
    };
    type = reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&spec));
    return type;
}

PyObject* wrap_space(Space space) {
    PyTypeObject* type = space_type();
    if (type == nullptr) return nullptr;
    return new_owner(type, std::move(space));
}

PyObject* wrap_space(Result<Space> result) {
    if (!result) return raise_error(result.error());
    return wrap_space(std::move(result).value());
}

bool to_space(PyObject* object, const char* argument, std::shared_ptr<const Space>& out) {
    PyTypeObject* type = space_type();
    if (type == nullptr) return false;
    if (!PyObject_TypeCheck(object, type)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a Space, got %s", argument, Py_TYPE(object)->tp_name);
        return false;
    }
    out = reinterpret_cast<SpaceObject*>(object)->value;
    return true;
}

}  // namespace spanlet::py
