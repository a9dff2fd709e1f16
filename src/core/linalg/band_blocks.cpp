#include "core/linalg/band_blocks.hpp"

#include <algorithm>
#include <cmath>

// Fixed short sums in a fixed order; vectorised reductions only slow them down.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-loop-vectorize")
#endif

namespace spanlet {

namespace {

// Blocks stepped together: enough independent chains to cover the latency of a square root and a
// division, few enough that their live values stay in registers.
constexpr std::size_t LANES = 4;

// One row of the factor, then of the forward substitution, for each block of a group in turn.
// Slot b of a factored row holds the reciprocal of the diagonal; the zero rows keep slot b at 0,
// so every product that reaches before a block is an exact 0.
template <std::size_t B>
bool solve_group(BandBlocks& s, const std::size_t* blocks, std::size_t lanes) {
    constexpr std::size_t W = B + 1;
    double* rows = s.rows.data();
    double* y1 = s.first.data();
    double* y2 = s.second.data();
    double* x1 = s.first_solution.data();
    double* x2 = s.second_solution.data();
    std::size_t first[LANES], size[LANES], done[LANES], longest = 0, earliest = ~std::size_t{0};
    for (std::size_t k = 0; k < lanes; ++k) {
        first[k] = s.block_row[blocks[k]];
        size[k] = s.block_size[blocks[k]];
        done[k] = s.block_done[blocks[k]];
        longest = std::max(longest, size[k]);
        earliest = std::min(earliest, done[k]);
    }
    for (std::size_t r = earliest; r < longest; ++r)
        for (std::size_t k = 0; k < lanes; ++k) {
            if (r < done[k] || r >= size[k]) continue;
            const std::size_t i = first[k] + r;
            double* row = rows + i * W;
            double x[W];
            for (std::size_t t = 0; t < W; ++t) x[t] = row[t];
            // L[i][m] for m = i - B + o: (A[i][m] - sum_{q < o} L[i][i - B + q] L[m][i - B + q]) / L[m][m].
            for (std::size_t o = 0; o < B; ++o) {
                const double* above = rows + (i - B + o) * W + (B - o);
                double v = x[o];
                for (std::size_t q = 0; q < o; ++q) v -= x[q] * above[q];
                x[o] = v * above[o];
            }
            double pivot = x[B];
            for (std::size_t q = 0; q < B; ++q) pivot -= x[q] * x[q];
            // Strict and relative; a NaN pivot fails it.
            if (!(pivot > 1e-13 * std::fabs(row[B]))) return false;
            const double inverse = 1.0 / std::sqrt(pivot);
            for (std::size_t q = 0; q < B; ++q) row[q] = x[q];
            row[B] = inverse;
            double u1 = y1[i], u2 = y2[i];
            for (std::size_t q = 0; q < B; ++q) {
                u1 -= x[q] * y1[i - B + q];
                u2 -= x[q] * y2[i - B + q];
            }
            y1[i] = u1 * inverse;
            y2[i] = u2 * inverse;
        }
    for (std::size_t r = longest; r-- > 0;)
        for (std::size_t k = 0; k < lanes; ++k) {
            if (r >= size[k]) continue;
            const std::size_t i = first[k] + r;
            double v1 = y1[i], v2 = y2[i];
            // L[i + o][i] sits in slot B - o of row i + o; the zero rows after a block end it.
            for (std::size_t o = B; o >= 1; --o) {
                const double l = rows[(i + o) * W + (B - o)];
                v1 -= l * x1[i + o];
                v2 -= l * x2[i + o];
            }
            const double inverse = rows[i * W + B];
            x1[i] = v1 * inverse;
            x2[i] = v2 * inverse;
        }
    return true;
}

template <std::size_t B>
bool solve_all(BandBlocks& s, const std::vector<std::size_t>& order) {
    for (std::size_t g = 0; g < order.size(); g += LANES)
        if (!solve_group<B>(s, order.data() + g, std::min(LANES, order.size() - g))) return false;
    return true;
}

}  // namespace

void BandBlocks::reset(std::size_t b, const std::vector<std::size_t>& sizes) {
    bandwidth = b;
    block_row.resize(sizes.size());
    block_size.assign(sizes.begin(), sizes.end());
    std::size_t total = b;
    for (std::size_t j = 0; j < sizes.size(); ++j) {
        block_row[j] = total;
        total += sizes[j] + b;
    }
    block_done.assign(sizes.size(), 0);
    rows.assign(total * (b + 1), 0.0);
    for (auto* v : {&first, &second, &first_solution, &second_solution}) v->assign(total, 0.0);
}

bool BandBlocks::factor_and_solve(const std::vector<std::size_t>& which, std::vector<std::size_t>& order) {
    // Longest first, so that the blocks stepped together have similar lengths; the order never
    // changes what a block computes.
    order.assign(which.begin(), which.end());
    std::stable_sort(order.begin(), order.end(),
                     [&](std::size_t a, std::size_t b) { return block_size[a] > block_size[b]; });
    switch (bandwidth) {
    case 0: return solve_all<0>(*this, order);
    case 1: return solve_all<1>(*this, order);
    case 2: return solve_all<2>(*this, order);
    case 3: return solve_all<3>(*this, order);
    case 4: return solve_all<4>(*this, order);
    case 5: return solve_all<5>(*this, order);
    case 6: return solve_all<6>(*this, order);
    case 7: return solve_all<7>(*this, order);
    case 8: return solve_all<8>(*this, order);
    default: return false;
    }
}

}  // namespace spanlet
