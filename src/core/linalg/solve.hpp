// Dense right-hand sides for a factored normal matrix: solves by rows on the pool, and transposes.
#pragma once

#include <cstddef>
#include <vector>

#include "core/linalg/banded.hpp"

namespace spanlet {

// Solves every row of a k x n row-major array in place with the factor, on the pool.
void solve_rows(const BandedCholesky& factor, std::vector<double>& rows, std::size_t k);

// The transpose of a rows x cols row-major array.
std::vector<double> transposed(const std::vector<double>& values, std::size_t rows, std::size_t cols);

}  // namespace spanlet
