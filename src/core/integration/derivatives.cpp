#include "core/integration/derivatives.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/integration/adaptive_steps.hpp"
#include "core/base/format.hpp"
#include "core/base/overloaded.hpp"
#include "core/integration/quadrature.hpp"
#include "core/integration/stepping.hpp"
#include "core/elements/local.hpp"
#include "core/base/constants.hpp"

namespace spanlet {

namespace {

Error only_profiles(Parameter parameter) {
    return Error::invalid(std::string(debug_name(parameter)) + " applies only to line-shape profiles");
}

double segment_end_value(const Segment& s) {
    const double l = s.b - s.a;
    return s.c0 + l * (s.c1 + l * (s.c2 + l * s.c3));
}

// Raw jumps e(x+) - e(x-) of a piecewise shape, in x.
void shaped_jumps(const Shaped& s, PointMasses& out) {
    const auto& segments = s.shape->segments();
    auto push = [&](double u, double j) { out.push_back({s.center + s.stretch * u, j}); };
    for (std::size_t k = 0; k < segments.size(); ++k) {
        const Segment& seg = segments[k];
        if (k == 0) {
            if (seg.c0 != 0.0) push(seg.a, seg.c0);
        } else {
            const Segment& prev = segments[k - 1];
            const double before = prev.b == seg.a ? segment_end_value(prev) : 0.0;
            const double j = seg.c0 - before;
            if (j != 0.0) push(seg.a, j);
        }
        const bool joined = k + 1 < segments.size() && segments[k + 1].a == seg.b;
        if (!joined) {
            const double end = segment_end_value(seg);
            if (end != 0.0) push(seg.b, -end);
        }
    }
}

// Raw jumps J become point masses of de/dtheta, in place: -J for a shift, -(x - c) J for a stretch.
Status convert(PointMasses& raw, Parameter parameter, double c) {
    if (parameter == Parameter::Center) {
        for (PointMass& p : raw) p.m = -p.m;
        return success();
    }
    if (parameter == Parameter::Scale) {
        for (PointMass& p : raw) p.m = -(p.x - c) * p.m;
        return success();
    }
    return only_profiles(parameter);
}

// The integral of f(z, s) over the knot intervals, f evaluated at offsets s from each interval's
// or step's start z: the 4-point rule per interval when `exact`, else the adaptive steps of
// integrate_product with the step limits of the elements.
template <class F>
Result<double> integrate_over_knots(std::span<const Element* const> elements, CosineWeight omega, bool exact,
                                    const std::vector<double>& knots, F&& f) {
    if (knots.size() < 2) return 0.0;
    if (!exact) return integrate_adaptively(elements, omega, knots, f);
    double total = 0.0;
    for (std::size_t j = 0; j + 1 < knots.size(); ++j) total += apply_rule(gl4(), knots[j], knots[j + 1] - knots[j], f);
    return total;
}

// The smooth part of de/dtheta at the real point z + s.
Result<double> d_smooth_local(const Element& element, Parameter parameter, double z, double s) {
    // A shift or a stretch of any unmapped element, through its slope.
    auto moved = [&]() -> Result<double> {
        if (parameter == Parameter::Center) return -slope_local(element, z, s);
        if (parameter == Parameter::Scale) return -((z - center(element)) + s) * slope_local(element, z, s);
        return only_profiles(parameter);
    };
    return std::visit(Overloaded{
                          [&](const Delta&) { return moved(); },
                          [&](const Box&) { return moved(); },
                          [&](const Hat&) { return moved(); },
                          [&](const Shaped&) { return moved(); },
                          [&](const ProfileElement& p) -> Result<double> {
                              if (s < p.lower - z || s > p.upper - z) return 0.0;
                              if (parameter == Parameter::Center || parameter == Parameter::Scale) return moved();
                              return d_parameter(p.profile, parameter, (z - p.center) + s);
                          },
                          // Center and scale of a mapped element are those of its inner element.
                          [&](const Mapped& m) -> Result<double> {
                              const double x = z + s;
                              if (x < m.lower || x > m.upper) return 0.0;
                              const InnerPoint p = inner_point(m, z, s);
                              SPANLET_TRY(r, d_smooth_local(*m.inner, parameter, p.z, p.s));
                              return m.jacobian ? r * p.jacobian : r;
                          },
                      },
                      element.kind);
}

// d_smooth inside an integral, where the parameter has been accepted: a failure counts as 0.
double smooth_or_zero(const Element& element, Parameter parameter, double z, double s) {
    const Result<double> r = d_smooth_local(element, parameter, z, s);
    return r ? r.value() : 0.0;
}

}  // namespace

double slope(const Element& element, double x) { return slope_local(element, x, 0.0); }

Result<double> d_smooth(const Element& element, Parameter parameter, double x) {
    return d_smooth_local(element, parameter, x, 0.0);
}

Status jumps(const Element& element, Parameter parameter, PointMasses& out) {
    out.clear();
    return std::visit(
        Overloaded{
            [&](const Delta&) { return success(); },
            [&](const Box& b) {
                out.push_back({b.lower, 1.0});
                out.push_back({b.upper, -1.0});
                return convert(out, parameter, center(element));
            },
            [&](const Hat& h) {
                if (h.lower == h.peak) out.push_back({h.lower, 1.0});
                if (h.peak == h.upper) out.push_back({h.upper, -1.0});
                return convert(out, parameter, center(element));
            },
            [&](const Shaped& s) {
                shaped_jumps(s, out);
                return convert(out, parameter, center(element));
            },
            [&](const ProfileElement& p) -> Status {
                const double v_lo = value(p.profile, p.lower - p.center);
                const double v_hi = value(p.profile, p.upper - p.center);
                if (parameter == Parameter::Center || parameter == Parameter::Scale) {
                    out.push_back({p.lower, v_lo});
                    out.push_back({p.upper, -v_hi});
                    return convert(out, parameter, p.center);
                }
                SPANLET_TRY(f, cutoff_factors(p.profile, parameter, p.cutoff));
                out.push_back({p.lower, v_lo * f.lower});
                out.push_back({p.upper, v_hi * f.upper});
                return success();
            },
            [&](const Mapped& m) -> Status {
                SPANLET_TRY_STATUS(jumps(*m.inner, parameter, out));
                const bool reciprocal = m.kind == MapKind::Reciprocal;
                for (PointMass& p : out) {
                    p.x = reciprocal ? m.a / p.x : m.a + m.b * p.x;
                    if (!m.jacobian) p.m *= reciprocal ? p.x * p.x / std::fabs(m.a) : std::fabs(m.b);
                }
                return success();
            },
        },
        element.kind);
}

Result<PointMasses> jumps(const Element& element, Parameter parameter) {
    PointMasses out;
    SPANLET_TRY_STATUS(jumps(element, parameter, out));
    return out;
}

double masses_against(const PointMasses& masses, const Element& b, CosineWeight omega) {
    const Support sb = support(b);
    double point = EMPTY_SUM;
    for (const PointMass& p : masses) {
        if (!(sb.lo <= p.x && p.x <= sb.hi)) continue;
        const double v = p.m * evaluate(b, p.x);
        point += omega ? v * std::cos(*omega * p.x) : v;
    }
    return point;
}

namespace {

// The integrals of a profile kernel and of the smooth part of its derivative, times `other` when
// given, in one pass over the steps both take alone: the integrands are those of integrate_product
// and smooth_derivative_product, summed in the same order, so each result keeps its bits while the
// kernel is evaluated once per node.
Result<std::pair<double, double>> profile_with_derivative(const Element& kernel, const ProfileElement& p,
                                                          const Element* other, Parameter parameter,
                                                          CosineWeight omega, const std::vector<double>& knots) {
    if (knots.size() < 2) return std::pair{0.0, 0.0};
    const Parameter one_parameter[1] = {parameter};
    const ValueWithDerivatives both(p.profile, one_parameter);
    const Element* pair[2] = {&kernel, other};
    const std::span<const Element* const> elements(pair, other ? 2 : 1);
    StepPhase phase(omega);
    double value = 0.0, derivative = 0.0;
    SPANLET_TRY_STATUS(for_each_adaptive_step(elements, omega, knots, [&](const Rule& rule, double z, double next) {
        phase.start(z);
        const double h = (next - z) * 0.5;
        const std::size_t n = std::min({rule.nodes.size(), rule.weights.size(), LARGEST_SHARED_RULE});
        double k[2 * LARGEST_SHARED_RULE] = {};
        profile_at_nodes(p, both, rule, n, z, h, 2, k);
        double sum_value = 0.0, sum_derivative = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double s = h + h * rule.nodes[i];
            double v = 1.0;
            v *= k[2 * i];
            double d = k[2 * i + 1];
            if (other) {
                const double b = evaluate_local(*other, z, s);
                v *= b;
                d *= b;
            }
            if (omega) {
                const double weight = phase(s);
                v = v * weight;
                d = d * weight;
            }
            sum_value += rule.weights[i] * v;
            sum_derivative += rule.weights[i] * d;
        }
        value += h * sum_value;
        derivative += h * sum_derivative;
    }));
    return std::pair{value, derivative};
}

}  // namespace

