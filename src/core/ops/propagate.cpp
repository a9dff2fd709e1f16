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

// (M + M^T) / 2 for a matrix that is symmetric up to rounding (K (S K^T) rounds differently on the
// two sides of the diagonal).
Csr symmetric_part(const Csr& m) {
    const Csr t = m.transpose();
    Csr out;
    out.nrows = m.nrows;
    out.ncols = m.ncols;
    out.indptr.reserve(m.nrows + 1);
    out.indptr.push_back(0);
    for (std::size_t i = 0; i < m.nrows; ++i) {
        const Csr::Row a = m.row(i), b = t.row(i);
        std::size_t e = 0, f = 0;
        while (e < a.size || f < b.size) {
            const std::uint64_t ja = e < a.size ? a.indices[e] : m.ncols;
            const std::uint64_t jb = f < b.size ? b.indices[f] : m.ncols;
            const double v = 0.5 * ((ja <= jb ? a.values[e] : 0.0) + (jb <= ja ? b.values[f] : 0.0));
            out.indices.push_back(std::min(ja, jb));
            out.data.push_back(v);
            e += ja <= jb;
            f += jb <= ja;
        }
        out.indptr.push_back(out.indices.size());
    }
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
    const Csr t = covariance.transpose();
    const double tolerance = 1e-12 * largest;
    for (std::size_t i = 0; i < covariance.nrows; ++i) {
        const Csr::Row a = covariance.row(i), b = t.row(i);
        std::size_t e = 0, f = 0;
        while (e < a.size || f < b.size) {
            const std::uint64_t ja = e < a.size ? a.indices[e] : covariance.ncols;
            const std::uint64_t jb = f < b.size ? b.indices[f] : covariance.ncols;
            const double va = ja <= jb ? a.values[e] : 0.0, vb = jb <= ja ? b.values[f] : 0.0;
            if (std::abs(va - vb) > tolerance)
                return Error::invalid("variance (a covariance matrix) must be symmetric: entry (" + std::to_string(i) +
                                      ", " + std::to_string(std::min(ja, jb)) + ") is " + decimal(va) +
                                      ", its mirror " + decimal(vb));
            e += ja <= jb;
            f += jb <= ja;
        }
    }
    return success();
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
