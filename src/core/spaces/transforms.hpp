// New spaces from old ones: selection, differentiation and change of variable.
#pragma once

#include <cstdint>
#include <vector>

#include "core/spaces/space.hpp"

namespace spanlet {

// The elements at the given indices, in that order (repeats allowed).
Result<Space> take(const Space& space, const std::vector<std::uint64_t>& indices);
// Every element differentiated `order` times; only piecewise-polynomial elements qualify.
Result<Space> derivative(const Space& space, std::uint64_t order);
// Every element composed with x -> (x - a) / b (affine) or x -> a / x (reciprocal), optionally
// times the map's jacobian.
Result<Space> mapped(const Space& space, MapKind kind, double a, double b, bool jacobian);

}  // namespace spanlet
