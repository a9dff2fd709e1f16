// Spaces of shapes tabulated per element (linear or PCHIP), and of one shape shifted and stretched.
#pragma once

#include <vector>

#include "core/spaces/space.hpp"

namespace spanlet {

Result<Space> tabulated(const std::vector<double>& centers, const std::vector<std::vector<double>>& x,
                        const std::vector<std::vector<double>>& y, bool pchip);
Result<Space> shifted(const ShapeRef& shape, const std::vector<double>& centers, const std::vector<double>& stretch);

}  // namespace spanlet
