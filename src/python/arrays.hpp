// NumPy arrays in and out: owned copies of float64 inputs, fresh float64/int64 results.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "python/pyref.hpp"

namespace spanlet::py {

// Imports NumPy's C API once; false with a pending exception if NumPy is unavailable.
bool ensure_numpy();

// Copies a one-dimensional float64 array in index order, whatever its strides, byte order or
// alignment. TypeError naming the argument for anything else.
bool read_vec(PyObject* object, const char* argument, std::vector<double>& out);

// A one-dimensional int64 or float64 array copied from any array-like, cast as NumPy casts (for
// the helper modules, which take sparse matrices in their Python form). Errors name the argument.
bool read_cast(PyObject* object, const char* argument, std::vector<std::int64_t>& out);
bool read_cast(PyObject* object, const char* argument, std::vector<double>& out);

// Copies a two-dimensional float64 array row by row.
bool read_rows(PyObject* object, const char* argument, std::vector<std::vector<double>>& out);

// A two-dimensional float64 array copied into one row-major buffer that the calling thread keeps
// for its next call, so that a warm call neither allocates nor faults pages in. Large copies are
// split over the pool while the caller still holds the interpreter lock, so the array cannot
// change meanwhile. A call nested on the same thread (from a signal handler) gets a buffer of its
// own. TypeError naming the argument for anything but a two-dimensional float64 array.
class MatrixCopy {
public:
    MatrixCopy() = default;
    ~MatrixCopy();
    MatrixCopy(const MatrixCopy&) = delete;
    MatrixCopy& operator=(const MatrixCopy&) = delete;

    bool read(PyObject* object, const char* argument);
    const double* data() const { return data_; }
    std::size_t rows = 0, cols = 0;

private:
    double* data_ = nullptr;
    bool kept_ = false;                 // the thread's kept buffer, handed back at the end
    std::unique_ptr<double[]> own_;     // otherwise
};

// New arrays owning copies of the given values.
PyObject* vector_array(const std::vector<double>& values);
PyObject* array2(const std::vector<double>& row_major, std::size_t rows, std::size_t cols);

// New arrays that take over the buffer of a vector instead of copying it. Indices are
// non-negative, so an unsigned 64-bit buffer reads as int64 unchanged.
PyObject* vector_array(std::vector<double>&& values);
PyObject* index_array(std::vector<std::uint64_t>&& values);
PyObject* array2(std::vector<double>&& row_major, std::size_t rows, std::size_t cols);

// A new float64 array of shape (n,) or (rows, cols) for results written in place through
// `array_data` (contiguous, row-major). Its values are not initialised: the caller writes every one.
PyObject* result_array(std::size_t n);
PyObject* result_array(std::size_t rows, std::size_t cols);
double* array_data(PyObject* array);
// The same for int64 indices, written as unsigned 64-bit values (all non-negative).
PyObject* index_result_array(std::size_t n);
std::uint64_t* index_data(PyObject* array);
// Cuts a one-dimensional result array down to its first n values, in place; false with an
// exception set if that fails.
bool truncate_array(PyObject* array, std::size_t n);

}  // namespace spanlet::py
