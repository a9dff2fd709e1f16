// The Python classes Projection and Fit: immutable owners of a core operator.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

// Class objects, created once on first need; nullptr with an exception on failure.
PyTypeObject* projection_type();
PyTypeObject* fit_type();

// True when an input array has the expected column count; otherwise raises the ValueError that
// names the argument ("f has 3 values along the transformed axis, expected 4").
bool check_columns(const char* argument, std::size_t cols, std::size_t expected);

}  // namespace spanlet::py
