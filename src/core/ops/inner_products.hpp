// Sparse matrices of inner products between two spaces, measurement matrices and point values.
#pragma once

#include <vector>

#include "core/integrate.hpp"
#include "core/space.hpp"
#include "core/sparse.hpp"

namespace spanlet {

enum class Normalization { Integral, RowSum, None };

// G[i, j] = inner(a_i, b_j) for every pair whose supports meet; exact zeros are not stored.
Result<Csr> inner_products(const std::vector<Element>& a, const Space& b, Weight omega);

// The inner products of kernels with basis elements, each row scaled by the reciprocal of its
// normaliser (zero for a zero normaliser).
Result<Csr> measure(const std::vector<Element>& kernels, const Space& basis, Normalization mode, Weight omega);

// Values of every basis element at the points, one row per point.
Result<Csr> evaluate_points(const std::vector<double>& x, const Space& basis);

// Integrals of every element, in order, on the calling thread.
Result<std::vector<double>> integrals(const std::vector<Element>& elements, Weight omega);

// The same values computed on the pool: each integral is independent of the others, so the
// result equals the sequential one; the first error by index is returned.
Result<std::vector<double>> parallel_integrals(const std::vector<Element>& elements, Weight omega);

}  // namespace spanlet
