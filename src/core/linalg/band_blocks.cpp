#include "core/linalg/band_blocks.hpp"

#include "core/base/simd.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <utility>

// Fixed short sums in a fixed order; vectorised reductions only slow them down.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-loop-vectorize")
#endif

namespace spanlet {

namespace {

// Blocks stepped together by a tracked solve: enough independent chains to cover the latency of
// the division that links one row to the next, even when a few long blocks outlast the others
// (the free set of a row often falls into fewer blocks than this).
constexpr std::size_t BLOCK_LANES = 8;

}  // namespace

void BandBlocks::resize(std::size_t b, std::size_t n) {
    const std::size_t total = n + 2 * b, width = b + 1;
    // Rows keep their held marks only where they keep their place.
    if (b != bandwidth_ || total != held_.size()) held_.assign(total, 0);
    banded_.assign(total, 0);
    bandwidth_ = b;
    entries_.resize(total * width);
    factor_.resize(total * width);
    for (auto* v : {&first_, &second_, &first_forward_, &second_forward_, &first_solution_, &second_solution_})
        v->resize(total);
    dirty_.assign(total, 1);
    changed_.assign(total, 1);
    // The rows outside the matrix.
    for (std::size_t p = 0; p < b; ++p) {
        hold(p - b);  // wraps round to the stored rows 0 .. b - 1
        hold(n + p);
    }
}

void BandBlocks::hold_row(std::size_t p) {
    const std::size_t b = bandwidth_, e = p + b, width = b + 1;
    double identity[MAX_BLOCK_BANDWIDTH + 1] = {};
    identity[b] = 1.0;
    const double zero = 0.0;
    bool changed = assign(entries_.data() + e * width, identity, width);
    changed = assign(factor_.data() + e * width, identity, width) || changed;
    for (auto* v : {&first_, &second_, &first_forward_, &second_forward_, &first_solution_, &second_solution_})
        changed = assign(v->data() + e, &zero, 1) || changed;
    dirty_[e] |= static_cast<unsigned char>(changed);
    changed_[e] |= static_cast<unsigned char>(changed);
    held_[e] = 1;
    banded_[e] = 0;
}

namespace {

// Row i of L D L^T (L unit lower triangular) without square roots, which would lengthen the
// chain from row to row, into l: w[o] = L[i][m] D[m] for m = i - B + o, then L[i][m] = w[o] / D[m]
// in slot o and D[i] = A[i][i] - sum_o w[o] L[i][m], kept as 1 / D[i] in slot B. a: the row's
// entries; factor: the rows by stored row. False when the pivot fails the singularity test
// (strict and relative; a NaN pivot fails it).
template <std::size_t B>
SPANLET_ALWAYS_INLINE bool factor_row(const double* a, const double* factor, std::size_t i, double* l) {
    constexpr std::size_t W = B + 1;
    double w[B + 1];
    for (std::size_t t = 0; t < W; ++t) l[t] = a[t];
    for (std::size_t o = 0; o < B; ++o) {
        const double* above = factor + (i - B + o) * W + (B - o);
        double v = l[o];
        for (std::size_t q = 0; q < o; ++q) v -= w[q] * above[q];
        w[o] = v;
        l[o] = v * above[o];
    }
    double pivot = l[B];
    for (std::size_t q = 0; q < B; ++q) pivot -= w[q] * l[q];
    if (!(pivot > 1e-13 * std::fabs(a[B]))) return false;
    l[B] = 1.0 / pivot;
    return true;
}

// Row i of the forward substitution L z = r, from the row's factor l, in fused multiply-adds:
// each step of the chain from one row to the next rounds once.
template <std::size_t B>
SPANLET_ALWAYS_INLINE double forward_row(const double* l, double r, const double* z, std::size_t i) {
    for (std::size_t q = 0; q < B; ++q) r = std::fma(-l[q], z[i - B + q], r);
    return r;
}

// Row i of the backward substitution, from the forward value z[i]: L[i + o][i] sits in slot
// B - o of row i + o.
template <std::size_t B>
SPANLET_ALWAYS_INLINE double backward_row(const double* factor, const double* z, const double* x, std::size_t i) {
    constexpr std::size_t W = B + 1;
    double v = z[i] * factor[i * W + B];
    for (std::size_t o = B; o >= 1; --o) v = std::fma(-factor[(i + o) * W + (B - o)], x[i + o], v);
    return v;
}

}  // namespace

// The last B values of a substitution, kept in registers from row to row: read back from memory,
// each row would wait for the store of the row before. Forward, v[q] = z[i - B + q] for row i;
// backward, v[o - 1] = x[i + o].
template <std::size_t B>
struct Window {
    double v[B > 0 ? B : 1];

