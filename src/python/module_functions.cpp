#include "python/module_functions.hpp"

#include "python/space_methods.hpp"

namespace spanlet::py {

namespace {
constexpr int FUNCTION = METH_FASTCALL | METH_KEYWORDS;
}

PyMethodDef module_functions[] = {
    {"inner_products", as_cfunction(inner_products_function), FUNCTION, "inner_products(a, b, weight=None)\n--\n\n"},
    {"measure", as_cfunction(measure_function), FUNCTION,
     "measure(kernels, basis, normalization, weight=None)\n--\n\n"},
    {"measure_derivative", as_cfunction(measure_derivative_function), FUNCTION,
     "measure_derivative(kernels, basis, normalization, parameter, weight=None)\n--\n\n"
     "(W, \u2202W/\u2202p) for the kernels' parameter p; see `spanlet.measure_derivative`."},
    {"evaluate", as_cfunction(evaluate_function), FUNCTION, "evaluate(basis, x)\n--\n\n"},
    {"faddeeva_re", as_cfunction(faddeeva_re_function), FUNCTION,
     "faddeeva_re(x, y)\n--\n\nRe w(x + iy) for y >= 0, w the Faddeeva function."},
    {"covariance_matrix", as_cfunction(covariance_matrix_function), FUNCTION,
     "covariance_matrix(variance, dims, a, wa, b, wb, symmetric=False)\n--\n\n"
     "The covariance matrix between product atoms a (rows) and b (columns); see\n`spanlet.covariance`."},
    {"covariance_diagonal", as_cfunction(covariance_diagonal_function), FUNCTION,
     "covariance_diagonal(variance, dims, a, wa)\n--\n\nThe variances of product atoms a."},
    {"covariance_length_derivatives", as_cfunction(covariance_length_derivatives_function), FUNCTION,
     "covariance_length_derivatives(variance, dims, a, wa)\n--\n\n"
     "The symmetric covariance K of atoms a and \u2113_d \u2202K/\u2202\u2113_d for each dimension d."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
