#include "core/ops/propagate.hpp"

#include <algorithm>
#include <cmath>
#include <string>

#include "core/base/format.hpp"
#include "core/linalg/solve.hpp"

namespace spanlet {

namespace {

// 1 / G_pp when G is diagonal (stored zeros off the diagonal allowed), else empty.
std::vector<double> diagonal_inverse(const Csr& gram) {
    std::vector<double> inverse(gram.nrows, 0.0);
    for (std::size_t p = 0; p < gram.nrows; ++p) {
        const Csr::Row row = gram.row(p);
        for (std::size_t e = 0; e < row.size; ++e) {
            if (row.indices[e] == p)
                inverse[p] = 1.0 / row.values[e];
            else if (row.values[e] != 0.0)
                return {};
        }
    }
    return inverse;
}

// G^-1 M G^-1 for the symmetric M = K S K^T.
PropagatedCovariance between_gram(const Projection& projection, Csr m) {
    const BandedCholesky& factor = projection.gram_factor();
    const std::size_t n = projection.n_dst();
    PropagatedCovariance out;
    const std::vector<double> inverse = diagonal_inverse(projection.gram());
    if (n > 0 && inverse.size() == n) {
        // 1 / G_pp rather than the factor's pivots: the diagonal case is the common one (boxes
        // onto boxes), and its result then equals the plain formula.
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t e = m.indptr[p]; e < m.indptr[p + 1]; ++e) m.data[e] *= inverse[p] * inverse[m.indices[e]];
        out.sparse = std::move(m);
        out.is_sparse = true;
        return out;
    }
    // Solving the rows of the symmetric M gives the rows of M G^-1; transposed, the rows of
    // G^-1 M, and solving those gives the rows of G^-1 M G^-1.
    std::vector<double> rows = m.to_dense();
    solve_rows(factor, rows, n);
    rows = transposed(rows, n, n);
    solve_rows(factor, rows, n);
    // The two passes round differently: averaging with the transpose makes the result symmetric.
    for (std::size_t p = 0; p < n; ++p)
        for (std::size_t q = p + 1; q < n; ++q) {
            const double v = 0.5 * (rows[p * n + q] + rows[q * n + p]);
            rows[p * n + q] = v;
            rows[q * n + p] = v;
        }
    out.dense = std::move(rows);
    return out;
}

// Calls f(i, j, m_ij, m_ji) for every (i, j) stored in m or in its transpose, row by row in
// column order (an entry stored on one side only meets 0); stops at the first f that returns false.
template <class F>
void for_each_mirrored(const Csr& m, F&& f) {
    const Csr t = m.transpose();
    for (std::size_t i = 0; i < m.nrows; ++i) {
        const Csr::Row a = m.row(i), b = t.row(i);
        std::size_t e = 0, g = 0;
        while (e < a.size || g < b.size) {
            const std::uint64_t ja = e < a.size ? a.indices[e] : m.ncols;
            const std::uint64_t jb = g < b.size ? b.indices[g] : m.ncols;
            if (!f(i, std::min(ja, jb), ja <= jb ? a.values[e] : 0.0, jb <= ja ? b.values[g] : 0.0)) return;
            e += ja <= jb;
            g += jb <= ja;
        }
    }
}

// (M + M^T) / 2 for a matrix that is symmetric up to rounding (K (S K^T) rounds differently on the
// two sides of the diagonal).
Csr symmetric_part(const Csr& m) {
    Csr out;
    out.nrows = m.nrows;
    out.ncols = m.ncols;
    out.indptr.reserve(m.nrows + 1);
    out.indptr.push_back(0);
    std::size_t row = 0;
    for_each_mirrored(m, [&](std::size_t i, std::uint64_t j, double v, double mirror) {
        for (; row < i; ++row) out.indptr.push_back(out.indices.size());
        out.indices.push_back(j);
        out.data.push_back(0.5 * (v + mirror));
        return true;
    });
    for (; row < m.nrows; ++row) out.indptr.push_back(out.indices.size());
    return out;
}

Status check_symmetric(const Csr& covariance) {
    double largest = 0.0;
    for (std::size_t i = 0; i < covariance.nrows; ++i) {
        const Csr::Row row = covariance.row(i);
        for (std::size_t e = 0; e < row.size; ++e) {
            const double v = row.values[e];
            if (!std::isfinite(v) || (row.indices[e] == i && v < 0.0))
                return Error::invalid("variance (a covariance matrix) must be finite with a diagonal >= 0, got " +
                                      decimal(v) + " at (" + std::to_string(i) + ", " +
                                      std::to_string(row.indices[e]) + ")");
            largest = std::max(largest, std::abs(v));
        }
    }
    // Both triangles are read, so a matrix given by one triangle only must not pass.
    const double tolerance = 1e-12 * largest;
    Status status = success();
    for_each_mirrored(covariance, [&](std::size_t i, std::uint64_t j, double v, double mirror) {
        if (std::abs(v - mirror) <= tolerance) return true;
        status = Error::invalid("variance (a covariance matrix) must be symmetric: entry (" + std::to_string(i) +
                                ", " + std::to_string(j) + ") is " + decimal(v) + ", its mirror " + decimal(mirror));
        return false;
    });
    return status;
}

}  // namespace

Result<PropagatedCovariance> propagate(const Projection& projection, const std::vector<double>& variance) {
    for (const double v : variance)
        if (!(v >= 0.0) || !std::isfinite(v))
            return Error::invalid("variance must be finite and >= 0, got " + decimal(v));
    return between_gram(projection, weighted_row_gram(projection.cross(), variance));
}

Result<PropagatedCovariance> propagate(const Projection& projection, const Csr& covariance) {
    SPANLET_TRY_STATUS(check_symmetric(covariance));
    const Csr& cross = projection.cross();
    return between_gram(projection, symmetric_part(product(cross, product(covariance, cross.transpose()))));
}

}  // namespace spanlet
