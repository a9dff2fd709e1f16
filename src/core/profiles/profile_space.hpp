// Spaces of profile elements: one profile placed at each center and cut to its support.
#pragma once

#include <vector>

#include "core/profiles/profile.hpp"
#include "core/space.hpp"

namespace spanlet {

// `profiles` holds one profile for every center or one per center.
Result<Space> profiles(const std::vector<Profile>& profiles, const std::vector<double>& centers, double cutoff);

}  // namespace spanlet