Result<std::pair<double, double>> inner_with_derivative(const Element& a, const Element& b, Parameter parameter,
                                                        CosineWeight omega, const PointMasses& masses,
                                                        std::vector<double>& knots) {
    const auto* p = std::get_if<ProfileElement>(&a.kind);
    if (!p || std::holds_alternative<Delta>(b.kind)) {
        SPANLET_TRY(v, inner(a, b, omega, knots));
        SPANLET_TRY(d, inner_derivative(a, b, parameter, omega, masses, knots));
        return std::pair{v, d};
    }
    const double point = masses_against(masses, b, omega);
    const Support sa = support(a), sb = support(b);
    const double lo = std::fmax(sa.lo, sb.lo), hi = std::fmin(sa.hi, sb.hi);
    if (!(lo < hi)) return std::pair{0.0, without_negative_zero(point)};
    const Element* pair[2] = {&a, &b};
    sorted_knots(pair, knots, lo, hi);
    SPANLET_TRY(both, profile_with_derivative(a, *p, &b, parameter, omega, knots));
    return std::pair{both.first, point + both.second};
}

Result<std::pair<double, double>> integral_with_derivative(const Element& element, Parameter parameter,
                                                           CosineWeight omega, const PointMasses& masses,
                                                           std::vector<double>& knots) {
    const auto* p = std::get_if<ProfileElement>(&element.kind);
    if (!p) {
        SPANLET_TRY(v, integral(element, omega, knots));
        SPANLET_TRY(d, integral_derivative(element, parameter, omega, masses, knots));
        return std::pair{v, d};
    }
    double point = EMPTY_SUM;
    for (const PointMass& m : masses) point += omega ? m.m * std::cos(*omega * m.x) : m.m;
    const Support s = support(element);
    const Element* one[1] = {&element};
    sorted_knots(one, knots, s.lo, s.hi);
    SPANLET_TRY(both, profile_with_derivative(element, *p, nullptr, parameter, omega, knots));
    return std::pair{both.first, point + both.second};
}

