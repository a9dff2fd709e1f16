// Csr: the immutable compressed-sparse-row matrix of doubles shared by all operators.
//
// Producers keep column indices < ncols and strictly ascending within each row; nothing here
// verifies that. Once built a matrix is never modified and may be read by any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace spanlet {

// The arrays of a matrix under construction, written in place (those of a Python result, say):
// indptr holds a row count + 1 entries, indices and data room for the entries the writer stores.
struct RowArrays {
    std::uint64_t* indptr;
    std::uint64_t* indices;
    double* data;
};

struct Csr {
    std::vector<std::uint64_t> indptr;   // nrows + 1 offsets, indptr[0] = 0
    std::vector<std::uint64_t> indices;  // column of each stored entry, row after row
    std::vector<double> data;            // value of each stored entry
    std::uint64_t nrows = 0, ncols = 0;

    struct Row {
        const std::uint64_t* indices;
        const double* values;
        std::size_t size;
    };

    // Concatenates (column indices, values) rows as given: no sorting, merging or zero removal.
    static Csr from_rows(std::vector<std::pair<std::vector<std::uint64_t>, std::vector<double>>> rows,
                         std::uint64_t nrows, std::uint64_t ncols);

    // The stored entries of row i < nrows.
    Row row(std::uint64_t i) const {
        const std::size_t begin = indptr[i], end = indptr[i + 1];
        return {indices.data() + begin, data.data() + begin, end - begin};
    }

    // ncols x nrows; stored zeros stay.
    Csr transpose() const;

    // nrows x ncols, row-major.
    std::vector<double> to_dense() const;

    // The sum of the stored diagonal entries, in row order.
    double trace() const;

    // A^T A (ncols x ncols) through a buffer that holds, for each column, the span of columns of
    // the rows that hold it; exact zeros are left out.
    Csr gram_columns() const;

    // y = A x for one row x of ncols values into y (nrows values).
    void apply_row(const double* x, double* y) const { apply_rows(&x, &y, 1, 0, nrows); }
    // y[r] = A x[r] for `count` rows x[r] of ncols values, rows [begin, end) of A only, into
    // y[r][begin .. end - 1]: each row's sums as apply_row forms them, with the chains of additions
    // of up to four rows side by side and each entry read once for all of them.
    void apply_rows(const double* const* x, double* const* y, std::size_t count, std::size_t begin,
                    std::size_t end) const;

    // y = x A^T for k rows of ncols values: row r of x starts at x + r * row_stride and row r of
    // the k x nrows row-major result holds the matrix applied to it. Rows run on the pool.
    std::vector<double> apply_last_axis(const double* x, std::size_t k, std::size_t row_stride) const;
};

// The product a b (a.ncols == b.nrows), rows ascending; exact zeros are left out.
Csr product(const Csr& a, const Csr& b);

// a diag(w) a^T (nrows x nrows) for weights w >= 0, one per column of a; exact zeros are left out.
Csr weighted_row_gram(const Csr& a, const std::vector<double>& w);

}  // namespace spanlet
