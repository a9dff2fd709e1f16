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

// Harmonic and FTS line-shape spaces.
PyObject* space_harmonics(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_fts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Piecewise spaces.
PyObject* space_deltas(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_boxes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_hats(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_rectangles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_triangles(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_trapezoids(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Tabulated spaces.
PyObject* space_shifted(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_tabulated(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Line-shape profile spaces.
PyObject* space_gaussians(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_lorentzians(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_voigts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_pseudo_voigts(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_super_gaussians(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_smoothed_boxes(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Transforms of a space.
PyObject* space_mapped(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_take(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* space_derivative(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

// Integrals of the elements.
PyObject* space_integrals(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

}  // namespace spanlet::py
