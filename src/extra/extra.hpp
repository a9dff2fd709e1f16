// spanlet._extra: native helpers of the package layer beyond the fixed _spanlet interface (the
// band of an inverse, penalised systems whose weight is chosen from the data, propagation of
// covariances, clamped B-splines closed at the last breakpoint). It links the same core library, so the process keeps one pool and one
// SingularError. Method tables and types of each file are joined in extra_module.cpp.
#pragma once

#include <cstddef>

#include "core/linalg/sparse.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

extern PyMethodDef inverse_functions[];
extern PyMethodDef propagate_functions[];
extern PyMethodDef space_functions[];
PyTypeObject* penalised_type();
PyTypeObject* penalised_fit_type();

// A sparse matrix from its Python form (indptr, indices, data, (nrows, ncols)), checked: the core
// trusts its producers. Errors name the argument.
bool read_csr(PyObject* object, const char* argument, Csr& out);

// ValueError "<argument> has <cols> values along the transformed axis, expected <expected>".
bool check_length(const char* argument, std::size_t cols, std::size_t expected);

}  // namespace spanlet::py
