// Test entry points for quadrature rules, the worker pool, Csr, BandedCholesky and the dense band
// of the bounded projection.
//
// A sparse matrix is passed as its Python form (indptr, indices, data, (nrows, ncols)) and
// checked here, since the core trusts its producers. Factors (and, for timing, prebuilt
// matrices) travel as capsules.
#include <cmath>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "core/linalg/banded.hpp"
#include "core/base/pool.hpp"
#include "core/integration/quadrature.hpp"
#include "core/linalg/sparse.hpp"
#include "core/ops/projection.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/csr_parts.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/numpy_api.hpp"
#include "python/space_methods.hpp"
#include "testing/testing.hpp"

namespace spanlet::py {

namespace {

constexpr const char* CSR_CAPSULE = "spanlet.Csr";
constexpr const char* FACTOR_CAPSULE = "spanlet.BandedCholesky";

PyObject* rule_tuple(const Rule& rule) { return Py_BuildValue("(NN)", vector_array(rule.nodes), vector_array(rule.weights)); }

// gauss_legendre(n) -> (nodes, weights)
PyObject* t_gauss_legendre(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::uint64_t n;
        if (!to_u64(arg, "n", n)) return nullptr;
        if (n > 1000) {
            PyErr_SetString(PyExc_ValueError, "n too large");
            return nullptr;
        }
        return rule_tuple(gauss_legendre(n));
    });
}

// shared_rule(n) -> (nodes, weights) of gl4() or gl8()
PyObject* t_shared_rule(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        std::uint64_t n;
        if (!to_u64(arg, "n", n)) return nullptr;
        if (n != 4 && n != 8) {
            PyErr_SetString(PyExc_ValueError, "only the 4- and 8-point rules are shared");
            return nullptr;
        }
        return rule_tuple(n == 4 ? gl4() : gl8());
    });
}

// integrate_polynomial(coefficients, a, b): integrate() applied to sum c_k t^k (Horner).
PyObject* t_integrate_polynomial(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"integrate_polynomial", {"coefficients", "a", "b"}};
        std::vector<double> c;
        double lo, hi;
        if (!a.read(args, nargs, kw) || !read_vec(a[0], "coefficients", c) || !to_f64(a[1], "a", lo) ||
            !to_f64(a[2], "b", hi))
            return nullptr;
        const double value = integrate(
            [&](double t) {
                double p = 0.0;
                for (std::size_t k = c.size(); k-- > 0;) p = p * t + c[k];
                return p;
            },
            lo, hi);
        return PyFloat_FromDouble(value);
    });
}

// ---- Csr ------------------------------------------------------------------------------------

bool invalid_csr(const char* what) {
    PyErr_Format(PyExc_ValueError, "bad csr parts: %s", what);
    return false;
}

bool read_csr(PyObject* object, Csr& out) {
    std::vector<PyObject*> parts, shape;
    std::vector<std::int64_t> indptr, indices;
    std::uint64_t nrows, ncols;
    if (!tuple_items(object, "matrix", 4, parts) || !read_cast(parts[0], "indptr", indptr) ||
        !read_cast(parts[1], "indices", indices) ||
        !read_cast(parts[2], "data", out.data) || !tuple_items(parts[3], "shape", 2, shape) ||
        !to_u64(shape[0], "shape", nrows) || !to_u64(shape[1], "shape", ncols))
        return false;
    if (indptr.size() != nrows + 1 || indptr[0] != 0) return invalid_csr("indptr length or start");
    if (indices.size() != out.data.size() || static_cast<std::uint64_t>(indptr.back()) != indices.size())
        return invalid_csr("lengths");
    for (std::size_t i = 0; i < nrows; ++i) {
        if (indptr[i + 1] < indptr[i]) return invalid_csr("indptr decreases");
        for (std::int64_t e = indptr[i]; e < indptr[i + 1]; ++e) {
            if (indices[e] < 0 || static_cast<std::uint64_t>(indices[e]) >= ncols) return invalid_csr("column range");
            if (e > indptr[i] && indices[e] <= indices[e - 1]) return invalid_csr("row not ascending");
        }
    }
    out.indptr.assign(indptr.begin(), indptr.end());
    out.indices.assign(indices.begin(), indices.end());
    out.nrows = nrows;
    out.ncols = ncols;
    return true;
}

// A matrix from a capsule made by csr_handle, or from its parts; `storage` holds the latter.
const Csr* csr_argument(PyObject* object, Csr& storage) {
    if (PyCapsule_CheckExact(object)) return static_cast<const Csr*>(PyCapsule_GetPointer(object, CSR_CAPSULE));
    return read_csr(object, storage) ? &storage : nullptr;
}

