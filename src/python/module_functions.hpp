// The module-level functions, in their fixed registration order.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

extern PyMethodDef module_functions[];

PyObject* inner_products_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* measure_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* measure_derivative_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* evaluate_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* faddeeva_re_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* covariance_matrix_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* covariance_diagonal_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* covariance_length_derivatives_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames);

}  // namespace spanlet::py
