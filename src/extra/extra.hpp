// spanlet._extra: native helpers of the package layer beyond the fixed _spanlet interface (the
// band of an inverse, penalised systems whose weight is chosen from the data, propagation of
// covariances, clamped B-splines closed at the last breakpoint, measurement derivatives in several
// parameters at once). It links the same core library, so the process keeps one pool and one
// SingularError. Method tables and types of each file are joined in extra_module.cpp.
#pragma once

#include <cstddef>
#include <memory>

#include "core/linalg/sparse.hpp"
#include "core/spaces/space.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

extern PyMethodDef derivative_functions[];
extern PyMethodDef inverse_functions[];
extern PyMethodDef propagate_functions[];
extern PyMethodDef space_functions[];
PyTypeObject* penalised_type();
PyTypeObject* penalised_fit_type();

// spanlet._spanlet.Space, whose layout the spaces made and read here share; null with an exception.
PyRef native_space_type();
// The space of a spanlet._spanlet.Space argument ("argument '<name>': expected a Space, got <type>").
bool read_native_space(PyObject* object, const char* argument, std::shared_ptr<const Space>& out);

// A sparse matrix from its Python form (indptr, indices, data, (nrows, ncols)), checked: the core
// trusts its producers. Errors name the argument.
bool read_csr(PyObject* object, const char* argument, Csr& out);

// ValueError "<argument> has <cols> values along the transformed axis, expected <expected>".
bool check_length(const char* argument, std::size_t cols, std::size_t expected);

}  // namespace spanlet::py
