#define SPANLET_OWNS_NUMPY_API
#include "python/arrays.hpp"

#include <cstring>

#include "core/base/pool.hpp"

#include "python/errors.hpp"
#include "python/numpy_api.hpp"

namespace spanlet::py {

namespace {

template <class T>
bool read_numbers(PyObject* object, int type, const char* argument, std::vector<T>& out) {
    PyRef array(PyArray_FROMANY(object, type, 1, 1, NPY_ARRAY_CARRAY_RO | NPY_ARRAY_FORCECAST));
    if (!array) {
        name_pending_error(argument);
        return false;
    }
    auto* a = reinterpret_cast<PyArrayObject*>(array.get());
    out.resize(static_cast<std::size_t>(PyArray_DIM(a, 0)));
    if (!out.empty()) std::memcpy(out.data(), PyArray_DATA(a), out.size() * sizeof(T));
    return true;
}

}  // namespace

bool read_cast(PyObject* object, const char* argument, std::vector<std::int64_t>& out) {
    return read_numbers(object, NPY_INT64, argument, out);
}

bool read_cast(PyObject* object, const char* argument, std::vector<double>& out) {
    return read_numbers(object, NPY_DOUBLE, argument, out);
}

bool ensure_numpy() {
    static bool imported = false;
    if (imported) return true;
    if (_import_array() < 0) return false;
    imported = true;
    return true;
}

namespace {

// The float64 array behind `object` with `ndim` dimensions, or nullptr with a TypeError.
PyArrayObject* float_array(PyObject* object, int ndim, const char* argument) {
    if (!ensure_numpy()) return nullptr;
    if (!PyArray_Check(object)) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a %d-dimensional float64 numpy array, got %s",
                     argument, ndim, Py_TYPE(object)->tp_name);
        return nullptr;
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    PyArray_Descr* descr = PyArray_DESCR(array);
    if (descr->type_num != NPY_DOUBLE) {
        PyRef dtype(PyObject_Str(reinterpret_cast<PyObject*>(descr)));
        PyErr_Format(PyExc_TypeError, "argument '%s': expected dtype float64, got %S", argument,
                     dtype ? dtype.get() : Py_None);
        return nullptr;
    }
    if (PyArray_NDIM(array) != ndim) {
        PyErr_Format(PyExc_TypeError, "argument '%s': expected a %d-dimensional array, got %d dimensions",
                     argument, ndim, PyArray_NDIM(array));
        return nullptr;
    }
    return array;
}

// Copies `count` doubles starting at `data` with byte stride `stride`; memcpy reads unaligned
// items safely, and a non-native byte order is swapped back.
void copy_strided(const char* data, npy_intp stride, npy_intp count, bool swap, double* out) {
    if (stride == sizeof(double) && !swap) {
        if (count > 0) std::memcpy(out, data, static_cast<std::size_t>(count) * sizeof(double));
        return;
    }
    for (npy_intp i = 0; i < count; ++i) {
        unsigned char bytes[sizeof(double)];
        std::memcpy(bytes, data + i * stride, sizeof bytes);
        if (swap)
            for (std::size_t k = 0; k < sizeof bytes / 2; ++k) std::swap(bytes[k], bytes[sizeof bytes - 1 - k]);
        std::memcpy(out + i, bytes, sizeof bytes);
    }
}

bool needs_swap(PyArrayObject* array) { return !PyArray_ISNOTSWAPPED(array); }

}  // namespace

bool read_vec(PyObject* object, const char* argument, std::vector<double>& out) {
    PyArrayObject* array = float_array(object, 1, argument);
    if (array == nullptr) return false;
    const npy_intp n = PyArray_DIM(array, 0);
    out.resize(static_cast<std::size_t>(n));
    copy_strided(static_cast<const char*>(PyArray_DATA(array)), PyArray_STRIDE(array, 0), n, needs_swap(array),
                 out.data());
    return true;
}

bool read_rows(PyObject* object, const char* argument, std::vector<std::vector<double>>& out) {
    PyArrayObject* array = float_array(object, 2, argument);
    if (array == nullptr) return false;
    const npy_intp rows = PyArray_DIM(array, 0), cols = PyArray_DIM(array, 1);
    const auto* data = static_cast<const char*>(PyArray_DATA(array));
    const bool swap = needs_swap(array);
    out.assign(static_cast<std::size_t>(rows), std::vector<double>(static_cast<std::size_t>(cols)));
    for (npy_intp r = 0; r < rows; ++r)
        copy_strided(data + r * PyArray_STRIDE(array, 0), PyArray_STRIDE(array, 1), cols, swap,
                     out[static_cast<std::size_t>(r)].data());
    return true;
}

