#include "core/ops/measure_derivative.hpp"

#include <algorithm>
#include <tuple>

#include "core/integration/derivatives.hpp"
#include "core/ops/profile_rows.hpp"
#include "core/ops/rows.hpp"
#include "core/base/constants.hpp"

namespace spanlet {

namespace {

// The row of one kernel, appended to the blocks of W and dW (same indices in both), normalised.
Status kernel_row(const Element& kernel, const Space& basis, Normalization mode, Parameter parameter,
                  CosineWeight omega, Scratch& scratch, RowBlock& w, RowBlock& dw) {
    SPANLET_TRY(masses, jumps(kernel, parameter));
    const Support s = support(kernel);
    candidates(basis, scratch.candidates, s.lo, s.hi);
    const std::size_t first = w.values.size();
    double n = 1.0, dn = 0.0;
    if (mode == Normalization::RowSum) n = dn = EMPTY_SUM;
    ProfileRow& row = scratch.job_buffers<ProfileRow>();
    const bool shared = !omega && profile_row(kernel, basis, scratch.candidates, parameter, scratch.knots, row);
    for (std::size_t k = 0; k < scratch.candidates.size(); ++k) {
        const std::uint64_t j = scratch.candidates[k];
        const Element& b = basis.elements()[j];
        double v = 0.0, dv = 0.0;
        if (shared) {
            v = row.values[k];
            dv = masses_against(masses, b, omega) + row.derivatives[k];
        } else {
            SPANLET_TRY(both, inner_with_derivative(kernel, b, parameter, omega, masses, scratch.knots));
            std::tie(v, dv) = both;
        }
        if (v == 0.0 && dv == 0.0) continue;
        w.indices.push_back(j);
        w.values.push_back(v);
        dw.indices.push_back(j);
        dw.values.push_back(dv);
        if (mode == Normalization::RowSum) {
            n += v;
            dn += dv;
        }
    }
    if (mode == Normalization::Integral) {
        SPANLET_TRY(both, integral_with_derivative(kernel, parameter, omega, masses, scratch.knots));
        n = both.first;
        dn = both.second;
    }
    const std::size_t stored = w.values.size() - first;
    if (mode != Normalization::None) {
        const double u = n == 0.0 ? 0.0 : 1.0 / n;
        for (std::size_t k = first; k < w.values.size(); ++k) {
            w.values[k] *= u;
            dw.values[k] = u * (dw.values[k] - dn * w.values[k]);
        }
    }
    w.row_sizes.push_back(stored);
    dw.row_sizes.push_back(stored);
    return success();
}

}  // namespace

Result<std::pair<Csr, Csr>> measure_derivative(const std::vector<Element>& kernels, const Space& basis,
                                               Normalization mode, Parameter parameter, CosineWeight omega) {
    const std::size_t nrows = kernels.size();
    const RowTasks split = RowTasks::blocks(nrows);
    std::vector<RowBlock> w(split.count()), dw(split.count());
    SPANLET_TRY_STATUS(parallel_rows(split, [&](std::size_t k, std::size_t i, Scratch& scratch) {
        return kernel_row(kernels[i], basis, mode, parameter, omega, scratch, w[k], dw[k]);
    }));
    Csr w_matrix = join_blocks(w, nrows, basis.size());
    Csr dw_matrix = join_blocks(dw, nrows, basis.size());
    return std::pair{std::move(w_matrix), std::move(dw_matrix)};
}

}  // namespace spanlet
