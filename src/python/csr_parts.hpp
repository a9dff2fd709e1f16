// The Python form of a Csr: (indptr int64, indices int64, data float64, (nrows, ncols)).
#pragma once

#include "core/linalg/sparse.hpp"
#include "python/pyref.hpp"

namespace spanlet::py {

// A new 4-tuple of fresh copies, or nullptr with an exception set.
PyObject* csr_parts(const Csr& matrix);
// The same taking over the matrix's buffers: no copy.
PyObject* csr_parts(Csr&& matrix);

}  // namespace spanlet::py
