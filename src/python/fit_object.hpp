// The Python class Fit: an immutable owner of a core penalised fit.
#pragma once

#include "python/pyref.hpp"

namespace spanlet::py {

// The class object, created once on first need; nullptr with an exception on failure.
PyTypeObject* fit_type();

}  // namespace spanlet::py
