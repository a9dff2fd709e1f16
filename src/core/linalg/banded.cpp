#include "core/linalg/banded.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <new>
#include <string>
#include <utility>

#include "core/base/format.hpp"

// The sums below run over a handful of envelope entries in a fixed order; GCC's in-order vector
// reductions are much slower than scalar code at these lengths.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-loop-vectorize")
#endif

namespace spanlet {

namespace {

// Lays out the envelope: start[i + 1] - start[i] = i + 1 - f_i, with f_i the smallest column of
// row i over the stored entries of both triangles (the diagonal always included). One pass in
// row order: an entry above the diagonal, (i, j) with j > i, lowers f_j of a later row.
void envelope_starts(const Csr& matrix, std::vector<std::size_t>& start, std::size_t& bandwidth) {
    const std::size_t n = matrix.nrows;
    // start[j + 1] holds f_j, as far as the rows before j know it, until row j is reached.
    start.resize(n + 1);
    start[0] = 0;
    for (std::size_t i = 0; i < n; ++i) start[i + 1] = i;
    bandwidth = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Csr::Row r = matrix.row(i);
        std::size_t first = start[i + 1];
        for (std::size_t e = 0; e < r.size; ++e) {
            const std::size_t j = r.indices[e];
            if (j <= i)
                first = std::min(first, j);
            else
                start[j + 1] = std::min(start[j + 1], i);
        }
        const std::size_t length = i + 1 - first;
        bandwidth = std::max(bandwidth, length - 1);
        if (start[i] > std::numeric_limits<std::size_t>::max() / sizeof(double) - length) throw std::bad_alloc();
        start[i + 1] = start[i] + length;
    }
}


// Row l of the factor, left to right: L[l][m] = (A[l][m] - sum_k L[l][k] L[m][k]) / L[m][m], the
// sum in ascending k over the columns both rows store. A band position outside the envelope holds
// an exact zero, so leaving it out of the sum is the banded algorithm without its zero products.
// `row` holds the input row from column first(l) on; the entries left of the diagonal are
// replaced and the reduced pivot A[l][l] - sum_k L[l][k]^2 is returned, the diagonal untouched.
double reduce_row(double* v, const std::size_t* start, std::size_t l, double* row) {
    const std::size_t first_l = l + 1 - (start[l + 1] - start[l]);
    for (std::size_t m = first_l; m < l; ++m) {
        const std::size_t first_m = m + 1 - (start[m + 1] - start[m]);
        const std::size_t k0 = std::max(first_l, first_m);
        const double* a = row + (k0 - first_l);
        const double* b = v + start[m] + (k0 - first_m);
        double s = row[m - first_l];
        for (std::size_t t = 0, count = m - k0; t < count; ++t) s -= a[t] * b[t];
        row[m - first_l] = s / v[start[m + 1] - 1];
    }
    double s = row[l - first_l];
    for (std::size_t t = 0, count = l - first_l; t < count; ++t) s -= row[t] * row[t];
    return s;
}

// The same for a row of B + 1 entries whose B predecessors all reach its first column, the common
// case of a band: the same operations in the same order, with the row held in registers (up to
// B = 7; wider rows spill and run slower than the loop). Returns false, touching nothing, when a
// predecessor starts right of that column.
template <std::size_t B>
bool reduce_band_row(const double* v, const std::size_t* start, std::size_t l, double* row, double& pivot) {
    const std::size_t first = l - B;
    const double* rows[B];  // rows[o][k] = L[first + o][first + k]
    for (std::size_t o = 0; o < B; ++o) {
        const std::size_t m = first + o, diagonal = start[m + 1] - 1;
        if (diagonal - start[m] < o) return false;
        rows[o] = v + diagonal - o;
    }
    double x[B + 1];
    for (std::size_t o = 0; o <= B; ++o) x[o] = row[o];
    for (std::size_t o = 0; o < B; ++o) {
        double s = x[o];
        for (std::size_t k = 0; k < o; ++k) s -= x[k] * rows[o][k];
        x[o] = s / rows[o][o];
    }
    double s = x[B];
    for (std::size_t k = 0; k < B; ++k) s -= x[k] * x[k];
    for (std::size_t o = 0; o < B; ++o) row[o] = x[o];
    pivot = s;
    return true;
}

}  // namespace

Result<BandedCholesky> BandedCholesky::factor(const Csr& matrix) {
    BandedCholesky f;
    SPANLET_TRY_STATUS(f.assign(matrix));
    return f;
}