namespace {

// Copies the rows of a two-dimensional array into `out` (row-major); large arrays row by row on
// the pool, with the interpreter lock held by the caller throughout.
void copy_rows(PyArrayObject* array, double* out) {
    constexpr std::size_t PARALLEL_BYTES = std::size_t{1} << 22;
    const npy_intp rows = PyArray_DIM(array, 0), cols = PyArray_DIM(array, 1);
    const auto* data = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp row_stride = PyArray_STRIDE(array, 0), column_stride = PyArray_STRIDE(array, 1);
    const bool swap = needs_swap(array);
    const auto row = [&](std::size_t r, Scratch&) {
        copy_strided(data + static_cast<npy_intp>(r) * row_stride, column_stride, cols, swap,
                     out + r * static_cast<std::size_t>(cols));
    };
    const auto count = static_cast<std::size_t>(rows);
    if (count * static_cast<std::size_t>(cols) * sizeof(double) >= PARALLEL_BYTES) {
        parallel_for(count, row);
    } else {
        Scratch unused;
        for (std::size_t r = 0; r < count; ++r) row(r, unused);
    }
}

// The buffer a thread keeps for its matrix copies.
struct KeptBuffer {
    std::unique_ptr<double[]> data;
    std::size_t capacity = 0;
    bool in_use = false;
};

thread_local KeptBuffer kept_buffer;

}  // namespace

bool MatrixCopy::read(PyObject* object, const char* argument) {
    PyArrayObject* array = float_array(object, 2, argument);
    if (array == nullptr) return false;
    rows = static_cast<std::size_t>(PyArray_DIM(array, 0));
    cols = static_cast<std::size_t>(PyArray_DIM(array, 1));
    const std::size_t count = rows * cols;
    // Left uninitialised: every value is copied in.
    if (!kept_buffer.in_use) {
        if (kept_buffer.capacity < count) {
            kept_buffer.data.reset();
            kept_buffer.capacity = 0;
            kept_buffer.data.reset(new double[count]);
            kept_buffer.capacity = count;
        }
        kept_buffer.in_use = kept_ = true;
        data_ = kept_buffer.data.get();
    } else {
        own_.reset(new double[count]);
        data_ = own_.get();
    }
    copy_rows(array, data_);
    return true;
}

MatrixCopy::~MatrixCopy() {
    if (kept_) kept_buffer.in_use = false;
}

namespace {

PyObject* new_array(int ndim, npy_intp* dims, int type, const void* source, std::size_t bytes) {
    if (!ensure_numpy()) return nullptr;
    PyObject* array = PyArray_SimpleNew(ndim, dims, type);
    if (array != nullptr && bytes != 0)
        std::memcpy(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)), source, bytes);
    return array;
}

}  // namespace

PyObject* vector_array(const std::vector<double>& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    return new_array(1, dims, NPY_DOUBLE, values.data(), values.size() * sizeof(double));
}

PyObject* array2(const std::vector<double>& row_major, std::size_t rows, std::size_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return new_array(2, dims, NPY_DOUBLE, row_major.data(), rows * cols * sizeof(double));
}

namespace {

// The array views the vector's buffer and holds the vector, moved to the heap, through a
// capsule as its base; the vector goes when the array does.
template <class T>
PyObject* adopted(std::vector<T>&& values, int ndim, npy_intp* dims, int type) {
    if (!ensure_numpy()) return nullptr;
    if (values.empty()) return PyArray_SimpleNew(ndim, dims, type);
    auto* owned = new std::vector<T>(std::move(values));
    PyRef base(PyCapsule_New(owned, nullptr, [](PyObject* capsule) {
        delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, nullptr));
    }));
    if (!base) {
        delete owned;
        return nullptr;
    }
    PyRef array(PyArray_SimpleNewFromData(ndim, dims, type, owned->data()));
    if (!array || PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), base.release()) < 0)
        return nullptr;
    return array.release();
}

}  // namespace

PyObject* vector_array(std::vector<double>&& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    return adopted(std::move(values), 1, dims, NPY_DOUBLE);
}

PyObject* index_array(std::vector<std::uint64_t>&& values) {
    npy_intp dims[1] = {static_cast<npy_intp>(values.size())};
    return adopted(std::move(values), 1, dims, NPY_INT64);
}

PyObject* array2(std::vector<double>&& row_major, std::size_t rows, std::size_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return adopted(std::move(row_major), 2, dims, NPY_DOUBLE);
}

namespace {

PyObject* uninitialised(int ndim, npy_intp* dims) {
    if (!ensure_numpy()) return nullptr;
    return PyArray_SimpleNew(ndim, dims, NPY_DOUBLE);
}

}  // namespace

PyObject* result_array(std::size_t n) {
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return uninitialised(1, dims);
}

PyObject* result_array(std::size_t rows, std::size_t cols) {
    npy_intp dims[2] = {static_cast<npy_intp>(rows), static_cast<npy_intp>(cols)};
    return uninitialised(2, dims);
}

double* array_data(PyObject* array) {
    return static_cast<double*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

PyObject* index_result_array(std::size_t n) {
    if (!ensure_numpy()) return nullptr;
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    return PyArray_SimpleNew(1, dims, NPY_INT64);
}

std::uint64_t* index_data(PyObject* array) {
    return static_cast<std::uint64_t*>(PyArray_DATA(reinterpret_cast<PyArrayObject*>(array)));
}

bool truncate_array(PyObject* array, std::size_t n) {
    auto* a = reinterpret_cast<PyArrayObject*>(array);
    if (static_cast<std::size_t>(PyArray_DIM(a, 0)) == n) return true;
    npy_intp dims[1] = {static_cast<npy_intp>(n)};
    PyArray_Dims shape{dims, 1};
    // No other reference to a fresh result exists, so the buffer may move.
    PyRef done(PyArray_Resize(a, &shape, 0, NPY_CORDER));
    return static_cast<bool>(done);
}

}  // namespace spanlet::py
