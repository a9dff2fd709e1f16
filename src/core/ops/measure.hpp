// Measurement matrices (kernels against a basis, normalised by rows) and point values.
#pragma once

#include <vector>

#include "core/integration/integrate.hpp"
#include "core/spaces/space.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

enum class Normalization { Integral, RowSum, None };

// The inner products of kernels with basis elements, each row scaled by the reciprocal of its
// normaliser (zero for a zero normaliser).
Result<Csr> measure(const Space& kernels, const Space& basis, Normalization mode, CosineWeight omega);

// Values of every basis element at the points, one row per point.
Result<Csr> evaluate_points(const std::vector<double>& x, const Space& basis);
// The check evaluate_points applies to its points.
Status check_points(const std::vector<double>& x);

}  // namespace spanlet