template <class T>
PyObject* capsule(std::unique_ptr<T> value, const char* name) {
    PyObject* made = PyCapsule_New(value.get(), name, [](PyObject* self) {
        delete static_cast<T*>(PyCapsule_GetPointer(self, PyCapsule_GetName(self)));
    });
    if (made != nullptr) value.release();
    return made;
}

// csr_from_rows(rows, nrows, ncols): rows is a list of (indices list, values float64 array).
PyObject* t_csr_from_rows(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<3> a{"csr_from_rows", {"rows", "nrows", "ncols"}};
        std::vector<PyRef> items;
        std::uint64_t nrows, ncols;
        if (!a.read(args, nargs, kw) || !sequence_items(a[0], "rows", items) || !to_u64(a[1], "nrows", nrows) ||
            !to_u64(a[2], "ncols", ncols))
            return nullptr;
        std::vector<std::pair<std::vector<std::uint64_t>, std::vector<double>>> rows(items.size());
        for (std::size_t i = 0; i < items.size(); ++i) {
            std::vector<PyObject*> pair;
            if (!tuple_items(items[i].get(), "rows", 2, pair) || !to_list(pair[0], "rows", rows[i].first, to_u64) ||
                !read_vec(pair[1], "rows", rows[i].second))
                return nullptr;
        }
        return csr_parts(Csr::from_rows(std::move(rows), nrows, ncols));
    });
}

// csr_handle(parts) -> capsule holding the matrix, so timings leave out the conversion.
PyObject* t_csr_handle(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        auto matrix = std::make_unique<Csr>();
        if (!read_csr(arg, *matrix)) return nullptr;
        return capsule(std::move(matrix), CSR_CAPSULE);
    });
}

PyObject* t_csr_transpose(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Csr storage;
        const Csr* m = csr_argument(arg, storage);
        return m == nullptr ? nullptr : csr_parts(m->transpose());
    });
}

// dense_band_slots(matrix, b) -> (slots, kept): slots[p, t] = the dense band's slot t of row p,
// read as the sweeps read it, and the number of slots it stores.
PyObject* t_dense_band_slots(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"dense_band_slots", {"matrix", "b"}};
        Csr storage;
        std::uint64_t b;
        if (!a.read(args, nargs, kw) || !to_u64(a[1], "b", b)) return nullptr;
        const Csr* m = csr_argument(a[0], storage);
        if (m == nullptr) return nullptr;
        const DenseBand band = DenseBand::of(*m, b);
        const std::size_t n = m->nrows, width = 2 * b + 1, length = n + b;
        std::vector<double> slots(n * width);
        for (std::size_t p = 0; p < n; ++p)
            for (std::size_t t = 0; t < width; ++t) slots[p * width + t] = band.slots[band.slot_at[t] + p];
        PyRef values(array2(slots, n, width));
        if (!values) return nullptr;
        return Py_BuildValue("(OK)", values.get(), static_cast<unsigned long long>(length == 0 ? 0 : band.slots.size() / length));
    });
}

PyObject* t_csr_to_dense(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Csr storage;
        const Csr* m = csr_argument(arg, storage);
        return m == nullptr ? nullptr : array2(m->to_dense(), m->nrows, m->ncols);
    });
}

PyObject* t_csr_gram_columns(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Csr storage;
        const Csr* m = csr_argument(arg, storage);
        return m == nullptr ? nullptr : csr_parts(m->gram_columns());
    });
}

// csr_apply_last_axis(matrix, x): x is a (k, ncols) float64 array of any strides; aligned
// native arrays with contiguous rows are read in place, others are copied first.
PyObject* t_csr_apply_last_axis(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"csr_apply_last_axis", {"matrix", "x"}};
        Csr storage;
        const Csr* m = nullptr;
        if (!a.read(args, nargs, kw) || (m = csr_argument(a[0], storage)) == nullptr) return nullptr;
        PyObject* x = a[1];
        if (!PyArray_Check(x) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(x)) != NPY_DOUBLE ||
            PyArray_NDIM(reinterpret_cast<PyArrayObject*>(x)) != 2) {
            PyErr_SetString(PyExc_TypeError, "argument 'x': expected a 2-dimensional float64 array");
            return nullptr;
        }
        auto* array = reinterpret_cast<PyArrayObject*>(x);
        const std::size_t k = static_cast<std::size_t>(PyArray_DIM(array, 0));
        if (static_cast<std::uint64_t>(PyArray_DIM(array, 1)) != m->ncols) {
            PyErr_SetString(PyExc_ValueError, "x has the wrong number of columns");
            return nullptr;
        }
        const npy_intp rs = PyArray_STRIDE(array, 0), cs = PyArray_STRIDE(array, 1);
        const bool direct = PyArray_ISALIGNED(array) && PyArray_ISNOTSWAPPED(array) && rs >= 0 &&
                            rs % static_cast<npy_intp>(sizeof(double)) == 0 &&
                            cs == static_cast<npy_intp>(sizeof(double));
        std::vector<double> y;
        if (direct) {
            const auto* data = static_cast<const double*>(PyArray_DATA(array));
            ReleaseGil release;
            y = m->apply_last_axis(data, k, static_cast<std::size_t>(rs) / sizeof(double));
        } else {
            std::vector<std::vector<double>> rows;
            if (!read_rows(x, "x", rows)) return nullptr;
            std::vector<double> flat;
            flat.reserve(k * m->ncols);
            for (const auto& r : rows) flat.insert(flat.end(), r.begin(), r.end());
            ReleaseGil release;
            y = m->apply_last_axis(flat.data(), k, m->ncols);
        }
        return array2(y, k, m->nrows);
    });
}

