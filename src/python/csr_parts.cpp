#include "python/csr_parts.hpp"

#include <cstdint>
#include <vector>

#include "python/arrays.hpp"

namespace spanlet::py {

namespace {

PyObject* signed_indices(const std::vector<std::uint64_t>& values) {
    const std::vector<std::int64_t> converted(values.begin(), values.end());
    return index_array(converted);
}

}  // namespace

PyObject* csr_parts(const Csr& matrix) {
    PyRef indptr(signed_indices(matrix.indptr));
    if (!indptr) return nullptr;
    PyRef indices(signed_indices(matrix.indices));
    if (!indices) return nullptr;
    PyRef data(vector_array(matrix.data));
    if (!data) return nullptr;
    return Py_BuildValue("(OOO(KK))", indptr.get(), indices.get(), data.get(),
                         static_cast<unsigned long long>(matrix.nrows), static_cast<unsigned long long>(matrix.ncols));
}

}  // namespace spanlet::py
