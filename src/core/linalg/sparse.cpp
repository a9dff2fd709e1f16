#include "core/linalg/sparse.hpp"

#include <algorithm>
#include <cmath>
#include <new>

#include "core/base/pool.hpp"
#include "core/base/constants.hpp"

namespace spanlet {

namespace {

// a * b for sizes, with overflow reported as allocation failure.
std::size_t checked_product(std::size_t a, std::size_t b) {
    if (a != 0 && b > static_cast<std::size_t>(-1) / a) throw std::bad_alloc();
    return a * b;
}

}  // namespace

Csr Csr::from_rows(std::vector<std::pair<std::vector<std::uint64_t>, std::vector<double>>> rows,
                   std::uint64_t nrows, std::uint64_t ncols) {
    std::size_t total = 0;
    for (const auto& row : rows) total += row.first.size();
    Csr m;
    m.indices.reserve(total);
    m.data.reserve(total);
    m.indptr.reserve(rows.size() + 1);
    m.indptr.push_back(0);
    for (const auto& row : rows) {
        m.indices.insert(m.indices.end(), row.first.begin(), row.first.end());
        m.data.insert(m.data.end(), row.second.begin(), row.second.end());
        m.indptr.push_back(m.indices.size());
    }
    m.nrows = nrows;
    m.ncols = ncols;
    return m;
}

Csr Csr::transpose() const {
    // Counting pass first so every buffer is sized once; visiting rows in ascending order keeps
    // each transposed row ascending.
    Csr t;
    t.nrows = ncols;
    t.ncols = nrows;
    t.indptr.assign(ncols + 1, 0);
    for (const std::uint64_t j : indices) ++t.indptr[j + 1];
    for (std::uint64_t j = 0; j < ncols; ++j) t.indptr[j + 1] += t.indptr[j];
    t.indices.resize(indices.size());
    t.data.resize(data.size());
    std::vector<std::uint64_t> fill(t.indptr.begin(), t.indptr.end() - 1);
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Row r = row(i);
        for (std::size_t e = 0; e < r.size; ++e) {
            const std::uint64_t at = fill[r.indices[e]]++;
            t.indices[at] = i;
            t.data[at] = r.values[e];
        }
    }
    return t;
}

std::vector<double> Csr::to_dense() const {
    std::vector<double> dense(checked_product(nrows, ncols), 0.0);
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Row r = row(i);
        for (std::size_t e = 0; e < r.size; ++e) dense[i * ncols + r.indices[e]] = r.values[e];
    }
    return dense;
}

Csr Csr::gram_columns() const {
    // Column p of the product meets only the columns of the rows that hold p, so it lives in its own
    // stretch of the buffer from the smallest first column to the largest last column of those
    // rows. A few rows that join far columns (the wrap-around of a periodic model) widen only the
    // stretches of the columns they hold, not every one.
    std::vector<std::uint64_t> first(ncols, ncols), last(ncols, 0);
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Row r = row(i);
        if (r.size == 0) continue;
        const std::uint64_t a = r.indices[0], b = r.indices[r.size - 1];
        for (std::size_t s = 0; s < r.size; ++s) {
            const std::uint64_t p = r.indices[s];
            first[p] = std::min(first[p], a);
            last[p] = std::max(last[p], b);
        }
    }
    // Entry (p, q) at start[p] + q - first[p]; a column that no row holds has an empty stretch.
    std::vector<std::size_t> start(ncols + 1, 0);
    for (std::uint64_t p = 0; p < ncols; ++p) {
        const std::size_t width = first[p] <= last[p] ? last[p] - first[p] + 1 : 0;
        if (width > static_cast<std::size_t>(-1) - start[p]) throw std::bad_alloc();
        start[p + 1] = start[p] + width;
    }
    std::vector<double> band(start[ncols], 0.0);
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Row r = row(i);
        for (std::size_t s = 0; s < r.size; ++s) {
            const std::uint64_t p = r.indices[s];
            const double u = r.values[s];
            double* stretch = band.data() + start[p] - first[p];  // entry (p, q) at stretch[q]
            for (std::size_t t = 0; t < r.size; ++t) stretch[r.indices[t]] += u * r.values[t];
        }
    }
    Csr g;
    g.nrows = ncols;
    g.ncols = ncols;
    std::size_t stored = 0;
    for (const double v : band) stored += v != 0.0;
    g.indptr.reserve(ncols + 1);
    g.indices.reserve(stored);
    g.data.reserve(stored);
    g.indptr.push_back(0);
    for (std::uint64_t p = 0; p < ncols; ++p) {
        for (std::size_t at = start[p]; at < start[p + 1]; ++at) {
            if (band[at] == 0.0) continue;
            g.indices.push_back(first[p] + (at - start[p]));
            g.data.push_back(band[at]);
        }
        g.indptr.push_back(g.indices.size());
    }
    return g;
}

