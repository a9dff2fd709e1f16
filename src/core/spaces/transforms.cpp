// New spaces from old ones: selection, differentiation and change of variable.
#include <cmath>
#include <string>

#include "core/base/format.hpp"
#include "core/spaces/transforms.hpp"

namespace spanlet {

namespace {

Status check_map(MapKind kind, double a, double b) {
    if (kind == MapKind::Reciprocal) {
        if (!(std::isfinite(a) && a != 0.0)) return Error::invalid("reciprocal map needs a finite nonzero k");
    } else if (!(std::isfinite(a) && std::isfinite(b) && b != 0.0)) {
        return Error::invalid("affine map needs finite offset and nonzero finite scale");
    }
    return success();
}

Result<Element> map_element(const Element& element, MapKind kind, double a, double b, bool jacobian) {
    SPANLET_TRY_STATUS(check_map(kind, a, b));
    const bool reciprocal = kind == MapKind::Reciprocal;
    if (const auto* d = std::get_if<Delta>(&element.kind)) {
        const double position = reciprocal ? a / d->position : d->position * b + a;
        if (!std::isfinite(position)) return Error::invalid("delta position must be finite");
        return Element{Delta{position}};
    }
    const Support s = support(element);
    double p, q;
    if (reciprocal) {
        if (!(s.lo > 0.0 || s.hi < 0.0))
            return Error::invalid("a reciprocal map needs supports on one side of 0, got [" + decimal(s.lo) + ", " +
                                  decimal(s.hi) + "]");
        p = a / s.lo;
        q = a / s.hi;
    } else {
        p = s.lo * b + a;
        q = s.hi * b + a;
    }
    const double lower = std::fmin(p, q), upper = std::fmax(p, q);
    // Bounds that overflow would make every later integral over the element meaningless.
    if (!(std::isfinite(lower) && std::isfinite(upper)))
        return Error::invalid("mapped element bounds must be finite, got [" + decimal(lower) + ", " + decimal(upper) +
                              "]");
    return Element{Mapped{kind, a, b, std::make_shared<const Element>(element), lower, upper, jacobian}};
}

}  // namespace

Result<Space> take(const Space& space, const std::vector<std::uint64_t>& indices) {
    std::vector<Element> selected;
    selected.reserve(indices.size());
    for (std::uint64_t index : indices) {
        if (index >= space.size())
            return Error::invalid("index " + std::to_string(index) + " out of range for " + std::to_string(space.size()) +
                                  " elements");
        selected.push_back(space.elements()[index]);
    }
    return Space::make(std::move(selected));
}

Result<Space> derivative(const Space& space, std::uint64_t order) {
    std::vector<Element> result;
    result.reserve(space.size());
    for (const Element& element : space.elements()) {
        SPANLET_TRY(d, spanlet::derivative(element, order));
        result.push_back(std::move(d));
    }
    return Space::make(std::move(result));
}

Result<Space> mapped(const Space& space, MapKind kind, double a, double b, bool jacobian) {
    std::vector<Element> result;
    result.reserve(space.size());
    for (const Element& element : space.elements()) {
        SPANLET_TRY(m, map_element(element, kind, a, b, jacobian));
        result.push_back(std::move(m));
    }
    return Space::make(std::move(result));
}

}  // namespace spanlet
