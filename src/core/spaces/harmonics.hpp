// Harmonic spaces: the cosine and sine of the first n harmonics of a period, each on one period.
#pragma once

#include <cstdint>

#include "core/spaces/space.hpp"

namespace spanlet {

// cos 1, sin 1, ..., cos n, sin n of the period, each on [start, start + period].
Result<Space> harmonics(std::uint64_t n, double period, double start);

}  // namespace spanlet
