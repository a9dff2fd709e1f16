#include "core/ops/fit.hpp"

#include <cmath>
#include <optional>

#include "core/ops/inner_products.hpp"
#include "core/linalg/solve.hpp"
#include "core/spaces/transforms.hpp"
#include "core/base/constants.hpp"

namespace spanlet {

namespace {

// R^T R for the difference matrix R with n - m rows, stencil at columns r .. r + m.
Csr difference_penalty(std::uint64_t order, std::uint64_t n) {
    const std::vector<double> stencil = difference_stencil(order);
    std::vector<std::pair<std::vector<std::uint64_t>, std::vector<double>>> rows(n - order);
    for (std::uint64_t r = 0; r < n - order; ++r) {
        for (std::uint64_t i = 0; i <= order; ++i) rows[r].first.push_back(r + i);
        rows[r].second = stencil;
    }
    return Csr::from_rows(std::move(rows), n - order, n).gram_columns();
}

// N + (alpha_num / tr_P) P, merged row by row; zeros stay stored.
Csr merge(const Csr& n, const Csr& p, double scale) {
    std::vector<std::pair<std::vector<std::uint64_t>, std::vector<double>>> rows(n.nrows);
    for (std::uint64_t i = 0; i < n.nrows; ++i) {
        const Csr::Row a = n.row(i), b = p.row(i);
        auto& [cols, vals] = rows[i];
        std::size_t s = 0, t = 0;
        while (s < a.size || t < b.size) {
            if (t == b.size || (s < a.size && a.indices[s] < b.indices[t])) {
                cols.push_back(a.indices[s]);
                vals.push_back(a.values[s++]);
            } else if (s == a.size || b.indices[t] < a.indices[s]) {
                cols.push_back(b.indices[t]);
                vals.push_back(scale * b.values[t++]);
            } else {
                cols.push_back(a.indices[s]);
                vals.push_back(a.values[s++] + scale * b.values[t++]);
            }
        }
    }
    return Csr::from_rows(std::move(rows), n.nrows, n.ncols);
}

// The penalty matrix, or nothing when the penalty is left out.
Result<std::optional<Csr>> penalty_matrix(const Space& model, Penalty penalty) {
    if (penalty.kind == Penalty::Kind::Difference) {
        if (penalty.order >= model.size()) return std::optional<Csr>{};
        return std::optional<Csr>{difference_penalty(penalty.order, model.size())};
    }
    SPANLET_TRY(derivatives, derivative(model, penalty.order));
    SPANLET_TRY(p, inner_products(derivatives.elements(), derivatives, std::nullopt));
    return std::optional<Csr>{std::move(p)};
}

}  // namespace

std::string Penalty::text() const {
    return std::string(kind == Kind::Derivative ? "Derivative" : "Difference") + "(" + std::to_string(order) + ")";
}

std::vector<double> difference_stencil(std::uint64_t order) {
    std::vector<double> s{1.0};
    for (std::uint64_t k = 0; k < order; ++k) {
        std::vector<double> t(s.size() + 1);
        for (std::size_t i = 0; i < t.size(); ++i)
            t[i] = (i > 0 ? s[i - 1] : 0.0) - (i < s.size() ? s[i] : 0.0);
        s = std::move(t);
    }
    return s;
}

Result<Fit> Fit::make(const Space& kernels, const Space& model, Normalization mode, double smoothing, Penalty penalty,
                      CosineWeight omega) {
    SPANLET_TRY(design, measure(kernels, model, mode, omega));
    Csr normal = design.gram_columns();
    if (smoothing > 0.0) {
        SPANLET_TRY(p, penalty_matrix(model, penalty));
        if (p) {
            const Csr& pm = *p;
            const double tr_p = pm.trace();
            if (!(tr_p > 0.0 || std::isnan(tr_p)))
                return Error::invalid("the " + penalty.text() + " penalty is zero for this model (degree too low?)");
            const double alpha_num = smoothing * normal.trace();
            normal = merge(normal, pm, alpha_num / tr_p);
        }
    }
    auto factor = BandedCholesky::factor(normal);
    if (!factor) {
        Error error = std::move(factor).error();
        if (error.kind == Error::Kind::Singular)
            error.message += "; the data do not determine every model coefficient, so add smoothing";
        return error;
    }
    Csr design_t = design.transpose();
    return Fit(std::move(factor).value(), std::move(design), std::move(design_t));
}

std::vector<double> Fit::to_dense() const {
    std::vector<double> rows = design_.to_dense();  // n_data x n_model
    solve_rows(normal_factor_, rows, n_data());
    return transposed(rows, n_data(), n_model());
}

std::vector<double> Fit::apply_last_axis(const double* data, std::size_t k) const {
    std::vector<double> y = design_t_.apply_last_axis(data, k, n_data());
    solve_rows(normal_factor_, y, k);
    return y;
}

}  // namespace spanlet
