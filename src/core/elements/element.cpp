#include "core/elements/element.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/base/format.hpp"
#include "core/elements/local.hpp"
#include "core/base/overloaded.hpp"

namespace spanlet {

namespace {

// The larger (smaller) of two values where a NaN operand yields the other.
double max_ignoring_nan(double x, double y) { return std::fmax(x, y); }
double min_ignoring_nan(double x, double y) { return std::fmin(x, y); }

// Differentiates the coefficients `order` times with respect to u and rescales to x.
void differentiate_segments(std::vector<Segment>& segments, std::uint64_t order, double stretch) {
    if (order >= 4) {
        // Every coefficient of a cubic vanishes; no need to loop or to scale (0 * inf is NaN).
        for (auto& s : segments) s.c0 = s.c1 = s.c2 = s.c3 = 0.0;
        return;
    }
    for (std::uint64_t k = 0; k < order; ++k)
        for (auto& s : segments) s = {s.c1, 2.0 * s.c2, 3.0 * s.c3, 0.0, s.a, s.b};
    const double scale = std::pow(stretch, -static_cast<double>(order));
    // Where stretch^-order itself over- or underflows, divide step by step: the coefficients may
    // still be representable.
    const bool direct = std::isfinite(scale) && scale >= std::numeric_limits<double>::min();
    for (auto& s : segments)
        for (double* c : {&s.c0, &s.c1, &s.c2, &s.c3}) {
            if (*c == 0.0) continue;
            if (direct) {
                *c *= scale;
            } else {
                for (std::uint64_t k = 0; k < order; ++k) *c /= stretch;
            }
        }
}

// The derivative's coefficients go like (knot interval)^-order; past the largest double no
// representation holds them.
Status check_representable(const std::vector<Segment>& segments, std::uint64_t order, double stretch) {
    for (const Segment& s : segments)
        if (!(std::isfinite(s.c0) && std::isfinite(s.c1) && std::isfinite(s.c2) && std::isfinite(s.c3)))
            return Error::invalid("the order-" + std::to_string(order) +
                                  " derivative overflows on a knot interval of length " +
                                  exponent(stretch * (s.b - s.a)));
    return success();
}

}  // namespace

Result<Element> make_shaped(ShapeRef shape, double center, double stretch, Support reach) {
    if (!(std::isfinite(center) && std::isfinite(stretch) && stretch > 0.0))
        return Error::invalid("piecewise element needs finite center and stretch > 0");
    const auto& segments = shape->segments();
    // fmin / fmax: a NaN reach (none given) leaves the placed end as it is.
    const double lo = std::fmin(center + stretch * segments.front().a, reach.lo);
    const double hi = std::fmax(center + stretch * segments.back().b, reach.hi);
    return Element{Shaped{std::move(shape), center, stretch, lo, hi}};
}

Result<Element> make_shaped(ShapeRef shape, double center, double stretch) {
    return make_shaped(std::move(shape), center, stretch, Support{NAN, NAN});
}

Support support(const Element& element) {
    return std::visit(
        Overloaded{
            [](const Delta& d) { return Support{d.position, d.position}; },
            [](const Box& b) { return Support{b.lower, b.upper}; },
            [](const Hat& h) { return Support{h.lower, h.upper}; },
            [](const Shaped& s) { return Support{s.lower, s.upper}; },
            [](const ProfileElement& p) { return Support{p.lower, p.upper}; },
            [](const Mapped& m) { return Support{m.lower, m.upper}; },
        },
        element.kind);
}

double evaluate(const Element& element, double x) {
    return std::visit(
        Overloaded{
            [](const Delta&) { return 0.0; },
            [x](const Box& b) { return b.lower <= x && x < b.upper ? 1.0 : 0.0; },
            [x](const Hat& h) {
                if (x < h.lower || x > h.upper) return 0.0;
                if (x == h.peak) return 1.0;
                if (x < h.peak) return (x - h.lower) / (h.peak - h.lower);
                return (h.upper - x) / (h.upper - h.peak);
            },
            // Measured from the start of the piece that holds x (see local.hpp).
            [x](const Shaped& e) { return evaluate_local(e, x, 0.0); },
            [x](const ProfileElement& p) {
                return p.lower <= x && x <= p.upper ? value(p.profile, x - p.center) : 0.0;
            },
            [x](const Mapped& m) {
                if (x < m.lower || x > m.upper) return 0.0;
                double u, jacobian;
                if (m.kind == MapKind::Reciprocal) {
                    u = m.a / x;
                    // |a| / x^2 formed as (|a| / |x|) / |x|, which stays finite wherever the value does.
                    jacobian = std::fabs(m.a) / std::fabs(x) / std::fabs(x);
                } else {
                    u = (x - m.a) / m.b;
                    jacobian = 1.0 / std::fabs(m.b);
                }
                const double value = evaluate(*m.inner, u);
                return m.jacobian ? value * jacobian : value;
            },
        },
        element.kind);
}

double center(const Element& element) {
    return std::visit(Overloaded{
                          [](const Delta& d) { return d.position; },
                          [](const Box& b) { return (b.lower + b.upper) * 0.5; },
                          [](const Hat& h) { return h.peak; },
                          [](const Shaped& s) { return s.center; },
                          [](const ProfileElement& p) { return p.center; },
                          [](const Mapped& m) {
                              const double inner = center(*m.inner);
                              return m.kind == MapKind::Reciprocal ? m.a / inner : m.a + inner * m.b;
                          },
                      },
                      element.kind);
}

void push_knots(const Element& element, std::vector<double>& out, double lo, double hi) {
    auto push = [&](double k) {
        if (lo < k && k < hi) out.push_back(k);
    };
    std::visit(Overloaded{
                   [&](const Delta& d) { push(d.position); },
                   [&](const Box& b) {
                       push(b.lower);
                       push(b.upper);
                   },
                   [&](const Hat& h) {
                       push(h.lower);
                       push(h.peak);
                       push(h.upper);
                   },
                   [&](const Shaped& s) {
                       for (const auto& seg : s.shape->segments()) {
                           push(s.center + s.stretch * seg.a);
                           push(s.center + s.stretch * seg.b);
                       }
                   },
                   [&](const ProfileElement& p) {
                       push(p.lower);
                       push(p.center);
                       push(p.upper);
                   },
                   [&](const Mapped& m) {
                       push(m.lower);
                       push(m.upper);
                       const double lo2 = max_ignoring_nan(lo, m.lower);
                       const double hi2 = min_ignoring_nan(hi, m.upper);
                       const bool reciprocal = m.kind == MapKind::Reciprocal;
                       const double p = reciprocal ? m.a / lo2 : (lo2 - m.a) / m.b;
                       const double q = reciprocal ? m.a / hi2 : (hi2 - m.a) / m.b;
                       // The inner knots are gathered at the end of `out` and mapped back in
                       // place, which spares a temporary list.
                       const std::size_t start = out.size();
                       push_knots(*m.inner, out, std::min(p, q), std::max(p, q));
                       std::size_t kept = start;
                       for (std::size_t i = start; i < out.size(); ++i) {
                           const double x = reciprocal ? m.a / out[i] : m.a + out[i] * m.b;
                           if (lo < x && x < hi) out[kept++] = x;
                       }
                       out.resize(kept);
                   },
               },
               element.kind);
}

namespace {

// The element as segments of a shape placed at `center` with `stretch`, over at least `reach`;
// segments that do not come from an existing shape are checked once they are differentiated.
struct Placed {
    std::vector<Segment> segments;
    double center, stretch;
    Support reach;
    bool trusted;
};

Placed unchecked(std::vector<Segment> segments) {
    return Placed{std::move(segments), 0.0, 1.0, Support{NAN, NAN}, false};
}

Error no_derivative() { return Error::invalid("only piecewise-polynomial elements have derivatives"); }

}  // namespace

Result<Element> derivative(const Element& element, std::uint64_t order) {
    if (order == 0) return element;
    SPANLET_TRY(placed, std::visit(Overloaded{
                                       [](const Delta&) -> Result<Placed> { return no_derivative(); },
                                       [](const Box& b) -> Result<Placed> {
                                           return unchecked({{1.0, 0.0, 0.0, 0.0, b.lower, b.upper}});
                                       },
                                       [](const Hat& h) -> Result<Placed> {
                                           std::vector<Segment> segments;
                                           if (h.lower < h.peak)
                                               segments.push_back(
                                                   {0.0, 1.0 / (h.peak - h.lower), 0.0, 0.0, h.lower, h.peak});
                                           if (h.peak < h.upper)
                                               segments.push_back(
                                                   {1.0, -1.0 / (h.upper - h.peak), 0.0, 0.0, h.peak, h.upper});
                                           return unchecked(std::move(segments));
                                       },
                                       [](const Shaped& s) -> Result<Placed> {
                                           return Placed{s.shape->segments(), s.center, s.stretch,
                                                         Support{s.lower, s.upper}, true};
                                       },
                                       [](const ProfileElement&) -> Result<Placed> { return no_derivative(); },
                                       [](const Mapped&) -> Result<Placed> { return no_derivative(); },
                                   },
                                   element.kind));
    differentiate_segments(placed.segments, order, placed.stretch);
    SPANLET_TRY_STATUS(check_representable(placed.segments, order, placed.stretch));
    if (placed.trusted)
        return make_shaped(Shape::trusted(std::move(placed.segments)), placed.center, placed.stretch, placed.reach);
    SPANLET_TRY(shape, Shape::make(std::move(placed.segments)));
    return make_shaped(std::move(shape), placed.center, placed.stretch, placed.reach);
}

}  // namespace spanlet
