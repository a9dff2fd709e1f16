#include "core/ops/measure_derivative.hpp"

#include <algorithm>

#include "core/integration/derivatives.hpp"
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
    for (std::uint64_t j : scratch.candidates) {
        const Element& b = basis.elements()[j];
        SPANLET_TRY(both, inner_with_derivative(kernel, b, parameter, omega, masses, scratch.knots));
        const auto [v, dv] = both;
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
