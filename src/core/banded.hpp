// BandedCholesky: the L L^T factor of a symmetric positive definite banded matrix, stored as a
// dense band. Its pivot test is the system's singularity test.
#pragma once

#include <cstddef>
#include <vector>

#include "core/error.hpp"
#include "core/sparse.hpp"

namespace spanlet {

class BandedCholesky {
public:
    BandedCholesky() = default;  // the empty factor (n = 0)

    // Factors the lower triangle of a square matrix; the half-bandwidth counts the entries of
    // both triangles. Fails with Singular when a pivot is not above 1e-13 times the magnitude of
    // its input diagonal entry.
    static Result<BandedCholesky> factor(const Csr& matrix);

    // Overwrites the n values with the solution x of L L^T x = values.
    void solve_in_place(double* values) const;

    std::size_t n() const { return n_; }
    std::size_t bandwidth() const { return bandwidth_; }

    // L[i][j] for i - bandwidth <= j <= i (positions left of column 0 hold 0).
    double at(std::size_t i, std::size_t j) const { return band_[bandwidth_ * i + bandwidth_ + j]; }

private:
    BandedCholesky(std::vector<double> band, std::size_t n, std::size_t bandwidth)
        : band_(std::move(band)), n_(n), bandwidth_(bandwidth) {}

    // Row i of L, indexed by column: row(i)[j] = L[i][j].
    const double* row(std::size_t i) const { return band_.data() + bandwidth_ * i + bandwidth_; }

    std::vector<double> band_;  // n rows of bandwidth + 1, the diagonal last in each
    std::size_t n_ = 0;
    std::size_t bandwidth_ = 0;
};

}  // namespace spanlet
