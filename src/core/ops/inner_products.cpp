#include "core/ops/inner_products.hpp"

#include <algorithm>
#include <variant>

#include "core/ops/interval_assembly.hpp"
#include "core/ops/profile_rows.hpp"
#include "core/ops/rows.hpp"

namespace spanlet {

namespace {

Result<RowBlocks> pairwise_products(const std::vector<Element>& a, const Space& b, CosineWeight omega) {
    const bool profiles = !omega && std::any_of(a.begin(), a.end(), [](const Element& e) {
        return std::holds_alternative<ProfileElement>(e.kind);
    });
    const RowTasks split = RowTasks::blocks(a.size());
    RowBlocks rows{std::vector<RowBlock>(split.count()), a.size(), b.size()};
    SPANLET_TRY_STATUS(parallel_rows(split, [&](std::size_t task, std::size_t i, Scratch& scratch) -> Status {
        RowBlock& block = rows.blocks[task];
        const Support s = support(a[i]);
        candidates(b, scratch.candidates, s.lo, s.hi);
        std::uint64_t stored = 0;
        auto keep = [&](std::uint64_t j, double v) {
            if (v == 0.0) return;
            block.indices.push_back(j);
            block.values.push_back(v);
            ++stored;
        };
        ProfileRow* row = profiles ? &scratch.job_buffers<ProfileRow>() : nullptr;
        if (row && profile_row(a[i], b, scratch.candidates, {}, scratch.knots, *row)) {
            for (std::size_t k = 0; k < scratch.candidates.size(); ++k) keep(scratch.candidates[k], row->values[k]);
        } else {
            for (const std::uint64_t j : scratch.candidates) {
                SPANLET_TRY(v, inner(a[i], b.elements()[j], omega, scratch.knots));
                keep(j, v);
            }
        }
        block.row_sizes.push_back(stored);
        return success();
    }));
    return rows;
}

}  // namespace

Result<RowBlocks> inner_product_rows(const Space& a, const Space& b, CosineWeight omega) {
    // Rows of piecewise polynomials share their knot intervals: assembled interval by interval,
    // each element is evaluated there once rather than once per pair.
    if (interval_products_apply(a, b, omega)) return interval_products(a, b);
    return pairwise_products(a.elements(), b, omega);
}

Result<Csr> inner_products(const Space& a, const Space& b, CosineWeight omega) {
    SPANLET_TRY(rows, inner_product_rows(a, b, omega));
    return rows.join();
}

Result<Csr> inner_products(const std::vector<Element>& a, const Space& b, CosineWeight omega) {
    if (&a == &b.elements()) return inner_products(b, b, omega);
    // Interval assembly finds the knots of a through a support index.
    if (interval_products_apply(a, b, omega)) return interval_products(Space::make(a), b).join();
    SPANLET_TRY(rows, pairwise_products(a, b, omega));
    return rows.join();
}

}  // namespace spanlet
