#include "core/ops/bspline_values.hpp"

#include <algorithm>
#include <cstring>

#include "core/base/parallel_rows.hpp"

namespace spanlet {

namespace {

// Rows first .. end - 1, stored from first * (P + 1) on, each right after the one before; ends
// in indptr are positions in that layout. Returns how many entries were stored.
template <int P, bool Wrap>
std::uint64_t fill_rows(const KnotVector& knots, const double* x, std::size_t first, std::size_t end,
                        std::uint64_t* indptr, std::uint64_t* indices, double* data) {
    const auto count = static_cast<std::int64_t>(knots.elements());
    const std::uint64_t begin = first * (P + 1);
    std::uint64_t at = begin;
    double n[P + 1];
    auto store = [&](std::int64_t j, double v) {
        if (v != 0.0) {
            indices[at] = static_cast<std::uint64_t>(j);
            data[at] = v;
            ++at;
        }
    };
    for (std::size_t i = first; i < end; ++i) {
        const double y = x[i];
        if (const std::size_t q = knots.locate(y); q != KnotVector::OUTSIDE) {
            knots.values<P, Wrap>(q, y, n);
            const std::int64_t j0 = knots.first_element(q);
            if constexpr (Wrap) {
                // The splines past the last element are the first ones again, and lead the row.
                const std::int64_t wrapped = std::max<std::int64_t>(0, j0 + P + 1 - count);
                for (std::int64_t r = P + 1 - wrapped; r <= P; ++r) store(j0 + r - count, n[r]);
                for (std::int64_t r = 0; r <= P - wrapped; ++r) store(j0 + r, n[r]);
            } else {
                for (std::int64_t r = 0; r <= P; ++r)
                    if (const std::int64_t j = j0 + r; j >= 0 && j < count) store(j, n[r]);
            }
        }
        indptr[i + 1] = at;
    }
    return at - begin;
}

template <int P, bool Wrap>
std::uint64_t rows_of_degree(const std::vector<double>& x, const KnotVector& knots, RowArrays out) {
    constexpr std::uint64_t width = P + 1;
    const RowTasks split = RowTasks::blocks(x.size());
    std::vector<std::uint64_t> stored(split.count());
    out.indptr[0] = 0;
    parallel_for(split.count(), [&](std::size_t b, Scratch&) {
        stored[b] = fill_rows<P, Wrap>(knots, x.data(), split.first(b), split.end(b), out.indptr, out.indices,
                                       out.data);
    });
    // Rows with exact zeros (points on knots) or none (points outside) leave gaps at the ends of
    // their blocks; close them, block after block.
    std::uint64_t at = 0;
    for (std::size_t b = 0; b < split.count(); ++b) {
        const std::uint64_t begin = split.first(b) * width, gap = begin - at;
        if (gap != 0) {
            std::memmove(out.indices + at, out.indices + begin, stored[b] * sizeof(std::uint64_t));
            std::memmove(out.data + at, out.data + begin, stored[b] * sizeof(double));
            for (std::size_t i = split.first(b); i < split.end(b); ++i) out.indptr[i + 1] -= gap;
        }
        at += stored[b];
    }
    return at;
}

template <bool Wrap>
std::uint64_t rows_of(const std::vector<double>& x, const KnotVector& knots, RowArrays out) {
    switch (knots.degree()) {
        case 0: return rows_of_degree<0, Wrap>(x, knots, out);
        case 1: return rows_of_degree<1, Wrap>(x, knots, out);
        case 2: return rows_of_degree<2, Wrap>(x, knots, out);
        default: return rows_of_degree<3, Wrap>(x, knots, out);
    }
}

}  // namespace

std::uint64_t bspline_value_bound(std::size_t points, const KnotVector& knots) {
    return points * (knots.degree() + 1);
}

std::uint64_t bspline_values(const std::vector<double>& x, const KnotVector& knots, RowArrays out) {
    return knots.wraps() ? rows_of<true>(x, knots, out) : rows_of<false>(x, knots, out);
}

}  // namespace spanlet
