// Penalised least squares with the penalty weight left open: minimise ||D x - y||^2 + alpha x^T P x
// for rows of D already scaled by the square roots of the sample weights. The normal matrix
// N = D^T D and P are formed once on their merged pattern, so a system at any alpha is one pass
// over that pattern, a banded factor, and (for the scores that choose alpha) the band of its
// inverse.
#pragma once

#include <cstddef>
#include <memory>
#include <vector>

#include "core/base/error.hpp"
#include "core/linalg/banded.hpp"
#include "core/linalg/banded_inverse.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

class PenalisedNormal {
public:
    // `penalty` is n_model x n_model (0 x 0 for none); fails on mismatched shapes.
    static Result<PenalisedNormal> make(Csr design, const Csr& penalty);

    std::size_t n_data() const { return design_.nrows; }
    std::size_t n_model() const { return design_.ncols; }
    const Csr& design() const { return design_; }
    const Csr& normal() const { return normal_; }
    const Csr& penalty() const { return penalty_; }
    double trace_normal() const { return trace_normal_; }
    double trace_penalty() const { return trace_penalty_; }

    // N + alpha P on the merged pattern.
    Csr system(double alpha) const;
    // The factor of N + alpha P; Singular with the advice to smooth when it is not definite.
    Result<BandedCholesky> factor(double alpha) const;
    // D^T y for k rows of n_data values.
    std::vector<double> rhs(const double* data, std::size_t k) const;

private:
    Csr design_, design_t_, normal_, penalty_;
    Csr merged_;                       // the union pattern; data holds N's values there
    std::vector<double> penalty_part_; // P's values on the union pattern
    double trace_normal_ = 0.0, trace_penalty_ = 0.0;
};

// What the criteria that choose alpha need from one system, for one data vector.
struct PenalisedScore {
    double rss;          // ||y - D x||^2
    double penalty;      // x^T P x
    double edf;          // tr(A^-1 N), the effective degrees of freedom
    double log_det;      // log det A
};

Result<PenalisedScore> penalised_score(const PenalisedNormal& normal, double alpha, const double* data);

}  // namespace spanlet
