#include "python/csr_parts.hpp"

#include <cstdint>
#include <optional>
#include <vector>

#include "core/ops/interval_assembly.hpp"
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

bool interval_csr_parts(const Space& a, const Space& b, PyObject*& parts) {
    parts = nullptr;
    PyRef indptr(index_result_array(a.size() + 1));
    if (!indptr) return true;
    std::uint64_t* ends = index_data(indptr.get());
    std::uint64_t planned = 0;
    {
        ReleaseGil released;
        planned = interval_plan(a, b, ends);
    }
    PyRef indices(index_result_array(planned));
    if (!indices) return true;
    PyRef data(result_array(planned));
    if (!data) return true;
    std::optional<std::uint64_t> stored;
    {
        ReleaseGil released;
        stored = interval_products_into(a, b, {ends, index_data(indices.get()), array_data(data.get())});
    }
    if (!stored) return false;
    if (!truncate_array(indices.get(), *stored) || !truncate_array(data.get(), *stored)) return true;
    parts = Py_BuildValue("(OOO(KK))", indptr.get(), indices.get(), data.get(), static_cast<unsigned long long>(a.size()),
                          static_cast<unsigned long long>(b.size()));
    return true;
}

}  // namespace spanlet::py
