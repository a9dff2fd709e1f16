// Spaces of unit-height piecewise elements: hats, boxes, point masses, triangles, rectangles and
// trapezoids.
#include <cmath>
#include <string>

#include "core/base/format.hpp"
#include "core/spaces/piecewise.hpp"

namespace spanlet {

Result<Space> deltas(const std::vector<double>& positions) {
    std::vector<Element> elements;
    elements.reserve(positions.size());
    for (double x : positions) {
        if (!std::isfinite(x)) return Error::invalid("delta position must be finite");
        elements.push_back(Element{Delta{x}});
    }
    return Space::make(std::move(elements));
}

Result<Space> hats(const std::vector<double>& nodes) {
    SPANLET_TRY_STATUS(check_increasing("nodes", nodes));
    const std::size_t n = nodes.size();
    std::vector<Element> elements;
    elements.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        elements.push_back(Element{Hat{nodes[i == 0 ? 0 : i - 1], nodes[i], nodes[i + 1 == n ? i : i + 1]}});
    return Space::make(std::move(elements));
}

Result<Space> boxes(const std::vector<double>& edges) {
    SPANLET_TRY_STATUS(check_increasing("edges", edges));
    std::vector<Element> elements;
    elements.reserve(edges.size() - 1);
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) elements.push_back(Element{Box{edges[i], edges[i + 1]}});
    return Space::make(std::move(elements));
}

Result<Space> triangles(const std::vector<double>& centers, const std::vector<double>& hwhm) {
    SPANLET_TRY_STATUS(check_broadcast("hwhm", hwhm.size(), centers.size()));
    std::vector<Element> elements;
    elements.reserve(centers.size());
    for (std::size_t i = 0; i < centers.size(); ++i) {
        const double c = centers[i], h = hwhm[hwhm.size() == 1 ? 0 : i];
        const double lower = c - 2.0 * h, upper = c + 2.0 * h;
        if (!(std::isfinite(lower) && std::isfinite(upper) && std::isfinite(c) && lower <= c && c <= upper &&
              lower < upper))
            return Error::invalid("hat needs finite a <= c <= b with a < b, got (" + decimal(lower) + ", " +
                                  decimal(c) + ", " + decimal(upper) + ")");
        elements.push_back(Element{Hat{lower, c, upper}});
    }
    return Space::make(std::move(elements));
}

Result<Space> rectangles(const std::vector<double>& centers, const std::vector<double>& widths) {
    SPANLET_TRY_STATUS(check_broadcast("widths", widths.size(), centers.size()));
    std::vector<Element> elements;
    elements.reserve(centers.size());
    for (std::size_t i = 0; i < centers.size(); ++i) {
        const double c = centers[i], w = widths[widths.size() == 1 ? 0 : i];
        const double lower = c - w * 0.5, upper = c + w * 0.5;
        if (!(std::isfinite(lower) && std::isfinite(upper) && lower < upper))
            return Error::invalid("box needs finite a < b, got [" + decimal(lower) + ", " + decimal(upper) + "]");
        elements.push_back(Element{Box{lower, upper}});
    }
    return Space::make(std::move(elements));
}

Result<Space> trapezoids(const std::vector<double>& centers, const std::vector<double>& top,
                                const std::vector<double>& bottom) {
    const std::size_t n = centers.size();
    SPANLET_TRY_STATUS(check_broadcast("top", top.size(), n));
    SPANLET_TRY_STATUS(check_broadcast("bottom", bottom.size(), n));
    ShapeRef shared;
    if (top.size() == 1 && bottom.size() == 1) {
        SPANLET_TRY(shape, Shape::trapezoid(top[0], bottom[0]));
        shared = std::move(shape);
    }
    std::vector<Element> elements;
    elements.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        ShapeRef shape = shared;
        if (!shape) {
            SPANLET_TRY(own, Shape::trapezoid(top[top.size() == 1 ? 0 : i], bottom[bottom.size() == 1 ? 0 : i]));
            shape = std::move(own);
        }
        SPANLET_TRY(element, make_shaped(std::move(shape), centers[i], 1.0));
        elements.push_back(std::move(element));
    }
    return Space::make(std::move(elements));
}

}  // namespace spanlet
