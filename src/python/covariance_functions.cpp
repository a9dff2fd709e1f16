// Module functions covariance_matrix, covariance_diagonal and covariance_length_derivatives: the
// covariance of product atoms under a product of one-dimensional kernels.
#include <optional>
#include <string>
#include <vector>

#include "core/covariance/product.hpp"
#include "python/args.hpp"
#include "python/arrays.hpp"
#include "python/errors.hpp"
#include "python/gil.hpp"
#include "python/module_functions.hpp"
#include "python/space_object.hpp"
#include "python/weight.hpp"

namespace spanlet::py {

namespace {

using covariance::Atoms;
using covariance::Covariance1d;
using covariance::Norms;
using covariance::ProductCovariance;

// One item of `dims` as converted: (name, length, period, factor).
struct Dimension {
    std::string name;
    double length = 0.0;
    std::optional<double> period;
    std::shared_ptr<const Space> factor_space;
    std::vector<double> coefficients;
};

bool to_dimension(PyObject* object, const char* argument, Dimension& out) {
    std::vector<PyObject*> items;
    bool has_period = false;
    double period = 0.0;
    if (!tuple_items(object, argument, 4, items) || !to_string(items[0], argument, out.name) ||
        !to_f64(items[1], argument, out.length) || !to_optional_f64(items[2], argument, has_period, period))
        return false;
    if (has_period) out.period = period;
    if (items[3] == Py_None) return true;
    std::vector<PyObject*> factor;
    return tuple_items(items[3], argument, 2, factor) && to_space(factor[0], argument, out.factor_space) &&
           to_list<double>(factor[1], argument, out.coefficients, to_f64);
}

struct RawWeight {
    bool present = false;
    double omega = 0.0;
};

bool to_raw_weight(PyObject* object, const char* argument, RawWeight& out) {
    return to_optional_f64(object, argument, out.present, out.omega);
}

bool to_space_item(PyObject* object, const char* argument, std::shared_ptr<const Space>& out) {
    return to_space(object, argument, out);
}

// The atoms of one side as converted from Python; `view` borrows from it.
struct Side {
    std::vector<std::shared_ptr<const Space>> owned;
    std::vector<const Space*> spaces;
    std::vector<RawWeight> raw;
    std::vector<CosineWeight> weights;

    bool read(PyObject* spaces_object, const char* spaces_name, PyObject* weights_object, const char* weights_name) {
        if (!to_list<std::shared_ptr<const Space>>(spaces_object, spaces_name, owned, to_space_item) ||
            !to_list<RawWeight>(weights_object, weights_name, raw, to_raw_weight))
            return false;
        for (const auto& space : owned) spaces.push_back(space.get());
        return true;
    }
    bool check_weights() {
        weights.resize(raw.size());
        for (std::size_t d = 0; d < raw.size(); ++d)
            if (!check_weight(raw[d].present, raw[d].omega, weights[d])) return false;
        return true;
    }
    Atoms view() const { return {spaces, weights}; }
};

Result<ProductCovariance> product_covariance(double variance, const std::vector<Dimension>& dims) {
    SPANLET_TRY_STATUS(check_positive("variance", variance));
    ProductCovariance product{{}, variance};
    product.dims.reserve(dims.size());
    for (const Dimension& d : dims) {
        std::optional<covariance::FactorInput> factor;
        if (d.factor_space) factor = covariance::FactorInput{d.factor_space->elements(), d.coefficients};
        SPANLET_TRY(c, Covariance1d::make(d.name, d.length, d.period, factor));
        product.dims.push_back(std::move(c));
    }
    return product;
}

// The leading arguments of every entry point, (variance, dims, a, wa), converted in that order.
struct Request {
    double variance = 0.0;
    std::vector<Dimension> dims;
    Side a;
    ProductCovariance product;

