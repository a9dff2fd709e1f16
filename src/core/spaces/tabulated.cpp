// Shapes from tables of samples (linear or PCHIP) and the spaces built from them.
#include <cmath>
#include <string>

#include "core/spaces/tabulated.hpp"

#include "core/elements/pchip.hpp"

namespace spanlet {

namespace {

Result<ShapeRef> table_shape(const std::vector<double>& x, const std::vector<double>& y, bool pchip) {
    return pchip ? pchip_shape(x, y) : Shape::piecewise_linear(x, y);
}

}  // namespace

Result<Space> tabulated(const std::vector<double>& centers, const std::vector<std::vector<double>>& x,
                               const std::vector<std::vector<double>>& y, bool pchip) {
    const std::size_t n = centers.size();
    if (y.size() != n)
        return Error::invalid("y has " + std::to_string(y.size()) + " shapes, expected " + std::to_string(n));
    if (x.size() != 1 && x.size() != n)
        return Error::invalid("x has " + std::to_string(x.size()) + " shapes, expected 1 or " + std::to_string(n));
    std::vector<Element> elements;
    elements.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        SPANLET_TRY(shape, table_shape(x[x.size() == 1 ? 0 : i], y[i], pchip));
        SPANLET_TRY(element, make_shaped(std::move(shape), centers[i], 1.0));
        elements.push_back(std::move(element));
    }
    return Space::make(std::move(elements));
}

Result<Space> shifted(const ShapeRef& shape, const std::vector<double>& centers,
                             const std::vector<double>& stretch) {
    const std::size_t n = centers.size();
    SPANLET_TRY_STATUS(check_broadcast("stretch", stretch.size(), n));
    std::vector<Element> elements;
    elements.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        SPANLET_TRY(element, make_shaped(shape, centers[i], stretch[stretch.size() == 1 ? 0 : i]));
        elements.push_back(std::move(element));
    }
    return Space::make(std::move(elements));
}

}  // namespace spanlet
