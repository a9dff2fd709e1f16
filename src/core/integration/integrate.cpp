#include "core/integration/integrate.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "core/integration/adaptive_steps.hpp"
#include "core/integration/cosine_moments.hpp"
#include "core/base/format.hpp"
#include "core/elements/local.hpp"
#include "core/base/overloaded.hpp"
#include "core/integration/quadrature.hpp"
#include "core/integration/stepping.hpp"
#include "core/profiles/profile.hpp"
#include "core/spaces/space.hpp"
#include "core/base/constants.hpp"

namespace spanlet {

namespace {


// A step carried through a map is shortened by this factor for the map's curvature.
constexpr double MAPPED_STEP_SAFETY = 0.7;
// Steps under a reciprocal map stay within a tenth of |t|, where 1/t changes by about 10 %.
constexpr double RECIPROCAL_STEP_FRACTION = 0.1;

double product_at(std::span<const Element* const> elements, double z, double s) {
    double value = 1.0;
    for (const Element* e : elements) value *= evaluate_local(*e, z, s);
    return value;
}

}  // namespace

double scaled_product_rule(const Rule& rule, std::span<const Element* const> elements, double z, double length) {
    const double h = length * 0.5;
    const std::size_t n = std::min(rule.nodes.size(), rule.weights.size());
    double sum = 0.0;
    int top = 0;
    bool started = false;
    for (std::size_t i = 0; i < n; ++i) {
        const double s = h + h * rule.nodes[i];
        double m = 1.0;
        int e = 0;
        for (const Element* element : elements) {
            int k = 0, r = 0;
            m *= std::frexp(evaluate_local(*element, z, s), &k);
            m = std::frexp(m, &r);
            e += k + r;
        }
        if (m == 0.0) continue;
        if (!started) {
            top = e;
            started = true;
        } else if (e > top) {
            sum = std::ldexp(sum, top - e);
            top = e;
        }
        sum += rule.weights[i] * std::ldexp(m, e - top);
    }
    if (!started) return 0.0;
    int k = 0;
    const double hm = std::frexp(h, &k);
    return std::ldexp(hm * sum, top + k);
}

namespace {

double exact_product(std::span<const Element* const> elements, const std::vector<double>& knots) {
    const Rule& rule = elements.size() < 3 ? gl4() : gl8();
    const std::size_t n = std::min(rule.nodes.size(), rule.weights.size());
    double total = 0.0;
    for (std::size_t j = 0; j + 1 < knots.size(); ++j) {
        const double z = knots[j], length = knots[j + 1] - z, h = length * 0.5;
        // The nodes sit at offsets h + h x_i from the interval start, so that they keep their
        // resolution however far z lies from the origin.
        double sum = 0.0;
        // True while every product has an exact zero factor: then the sum is exactly 0 and nothing
        // underflowed (a wrapped element is zero in the gap between its pieces, say).
        bool vanishes = elements.size() == 2;
        if (elements.size() == 2) {
            LocalEvaluator first(*elements[0], z), second(*elements[1], z);
            for (std::size_t i = 0; i < n; ++i) {
                const double s = h + h * rule.nodes[i];
                const double a = first(s), b = second(s);
                double value = 1.0;
                value *= a;
                value *= b;
                vanishes = vanishes && (a == 0.0 || b == 0.0);
                sum += rule.weights[i] * value;
            }
        } else {
            for (std::size_t i = 0; i < n; ++i) sum += rule.weights[i] * product_at(elements, z, h + h * rule.nodes[i]);
        }
        // With three or more factors an intermediate product can underflow while the last is fine.
        const bool plain =
            elements.size() <= 2 && std::isfinite(sum) && (std::fabs(sum) >= SMALLEST_PLAIN_SUM || vanishes);
        total += plain ? h * sum
                     : scaled_product_rule(rule, elements, z, length);
    }
    return total;
}

// stepped_product for a Voigt line alone or times a polynomial element (takes_runs), unweighted:
// the same steps, nodes and sums, with the line's values at a step's nodes taken together.
Result<double> line_product(std::span<const Element* const> elements, const std::vector<double>& knots) {
    const std::size_t line = elements.size() == 2 && is_polynomial(*elements[0]) ? 1 : 0;
    const ProfileElement& p = std::get<ProfileElement>(elements[line]->kind);
    const Element* other = elements.size() == 2 ? elements[1 - line] : nullptr;
    const ValueWithDerivatives values(p.profile, {});
    double total = 0.0;
    SPANLET_TRY_STATUS(for_each_adaptive_step(elements, std::nullopt, knots, [&](const Rule& rule, double z, double next) {
        const double h = (next - z) * 0.5;
        const std::size_t n = std::min({rule.nodes.size(), rule.weights.size(), LARGEST_SHARED_RULE});
        double at[LARGEST_SHARED_RULE] = {};
        profile_at_nodes(p, values, rule, n, z, h, 1, at);
        double sum = 0.0;
        for (std::size_t i = 0; i < n; ++i) {
            const double product = other ? at[i] * evaluate_local(*other, z, h + h * rule.nodes[i]) : at[i];
            sum += rule.weights[i] * product;
        }
        total += h * sum;
    }));
    return total;
}

Result<double> stepped_product(std::span<const Element* const> elements, CosineWeight omega,
                                const std::vector<double>& knots) {
    if (!omega && takes_runs(elements)) return line_product(elements, knots);
    return integrate_adaptively(elements, omega, knots,
                                [&](double z, double s) { return product_at(elements, z, s); });
}

}  // namespace

bool is_polynomial(const Element& element) {
    return std::visit(Overloaded{
                          [](const Delta&) { return true; },
                          [](const Box&) { return true; },
                          [](const Hat&) { return true; },
                          [](const Shaped&) { return true; },
                          [](const ProfileElement&) { return false; },
                          [](const Mapped& m) { return m.kind == MapKind::Affine && is_polynomial(*m.inner); },
                      },
                      element.kind);
}

void profile_at_nodes(const ProfileElement& p, const ValueWithDerivatives& values, const Rule& rule, std::size_t n,
                      double z, double h, std::size_t stride, double* out) {
    constexpr std::size_t BATCH = 64;
    double xs[BATCH];
    std::size_t first = 0, inside = 0;  // the batch's first node, and its length
    for (std::size_t i = 0; i < n; ++i) {
        const double s = h + h * rule.nodes[i];
        if (s < p.lower - z || s > p.upper - z) continue;
        if (inside == 0) first = i;
        xs[inside++] = (z - p.center) + s;
        if (inside == BATCH) {
            values(xs, out + first * stride, inside);
            inside = 0;
        }
    }
    if (inside > 0) values(xs, out + first * stride, inside);
}

bool takes_runs(std::span<const Element* const> elements) {
    if (elements.empty() || elements.size() > 2) return false;
    const std::size_t line = elements.size() == 2 && is_polynomial(*elements[0]) ? 1 : 0;
    const auto* p = std::get_if<ProfileElement>(&elements[line]->kind);
    if (!p || !std::holds_alternative<Voigt>(p->profile)) return false;
    return elements.size() == 1 || is_polynomial(*elements[1 - line]);
}

std::optional<double> polynomial_integral(const Element& element) {
    return std::visit(Overloaded{
                          [](const Delta&) -> std::optional<double> { return 1.0; },
                          [](const Box& b) -> std::optional<double> { return b.upper - b.lower; },
                          [](const Hat& h) -> std::optional<double> { return (h.upper - h.lower) * 0.5; },
                          [](const Shaped& s) -> std::optional<double> {
                              double sum = 0.0;
                              for (const Segment& seg : s.shape->segments()) {
                                  const double l = seg.b - seg.a;
                                  sum += l * (seg.c0 + l * (seg.c1 * 0.5 + l * (seg.c2 / 3.0 + l * seg.c3 * 0.25)));
                              }
                              return s.stretch * sum;
                          },
                          [](const ProfileElement&) -> std::optional<double> { return std::nullopt; },
                          [](const Mapped& m) -> std::optional<double> {
                              if (m.kind == MapKind::Reciprocal) return std::nullopt;
                              const auto inner_value = polynomial_integral(*m.inner);
                              if (!inner_value) return std::nullopt;
                              return m.jacobian ? *inner_value : *inner_value * std::fabs(m.b);
                          },
                      },
                      element.kind);
}

namespace {

double mapped_step_limit(const Mapped& m, double t);

// A step towards the center is sized by the distance that remains after it.
double towards_center(const ProfileElement& p, double r) {
    return step(p.profile, std::fmax(r - step(p.profile, r), 0.0));
}

// The step, in the inner variable u, of an element seen through a map.
double inner_step_limit(const Element& inner, double u) {
    return std::visit(Overloaded{
                          [](const Delta&) { return INF; },
                          [](const Box&) { return INF; },
                          [](const Hat&) { return INF; },
                          [](const Shaped&) { return INF; },
                          [u](const ProfileElement& p) { return towards_center(p, std::fabs(u - p.center)); },
                          [u](const Mapped& m) { return mapped_step_limit(m, u); },
                      },
                      inner.kind);
}

// A mapped element's step: the inner element's step carried through the map, shortened by a
// safety factor for the map's curvature; a reciprocal map also bounds the step by |t|.
double mapped_step_limit(const Mapped& m, double t) {
    const bool reciprocal = m.kind == MapKind::Reciprocal;
    const double u = reciprocal ? m.a / t : (t - m.a) / m.b;
    double g = inner_step_limit(*m.inner, u);
    if (std::isfinite(g)) {
        // g / |du/dt| without forming du/dt: a / t^2 and 1 / b over- or underflow at extreme
        // scales, which would give a zero step. For the reciprocal map |du/dt| = |u| / |t|.
        g = MAPPED_STEP_SAFETY * g * (reciprocal ? std::fabs(t) / std::fabs(u) : std::fabs(m.b));
    } else {
        g = INF;
    }
    return reciprocal ? std::fmin(g, std::fabs(t) * RECIPROCAL_STEP_FRACTION) : g;
}

}  // namespace

double step_limit(const Element& element, double t) {
    // Piecewise polynomials are integrated on their knot intervals and set no limit of their own.
    return std::visit(Overloaded{
                          [](const Delta&) { return INF; },
                          [](const Box&) { return INF; },
                          [](const Hat&) { return INF; },
                          [](const Shaped&) { return INF; },
                          [t](const ProfileElement& p) {
                              return t >= p.center ? step(p.profile, t - p.center) : towards_center(p, p.center - t);
                          },
                          [t](const Mapped& m) { return mapped_step_limit(m, t); },
                      },
                      element.kind);
}

double largest_step(const Element& element) {
    return std::visit(Overloaded{
                          [](const ProfileElement& p) {
                              // Kinds whose step does not depend on the distance from the center.
                              const bool fixed = std::holds_alternative<Gaussian>(p.profile) ||
                                                 std::holds_alternative<Matern>(p.profile) ||
                                                 std::holds_alternative<SmoothedBox>(p.profile) ||
                                                 std::holds_alternative<Fts>(p.profile) ||
                                                 std::holds_alternative<Harmonic>(p.profile);
                              return fixed ? step(p.profile, 0.0) : INF;
                          },
                          [](const Mapped& m) {
                              // An affine map stretches the inner step by |b| at most (less the safety factor).
                              if (m.kind != MapKind::Affine) return INF;
                              return largest_step(*m.inner) * std::fabs(m.b);
                          },
                          [](const auto&) { return INF; },
                      },
                      element.kind);
}

Error step_budget_exceeded(double lo, double hi) {
    return Error::invalid("adaptive integration over [" + decimal(lo) + ", " + decimal(hi) + "] needs more than " +
                          std::to_string(ADAPTIVE_STEP_BUDGET) + " steps");
}

void sorted_knots(std::span<const Element* const> elements, std::vector<double>& knots, double lo, double hi) {
    knots.clear();
    knots.push_back(lo);
    knots.push_back(hi);
    for (const Element* e : elements) push_knots(*e, knots, lo, hi);
    std::sort(knots.begin(), knots.end(), TotalOrderLess{});
    knots.erase(std::unique(knots.begin(), knots.end()), knots.end());
    // A knot interval wider than the largest double is halved, so that every length is finite.
    if (!std::isfinite(knots.back() - knots.front()))
        for (std::size_t j = 0; j + 1 < knots.size(); ++j)
            if (std::isfinite(knots[j]) && std::isfinite(knots[j + 1]) && !std::isfinite(knots[j + 1] - knots[j]))
                knots.insert(knots.begin() + static_cast<std::ptrdiff_t>(j + 1), knots[j] * 0.5 + knots[j + 1] * 0.5);
}

Result<double> integrate_product(std::span<const Element* const> elements, CosineWeight omega,
                                 const std::vector<double>& knots) {
    if (knots.size() < 2) return 0.0;
    const bool exact = !omega && std::all_of(elements.begin(), elements.end(),
                                             [](const Element* e) { return is_polynomial(*e); });
    if (exact) return exact_product(elements, knots);
    if (omega && std::all_of(elements.begin(), elements.end(), [](const Element* e) { return is_polynomial(*e); }))
        return polynomial_cosine_integral(elements, *omega, knots);
    return stepped_product(elements, omega, knots);
}

Result<double> integral(const Element& element, CosineWeight omega, std::vector<double>& knots) {
    if (const auto* d = std::get_if<Delta>(&element.kind)) return omega ? std::cos(*omega * d->position) : 1.0;
    if (!omega) {
        if (const auto value = polynomial_integral(element)) return *value;
    }
    const Support s = support(element);
    const Element* one[1] = {&element};
    sorted_knots(one, knots, s.lo, s.hi);
    return integrate_product(one, omega, knots);
}

Result<double> inner(const Element& e1, const Element& e2, CosineWeight omega, std::vector<double>& knots) {
    const auto* d1 = std::get_if<Delta>(&e1.kind);
    const auto* d2 = std::get_if<Delta>(&e2.kind);
    if (d1 && d2) return d1->position == d2->position ? 1.0 : 0.0;
    if (d1 || d2) {
        const double p = d1 ? d1->position : d2->position;
        const double value = evaluate(d1 ? e2 : e1, p);
        return omega ? value * std::cos(*omega * p) : value;
    }
    const Support s1 = support(e1), s2 = support(e2);
    const double lo = std::max(s1.lo, s2.lo), hi = std::min(s1.hi, s2.hi);
    if (!(hi > lo)) return 0.0;
    const Element* pair[2] = {&e1, &e2};
    sorted_knots(pair, knots, lo, hi);
    return integrate_product(pair, omega, knots);
}

}  // namespace spanlet