    SPANLET_ALWAYS_INLINE void load(const double* from) {
        for (std::size_t q = 0; q < B; ++q) v[q] = from[q];
    }
    // forward_row with the window as z[i - B] .. z[i - 1]; then z[i] joins it.
    SPANLET_ALWAYS_INLINE double forward(const double* l, double r) {
        for (std::size_t q = 0; q < B; ++q) r = std::fma(-l[q], v[q], r);
        push_forward(r);
        return r;
    }
    SPANLET_ALWAYS_INLINE void push_forward(double newest) {
        if constexpr (B > 0) {
            for (std::size_t q = 0; q + 1 < B; ++q) v[q] = v[q + 1];
            v[B - 1] = newest;
        }
    }
    // backward_row with the window as x[i + 1] .. x[i + B]; then x[i] joins it.
    SPANLET_ALWAYS_INLINE double backward(const double* factor, double z, std::size_t i) {
        constexpr std::size_t W = B + 1;
        double r = z * factor[i * W + B];
        for (std::size_t o = B; o >= 1; --o) r = std::fma(-factor[(i + o) * W + (B - o)], v[o - 1], r);
        push_backward(r);
        return r;
    }
    SPANLET_ALWAYS_INLINE void push_backward(double newest) {
        if constexpr (B > 0) {
            for (std::size_t o = B - 1; o >= 1; --o) v[o] = v[o - 1];
            v[0] = newest;
        }
    }

