// The covariance of a projection's output for source coefficients with a given covariance:
// Cov = G^-1 K S K^T G^-1 with S a diagonal of variances or a sparse matrix. K S K^T keeps the
// overlap pattern of the target elements. When G is diagonal (target elements that do not
// overlap, as boxes) the result keeps that pattern and stays sparse; otherwise G^-1 couples every
// pair of targets, and the dense result comes from banded solves of the rows of K S K^T, never
// from the dense operator G^-1 K.
#pragma once

#include <vector>

#include "core/base/error.hpp"
#include "core/linalg/sparse.hpp"
#include "core/ops/projection.hpp"

namespace spanlet {

struct PropagatedCovariance {
    Csr sparse;                 // when the target Gram matrix is diagonal
    std::vector<double> dense;  // otherwise, n_dst x n_dst row-major, exactly symmetric
    bool is_sparse = false;
};

// `variance`: n_src values, finite and >= 0.
Result<PropagatedCovariance> propagate(const Projection& projection, const std::vector<double>& variance);
// `covariance`: n_src x n_src, finite, symmetric, with a diagonal >= 0.
Result<PropagatedCovariance> propagate(const Projection& projection, const Csr& covariance);

}  // namespace spanlet
