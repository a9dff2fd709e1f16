// BandedCholesky: the L L^T factor of a symmetric positive definite matrix whose entries lie near
// the diagonal, stored as an envelope (variable band). Its pivot test is the system's
// singularity test.
//
// Row i of L is kept from its first column f_i to the diagonal, f_i being the smallest column of
// a stored entry in row i or, mirrored, in column i above the diagonal. Cholesky fill-in never
// reaches left of f_i, so the envelope holds the whole factor. A matrix with a few far entries
// (the corner entries of a periodic space, one wide element) then costs O(n b^2) for its banded
// rows plus O(n b) for each far row, instead of O(n^3) for the one band that would cover them.
// A plain band of half-width b is the special case f_i = max(0, i - b), factored with the same
// operations in the same order as a dense band.
//
// Solves with a band up to MAX_SPECIALISED wide (first columns never decreasing, each row reaching
// its predecessor, shorter rows padded with zeros) run on a second copy of the factor, each row
// divided by its diagonal: L = D M with M unit lower triangular, so L L^T x = b is
// M u = D^-1 b, M^T v = u, x = D^-1 v. A substitution then chains row to row through one multiply
// and one subtraction instead of a division as well; the divisions, one per row and sweep, read
// only the input or the finished value and overlap. Results agree with the plain substitution to
// rounding (bit for bit on a diagonal).
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/base/error.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

class BandedCholesky {
public:
    BandedCholesky() = default;  // the empty factor (n = 0)

    // Factors the lower triangle of a square matrix; the envelope (and the half-bandwidth) counts
    // the entries of both triangles. Fails with Singular when a pivot is not above 1e-13 times the
    // magnitude of its input diagonal entry.
    static Result<BandedCholesky> factor(const Csr& matrix);

    // The same into this factor, reusing its storage (for many small factors in a loop). After a
    // failure the factor holds nothing usable.
    Status assign(const Csr& matrix);

    // Overwrites the n values with the solution x of L L^T x = values.
    void solve_in_place(double* values) const;
    // The same for two and for `count` vectors at once, each with the operations of its own solve
    // (so with the same result), faster than one after another.
    void solve_in_place(double* first, double* second) const;
    void solve_in_place(double* const* values, std::size_t count) const;

    std::size_t n() const { return n_; }
    // The largest i - f_i over the rows.
    std::size_t bandwidth() const { return bandwidth_; }
    // f_i: the first stored column of row i < n.
    std::size_t first(std::size_t i) const { return i + 1 - (start_[i + 1] - start_[i]); }
    // Stored entries of L, diagonal included.
    std::size_t stored() const { return values_.size(); }

    // L[i][j] for first(i) <= j <= i.
    double at(std::size_t i, std::size_t j) const { return values_[start_[i + 1] - 1 - (i - j)]; }

    // The widest band solved on the scaled copy.
    static constexpr std::size_t MAX_SPECIALISED = 8;

private:
    template <std::size_t K>
    void solve_together(double* const* values) const;
    bool fits_scaled_band() const;

    // Row i occupies values_[start_[i] .. start_[i + 1]), columns first(i) .. i, diagonal last.
    std::vector<double> values_;
    std::vector<std::size_t> start_{0};
    // The backward pass walks column i of L downwards: rows i + 1, i + 2, ... for as long as they
    // reach column i, then the rows listed in far_rows_[far_start_[i] .. far_start_[i + 1]),
    // ascending. Both lists stay empty when the first columns never decrease (a plain band).
    std::vector<std::size_t> far_start_;
    std::vector<std::size_t> far_rows_;
    // For a band of half-width b <= MAX_SPECIALISED that fits (see the top), else empty: row i at
    // i (b + 1) holds L[i][i - b + t] / L[i][i] for t < b (0 left of the first column), then
    // L[i][i]; b rows of zeros follow, so that every row and column has b off-diagonal slots.
    std::vector<double> scaled_;
    std::size_t n_ = 0;
    std::size_t bandwidth_ = 0;
};

}  // namespace spanlet
