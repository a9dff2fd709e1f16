#include "core/sparse.hpp"

#include <new>

#include "core/pool.hpp"

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
    std::uint64_t b = 0;
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Row r = row(i);
        if (r.size > 0) b = std::max(b, r.indices[r.size - 1] - r.indices[0]);
    }
    const std::size_t w = checked_product(2, b) + 1;
    std::vector<double> band(checked_product(ncols, w), 0.0);
    for (std::uint64_t i = 0; i < nrows; ++i) {
        const Row r = row(i);
        for (std::size_t s = 0; s < r.size; ++s) {
            const std::uint64_t p = r.indices[s];
            const double u = r.values[s];
            double* band_row = band.data() + p * w + b - p;  // entry (p, q) at band_row[q]
            for (std::size_t t = 0; t < r.size; ++t) band_row[r.indices[t]] += u * r.values[t];
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
        const double* band_row = band.data() + p * w;
        for (std::uint64_t m = 0; m < w; ++m) {
            // q = p + m - b, kept only inside 0 .. ncols - 1 (unsigned arithmetic wraps below 0).
            if (p + m < b || p + m - b >= ncols) continue;
            if (band_row[m] == 0.0) continue;
            g.indices.push_back(p + m - b);
            g.data.push_back(band_row[m]);
        }
        g.indptr.push_back(g.indices.size());
    }
    return g;
}

std::vector<double> Csr::apply_last_axis(const double* x, std::size_t k, std::size_t row_stride) const {
    return apply_last_axis(x, k, static_cast<std::ptrdiff_t>(row_stride), 1);
}

std::vector<double> Csr::apply_last_axis(const double* x, std::size_t k, std::ptrdiff_t row_stride,
                                         std::ptrdiff_t column_stride) const {
    // x must have exactly ncols columns; callers check the shape before coming here.
    std::vector<double> y(checked_product(k, nrows), 0.0);
    parallel_for(k, [&](std::size_t r, Scratch& scratch) {
        const double* in = x + static_cast<std::ptrdiff_t>(r) * row_stride;
        if (column_stride != 1) {
            scratch.buffer.resize(ncols);
            for (std::uint64_t j = 0; j < ncols; ++j)
                scratch.buffer[j] = in[static_cast<std::ptrdiff_t>(j) * column_stride];
            in = scratch.buffer.data();
        }
        double* out = y.data() + r * nrows;
        for (std::uint64_t i = 0; i < nrows; ++i) {
            const Row entries = row(i);
            double sum = -0.0;
            for (std::size_t e = 0; e < entries.size; ++e) sum += entries.values[e] * in[entries.indices[e]];
            out[i] = sum;
        }
    });
    return y;
}

}  // namespace spanlet
