// The Python class Projection: an immutable owner of a core projection.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

// The class object, created once on first need; nullptr with an exception on failure.
PyTypeObject* projection_type();

}  // namespace spanlet::py