Status BandedCholesky::assign(const Csr& matrix) {
    if (matrix.nrows != matrix.ncols)
        return Error::invalid("a banded factor needs a square matrix, got " + std::to_string(matrix.nrows) + " x " +
                              std::to_string(matrix.ncols));
    BandedCholesky& f = *this;
    const std::size_t n = f.n_ = matrix.nrows;
    envelope_starts(matrix, f.start_, f.bandwidth_);
    f.far_start_.clear();
    f.far_rows_.clear();
    const std::size_t* start = f.start_.data();
    f.values_.resize(start[n]);
    double* v = f.values_.data();
    // A band without far rows: its scaled copy is written row by row as the factor goes.
    f.scaled_.clear();
    const std::size_t width = f.bandwidth_ + 1;
    if (f.fits_scaled_band()) {
        // The rows past n are zero; the slots left of each row's first column are written below.
        f.scaled_.resize((n + f.bandwidth_) * width);
        std::fill(f.scaled_.begin() + static_cast<std::ptrdiff_t>(n * width), f.scaled_.end(), 0.0);
    }
    double* scaled = f.scaled_.empty() ? nullptr : f.scaled_.data();

    for (std::size_t l = 0; l < n; ++l) {
        double* row_l = v + start[l];  // column first_l at row_l[0]
        const std::size_t length = start[l + 1] - start[l];
        // The row of the input, read only from its lower triangle, just before it is reduced.
        std::fill(row_l, row_l + length, 0.0);
        const Csr::Row r = matrix.row(l);
        for (std::size_t e = 0; e < r.size; ++e)
            if (r.indices[e] <= l) row_l[r.indices[e] - (l + 1 - length)] = r.values[e];
        // The diagonal slot still holds the input entry (0 when not stored).
        const double d = std::abs(row_l[length - 1]);
        double s;
        bool reduced = false;
        switch (length - 1) {
        case 1: reduced = reduce_band_row<1>(v, start, l, row_l, s); break;
        case 2: reduced = reduce_band_row<2>(v, start, l, row_l, s); break;
        case 3: reduced = reduce_band_row<3>(v, start, l, row_l, s); break;
        case 4: reduced = reduce_band_row<4>(v, start, l, row_l, s); break;
        case 5: reduced = reduce_band_row<5>(v, start, l, row_l, s); break;
        case 6: reduced = reduce_band_row<6>(v, start, l, row_l, s); break;
        case 7: reduced = reduce_band_row<7>(v, start, l, row_l, s); break;
        default: break;
        }
        if (!reduced) s = reduce_row(v, start, l, row_l);
        // Strict and relative; a NaN pivot fails it.
        if (!(s > 1e-13 * d))
            return Error::singular("pivot " + std::to_string(l) + " is " + exponent(s) + " (diagonal " + exponent(d) +
                                   "): the target elements are linearly dependent, or one of them has zero norm");
        const double diagonal = row_l[length - 1] = std::sqrt(s);
        if (scaled != nullptr) {
            double* out = scaled + l * width + (width - length);
            std::fill(scaled + l * width, out, 0.0);
            const double inverse = 1.0 / diagonal;
            for (std::size_t t = 0; t + 1 < length; ++t) out[t] = row_l[t] * inverse;
            out[length - 1] = diagonal;
        }
    }

    // Column c of L is stored in rows c + 1, c + 2, ... without a gap as long as no row in between
    // starts right of c. Only a row that starts left of an earlier row's first column can lie past
    // such a gap, and then for its leftmost columns: from its first column to the last column c
    // that some row strictly between c and it starts right of.
    std::vector<std::pair<std::size_t, std::size_t>> far;  // (row, last column past a gap)
    std::size_t latest = 0;
    for (std::size_t j = 0; j < n; ++j) {
        const std::size_t first_j = f.first(j);
        if (first_j < latest) {
            // Some row between first_j and j starts right of first_j, so the walk stops.
            std::size_t widest = 0;
            for (std::size_t c = j - 1;; --c) {
                if (c + 1 < j) widest = std::max(widest, f.first(c + 1));
                if (c + 1 < j && widest > c) {
                    far.emplace_back(j, c);
                    break;
                }
            }
        }
        latest = std::max(latest, first_j);
    }
    if (!far.empty()) {
        f.far_start_.assign(n + 1, 0);
        for (const auto& [j, last] : far)
            for (std::size_t c = f.first(j); c <= last; ++c) ++f.far_start_[c + 1];
        for (std::size_t c = 0; c < n; ++c) f.far_start_[c + 1] += f.far_start_[c];
        f.far_rows_.resize(f.far_start_[n]);
        std::vector<std::size_t> next(f.far_start_.begin(), f.far_start_.end() - 1);
        for (const auto& [j, last] : far)
            for (std::size_t c = f.first(j); c <= last; ++c) f.far_rows_[next[c]++] = j;
    }
    return success();
}

bool BandedCholesky::fits_scaled_band() const {
    if (bandwidth_ > MAX_SPECIALISED) return false;
    // First columns that never decrease leave no far rows. A row that reaches its predecessor
    // keeps the zeros padded in front of it harmless: every value before it already reaches it
    // through that chain, so a product of a pad with a NaN adds nothing new.
    for (std::size_t i = 1; i < n_; ++i)
        if (first(i) < first(i - 1) || (bandwidth_ > 0 && first(i) == i)) return false;
    return true;
}

