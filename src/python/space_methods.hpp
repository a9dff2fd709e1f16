// Entry points of the Space class, implemented beside their concerns and listed in one table.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

using FastMethod = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

inline PyCFunction as_cfunction(FastMethod method) {
    return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(method));
}

// B-spline spaces.
PyObject* space_bsplines(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_bsplines_periodic(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_bsplines_clamped(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace spanlet::py
