// The covariance of a field over D coordinates whose covariance function is a product of
// one-dimensional covariances times an overall variance, between product atoms: atom i is the
// product over the dimensions of element i of each dimension's space, under that dimension's
// cosine weight, normalised by its integral (a point mass by 1). An entry is therefore the
// covariance of two weighted averages of the field.
#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "core/covariance/covariance1d.hpp"
#include "core/spaces/space.hpp"

namespace spanlet::covariance {

struct ProductCovariance {
    std::vector<Covariance1d> dims;
    double variance;
};

// Borrowed from the caller for the duration of a call: one space and one weight per dimension.
struct Atoms {
    std::span<const Space* const> spaces;
    std::span<const CosineWeight> weights;
};

// Per dimension, one normalising integral per atom.
using Norms = std::vector<std::vector<double>>;

// The number of atoms, checked against the number of dimensions.
Result<std::size_t> len(const Atoms& atoms, std::size_t dimensions);

Result<Norms> norms(const Atoms& atoms);

// Dense row-major results, written straight into caller-owned storage: every element is written.

// The n_a x n_b matrix into `out`. When symmetric (n_a == n_b), only the upper triangle with the
// diagonal is computed, then mirrored.
Status matrix(const ProductCovariance& product, const Atoms& a, const Norms& norms_a, const Atoms& b,
              const Norms& norms_b, bool symmetric, double* out);

// The n variances K(i, i) into `out`.
Status diagonal(const ProductCovariance& product, const Atoms& atoms, const Norms& norms, double* out);

// Where matrix_with_derivatives writes, each an n x n array: K, then l_d dK/dl_d for every
// dimension, then c_m dK/dc_m for every coefficient of every dimension that has a variance factor.
struct DerivativeOutputs {
    double* covariance;
    std::vector<double*> lengths;
    std::vector<std::vector<double*>> coefficients;
};

Status matrix_with_derivatives(const ProductCovariance& product, const Atoms& atoms, const Norms& norms,
                               const DerivativeOutputs& out);

}  // namespace spanlet::covariance
