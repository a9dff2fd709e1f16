// The Python form of a Csr: (indptr int64, indices int64, data float64, (nrows, ncols)).
#pragma once

#include "core/linalg/sparse.hpp"
#include "core/ops/rows.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

// A new 4-tuple of fresh copies, or nullptr with an exception set.
PyObject* csr_parts(const Csr& matrix);
// The same taking over the matrix's buffers: no copy.
PyObject* csr_parts(Csr&& matrix);
// The same from rows not yet joined: the arrays are made uninitialised and the rows written into
// them on the pool with the interpreter lock released, so that each entry is copied once.
PyObject* csr_parts(RowBlocks&& rows);
// The inner products of a and b by interval assembly (interval_plan, interval_products_into)
// written straight into the arrays of the tuple, which are made from the plan: no copy, nor any
// other room for the entries. False, with nothing made, should a row not fit its plan; otherwise
// `parts` is the tuple, or nullptr with an exception set.
bool interval_csr_parts(const Space& a, const Space& b, PyObject*& parts);

}  // namespace spanlet::py