    bool read(PyObject* const* slots) {
        return to_f64(slots[0], "variance", variance) && to_list<Dimension>(slots[1], "dims", dims, to_dimension) &&
               a.read(slots[2], "a", slots[3], "wa");
    }
    // Builds the product covariance; the weights are checked by the caller after it.
    bool build() {
        auto built = product_covariance(variance, dims);
        if (!built) {
            raise_error(built.error());
            return false;
        }
        product = std::move(built).value();
        return true;
    }
};

// Atom counts and norms of a single side, computed without the interpreter lock.
struct Prepared {
    std::size_t n = 0;
    Norms norms;
};

// Runs `work` without the interpreter lock and raises its error, if any, once the lock is back.
template <class F>
bool released(F&& work) {
    Status status = [&] {
        ReleaseGil unlocked;
        return work();
    }();
    if (status) return true;
    raise_error(status.error());
    return false;
}

}  // namespace

PyObject* covariance_matrix_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<7> arguments{"covariance_matrix", {"variance", "dims", "a", "wa", "b", "wb", "symmetric"}, 6};
        Request request;
        Side b;
        bool symmetric = false;
        // Every argument is converted before any value is checked.
        if (!arguments.read(args, nargs, kwnames) || !request.read(arguments.slots) ||
            !b.read(arguments[4], "b", arguments[5], "wb") ||
            (arguments[6] != nullptr && !to_bool(arguments[6], "symmetric", symmetric)) || !request.build() ||
            !request.a.check_weights() || !b.check_weights())
            return nullptr;
        const ProductCovariance& product = request.product;
        const Atoms a = request.a.view(), bv = b.view();
        Prepared pa, pb;
        if (!released([&]() -> Status {
                SPANLET_TRY(na, covariance::len(a, product.dims.size()));
                SPANLET_TRY(nb, covariance::len(bv, product.dims.size()));
                if (symmetric && na != nb)
                    return Error::invalid("a symmetric covariance needs the same atoms on both sides");
                SPANLET_TRY(norms_a, covariance::norms(a));
                SPANLET_TRY(norms_b, covariance::norms(bv));
                pa = {na, std::move(norms_a)};
                pb = {nb, std::move(norms_b)};
                return success();
            }))
            return nullptr;
        PyRef result(result_array(pa.n, pb.n));
        if (!result) return nullptr;
        double* out = array_data(result.get());
        if (!released([&] { return covariance::matrix(product, a, pa.norms, bv, pb.norms, symmetric, out); }))
            return nullptr;
        return result.release();
    });
}

namespace {

// The common start of the single-sided entry points: conversion, checks, then the atom count and
// norms without the interpreter lock.
template <std::size_t N>
bool read_single_side(Arguments<N>& arguments, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
                      Request& request, Prepared& prepared) {
    if (!arguments.read(args, nargs, kwnames) || !request.read(arguments.slots) || !request.build() ||
        !request.a.check_weights())
        return false;
    return released([&]() -> Status {
        SPANLET_TRY(n, covariance::len(request.a.view(), request.product.dims.size()));
        SPANLET_TRY(norms, covariance::norms(request.a.view()));
        prepared = {n, std::move(norms)};
        return success();
    });
}

}  // namespace

PyObject* covariance_diagonal_function(PyObject*, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<4> arguments{"covariance_diagonal", {"variance", "dims", "a", "wa"}, 4};
        Request request;
        Prepared prepared;
        if (!read_single_side(arguments, args, nargs, kwnames, request, prepared)) return nullptr;
        PyRef result(result_array(prepared.n));
        if (!result) return nullptr;
        double* out = array_data(result.get());
        if (!released([&] { return covariance::diagonal(request.product, request.a.view(), prepared.norms, out); }))
            return nullptr;
        return result.release();
    });
}

PyObject* covariance_length_derivatives_function(PyObject*, PyObject* const* args, Py_ssize_t nargs,
                                                 PyObject* kwnames) {
    return guarded([&]() -> PyObject* {
        Arguments<4> arguments{"covariance_length_derivatives", {"variance", "dims", "a", "wa"}, 4};
        Request request;
        Prepared prepared;
        if (!read_single_side(arguments, args, nargs, kwnames, request, prepared)) return nullptr;
        const std::size_t n = prepared.n;
        // K; one array per dimension; per dimension, one array per coefficient of its factor.
        PyRef k(result_array(n, n)), lengths(PyList_New(0)), coefficients(PyList_New(0));
        if (!k || !lengths || !coefficients) return nullptr;
        covariance::DerivativeOutputs out{array_data(k.get()), {}, {}};
        for (const Covariance1d& c : request.product.dims) {
            PyRef length(result_array(n, n)), per_coefficient(PyList_New(0));
            if (!length || !per_coefficient || PyList_Append(lengths.get(), length.get()) != 0) return nullptr;
            out.lengths.push_back(array_data(length.get()));
            out.coefficients.emplace_back();
            const std::size_t m = c.variance_profile ? c.variance_profile->coefficients.size() : 0;
            for (std::size_t i = 0; i < m; ++i) {
                PyRef array(result_array(n, n));
                if (!array || PyList_Append(per_coefficient.get(), array.get()) != 0) return nullptr;
                out.coefficients.back().push_back(array_data(array.get()));
            }
            if (PyList_Append(coefficients.get(), per_coefficient.get()) != 0) return nullptr;
        }
        if (!released([&] {
                return covariance::matrix_with_derivatives(request.product, request.a.view(), prepared.norms, out);
            }))
            return nullptr;
        return PyTuple_Pack(3, k.get(), lengths.get(), coefficients.get());
    });
}

}  // namespace spanlet::py