// ---- BandedCholesky ---------------------------------------------------------------------------

// banded_factor(matrix) -> capsule; SingularError with the pivot message.
PyObject* t_banded_factor(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        Csr storage;
        const Csr* m = csr_argument(arg, storage);
        if (m == nullptr) return nullptr;
        std::unique_ptr<Result<BandedCholesky>> factor;
        {
            ReleaseGil release;
            factor = std::make_unique<Result<BandedCholesky>>(BandedCholesky::factor(*m));
        }
        if (!*factor) return raise_error(factor->error());
        return capsule(std::make_unique<BandedCholesky>(std::move(*factor).value()), FACTOR_CAPSULE);
    });
}

const BandedCholesky* factor_argument(PyObject* object) {
    return static_cast<const BandedCholesky*>(PyCapsule_GetPointer(object, FACTOR_CAPSULE));
}

// banded_solve(factor, rhs) -> solutions: every row of the (k, n) float64 array is one
// right-hand side, solved in place in a fresh copy, rows on the pool.
PyObject* t_banded_solve(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<2> a{"banded_solve", {"factor", "rhs"}};
        const BandedCholesky* f = nullptr;
        if (!a.read(args, nargs, kw) || (f = factor_argument(a[0])) == nullptr) return nullptr;
        if (!PyArray_Check(a[1]) || PyArray_TYPE(reinterpret_cast<PyArrayObject*>(a[1])) != NPY_DOUBLE ||
            PyArray_NDIM(reinterpret_cast<PyArrayObject*>(a[1])) != 2) {
            PyErr_SetString(PyExc_TypeError, "argument 'rhs': expected a 2-dimensional float64 array");
            return nullptr;
        }
        PyRef solution(PyArray_FROM_OTF(a[1], NPY_DOUBLE, NPY_ARRAY_CARRAY | NPY_ARRAY_ENSURECOPY));
        if (!solution) return nullptr;
        auto* array = reinterpret_cast<PyArrayObject*>(solution.get());
        const std::size_t n = f->n(), k = static_cast<std::size_t>(PyArray_DIM(array, 0));
        if (static_cast<std::size_t>(PyArray_DIM(array, 1)) != n) {
            PyErr_SetString(PyExc_ValueError, "rhs has the wrong number of columns");
            return nullptr;
        }
        double* values = static_cast<double*>(PyArray_DATA(array));
        {
            ReleaseGil release;
            parallel_for(k, [&](std::size_t r, Scratch&) { f->solve_in_place(values + r * n); });
        }
        return solution.release();
    });
}

// banded_shape(factor) -> (n, bandwidth)
PyObject* t_banded_shape(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const BandedCholesky* f = factor_argument(arg);
        if (f == nullptr) return nullptr;
        return Py_BuildValue("(KK)", static_cast<unsigned long long>(f->n()),
                             static_cast<unsigned long long>(f->bandwidth()));
    });
}

// banded_lower(factor) -> dense L
PyObject* t_banded_lower(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const BandedCholesky* f = factor_argument(arg);
        if (f == nullptr) return nullptr;
        const std::size_t n = f->n();
        std::vector<double> dense(n * n, 0.0);
        for (std::size_t i = 0; i < n; ++i)
            for (std::size_t j = f->first(i); j <= i; ++j) dense[i * n + j] = f->at(i, j);
        return array2(dense, n, n);
    });
}

