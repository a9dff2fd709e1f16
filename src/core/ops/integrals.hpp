// Integrals of many elements, on the calling thread or on the pool.
#pragma once

#include <vector>

#include "core/integration/integrate.hpp"

namespace spanlet {

// Integrals of every element, in order, on the calling thread.
Result<std::vector<double>> integrals(const std::vector<Element>& elements, CosineWeight omega);

// The same values computed on the pool: each integral is independent of the others, so the
// result equals the sequential one; the first error by index is returned.
Result<std::vector<double>> parallel_integrals(const std::vector<Element>& elements, CosineWeight omega);

}  // namespace spanlet
