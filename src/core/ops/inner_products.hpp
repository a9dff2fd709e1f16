// Sparse matrices of inner products between two spaces.
#pragma once

#include <vector>

#include "core/integration/integrate.hpp"
#include "core/spaces/space.hpp"
#include "core/linalg/sparse.hpp"
#include "core/ops/rows.hpp"

namespace spanlet {

// G[i, j] = inner(a_i, b_j) for every pair whose supports meet; exact zeros are not stored.
Result<Csr> inner_products(const Space& a, const Space& b, CosineWeight omega);
// The same for elements not held in a space (those of b itself are taken as the space b).
Result<Csr> inner_products(const std::vector<Element>& a, const Space& b, CosineWeight omega);
// The rows of inner_products(a, b, omega) before they are joined, for a caller that writes them
// into arrays of its own.
Result<RowBlocks> inner_product_rows(const Space& a, const Space& b, CosineWeight omega);

}  // namespace spanlet
