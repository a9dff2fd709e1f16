// Python objects that own one immutable core value through a shared pointer.
#pragma once

#include <memory>
#include <new>

#include "python/pyref.hpp"

namespace spanlet::py {

template <class T>
struct OwnerObject {
    PyObject_HEAD
    std::shared_ptr<const T> value;
};

template <class T>
const T& owned_value(PyObject* self) {
    return *reinterpret_cast<OwnerObject<T>*>(self)->value;
}

// A new instance of `type` owning `value`; nullptr with an exception on failure.
template <class T>
PyObject* new_owner(PyTypeObject* type, T value) {
    auto shared = std::make_shared<const T>(std::move(value));
    PyObject* self = type->tp_alloc(type, 0);
    if (self == nullptr) return nullptr;
    new (&reinterpret_cast<OwnerObject<T>*>(self)->value) std::shared_ptr<const T>(std::move(shared));
    return self;
}

template <class T>
void owner_dealloc(PyObject* self) {
    PyTypeObject* type = Py_TYPE(self);
    reinterpret_cast<OwnerObject<T>*>(self)->value.~shared_ptr();
    type->tp_free(self);
    Py_DECREF(type);
}

}  // namespace spanlet::py