Csr product(const Csr& a, const Csr& b) {
    // Row by row into a dense accumulator over the columns of b; `touched` lists the columns
    // that row reached, sorted before they are written out.
    Csr c;
    c.nrows = a.nrows;
    c.ncols = b.ncols;
    c.indptr.reserve(a.nrows + 1);
    c.indptr.push_back(0);
    std::vector<double> sum(b.ncols, 0.0);
    std::vector<unsigned char> seen(b.ncols, 0);
    std::vector<std::uint64_t> touched;
    for (std::uint64_t i = 0; i < a.nrows; ++i) {
        const Csr::Row r = a.row(i);
        for (std::size_t e = 0; e < r.size; ++e) {
            const Csr::Row s = b.row(r.indices[e]);
            for (std::size_t f = 0; f < s.size; ++f) {
                const std::uint64_t j = s.indices[f];
                if (!seen[j]) {
                    seen[j] = 1;
                    touched.push_back(j);
                }
                sum[j] += r.values[e] * s.values[f];
            }
        }
        std::sort(touched.begin(), touched.end());
        for (const std::uint64_t j : touched) {
            if (sum[j] != 0.0) {
                c.indices.push_back(j);
                c.data.push_back(sum[j]);
            }
            sum[j] = 0.0;
            seen[j] = 0;
        }
        touched.clear();
        c.indptr.push_back(c.indices.size());
    }
    return c;
}

namespace {

// Whether the first columns of the nonempty rows never decrease: then the rows that share a
// column with row p are the rows after it up to the first one that starts beyond p's last column.
bool rows_in_column_order(const Csr& a) {
    std::uint64_t previous = 0;
    for (std::uint64_t i = 0; i < a.nrows; ++i) {
        const Csr::Row r = a.row(i);
        if (r.size == 0) continue;
        if (r.indices[0] < previous) return false;
        previous = r.indices[0];
    }
    return true;
}

// sum over the shared columns j of x_j w_j y_j, -0.0 when there is none.
double weighted_dot(const Csr::Row& x, const Csr::Row& y, const double* w) {
    double sum = EMPTY_SUM;
    std::size_t e = 0, f = 0;
    while (e < x.size && f < y.size) {
        if (x.indices[e] < y.indices[f]) {
            ++e;
        } else if (y.indices[f] < x.indices[e]) {
            ++f;
        } else {
            sum += x.values[e] * w[x.indices[e]] * y.values[f];
            ++e;
            ++f;
        }
    }
    return sum;
}

}  // namespace

