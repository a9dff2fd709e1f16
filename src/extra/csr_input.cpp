// Sparse matrices and lengths read at the boundary of _extra.
#include <string>
#include <vector>

#include "extra/extra.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/numpy_api.hpp"

namespace spanlet::py {

namespace {

bool invalid(const char* argument, const char* what) {
    PyErr_Format(PyExc_ValueError, "argument '%s': bad sparse matrix (%s)", argument, what);
    return false;
}

}  // namespace

bool read_csr(PyObject* object, const char* argument, Csr& out) {
    std::vector<PyObject*> parts, shape;
    std::vector<std::int64_t> indptr, indices;
    std::uint64_t nrows, ncols;
    if (!tuple_items(object, argument, 4, parts) || !read_cast(parts[0], argument, indptr) ||
        !read_cast(parts[1], argument, indices) ||
        !read_cast(parts[2], argument, out.data) || !tuple_items(parts[3], argument, 2, shape) ||
        !to_u64(shape[0], argument, nrows) || !to_u64(shape[1], argument, ncols))
        return false;
    if (indptr.size() != nrows + 1 || indptr[0] != 0) return invalid(argument, "indptr length or start");
    if (indices.size() != out.data.size() || static_cast<std::uint64_t>(indptr.back()) != indices.size())
        return invalid(argument, "lengths");
    for (std::size_t i = 0; i < nrows; ++i) {
        if (indptr[i + 1] < indptr[i]) return invalid(argument, "indptr decreases");
        for (std::int64_t e = indptr[i]; e < indptr[i + 1]; ++e) {
            if (indices[e] < 0 || static_cast<std::uint64_t>(indices[e]) >= ncols)
                return invalid(argument, "column out of range");
            if (e > indptr[i] && indices[e] <= indices[e - 1]) return invalid(argument, "columns not ascending");
        }
    }
    out.indptr.assign(indptr.begin(), indptr.end());
    out.indices.assign(indices.begin(), indices.end());
    out.nrows = nrows;
    out.ncols = ncols;
    return true;
}

bool check_length(const char* argument, std::size_t cols, std::size_t expected) {
    if (cols == expected) return true;
    PyErr_Format(PyExc_ValueError, "%s has %zu values along the transformed axis, expected %zu", argument, cols,
                 expected);
    return false;
}

}  // namespace spanlet::py
