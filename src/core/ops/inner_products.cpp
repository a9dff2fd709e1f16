#include "core/ops/inner_products.hpp"

#include "core/ops/interval_assembly.hpp"
#include "core/ops/rows.hpp"

namespace spanlet {

namespace {

Result<Csr> pairwise_products(const std::vector<Element>& a, const Space& b, CosineWeight omega) {
    return sparse_rows(
        a.size(), b, [&](std::size_t i) { return support(a[i]); },
        [&](std::size_t i, std::uint64_t j, std::vector<double>& knots) {
            return inner(a[i], b.elements()[j], omega, knots);
        });
}

}  // namespace

Result<Csr> inner_products(const Space& a, const Space& b, CosineWeight omega) {
    // Rows of piecewise polynomials share their knot intervals: assembled interval by interval,
    // each element is evaluated there once rather than once per pair.
    if (interval_products_apply(a.elements(), b, omega)) return interval_products(a, b);
    return pairwise_products(a.elements(), b, omega);
}

Result<Csr> inner_products(const std::vector<Element>& a, const Space& b, CosineWeight omega) {
    if (&a == &b.elements()) return inner_products(b, b, omega);
    // Interval assembly finds the knots of a through a support index.
    if (interval_products_apply(a, b, omega)) return interval_products(Space::make(a), b);
    return pairwise_products(a, b, omega);
}

}  // namespace spanlet
