// Spaces of unit-height piecewise elements: point masses, hats, boxes, triangles, rectangles and
// trapezoids.
#pragma once

#include <vector>

#include "core/spaces/space.hpp"

namespace spanlet {

Result<Space> deltas(const std::vector<double>& positions);
Result<Space> hats(const std::vector<double>& nodes);
Result<Space> boxes(const std::vector<double>& edges);
Result<Space> triangles(const std::vector<double>& centers, const std::vector<double>& hwhm);
Result<Space> rectangles(const std::vector<double>& centers, const std::vector<double>& widths);
Result<Space> trapezoids(const std::vector<double>& centers, const std::vector<double>& top,
                         const std::vector<double>& bottom);

}  // namespace spanlet
