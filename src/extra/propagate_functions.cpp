// propagate(gram, cross, variance): the covariance G^-1 K diag(v) K^T G^-1 of a projection's
// output for independent inputs of variances v. K diag(v) K^T keeps the overlap pattern of the
// target elements; when G is diagonal (boxes onto boxes) the result keeps it too and comes back
// sparse, otherwise it is dense and formed by banded solves, never from the dense operator.
#include <cmath>
#include <string>
#include <vector>

#include "core/base/format.hpp"
#include "core/linalg/banded.hpp"
#include "core/linalg/solve.hpp"
#include "extra/extra.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/space_methods.hpp"

namespace spanlet::py {

namespace {

struct Propagated {
    Csr sparse;                 // when G is diagonal
    std::vector<double> dense;  // otherwise, n_dst x n_dst
    bool is_sparse = false;
};

Result<Propagated> propagated(const Csr& gram, const Csr& cross, const std::vector<double>& variance) {
    const std::size_t n = cross.nrows;
    if (gram.nrows != n || gram.ncols != n)
        return Error::invalid("gram must be " + std::to_string(n) + " x " + std::to_string(n));
    for (const double v : variance)
        if (!(v >= 0.0) || !std::isfinite(v)) return Error::invalid("variance must be finite and >= 0, got " + decimal(v));
    SPANLET_TRY(factor, BandedCholesky::factor(gram));
    // B = diag(sqrt v) K^T, so B^T B = K diag(v) K^T.
    Csr b = cross.transpose();
    for (std::size_t j = 0; j < b.nrows; ++j) {
        const double s = std::sqrt(variance[j]);
        for (std::size_t e = b.indptr[j]; e < b.indptr[j + 1]; ++e) b.data[e] *= s;
    }
    Csr m = b.gram_columns();
    Propagated out;
    if (factor.bandwidth() == 0) {
        std::vector<double> inverse(n);
        for (std::size_t i = 0; i < n; ++i) inverse[i] = 1.0 / (factor.at(i, i) * factor.at(i, i));
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t e = m.indptr[i]; e < m.indptr[i + 1]; ++e) m.data[e] *= inverse[i] * inverse[m.indices[e]];
        out.sparse = std::move(m);
        out.is_sparse = true;
        return out;
    }
    // G^-1 M G^-1: solve the rows of M, then the rows of the (transposed) result.
    std::vector<double> rows = m.to_dense();
    solve_rows(factor, rows, n);
    rows = transposed(rows, n, n);
    solve_rows(factor, rows, n);
    out.dense = std::move(rows);
    return out;
}

PyObject* propagate(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"propagate", {"gram", "cross", "variance"}};
        Csr gram, cross;
        std::vector<double> variance;
        if (!a.read(args, nargs, kwnames) || !read_csr(a[0], "gram", gram) || !read_csr(a[1], "cross", cross) ||
            !read_vec(a[2], "variance", variance) || !check_length("variance", variance.size(), cross.ncols))
            return nullptr;
        auto result = [&] {
            ReleaseGil released;
            return propagated(gram, cross, variance);
        }();
        if (!result) return raise_error(result.error());
        Propagated& p = result.value();
        if (p.is_sparse) return csr_parts(std::move(p.sparse));
        return array2(std::move(p.dense), cross.nrows, cross.nrows);
    });
}

}  // namespace

PyMethodDef propagate_functions[] = {
    {"propagate", as_cfunction(propagate), METH_FASTCALL | METH_KEYWORDS, "propagate(gram, cross, variance)\n--\n\n"},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
