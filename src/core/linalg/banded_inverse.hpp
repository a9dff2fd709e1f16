// The entries of A^-1 inside the envelope of the Cholesky factor of A (selected inversion).
//
// With A = L L^T, Z = A^-1 satisfies Z L = L^-T, an upper triangular matrix with diagonal 1/L_jj.
// Read column by column from the last, that gives for every row i > j that stores column j of L
//     Z_ij = -(sum_k Z_ik L_kj) / L_jj,     Z_jj = (1/L_jj - sum_k Z_jk L_kj) / L_jj,
// the sums over the rows k > j that store column j. Those rows pairwise lie inside the envelope,
// so the recurrence never leaves it: O(n b^2) for a band of half-width b, plus O(n b) per far row
// of an envelope (the corner rows of a periodic space).
#pragma once

#include <cstddef>
#include <vector>

#include "core/linalg/banded.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

class InverseEnvelope {
public:
    InverseEnvelope() = default;
    explicit InverseEnvelope(const BandedCholesky& factor);

    std::size_t n() const { return n_; }
    std::size_t first(std::size_t i) const { return first_[i]; }
    // Z[i][j] for any i, j with first(max) <= min: the inverse is symmetric.
    double at(std::size_t i, std::size_t j) const {
        return i >= j ? values_[start_[i + 1] - 1 - (i - j)] : values_[start_[j + 1] - 1 - (j - i)];
    }
    bool inside(std::size_t i, std::size_t j) const { return i >= j ? first_[i] <= j : first_[j] <= i; }

    // tr(Z M) = sum_ij Z_ij M_ji for a symmetric M; entries of M outside the envelope give NaN.
    double trace_product(const Csr& m) const;
    // The stored entries as a symmetric matrix, both triangles, columns ascending in each row.
    Csr to_csr() const;

private:
    std::vector<double> values_;       // row i: columns first(i) .. i, diagonal last
    std::vector<std::size_t> start_;   // row i at values_[start_[i] .. start_[i + 1])
    std::vector<std::size_t> first_;
    std::size_t n_ = 0;
};

}  // namespace spanlet
