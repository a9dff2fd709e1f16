#include "python/csr_parts.hpp"

#include <cstdint>
#include <vector>

#include "python/arrays.hpp"
#include "python/gil.hpp"

namespace spanlet::py {

namespace {

PyObject* signed_indices(const std::vector<std::uint64_t>& values) {
    return index_array(std::vector<std::uint64_t>(values));
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

PyObject* csr_parts(Csr&& matrix) {
    PyRef indptr(index_array(std::move(matrix.indptr)));
    if (!indptr) return nullptr;
    PyRef indices(index_array(std::move(matrix.indices)));
    if (!indices) return nullptr;
    PyRef data(vector_array(std::move(matrix.data)));
    if (!data) return nullptr;
    return Py_BuildValue("(OOO(KK))", indptr.get(), indices.get(), data.get(),
                         static_cast<unsigned long long>(matrix.nrows), static_cast<unsigned long long>(matrix.ncols));
}

PyObject* csr_parts(RowBlocks&& rows) {
    const std::uint64_t stored = rows.stored();
    PyRef indptr(index_result_array(rows.nrows + 1));
    if (!indptr) return nullptr;
    PyRef indices(index_result_array(stored));
    if (!indices) return nullptr;
    PyRef data(result_array(stored));
    if (!data) return nullptr;
    {
        ReleaseGil released;
        rows.write({index_data(indptr.get()), index_data(indices.get()), array_data(data.get())});
    }
    return Py_BuildValue("(OOO(KK))", indptr.get(), indices.get(), data.get(),
                         static_cast<unsigned long long>(rows.nrows), static_cast<unsigned long long>(rows.ncols));
}

}  // namespace spanlet::py