    // Row K of B rows taken together, as forward() and backward() with the window turned round
    // instead of shifted: each row writes its value over the one no later row of the B reads, so
    // after B rows every value is back where the shifts would have put it. No value moves between
    // registers, and a move would sit on the chain from one row to the next. Forward, z[i - B + q]
    // sits in slot (K + q) % B; backward, x[i + o] in slot (o - 1 - K) mod B.
    template <std::size_t K>
    SPANLET_ALWAYS_INLINE double forward_turned(const double* l, double r) {
        for (std::size_t q = 0; q < B; ++q) r = std::fma(-l[q], v[(K + q) % B], r);
        v[K % B] = r;
        return r;
    }
    template <std::size_t K>
    SPANLET_ALWAYS_INLINE double backward_turned(const double* factor, double z, std::size_t i) {
        constexpr std::size_t W = B + 1;
        double r = z * factor[i * W + B];
        for (std::size_t o = B; o >= 1; --o) r = std::fma(-factor[(i + o) * W + (B - o)], v[(o - 1 + B - K) % B], r);
        v[(2 * B - 1 - K) % B] = r;
        return r;
    }
};

// Rows [i, end) of both forward substitutions (stored rows), every one free with the reference's
// factor row, from the band's right-hand sides: B rows at a time with the windows turned round
// (Window::forward_turned), the rest one by one.
template <std::size_t B>
SPANLET_ALWAYS_INLINE void forward_reference(Window<B>& z1, Window<B>& z2, const double* reference, const double* s1,
                                             const double* s2, double* y1, double* y2, std::size_t i, std::size_t end) {
    constexpr std::size_t W = B + 1;
    if constexpr (B > 0) {
        for (; i + B <= end; i += B)
            [&]<std::size_t... K>(std::index_sequence<K...>) SPANLET_LAMBDA_INLINE {
                ((y1[i + K] = z1.template forward_turned<K>(reference + (i + K) * W, s1[i + K - B]),
                  y2[i + K] = z2.template forward_turned<K>(reference + (i + K) * W, s2[i + K - B])),
                 ...);
            }(std::make_index_sequence<B>{});
    }
    for (; i < end; ++i) {
        y1[i] = z1.forward(reference + i * W, s1[i - B]);
        y2[i] = z2.forward(reference + i * W, s2[i - B]);
    }
}

// Rows [begin, end) of both backward substitutions, every one free, from the last down: B rows at
// a time as forward_reference.
template <std::size_t B>
SPANLET_ALWAYS_INLINE void backward_free(Window<B>& w1, Window<B>& w2, const double* factor, const double* y1,
                                         const double* y2, double* x1, double* x2, std::size_t begin, std::size_t end) {
    std::size_t i = end;
    if constexpr (B > 0) {
        for (; i >= begin + B; i -= B)
            [&]<std::size_t... K>(std::index_sequence<K...>) SPANLET_LAMBDA_INLINE {
                ((x1[i - 1 - K] = w1.template backward_turned<K>(factor, y1[i - 1 - K], i - 1 - K),
                  x2[i - 1 - K] = w2.template backward_turned<K>(factor, y2[i - 1 - K], i - 1 - K)),
                 ...);
            }(std::make_index_sequence<B>{});
    }
    for (; i-- > begin;) {
        x1[i] = w1.backward(factor, y1[i], i);
        x2[i] = w2.backward(factor, y2[i], i);
    }
}

// Every row of a group of blocks, one block after the other: its factor and forward substitution
// row by row, then its backward substitution. A held row has 1 in slot b and zeros elsewhere, so
// every product that reaches it is an exact 0; it keeps what it holds. Where the reference's rows
// apply (see set_band), the forward substitution reads them in place and they are copied after,
// in one stretch: most rows of a long block then cost only their substitutions. Each substitution
// keeps its last B values in registers (Window), which leaves its chain from row to row one fused
// multiply-add long, and with it one block at a time keeps the arithmetic units as busy as several
// in lockstep would, without the steps between them.
template <std::size_t B>
SPANLET_ALWAYS_INLINE bool BandBlocks::solve_fresh(const Block* const* group, std::size_t lanes, const unsigned char* free) {
    constexpr std::size_t W = B + 1;
    const auto [entries, factor, r1, r2, y1, y2, x1, x2] = arrays();
    const unsigned char* is_free = free - B;
    const unsigned char* banded = banded_.data();
    const double* reference = reference_;
    const double* s1 = band_first_;
    const double* s2 = band_second_;
    for (std::size_t k = 0; k < lanes; ++k) {
        const std::size_t begin = group[k]->begin + B, end = group[k]->end + B, from = group[k]->from + B;
        std::size_t same = 0;  // rows in a row up to the current one that came out as the reference's
        Window<B> z1, z2;
        z1.load(y1 + from - B);
        z2.load(y2 + from - B);
        for (std::size_t i = from; i < end; ++i) {
            if (!is_free[i]) {
                same = 0;
                z1.push_forward(y1[i]);
                z2.push_forward(y2[i]);
                continue;
            }
            if (reference != nullptr && same >= B && banded[i] != 0) {
                // The reference's rows, as factoring would give them, up to the next row that is
                // held or not the band's: only their substitutions, their factor rows copied after
                // in one stretch.
                std::size_t last = i + 1;
                while (last < end && is_free[last] != 0 && banded[last] != 0) ++last;
                forward_reference<B>(z1, z2, reference, s1, s2, y1, y2, i, last);
                std::memcpy(factor + i * W, reference + i * W, sizeof(double) * W * (last - i));
                i = last - 1;
                continue;
            }
            double l[W];
            if (!factor_row<B>(row_entries<B>(i), factor, i, l)) return false;
            std::memcpy(factor + i * W, l, sizeof(double) * W);
            y1[i] = z1.forward(l, row_side<B>(banded, s1, r1, i));
            y2[i] = z2.forward(l, row_side<B>(banded, s2, r2, i));
            if (reference != nullptr) {
                std::uint64_t difference = 0;
                for (std::size_t t = 0; t < W; ++t)
                    difference |= std::bit_cast<std::uint64_t>(l[t]) ^ std::bit_cast<std::uint64_t>(reference[i * W + t]);
                same = difference == 0 ? same + 1 : 0;
            }
        }
        Window<B> w1, w2;
        w1.load(x1 + end);
        w2.load(x2 + end);
        for (std::size_t i = end; i-- > begin;) {
            if (is_free[i]) {
                // Down to the next held row at once.
                std::size_t first = i;
                while (first > begin && is_free[first - 1] != 0) --first;
                backward_free<B>(w1, w2, factor, y1, y2, x1, x2, first, i + 1);
                i = first;
            } else {
                w1.push_backward(x1[i]);
                w2.push_backward(x2[i]);
            }
        }
    }
    return true;
}

// The rows of a group of blocks that can differ from the last solve: one free row of the factor,
// then of the forward substitution, for each block of a group in turn; then the backward
// substitution the same way. A lane that has seen B rows in a row come out unchanged passes on to
// its next dirty row (forward) or the next row that reads a changed one (backward).
template <std::size_t B>
SPANLET_ALWAYS_INLINE bool BandBlocks::solve_group(const Block* const* group, std::size_t lanes, const unsigned char* free) {
    constexpr std::size_t W = B + 1;
    const auto [entries, factor, r1, r2, y1, y2, x1, x2] = arrays();
    const unsigned char* dirty = dirty_.data();
    unsigned char* changed = changed_.data();
    const unsigned char* banded = banded_.data();
    const double* s1 = band_first_;
    const double* s2 = band_second_;
    const unsigned char* is_free = free - B;
    std::size_t next[BLOCK_LANES], end[BLOCK_LANES], quiet[BLOCK_LANES];
    std::size_t active = 0;
    for (std::size_t k = 0; k < lanes; ++k) {
        next[k] = group[k]->from + B;
        end[k] = group[k]->end + B;
        quiet[k] = 0;
        active += next[k] < end[k] ? 1 : 0;
    }
    while (active > 0)
        for (std::size_t k = 0; k < lanes; ++k) {
            std::size_t i = next[k];
            if (i >= end[k]) continue;
            if (quiet[k] >= B && dirty[i] == 0) {
                // Rows i onwards come out as they are until the next dirty one.
                while (i < end[k] && dirty[i] == 0) ++i;
                next[k] = i;
                active -= i == end[k] ? 1 : 0;
                continue;
            }
            next[k] = i + 1;
            active -= next[k] == end[k] ? 1 : 0;
            if (!is_free[i]) {
                quiet[k] = changed[i] != 0 ? 0 : quiet[k] + 1;
                continue;
            }
            double l[W];
            if (!factor_row<B>(row_entries<B>(i), factor, i, l)) return false;
            const double u1 = forward_row<B>(l, row_side<B>(banded, s1, r1, i), y1, i),
                         u2 = forward_row<B>(l, row_side<B>(banded, s2, r2, i), y2, i);
            const bool moved = assign(factor + i * W, l, W) | assign(y1 + i, &u1, 1) | assign(y2 + i, &u2, 1);
            changed[i] = static_cast<unsigned char>(moved);
            quiet[k] = moved ? 0 : quiet[k] + 1;
        }
    std::size_t begin[BLOCK_LANES];
    for (std::size_t k = 0; k < lanes; ++k) {
        begin[k] = group[k]->begin + B;
        next[k] = group[k]->end + B;  // one past the next row
        quiet[k] = 0;
        active += 1;
    }
    while (active > 0)
        for (std::size_t k = 0; k < lanes; ++k) {
            std::size_t i = next[k];
            if (i == begin[k]) continue;
            --i;
            // x[i] reads rows i .. i + B of the factor and forward substitution.
            bool reads_change = false;
            for (std::size_t o = 0; o <= B && !reads_change; ++o) reads_change = changed[i + o] != 0;
            if (quiet[k] >= B && !reads_change) {
                // Rows down to the next changed one come out as they are.
                while (i > begin[k] && changed[i] == 0) --i;
                if (changed[i] == 0) {
                    next[k] = begin[k];
                    active -= 1;
                    continue;
                }
            }
            next[k] = i;
            active -= i == begin[k] ? 1 : 0;
            if (!is_free[i]) {
                quiet[k] = changed[i] != 0 ? 0 : quiet[k] + 1;
                continue;
            }
            const double v1 = backward_row<B>(factor, y1, x1, i), v2 = backward_row<B>(factor, y2, x2, i);
            const bool moved = assign(x1 + i, &v1, 1) | assign(x2 + i, &v2, 1);
            quiet[k] = moved ? 0 : quiet[k] + 1;
        }
    return true;
}

template <std::size_t B>
SPANLET_ALWAYS_INLINE bool BandBlocks::solve_all(const std::vector<Block>& blocks, const std::vector<std::size_t>& order,
                                                 const unsigned char* free, bool fresh) {
    const Block* group[BLOCK_LANES];
    for (std::size_t g = 0; g < order.size(); g += BLOCK_LANES) {
        const std::size_t lanes = std::min(BLOCK_LANES, order.size() - g);
        for (std::size_t k = 0; k < lanes; ++k) group[k] = &blocks[order[g + k]];
        if (!(fresh ? solve_fresh<B>(group, lanes, free) : solve_group<B>(group, lanes, free))) return false;
    }
    return true;
}

SPANLET_FMA_CLONES
bool BandBlocks::solve_blocks(const std::vector<Block>& blocks, const std::vector<std::size_t>& order,
                              const unsigned char* free, bool fresh) {
    switch (bandwidth_) {
    case 0: return solve_all<0>(blocks, order, free, fresh);
    case 1: return solve_all<1>(blocks, order, free, fresh);
    case 2: return solve_all<2>(blocks, order, free, fresh);
    case 3: return solve_all<3>(blocks, order, free, fresh);
    case 4: return solve_all<4>(blocks, order, free, fresh);
    case 5: return solve_all<5>(blocks, order, free, fresh);
    case 6: return solve_all<6>(blocks, order, free, fresh);
    case 7: return solve_all<7>(blocks, order, free, fresh);
    case 8: return solve_all<8>(blocks, order, free, fresh);
    default: return false;
    }
}

bool BandBlocks::factor_and_solve(const std::vector<Block>& blocks, const unsigned char* free,
                                  std::vector<std::size_t>& order, bool fresh) {
    // Longest work first, so that the blocks stepped together take similar times; the order never
    // changes what a block computes.
    order.clear();
    for (std::size_t j = 0; j < blocks.size(); ++j)
        if (blocks[j].from < blocks[j].end) order.push_back(j);
    std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t c) {
        return blocks[a].end - blocks[a].from > blocks[c].end - blocks[c].from;
    });
    const bool solved = solve_blocks(blocks, order, free, fresh);
    if (!solved) {
        // Rows are left half done: nothing is kept for the next solve.
        std::fill(dirty_.begin(), dirty_.end(), 1);
        std::fill(changed_.begin(), changed_.end(), 1);
        return false;
    }
    // Once every block is solved (the rows before a block may be read by the one before it).
    const std::size_t b = bandwidth_;
    for (std::size_t j : order) {
        const std::size_t first = blocks[j].begin, last = blocks[j].end + 2 * b;  // stored rows
        std::fill(dirty_.begin() + static_cast<std::ptrdiff_t>(first), dirty_.begin() + static_cast<std::ptrdiff_t>(last), 0);
        std::fill(changed_.begin() + static_cast<std::ptrdiff_t>(first),
                  changed_.begin() + static_cast<std::ptrdiff_t>(last), 0);
    }
    return true;
}

}  // namespace spanlet
