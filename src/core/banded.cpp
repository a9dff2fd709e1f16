#include "core/banded.hpp"

#include <algorithm>
#include <string>
#include <cmath>
#include <new>
#include <string>

#include "core/format.hpp"

// The sums below run over a handful of band entries in a fixed order; GCC's in-order vector
// reductions are much slower than scalar code at these lengths.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC optimize("no-tree-loop-vectorize")
#endif

namespace spanlet {

Result<BandedCholesky> BandedCholesky::factor(const Csr& matrix) {
    if (matrix.nrows != matrix.ncols)
        return Error::invalid("a banded factor needs a square matrix, got " + std::to_string(matrix.nrows) + " x " +
                              std::to_string(matrix.ncols));
    const std::size_t n = matrix.nrows;
    std::size_t b = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const Csr::Row r = matrix.row(i);
        for (std::size_t e = 0; e < r.size; ++e) {
            const std::size_t j = r.indices[e];
            b = std::max(b, i > j ? i - j : j - i);
        }
    }
    const std::size_t width = b + 1;
    if (n != 0 && width > static_cast<std::size_t>(-1) / n) throw std::bad_alloc();
    std::vector<double> band(n * width, 0.0);
    // L[i][j] lives at band[b * i + b + j]; only the lower triangle of the input is read.
    for (std::size_t i = 0; i < n; ++i) {
        const Csr::Row r = matrix.row(i);
        for (std::size_t e = 0; e < r.size; ++e)
            if (r.indices[e] <= i) band[b * i + b + r.indices[e]] = r.values[e];
    }

    for (std::size_t l = 0; l < n; ++l) {
        double* row_l = band.data() + b * l + b;
        const std::size_t first = l > b ? l - b : 0;
        for (std::size_t m = first; m <= l; ++m) {
            const double* row_m = band.data() + b * m + b;
            double s = row_l[m];
            for (std::size_t k = first; k < m; ++k) s -= row_l[k] * row_m[k];
            if (m < l) {
                row_l[m] = s / row_m[m];
                continue;
            }
            // The diagonal slot still holds the input entry (0 when not stored).
            const double d = std::abs(row_l[l]);
            // Strict and relative; a NaN pivot fails it.
            if (!(s > 1e-13 * d))
                return Error::singular("pivot " + std::to_string(l) + " is " + exponent(s) + " (diagonal " +
                                       exponent(d) +
                                       "): the target elements are linearly dependent, or one of them has zero norm");
            row_l[l] = std::sqrt(s);
        }
    }
    return BandedCholesky(std::move(band), n, b);
}

void BandedCholesky::solve_in_place(double* y) const {
    const std::size_t b = bandwidth_;
    for (std::size_t i = 0; i < n_; ++i) {
        const double* l = row(i);
        double f = y[i];
        for (std::size_t j = i > b ? i - b : 0; j < i; ++j) f -= l[j] * y[j];
        y[i] = f / l[i];
    }
    for (std::size_t i = n_; i-- > 0;) {
        double g = y[i];
        const std::size_t last = std::min(n_ - 1, i + b);
        for (std::size_t j = i + 1; j <= last; ++j) g -= row(j)[i] * y[j];
        y[i] = g / row(i)[i];
    }
}

}  // namespace spanlet
