// Spaces of unit-height piecewise elements: hats, boxes, point masses, triangles, rectangles and
// trapezoids; the broadcast rule of per-element parameters.
#include <cmath>
#include <string>

#include "core/format.hpp"
#include "core/space.hpp"

namespace spanlet {

Status check_broadcast(std::string_view name, std::size_t length, std::size_t count) {
    // So an empty parameter only fits an empty list of centers.
    if (length == count || length == 1) return success();
    return Error::invalid(std::string(name) + " has length " + std::to_string(length) + ", expected 1 or " +
                          std::to_string(count));
}

Result<Space> Space::deltas(const std::vector<double>& positions) {
    std::vector<Element> elements;
    elements.reserve(positions.size());
    for (double x : positions) {
        if (!std::isfinite(x)) return Error::invalid("delta position must be finite");
        elements.push_back(Element{Delta{x}});
    }
    return Space::make(std::move(elements));
}

Result<Space> Space::hats(const std::vector<double>& nodes) {
    SPANLET_TRY_STATUS(check_increasing("nodes", nodes));
    const std::size_t n = nodes.size();
    std::vector<Element> elements;
    elements.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        elements.push_back(Element{Hat{nodes[i == 0 ? 0 : i - 1], nodes[i], nodes[i + 1 == n ? i : i + 1]}});
    return Space::make(std::move(elements));
}

Result<Space> Space::boxes(const std::vector<double>& edges) {
    SPANLET_TRY_STATUS(check_increasing("edges", edges));
    std::vector<Element> elements;
    elements.reserve(edges.size() - 1);
    for (std::size_t i = 0; i + 1 < edges.size(); ++i) elements.push_back(Element{Box{edges[i], edges[i + 1]}});
    return Space::make(std::move(elements));
}

Result<Space> Space::triangles(const std::vector<double>& centers, const std::vector<double>& hwhm) {
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

Result<Space> Space::rectangles(const std::vector<double>& centers, const std::vector<double>& widths) {
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

Result<Space> Space::trapezoids(const std::vector<double>& centers, const std::vector<double>& top,
                                const std::vector<double>& bottom) {
    const std::size_t n = centers.size();
    SPANLET_TRY_STATUS(check_broadcast("top", top.size(), n));
    SPANLET_TRY_STATUS(check_broadcast("bottom", bottom.size(), n));
    ShapeRef shared;
    if (top.size() == 1 && bottom.size() == 1) {
        auto shape = Shape::trapezoid(top[0], bottom[0]);
        if (!shape) return std::move(shape).error();
        shared = std::move(shape).value();
    }
    std::vector<Element> elements;
    elements.reserve(n);
    for (std::size_t i = 0; i < n; ++i) {
        ShapeRef shape = shared;
        if (!shape) {
            auto own = Shape::trapezoid(top[top.size() == 1 ? 0 : i], bottom[bottom.size() == 1 ? 0 : i]);
            if (!own) return std::move(own).error();
            shape = std::move(own).value();
        }
        auto element = make_shaped(std::move(shape), centers[i], 1.0);
        if (!element) return std::move(element).error();
        elements.push_back(std::move(element).value());
    }
    return Space::make(std::move(elements));
}

}  // namespace spanlet
