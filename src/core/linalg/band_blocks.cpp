#include "core/linalg/band_blocks.hpp"

#include <algorithm>
#include <cmath>

// Fixed short sums in a fixed order; vectorised reductions only slow them down.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-loop-vectorize")
#endif

namespace spanlet {

namespace {

// Blocks stepped together: enough independent chains to cover the latency of the division that
// links one row to the next, few enough that their live values stay in registers.
constexpr std::size_t BLOCK_LANES = 4;

}  // namespace

namespace {

void hold_row(std::size_t b, double* row, double* y1, double* y2, double* x1, double* x2) {
    std::fill_n(row, b, 0.0);
    row[b] = 1.0;
    *y1 = *y2 = *x1 = *x2 = 0.0;
}

}  // namespace

void BandBlocks::resize(std::size_t b, std::size_t n) {
    bandwidth_ = b;
    const std::size_t total = n + 2 * b, width = b + 1;
    rows_.resize(total * width);
    for (auto* v : {&first_, &second_, &first_solution_, &second_solution_}) v->resize(total);
    // The rows outside the matrix.
    for (std::size_t r : {std::size_t{0}, n + b})
        for (std::size_t e = r; e < r + b; ++e)
            hold_row(b, rows_.data() + e * width, &first_[e], &second_[e], &first_solution_[e], &second_solution_[e]);
}

void BandBlocks::hold(std::size_t p) {
    const std::size_t r = p + bandwidth_;
    hold_row(bandwidth_, row(p), &first_[r], &second_[r], &first_solution_[r], &second_solution_[r]);
}

// One free row of the factor, then of the forward substitution, for each block of a group in
// turn; then the backward substitution the same way. A held row has 1 in slot b and zeros
// elsewhere, so every product that reaches it is an exact 0.
template <std::size_t B>
bool BandBlocks::solve_group(const Block* const* group, std::size_t lanes, const unsigned char* free) {
    constexpr std::size_t W = B + 1;
    double* rows = rows_.data();
    // Indexed by stored row, p + B.
    double* y1 = first_.data();
    double* y2 = second_.data();
    double* x1 = first_solution_.data();
    double* x2 = second_solution_.data();
    const unsigned char* is_free = free - B;
    std::size_t next[BLOCK_LANES], end[BLOCK_LANES];
    std::size_t active = 0;
    for (std::size_t k = 0; k < lanes; ++k) {
        next[k] = group[k]->from + B;
        end[k] = group[k]->end + B;
        active += next[k] < end[k] ? 1 : 0;
    }
    while (active > 0)
        for (std::size_t k = 0; k < lanes; ++k) {
            std::size_t i = next[k];
            if (i >= end[k]) continue;
            while (!is_free[i]) ++i;  // the last row of a block is free
            next[k] = i + 1;
            active -= next[k] == end[k] ? 1 : 0;
            double* row = rows + i * W;
            // L D L^T without square roots, which would lengthen the chain from row to row:
            // w[o] = L[i][m] D[m] for m = i - B + o, then L[i][m] = w[o] / D[m] and
            // D[i] = A[i][i] - sum_o w[o] L[i][m].
            double l[W], w[B + 1];
            for (std::size_t t = 0; t < W; ++t) l[t] = row[t];
            for (std::size_t o = 0; o < B; ++o) {
                const double* above = rows + (i - B + o) * W + (B - o);
                double v = l[o];
                for (std::size_t q = 0; q < o; ++q) v -= w[q] * above[q];
                w[o] = v;
                l[o] = v * above[o];
            }
            double pivot = l[B];
            for (std::size_t q = 0; q < B; ++q) pivot -= w[q] * l[q];
            // Strict and relative; a NaN pivot fails it.
            if (!(pivot > 1e-13 * std::fabs(row[B]))) return false;
            for (std::size_t q = 0; q < B; ++q) row[q] = l[q];
            row[B] = 1.0 / pivot;
            double u1 = y1[i], u2 = y2[i];
            for (std::size_t q = 0; q < B; ++q) {
                u1 -= l[q] * y1[i - B + q];
                u2 -= l[q] * y2[i - B + q];
            }
            y1[i] = u1;
            y2[i] = u2;
        }
    std::size_t begin[BLOCK_LANES];
    for (std::size_t k = 0; k < lanes; ++k) {
        begin[k] = group[k]->begin + B;
        next[k] = group[k]->end + B;  // one past the next row
        active += 1;
    }
    while (active > 0)
        for (std::size_t k = 0; k < lanes; ++k) {
            std::size_t i = next[k];
            if (i == begin[k]) continue;
            --i;
            while (!is_free[i]) --i;  // the first row of a block is free
            next[k] = i;
            active -= i == begin[k] ? 1 : 0;
            const double inverse = rows[i * W + B];
            double v1 = y1[i] * inverse, v2 = y2[i] * inverse;
            // L[i + o][i] sits in slot B - o of row i + o.
            for (std::size_t o = B; o >= 1; --o) {
                const double l = rows[(i + o) * W + (B - o)];
                v1 -= l * x1[i + o];
                v2 -= l * x2[i + o];
            }
            x1[i] = v1;
            x2[i] = v2;
        }
    return true;
}

template <std::size_t B>
bool BandBlocks::solve_all(const std::vector<Block>& blocks, const std::vector<std::size_t>& order,
                           const unsigned char* free) {
    const Block* group[BLOCK_LANES];
    for (std::size_t g = 0; g < order.size(); g += BLOCK_LANES) {
        const std::size_t lanes = std::min(BLOCK_LANES, order.size() - g);
        for (std::size_t k = 0; k < lanes; ++k) group[k] = &blocks[order[g + k]];
        if (!solve_group<B>(group, lanes, free)) return false;
    }
    return true;
}

bool BandBlocks::factor_and_solve(const std::vector<Block>& blocks, const unsigned char* free,
                                  std::vector<std::size_t>& order) {
    // Longest work first, so that the blocks stepped together take similar times; the order never
    // changes what a block computes.
    order.clear();
    for (std::size_t j = 0; j < blocks.size(); ++j)
        if (blocks[j].from < blocks[j].end) order.push_back(j);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t c) {
        return blocks[a].end - blocks[a].from > blocks[c].end - blocks[c].from;
    });
    switch (bandwidth_) {
    case 0: return solve_all<0>(blocks, order, free);
    case 1: return solve_all<1>(blocks, order, free);
    case 2: return solve_all<2>(blocks, order, free);
    case 3: return solve_all<3>(blocks, order, free);
    case 4: return solve_all<4>(blocks, order, free);
    case 5: return solve_all<5>(blocks, order, free);
    case 6: return solve_all<6>(blocks, order, free);
    case 7: return solve_all<7>(blocks, order, free);
    case 8: return solve_all<8>(blocks, order, free);
    default: return false;
    }
}

}  // namespace spanlet
