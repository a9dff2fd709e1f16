// Spaces of FTS instrument line shapes, one per center.
#pragma once

#include <vector>

#include "core/profiles/apodization.hpp"
#include "core/spaces/space.hpp"

namespace spanlet {

// One line shape per center; max_opd holds at least one value per center.
Result<Space> fts(const std::vector<double>& centers, const std::vector<double>& max_opd, double cutoff,
                  const Apodization& apodization);

}  // namespace spanlet
