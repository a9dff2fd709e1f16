#include "core/ops/measure_derivative.hpp"

#include <algorithm>
#include <tuple>

#include "core/integration/derivatives.hpp"
#include "core/ops/profile_rows.hpp"
#include "core/ops/rows.hpp"
#include "core/base/constants.hpp"

namespace spanlet {

namespace {

// A row's buffers, kept from row to row (a scratch keeps one type of them at a time).
struct DerivativeRow {
    ProfileRow profile;
    std::vector<PointMasses> masses;  // per parameter
    std::vector<double> dn, dv;
};

// The row of one kernel, appended to the blocks of W and of each dW_p (same indices in all),
// normalised.
Status kernel_row(const Element& kernel, const Space& basis, Normalization mode, std::span<const Parameter> parameters,
                  CosineWeight omega, Scratch& scratch, RowBlock& w, std::vector<RowBlock>& dw) {
    const std::size_t count = parameters.size();
    DerivativeRow& d = scratch.job_buffers<DerivativeRow>();
    d.masses.resize(count);
    for (std::size_t k = 0; k < count; ++k) SPANLET_TRY_STATUS(jumps(kernel, parameters[k], d.masses[k]));
    const Support s = support(kernel);
    candidates(basis, scratch.candidates, s.lo, s.hi);
    const std::size_t first = w.values.size();
    double n = 1.0;
    d.dn.assign(count, 0.0);
    if (mode == Normalization::RowSum) {
        n = EMPTY_SUM;
        d.dn.assign(count, EMPTY_SUM);
    }
    d.dv.resize(count);
    ProfileRow& row = d.profile;
    const bool shared = !omega && profile_row(kernel, basis, scratch.candidates, parameters, scratch.knots, row);
    for (std::size_t c = 0; c < scratch.candidates.size(); ++c) {
        const std::uint64_t j = scratch.candidates[c];
        const Element& b = basis.elements()[j];
        double v = 0.0;
        for (std::size_t k = 0; k < count; ++k) {
            if (shared) {
                v = row.values[c];
                d.dv[k] = masses_against(d.masses[k], b, omega) + row.derivatives[c * count + k];
            } else {
                SPANLET_TRY(both, inner_with_derivative(kernel, b, parameters[k], omega, d.masses[k], scratch.knots));
                std::tie(v, d.dv[k]) = both;
            }
        }
        if (v == 0.0 && std::all_of(d.dv.begin(), d.dv.end(), [](double x) { return x == 0.0; })) continue;
        w.indices.push_back(j);
        w.values.push_back(v);
        for (std::size_t k = 0; k < count; ++k) {
            dw[k].indices.push_back(j);
            dw[k].values.push_back(d.dv[k]);
        }
        if (mode == Normalization::RowSum) {
            n += v;
            for (std::size_t k = 0; k < count; ++k) d.dn[k] += d.dv[k];
        }
    }
    if (mode == Normalization::Integral) {
        for (std::size_t k = 0; k < count; ++k) {
            SPANLET_TRY(both, integral_with_derivative(kernel, parameters[k], omega, d.masses[k], scratch.knots));
            n = both.first;
            d.dn[k] = both.second;
        }
    }
    const std::size_t stored = w.values.size() - first;
    if (mode != Normalization::None) {
        const double u = n == 0.0 ? 0.0 : 1.0 / n;
        for (std::size_t e = first; e < w.values.size(); ++e) {
            w.values[e] *= u;
            for (std::size_t k = 0; k < count; ++k) dw[k].values[e] = u * (dw[k].values[e] - d.dn[k] * w.values[e]);
        }
    }
    w.row_sizes.push_back(stored);
    for (std::size_t k = 0; k < count; ++k) dw[k].row_sizes.push_back(stored);
    return success();
}

}  // namespace

Result<std::pair<Csr, std::vector<Csr>>> measure_derivatives(const std::vector<Element>& kernels, const Space& basis,
                                                            Normalization mode, std::span<const Parameter> parameters,
                                                            CosineWeight omega) {
    const std::size_t nrows = kernels.size();
    const RowTasks split = RowTasks::blocks(nrows);
    std::vector<RowBlock> w(split.count());
    std::vector<std::vector<RowBlock>> dw(split.count(), std::vector<RowBlock>(parameters.size()));
    SPANLET_TRY_STATUS(parallel_rows(split, [&](std::size_t k, std::size_t i, Scratch& scratch) {
        return kernel_row(kernels[i], basis, mode, parameters, omega, scratch, w[k], dw[k]);
    }));
    Csr w_matrix = join_blocks(w, nrows, basis.size());
    std::vector<Csr> dw_matrices;
    for (std::size_t p = 0; p < parameters.size(); ++p) {
        std::vector<RowBlock> blocks;
        for (auto& task : dw) blocks.push_back(std::move(task[p]));
        dw_matrices.push_back(join_blocks(blocks, nrows, basis.size()));
    }
    return std::pair{std::move(w_matrix), std::move(dw_matrices)};
}

Result<std::pair<Csr, Csr>> measure_derivative(const std::vector<Element>& kernels, const Space& basis,
                                               Normalization mode, Parameter parameter, CosineWeight omega) {
    const Parameter one[1] = {parameter};
    SPANLET_TRY(both, measure_derivatives(kernels, basis, mode, one, omega));
    return std::pair{std::move(both.first), std::move(both.second.front())};
}

}  // namespace spanlet