// banded_envelope(factor) -> (first column of every row as a list, stored entries)
PyObject* t_banded_envelope(PyObject*, PyObject* arg) {
    return guarded([&]() -> PyObject* {
        const BandedCholesky* f = factor_argument(arg);
        if (f == nullptr) return nullptr;
        PyRef first(PyList_New(static_cast<Py_ssize_t>(f->n())));
        if (!first) return nullptr;
        for (std::size_t i = 0; i < f->n(); ++i) {
            PyObject* item = PyLong_FromSize_t(f->first(i));
            if (item == nullptr) return nullptr;
            PyList_SET_ITEM(first.get(), static_cast<Py_ssize_t>(i), item);
        }
        return Py_BuildValue("(OK)", first.get(), static_cast<unsigned long long>(f->stored()));
    });
}

// ---- pool ---------------------------------------------------------------------------------------

PyObject* t_worker_count(PyObject*, PyObject*) {
    return guarded([&]() -> PyObject* { return PyLong_FromSize_t(worker_count()); });
}

// A deterministic item whose cost grows with `work`: sum of sin over a scratch buffer.
double item_value(std::size_t i, std::size_t work, Scratch& scratch) {
    scratch.buffer.resize(work + 1);
    for (std::size_t j = 0; j <= work; ++j) scratch.buffer[j] = std::sin(static_cast<double>(i * (j + 1)));
    double sum = static_cast<double>(i) * static_cast<double>(i);
    for (std::size_t j = 0; j <= work; ++j) sum += scratch.buffer[j] * 1e-3;
    return sum;
}

// parallel_map(count, work, nested=0, fail_at=None, oom_at=None) -> values by index. With
// nested > 0 every item adds a nested parallel_for over `nested` items; fail_at makes every
// item >= it throw ("item <i>"), oom_at makes that item throw bad_alloc.
PyObject* t_parallel_map(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kw) {
    return guarded([&]() -> PyObject* {
        Arguments<5> a{"parallel_map", {"count", "work", "nested", "fail_at", "oom_at"}};
        a.required = 2;
        std::uint64_t count, work, nested = 0, fail_at = static_cast<std::uint64_t>(-1);
        std::uint64_t oom_at = static_cast<std::uint64_t>(-1);
        if (!a.read(args, nargs, kw) || !to_u64(a[0], "count", count) || !to_u64(a[1], "work", work) ||
            (a[2] != nullptr && !to_u64(a[2], "nested", nested)) ||
            (a[3] != nullptr && a[3] != Py_None && !to_u64(a[3], "fail_at", fail_at)) ||
            (a[4] != nullptr && a[4] != Py_None && !to_u64(a[4], "oom_at", oom_at)))
            return nullptr;
        std::vector<double> values(count);
        {
            ReleaseGil release;
            parallel_for(count, [&](std::size_t i, Scratch& scratch) {
                if (i >= fail_at) throw std::runtime_error("item " + std::to_string(i));
                if (i == oom_at) throw std::bad_alloc();
                double v = item_value(i, work, scratch);
                if (nested > 0) {
                    std::vector<double> inner(nested);
                    parallel_for(nested, [&](std::size_t j, Scratch& s) { inner[j] = item_value(j, work, s); });
                    for (const double x : inner) v += x;
                }
                values[i] = v;
            });
        }
        return vector_array(values);
    });
}

constexpr int FAST = METH_FASTCALL | METH_KEYWORDS;

}  // namespace

PyMethodDef numeric_test_methods[] = {
    {"gauss_legendre", t_gauss_legendre, METH_O, nullptr},
    {"shared_rule", t_shared_rule, METH_O, nullptr},
    {"integrate_polynomial", as_cfunction(t_integrate_polynomial), FAST, nullptr},
    {"csr_from_rows", as_cfunction(t_csr_from_rows), FAST, nullptr},
    {"csr_handle", t_csr_handle, METH_O, nullptr},
    {"csr_transpose", t_csr_transpose, METH_O, nullptr},
    {"csr_to_dense", t_csr_to_dense, METH_O, nullptr},
    {"dense_band_slots", as_cfunction(t_dense_band_slots), FAST, nullptr},
    {"csr_gram_columns", t_csr_gram_columns, METH_O, nullptr},
    {"csr_apply_last_axis", as_cfunction(t_csr_apply_last_axis), FAST, nullptr},
    {"banded_factor", t_banded_factor, METH_O, nullptr},
    {"banded_solve", as_cfunction(t_banded_solve), FAST, nullptr},
    {"banded_shape", t_banded_shape, METH_O, nullptr},
    {"banded_lower", t_banded_lower, METH_O, nullptr},
    {"banded_envelope", t_banded_envelope, METH_O, nullptr},
    {"worker_count", t_worker_count, METH_NOARGS, nullptr},
    {"parallel_map", as_cfunction(t_parallel_map), FAST, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
