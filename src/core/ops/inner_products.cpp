#include "core/ops/inner_products.hpp"

#include "core/ops/rows.hpp"

namespace spanlet {

Result<Csr> inner_products(const std::vector<Element>& a, const Space& b, CosineWeight omega) {
    return sparse_rows(
        a.size(), b, [&](std::size_t i) { return support(a[i]); },
        [&](std::size_t i, std::uint64_t j, std::vector<double>& knots) {
            return inner(a[i], b.elements()[j], omega, knots);
        });
}

}  // namespace spanlet