Result<double> inner_derivative(const Element& a, const Element& b, Parameter parameter, CosineWeight omega,
                                const PointMasses& masses, std::vector<double>& knots) {
    if (const auto* d = std::get_if<Delta>(&a.kind)) {
        if (parameter == Parameter::Scale) return 0.0;
        if (parameter != Parameter::Center)
            return Error::invalid("a delta has no parameter " + std::string(debug_name(parameter)));
        if (std::holds_alternative<Delta>(b.kind)) return 0.0;
        const double p = d->position, s = slope(b, p);
        if (!omega) return s;
        return s * std::cos(*omega * p) - *omega * std::sin(*omega * p) * evaluate(b, p);
    }
    if (const auto* d = std::get_if<Delta>(&b.kind)) {
        SPANLET_TRY(r, d_smooth(a, parameter, d->position));
        return omega ? r * std::cos(*omega * d->position) : r;
    }
    const Support sa = support(a), sb = support(b);
    const double point = masses_against(masses, b, omega);
    const double lo = std::fmax(sa.lo, sb.lo), hi = std::fmin(sa.hi, sb.hi);
    if (!(lo < hi)) return without_negative_zero(point);
    const Element* pair[2] = {&a, &b};
    sorted_knots(pair, knots, lo, hi);
    SPANLET_TRY(smooth, smooth_derivative_product(pair, parameter, omega, knots));
    return point + smooth;
}

Result<double> smooth_derivative_product(std::span<const Element* const> elements, Parameter parameter,
                                         CosineWeight omega, const std::vector<double>& knots) {
    const bool exact = !omega && std::all_of(elements.begin(), elements.end(),
                                             [](const Element* e) { return is_polynomial(*e); });
    const Element& first = *elements.front();
    const auto rest = elements.subspan(1);
    return integrate_over_knots(elements, omega, exact, knots, [&](double z, double s) {
        double v = smooth_or_zero(first, parameter, z, s);
        for (const Element* e : rest) v *= evaluate_local(*e, z, s);
        return v;
    });
}

Result<double> integral_derivative(const Element& element, Parameter parameter, CosineWeight omega,
                                   const PointMasses& masses, std::vector<double>& knots) {
    if (const auto* d = std::get_if<Delta>(&element.kind)) {
        if (parameter == Parameter::Center && omega) return -*omega * std::sin(*omega * d->position);
        return 0.0;
    }
    double point = EMPTY_SUM;
    for (const PointMass& p : masses) point += omega ? p.m * std::cos(*omega * p.x) : p.m;
    const Support s = support(element);
    const Element* one[1] = {&element};
    sorted_knots(one, knots, s.lo, s.hi);
    const bool exact = !omega && is_polynomial(element);
    SPANLET_TRY(smooth, integrate_over_knots(one, omega, exact, knots,
                                             [&](double z, double s) { return smooth_or_zero(element, parameter, z, s); }));
    return point + smooth;
}

}  // namespace spanlet
