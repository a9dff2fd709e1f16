// Penalised least-squares fit of a model space to data seen through kernels:
// (D^T D + alpha P) x = D^T d, alpha = smoothing * trace(D^T D) / trace(P).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/linalg/banded.hpp"
#include "core/ops/measure.hpp"
#include "core/spaces/space.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

struct Penalty {
    enum class Kind { Derivative, Difference };
    Kind kind;
    std::uint64_t order;

    std::string text() const;  // "Derivative(2)", "Difference(1)"
};

class Fit {
public:
    static Result<Fit> make(const Space& kernels, const Space& model, Normalization mode, double smoothing,
                            Penalty penalty, CosineWeight omega);

    std::size_t n_data() const { return design_.nrows; }
    std::size_t n_model() const { return design_.ncols; }
    const Csr& design() const { return design_; }

    // A^-1 D^T as an n_model x n_data row-major array.
    std::vector<double> to_dense() const;

    // Fits k rows of n_data values (row-major at data); returns k rows of n_model coefficients.
    std::vector<double> apply_last_axis(const double* data, std::size_t k) const;

private:
    Fit(BandedCholesky factor, Csr design, Csr design_t)
        : normal_factor_(std::move(factor)), design_(std::move(design)), design_t_(std::move(design_t)) {}

    BandedCholesky normal_factor_;
    Csr design_;
    Csr design_t_;
};

// The order-m finite-difference stencil: (-1)^(m-i) binomial(m, i), i = 0..m.
std::vector<double> difference_stencil(std::uint64_t order);

}  // namespace spanlet
