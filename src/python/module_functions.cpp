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
    {"evaluate", as_cfunction(evaluate_function), FUNCTION, "evaluate(basis, x)\n--\n\n"},
    {"faddeeva_re", as_cfunction(faddeeva_re_function), FUNCTION,
     "faddeeva_re(x, y)\n--\n\nRe w(x + iy) for y >= 0, w the Faddeeva function."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace spanlet::py
