// The Python Space class: an immutable wrapper owning one shared core Space.
#pragma once

#include <memory>

#include "core/spaces/space.hpp"
#include "python/owner_object.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

using SpaceObject = OwnerObject<Space>;

// The class object, created once on first need; nullptr with an exception on failure.
PyTypeObject* space_type();

// A new Space object owning `space`.
PyObject* wrap_space(Space space);
// Wraps a constructor's result, or raises its error.
PyObject* wrap_space(Result<Space> result);

// The core space of a Space object.
inline const Space& core_space(PyObject* self) { return owned_value<Space>(self); }

// The core space of a Space argument; TypeError naming the argument otherwise.
bool to_space(PyObject* object, const char* argument, std::shared_ptr<const Space>& out);

// The class's method table, in its fixed order (space_methods.cpp).
extern PyMethodDef space_methods[];

// Accessors: new arrays with one entry per element.
PyObject* space_lower(PyObject* self, PyObject*);
PyObject* space_upper(PyObject* self, PyObject*);
PyObject* space_centers(PyObject* self, PyObject*);

}  // namespace spanlet::py
