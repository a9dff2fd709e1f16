// The shape-preserving monotone cubic (PCHIP) interpolant through a table of samples.
#pragma once

#include <vector>

#include "core/elements/shape.hpp"

namespace spanlet {

// Fritsch-Carlson slopes with the three-point, shape-preserving end rule.
Result<ShapeRef> pchip_shape(const std::vector<double>& x, const std::vector<double>& y);

}  // namespace spanlet
