#include "core/covariance/variance_profile.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/spaces/bsplines.hpp"
#include "core/integration/integrate.hpp"
#include "core/spaces/space.hpp"
#include "core/base/constants.hpp"

namespace spanlet::covariance {

namespace {

// Where each knot interval is sampled for its cubic: the four quarter midpoints.
constexpr double SAMPLE_FRACTIONS[4] = {0.125, 0.375, 0.625, 0.875};

// Boxes, hats and shapes, also under affine maps: a sum of them is a piecewise polynomial.
bool is_piecewise_polynomial(const Element& element) {
    if (std::holds_alternative<Delta>(element.kind)) return false;
    const Element* e = &element;
    while (const auto* m = std::get_if<Mapped>(&e->kind)) {
        if (m->kind == MapKind::Reciprocal) return false;
        e = m->inner.get();
    }
    return !std::holds_alternative<ProfileElement>(e->kind);
}

Status check(FactorInput factor) {
    if (factor.elements.empty() || factor.coefficients.size() != factor.elements.size())
        return Error::invalid("a linear combination needs one coefficient per element");
    if (!std::all_of(factor.elements.begin(), factor.elements.end(), is_piecewise_polynomial))
        return Error::invalid("a linear combination needs piecewise-polynomial elements");
    if (!std::all_of(factor.coefficients.begin(), factor.coefficients.end(), [](double c) { return std::isfinite(c); }))
        return Error::invalid("coefficients must be finite");
    return success();
}

double combination(FactorInput factor, double x) {
    double s = 0.0;
    for (std::size_t m = 0; m < factor.elements.size(); ++m) s += factor.coefficients[m] * evaluate(factor.elements[m], x);
    return s;
}

// lo, hi and every element's ends and inner knots, sorted and merged.
std::vector<double> breakpoints(FactorInput factor) {
    double lo = INF, hi = -INF;
    for (const Element& e : factor.elements) {
        const Support s = support(e);
        lo = std::fmin(lo, s.lo);
        hi = std::fmax(hi, s.hi);
    }
    std::vector<double> points{lo, hi};
    for (const Element& e : factor.elements) {
        const Support s = support(e);
        points.push_back(s.lo);
        points.push_back(s.hi);
        push_knots(e, points, lo, hi);
    }
    std::sort(points.begin(), points.end(), TotalOrderLess{});
    points.erase(std::unique(points.begin(), points.end()), points.end());
    return points;
}

// The cubic through s at the quarter midpoints of [x0, x0 + d], in the segment's own variable.
Segment fitted_segment(FactorInput factor, double x0, double x1) {
    const double d = x1 - x0;
    double v[4];
    for (std::size_t i = 0; i < 4; ++i) v[i] = combination(factor, x0 + d * SAMPLE_FRACTIONS[i]);
    const Cubic a = fit_polynomial(SAMPLE_FRACTIONS, v, 4);
    return {a.d[0], a.d[1] / d, a.d[2] / (d * d), a.d[3] / (d * (d * d)), x0, x1};
}

}  // namespace

Result<VarianceProfile> fit_variance_profile(FactorInput factor) {
    SPANLET_TRY_STATUS(check(factor));
    const std::vector<double> points = breakpoints(factor);
    std::vector<Segment> segments;
    segments.reserve(points.size());
    for (std::size_t k = 0; k + 1 < points.size(); ++k)
        if (points[k] < points[k + 1]) segments.push_back(fitted_segment(factor, points[k], points[k + 1]));
    SPANLET_TRY(shape, Shape::make(std::move(segments)));
    SPANLET_TRY(fitted, make_shaped(std::move(shape), 0.0, 1.0));
    return VarianceProfile{std::move(fitted), std::vector<Element>(factor.elements.begin(), factor.elements.end()),
                           std::vector<double>(factor.coefficients.begin(), factor.coefficients.end())};
}

}  // namespace spanlet::covariance
