#include "core/ops/penalised.hpp"

#include <cmath>
#include <string>

#include "core/linalg/solve.hpp"

namespace spanlet {

Result<PenalisedNormal> PenalisedNormal::make(Csr design, const Csr& penalty) {
    const std::size_t m = design.ncols;
    const bool penalised = penalty.nrows != 0 || penalty.ncols != 0;
    if (penalised && (penalty.nrows != m || penalty.ncols != m))
        return Error::invalid("penalty must be " + std::to_string(m) + " x " + std::to_string(m) + ", got " +
                              std::to_string(penalty.nrows) + " x " + std::to_string(penalty.ncols));
    PenalisedNormal p;
    p.normal_ = design.gram_columns();
    p.design_t_ = design.transpose();
    p.design_ = std::move(design);
    if (penalised) {
        p.penalty_ = penalty;
    } else {  // an empty m x m matrix, so the merge below needs no special case
        p.penalty_.indptr.assign(m + 1, 0);
        p.penalty_.nrows = p.penalty_.ncols = m;
    }
    p.trace_normal_ = p.normal_.trace();
    p.trace_penalty_ = p.penalty_.trace();
    // The union of the two patterns, row by row, with both value sets aligned to it.
    Csr& u = p.merged_;
    u.nrows = u.ncols = m;
    u.indptr.assign(1, 0);
    for (std::size_t i = 0; i < m; ++i) {
        const Csr::Row a = p.normal_.row(i), b = p.penalty_.row(i);
        std::size_t s = 0, t = 0;
        while (s < a.size || t < b.size) {
            const bool take_a = t == b.size || (s < a.size && a.indices[s] <= b.indices[t]);
            const bool take_b = s == a.size || (t < b.size && b.indices[t] <= a.indices[s]);
            u.indices.push_back(take_a ? a.indices[s] : b.indices[t]);
            u.data.push_back(take_a ? a.values[s++] : 0.0);
            p.penalty_part_.push_back(take_b ? b.values[t++] : 0.0);
        }
        u.indptr.push_back(u.indices.size());
    }
    return p;
}

Csr PenalisedNormal::system(double alpha) const {
    Csr a = merged_;
    for (std::size_t e = 0; e < a.data.size(); ++e) a.data[e] += alpha * penalty_part_[e];
    return a;
}

Result<BandedCholesky> PenalisedNormal::factor(double alpha) const {
    auto f = BandedCholesky::factor(system(alpha));
    if (!f) {
        Error error = std::move(f).error();
        if (error.kind == Error::Kind::Singular)
            error.message += "; the data do not determine every model coefficient, so add smoothing";
        return error;
    }
    return f;
}

std::vector<double> PenalisedNormal::rhs(const double* data, std::size_t k) const {
    return design_t_.apply_last_axis(data, k, n_data());
}

Result<PenalisedScore> penalised_score(const PenalisedNormal& normal, double alpha, const double* data) {
    SPANLET_TRY(factor, normal.factor(alpha));
    std::vector<double> x = normal.rhs(data, 1);
    factor.solve_in_place(x.data());
    PenalisedScore score{};
    // Residuals from D x directly: N and D^T y would lose the digits of a small residual.
    const std::vector<double> fitted = normal.design().apply_last_axis(x.data(), 1, normal.n_model());
    double rss = 0.0;
    for (std::size_t i = 0; i < fitted.size(); ++i) rss += (data[i] - fitted[i]) * (data[i] - fitted[i]);
    score.rss = rss;
    const Csr& p = normal.penalty();
    double pen = 0.0;
    for (std::size_t i = 0; i < p.nrows; ++i) {
        const Csr::Row r = p.row(i);
        double s = 0.0;
        for (std::size_t e = 0; e < r.size; ++e) s += r.values[e] * x[r.indices[e]];
        pen += x[i] * s;
    }
    score.penalty = pen;
    double log_det = 0.0;
    for (std::size_t i = 0; i < factor.n(); ++i) log_det += std::log(factor.at(i, i));
    score.log_det = 2.0 * log_det;
    score.edf = InverseEnvelope(factor).trace_product(normal.normal());
    return score;
}

}  // namespace spanlet
