// The Python classes Projection and Fit: immutable owners of a core operator.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

// Class objects, created once on first need; nullptr with an exception on failure.
PyTypeObject* projection_type();
PyTypeObject* fit_type();

// Reads a (k, expected) float64 array into a row-major buffer; the column-count message names
// the argument ("f has 3 values along the transformed axis, expected 4").
bool check_columns(const char* argument, std::size_t cols, std::size_t expected);

}  // namespace spanlet::py