Csr weighted_row_gram(const Csr& a, const std::vector<double>& w) {
    if (!rows_in_column_order(a)) {
        // Any order: the columns' gram of diag(sqrt w) a^T.
        Csr b = a.transpose();
        for (std::uint64_t j = 0; j < b.nrows; ++j) {
            const double s = std::sqrt(w[j]);
            for (std::size_t e = b.indptr[j]; e < b.indptr[j + 1]; ++e) b.data[e] *= s;
        }
        return b.gram_columns();
    }
    // Rows in column order (targets sorted along the sources): the strict upper triangle from
    // merges of each row with the following rows that reach into it, no transpose of a; then
    // lower triangle (its transpose), diagonal and upper triangle joined row by row.
    Csr upper;
    upper.nrows = upper.ncols = a.nrows;
    upper.indptr.reserve(a.nrows + 1);
    upper.indptr.push_back(0);
    std::vector<double> diagonal(a.nrows);
    for (std::uint64_t p = 0; p < a.nrows; ++p) {
        const Csr::Row r = a.row(p);
        diagonal[p] = weighted_dot(r, r, w.data());
        if (r.size != 0) {
            const std::uint64_t last = r.indices[r.size - 1];
            for (std::uint64_t q = p + 1; q < a.nrows; ++q) {
                const Csr::Row s = a.row(q);
                if (s.size == 0) continue;
                if (s.indices[0] > last) break;
                const double v = weighted_dot(r, s, w.data());
                if (v == 0.0) continue;
                upper.indices.push_back(q);
                upper.data.push_back(v);
            }
        }
        upper.indptr.push_back(upper.indices.size());
    }
    const Csr lower = upper.transpose();
    Csr g;
    g.nrows = g.ncols = a.nrows;
    const std::size_t stored = 2 * upper.indices.size() + a.nrows;
    g.indices.reserve(stored);
    g.data.reserve(stored);
    g.indptr.reserve(a.nrows + 1);
    g.indptr.push_back(0);
    for (std::uint64_t p = 0; p < a.nrows; ++p) {
        const Csr::Row before = lower.row(p), after = upper.row(p);
        g.indices.insert(g.indices.end(), before.indices, before.indices + before.size);
        g.data.insert(g.data.end(), before.values, before.values + before.size);
        if (diagonal[p] != 0.0) {
            g.indices.push_back(p);
            g.data.push_back(diagonal[p]);
        }
        g.indices.insert(g.indices.end(), after.indices, after.indices + after.size);
        g.data.insert(g.data.end(), after.values, after.values + after.size);
        g.indptr.push_back(g.indices.size());
    }
    return g;
}

double Csr::trace() const {
    double sum = EMPTY_SUM;
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Row entries = row(i);
        for (std::size_t e = 0; e < entries.size; ++e)
            if (entries.indices[e] == i) sum += entries.values[e];
    }
    return sum;
}

std::vector<double> Csr::apply_last_axis(const double* x, std::size_t k, std::size_t row_stride) const {
    // x must have exactly ncols columns; callers check the shape before coming here.
    std::vector<double> y(checked_product(k, nrows), 0.0);
    // Groups of rows share the reads of the entries; single rows when groups would leave workers
    // idle.
    constexpr std::size_t MOST = 4;
    const std::size_t size = k >= MOST * worker_count() ? MOST : 1;
    parallel_for((k + size - 1) / size, [&](std::size_t group, Scratch&) {
        const std::size_t first = group * size, count = std::min(size, k - first);
        const double* rows[MOST];
        double* results[MOST];
        for (std::size_t r = 0; r < count; ++r) {
            rows[r] = x + (first + r) * row_stride;
            results[r] = y.data() + (first + r) * nrows;
        }
        apply_rows(rows, results, count, 0, nrows);
    });
    return y;
}

namespace {

template <std::size_t R>
void apply_rows_of(const Csr& a, const double* const* x, double* const* y, std::size_t begin, std::size_t end) {
    const double* rows[R];
    for (std::size_t r = 0; r < R; ++r) rows[r] = x[r];
    for (std::size_t i = begin; i < end; ++i) {
        const Csr::Row entries = a.row(i);
        double sum[R];
        for (std::size_t r = 0; r < R; ++r) sum[r] = EMPTY_SUM;
        for (std::size_t e = 0; e < entries.size; ++e) {
            const double value = entries.values[e];
            const std::uint64_t column = entries.indices[e];
            for (std::size_t r = 0; r < R; ++r) sum[r] += value * rows[r][column];
        }
        for (std::size_t r = 0; r < R; ++r) y[r][i] = sum[r];
    }
}

}  // namespace

void Csr::apply_rows(const double* const* x, double* const* y, std::size_t count, std::size_t begin,
                     std::size_t end) const {
    // Four rows at a time, then the rest together.
    for (; count >= 4; count -= 4, x += 4, y += 4) apply_rows_of<4>(*this, x, y, begin, end);
    switch (count) {
    case 1: apply_rows_of<1>(*this, x, y, begin, end); break;
    case 2: apply_rows_of<2>(*this, x, y, begin, end); break;
    case 3: apply_rows_of<3>(*this, x, y, begin, end); break;
    default: break;
    }
}

}  // namespace spanlet