namespace {

// The scaled substitution (see the header) for K right-hand sides and a band of half-width
// B. The last B values of each sweep stay in registers; a row's nearest neighbour is subtracted
// last, so that only one multiply and one subtraction separate consecutive rows.
template <std::size_t B, std::size_t K>
void solve_scaled(const double* m, std::size_t n, double* const* y) {
    constexpr std::size_t W = B + 1;
    // Forward: last[k][t] = u of row i - B + t; backward: last[k][o] = v of row i + o (o >= 1).
    double last[K][W] = {};
    for (std::size_t i = 0; i < n; ++i) {
        const double* row = m + i * W;
        for (std::size_t k = 0; k < K; ++k) {
            double u = y[k][i] / row[B];
            for (std::size_t t = 0; t < B; ++t) u -= row[t] * last[k][t];
            for (std::size_t t = 0; t + 1 < B; ++t) last[k][t] = last[k][t + 1];
            if constexpr (B > 0) last[k][B - 1] = u;
            y[k][i] = u;
        }
    }
    for (std::size_t k = 0; k < K; ++k)
        for (std::size_t t = 0; t < W; ++t) last[k][t] = 0.0;
    for (std::size_t i = n; i-- > 0;) {
        for (std::size_t k = 0; k < K; ++k) {
            // M[i + o][i] sits in slot B - o of row i + o.
            double v = y[k][i];
            for (std::size_t o = B; o >= 1; --o) v -= m[(i + o) * W + (B - o)] * last[k][o];
            for (std::size_t o = B; o >= 2; --o) last[k][o] = last[k][o - 1];
            if constexpr (B > 0) last[k][1] = v;
            y[k][i] = v / m[i * W + B];
        }
    }
}

}  // namespace

// The K right-hand sides advance together, each with exactly the operations of a solve of its
// own: the divisions that chain one row to the next overlap across them.
template <std::size_t K>
void BandedCholesky::solve_together(double* const* ys) const {
    if (!scaled_.empty()) {
        const double* m = scaled_.data();
        switch (bandwidth_) {
        case 0: return solve_scaled<0, K>(m, n_, ys);
        case 1: return solve_scaled<1, K>(m, n_, ys);
        case 2: return solve_scaled<2, K>(m, n_, ys);
        case 3: return solve_scaled<3, K>(m, n_, ys);
        case 4: return solve_scaled<4, K>(m, n_, ys);
        case 5: return solve_scaled<5, K>(m, n_, ys);
        case 6: return solve_scaled<6, K>(m, n_, ys);
        case 7: return solve_scaled<7, K>(m, n_, ys);
        case 8: return solve_scaled<8, K>(m, n_, ys);
        default: break;
        }
    }
    const std::size_t* start = start_.data();
    const double* v = values_.data();
    double* y[K];
    for (std::size_t k = 0; k < K; ++k) y[k] = ys[k];
    for (std::size_t i = 0; i < n_; ++i) {
        const double* row = v + start[i];
        const std::size_t length = start[i + 1] - start[i], first = i + 1 - length;
        double f[K];
        for (std::size_t k = 0; k < K; ++k) f[k] = y[k][i];
        for (std::size_t t = 0; t + 1 < length; ++t)
            for (std::size_t k = 0; k < K; ++k) f[k] -= row[t] * y[k][first + t];
        for (std::size_t k = 0; k < K; ++k) y[k][i] = f[k] / row[length - 1];
    }
    const bool far = !far_start_.empty();
    for (std::size_t i = n_; i-- > 0;) {
        double g[K];
        for (std::size_t k = 0; k < K; ++k) g[k] = y[k][i];
        std::size_t j = i + 1;
        // Rows j reach column i while their first column is at most i: L[j][i] sits j - i
        // positions before the diagonal of row j.
        for (; j < n_ && start[j + 1] - start[j] > j - i; ++j) {
            const double l = v[start[j + 1] - 1 - (j - i)];
            for (std::size_t k = 0; k < K; ++k) g[k] -= l * y[k][j];
        }
        if (far)
            for (std::size_t e = far_start_[i]; e < far_start_[i + 1]; ++e) {
                const std::size_t r = far_rows_[e];
                const double l = v[start[r + 1] - 1 - (r - i)];
                for (std::size_t k = 0; k < K; ++k) g[k] -= l * y[k][r];
            }
        const double d = v[start[i + 1] - 1];
        for (std::size_t k = 0; k < K; ++k) y[k][i] = g[k] / d;
    }
}

void BandedCholesky::solve_in_place(double* y) const { solve_together<1>(&y); }

void BandedCholesky::solve_in_place(double* first, double* second) const {
    double* const ys[2] = {first, second};
    solve_together<2>(ys);
}

void BandedCholesky::solve_in_place(double* const* ys, std::size_t count) const {
    for (; count >= 4; count -= 4, ys += 4) solve_together<4>(ys);
    if (count >= 2) {
        solve_together<2>(ys);
        count -= 2;
        ys += 2;
    }
    if (count == 1) solve_together<1>(ys);
}

}  // namespace spanlet
