#include "core/linalg/banded_inverse.hpp"

#include <algorithm>
#include <limits>

namespace spanlet {

InverseEnvelope::InverseEnvelope(const BandedCholesky& factor) : n_(factor.n()) {
    const std::size_t n = n_;
    first_.resize(n);
    start_.assign(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i) {
        first_[i] = factor.first(i);
        start_[i + 1] = start_[i] + (i + 1 - first_[i]);
    }
    values_.assign(start_[n], 0.0);
    // The rows that store each column below the diagonal, ascending (a transposed pattern),
    // with L[k][j] beside them: the recurrence walks columns, the factor is kept by rows.
    std::vector<std::size_t> column_start(n + 1, 0), rows;
    std::vector<double> lower;
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = first_[i]; j < i; ++j) ++column_start[j + 1];
    for (std::size_t j = 0; j < n; ++j) column_start[j + 1] += column_start[j];
    rows.resize(column_start[n]);
    lower.resize(column_start[n]);
    {
        std::vector<std::size_t> next(column_start.begin(), column_start.end() - 1);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = first_[i]; j < i; ++j) {
                rows[next[j]] = i;
                lower[next[j]++] = factor.at(i, j);
            }
    }
    double* z = values_.data();
    const std::size_t* start = start_.data();
    for (std::size_t j = n; j-- > 0;) {
        const std::size_t c0 = column_start[j], c1 = column_start[j + 1];
        const double d = factor.at(j, j);
        // Z_ij for every i in the column's pattern, from Z entries of later columns only.
        for (std::size_t a = c0; a < c1; ++a) {
            const std::size_t i = rows[a];
            double s = 0.0;
            for (std::size_t b = c0; b < c1; ++b) {
                const std::size_t k = rows[b];
                const double zik = k <= i ? z[start[i + 1] - 1 - (i - k)] : z[start[k + 1] - 1 - (k - i)];
                s += zik * lower[b];
            }
            z[start[i + 1] - 1 - (i - j)] = -s / d;
        }
        double s = 0.0;
        for (std::size_t a = c0; a < c1; ++a) s += lower[a] * z[start[rows[a] + 1] - 1 - (rows[a] - j)];
        z[start[j + 1] - 1] = (1.0 / d - s) / d;
    }
}

double InverseEnvelope::trace_product(const Csr& m) const {
    double sum = 0.0;
    for (std::size_t i = 0; i < m.nrows; ++i) {
        const Csr::Row r = m.row(i);
        for (std::size_t e = 0; e < r.size; ++e) {
            const std::size_t j = r.indices[e];
            if (!inside(i, j)) return std::numeric_limits<double>::quiet_NaN();
            sum += r.values[e] * at(i, j);
        }
    }
    return sum;
}

Csr InverseEnvelope::to_csr() const {
    const std::size_t n = n_;
    // Row i holds columns first(i) .. i of its own row, then the later rows that reach column i.
    std::vector<std::size_t> upper(n + 1, 0);
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = first_[i]; j < i; ++j) ++upper[j];
    Csr out;
    out.nrows = out.ncols = n;
    out.indptr.resize(n + 1);
    out.indptr[0] = 0;
    for (std::size_t i = 0; i < n; ++i) out.indptr[i + 1] = out.indptr[i] + (i + 1 - first_[i]) + upper[i];
    out.indices.resize(out.indptr[n]);
    out.data.resize(out.indptr[n]);
    std::vector<std::uint64_t> next(out.indptr.begin(), out.indptr.end() - 1);
    // Rows in order: the lower part of row i lands before any upper entry of row i, and the upper
    // entries (i, r) arrive in ascending r as r runs upward.
    for (std::size_t i = 0; i < n; ++i)
        for (std::size_t j = first_[i]; j <= i; ++j) {
            const double v = at(i, j);
            out.indices[next[i]] = j;
            out.data[next[i]++] = v;
            if (j < i) {
                out.indices[next[j]] = i;
                out.data[next[j]++] = v;
            }
        }
    return out;
}

}  // namespace spanlet
