#include "core/elements/shape.hpp"

#include <algorithm>
#include <cmath>

#include "core/base/format.hpp"

namespace spanlet {

namespace {

bool all_finite(const Segment& s) {
    return std::isfinite(s.a) && std::isfinite(s.b) && std::isfinite(s.c0) && std::isfinite(s.c1) &&
           std::isfinite(s.c2) && std::isfinite(s.c3);
}

}  // namespace

Result<ShapeRef> Shape::make(std::vector<Segment> segments) {
    if (segments.empty()) return Error::invalid("a shape needs at least one segment");
    for (const auto& s : segments) {
        if (!all_finite(s)) return Error::invalid("shape segments must be finite");
        if (s.a >= s.b) return Error::invalid("shape segments need a < b");
    }
    for (std::size_t i = 1; i < segments.size(); ++i)
        if (segments[i].a < segments[i - 1].b)
            return Error::invalid("shape segments must be sorted and non-overlapping");
    return trusted(std::move(segments));
}

ShapeRef Shape::trusted(std::vector<Segment> segments) {
    return ShapeRef(new Shape(std::move(segments)));
}

const Segment* Shape::segment_at(double u) const {
    // Last segment with a <= u; a NaN u finds none.
    auto it = std::upper_bound(segments_.begin(), segments_.end(), u,
                               [](double v, const Segment& s) { return v < s.a; });
    if (it == segments_.begin()) return nullptr;
    const Segment& s = *(it - 1);
    return u < s.b ? &s : nullptr;
}

Status check_table(const std::vector<double>& x, const std::vector<double>& y) {
    if (x.size() != y.size() || x.size() < 2)
        return Error::invalid("a tabulated shape needs x and y of equal length >= 2");
    auto finite = [](double v) { return std::isfinite(v); };
    if (!std::all_of(x.begin(), x.end(), finite) || !std::all_of(y.begin(), y.end(), finite))
        return Error::invalid("a tabulated shape must be finite");
    for (std::size_t i = 0; i + 1 < x.size(); ++i)
        if (x[i + 1] <= x[i]) return Error::invalid("a tabulated shape needs strictly increasing x");
    return success();
}

Result<ShapeRef> Shape::piecewise_linear(const std::vector<double>& x, const std::vector<double>& y) {
    SPANLET_TRY_STATUS(check_table(x, y));
    std::vector<Segment> segments;
    segments.reserve(x.size() - 1);
    for (std::size_t i = 0; i + 1 < x.size(); ++i)
        segments.push_back({y[i], (y[i + 1] - y[i]) / (x[i + 1] - x[i]), 0.0, 0.0, x[i], x[i + 1]});
    return make(std::move(segments));
}

Result<ShapeRef> Shape::trapezoid(double top, double bottom) {
    if (!(std::isfinite(top) && std::isfinite(bottom) && top >= 0.0 && top <= bottom && bottom > 0.0))
        return Error::invalid("trapezoid needs 0 <= top <= bottom, bottom > 0; got " + decimal(top) +
                              ", " + decimal(bottom));
    if (top == bottom) return make({{1.0, 0.0, 0.0, 0.0, -bottom, bottom}});
    if (top > 0.0) return piecewise_linear({-bottom, -top, top, bottom}, {0.0, 1.0, 1.0, 0.0});
    return piecewise_linear({-bottom, -top, bottom}, {0.0, 1.0, 0.0});
}

}  // namespace spanlet
