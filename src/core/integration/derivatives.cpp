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
#include "core/functions/faddeeva.hpp"

namespace spanlet {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr double FWHM_PER_SIGMA = 2.3548200450309493;


Error only_profiles(Parameter parameter) {
    return Error::invalid(std::string(debug_name(parameter)) + " applies only to line-shape profiles");
}

Error no_parameter(const Profile& profile, Parameter parameter) {
    return Error::invalid(debug(profile) + " has no parameter " + std::string(debug_name(parameter)));
}

double profile_slope(const ProfileElement& p, double x) {
    return p.lower <= x && x <= p.upper ? d_dt(p.profile, x - p.center) : 0.0;
}

// Quotient rule for a profile q * g(w) normalised by its peak g(0) = 1 / q.
double peak_normalised(double q, double dg, double g, double dpeak) { return q * dg - q * q * g * dpeak; }

double voigt_smooth(const Voigt& p, Parameter parameter, double w) {
    const double y_scale = p.sigma * SQRT2;
    const double xr = w / y_scale, yr = p.gamma / y_scale;
    const Complex big_w = faddeeva(xr, yr);
    // W' = -2 z W + 2i / sqrt(pi)
    const double dw_re = -2.0 * (xr * big_w.re - yr * big_w.im);
    const double dw_im = -2.0 * (xr * big_w.im + yr * big_w.re) + TWO_OVER_SQRT_PI;
    double d_re, dy;
    if (parameter == Parameter::Sigma) {
        d_re = -(xr * dw_re - yr * dw_im) / p.sigma;
        dy = -yr / p.sigma;
    } else {
        d_re = -dw_im / y_scale;
        dy = 1.0 / y_scale;
    }
    const double peak = faddeeva(0.0, yr).re;
    const double d_peak = -(TWO_OVER_SQRT_PI - 2.0 * yr * peak) * dy;
    return peak_normalised(p.inv_peak, d_re, big_w.re, d_peak);
}

double smoothed_box_smooth(const SmoothedBox& p, Parameter parameter, double w) {
    const double f = p.sigma * SQRT2;
    const double a = (w + p.half_width) / f, b = (w - p.half_width) / f, c = p.half_width / f;
    const double ea = std::exp(-a * a), eb = std::exp(-b * b), ec = std::exp(-c * c);
    double dg, dpeak;
    if (parameter == Parameter::HalfWidth) {
        dg = TWO_OVER_SQRT_PI / f * (ea + eb);
        dpeak = TWO_OVER_SQRT_PI / f * 2.0 * ec;
    } else {
        dg = -TWO_OVER_SQRT_PI / p.sigma * (a * ea - b * eb);
        dpeak = -TWO_OVER_SQRT_PI / p.sigma * 2.0 * c * ec;
    }
    return peak_normalised(p.inv_peak, dg, p.unscaled(w), dpeak);
}

// The smooth derivative of a profile at offset w for a line-shape parameter (not Center/Scale).
Result<double> profile_smooth(const Profile& profile, Parameter parameter, double w) {
    return std::visit(
        Overloaded{
            [&](const Gaussian& p) -> Result<double> {
                if (parameter != Parameter::Sigma) return no_parameter(profile, parameter);
                return p.value(w) * (w * w) / (p.sigma * p.sigma * p.sigma);
            },
            [&](const Lorentzian& p) -> Result<double> {
                if (parameter != Parameter::Gamma) return no_parameter(profile, parameter);
                const double e = w / p.hwhm, q = 1.0 + e * e;
                return 2.0 * e * e / (p.hwhm * (q * q));
            },
            [&](const Voigt& p) -> Result<double> {
                if (parameter != Parameter::Sigma && parameter != Parameter::Gamma)
                    return no_parameter(profile, parameter);
                return voigt_smooth(p, parameter, w);
            },
            [&](const PseudoVoigt& p) -> Result<double> {
                if (parameter != Parameter::Eta) return no_parameter(profile, parameter);
                const double e = w / p.hwhm, e2 = e * e;
                return 1.0 / (1.0 + e2) - std::exp(-LN2 * e2);
            },
            [&](const SuperGaussian& p) -> Result<double> {
                if (parameter != Parameter::Power && parameter != Parameter::Asymmetry)
                    return no_parameter(profile, parameter);
                if (w == 0.0) return 0.0;
                const double side = w < 0.0 ? p.hwhm_left : p.hwhm_right;
                const double f = std::fabs(w) / side, fp = std::pow(f, p.power);
                if (parameter == Parameter::Power) return p.value(w) * fp * -LN2 * std::log(f);
                const double half = (p.hwhm_left + p.hwhm_right) * 0.5;
                const double d = half * (p.power * LN2 * fp / side) * p.value(w);
                return w < 0.0 ? -d : d;
            },
            [&](const SmoothedBox& p) -> Result<double> {
                if (parameter != Parameter::Sigma && parameter != Parameter::HalfWidth)
                    return no_parameter(profile, parameter);
                return smoothed_box_smooth(p, parameter, w);
            },
            [&](const Fts&) -> Result<double> { return no_parameter(profile, parameter); },
            [&](const Matern&) -> Result<double> { return no_parameter(profile, parameter); },
            [&](const Harmonic&) -> Result<double> { return no_parameter(profile, parameter); },
        },
        profile);
}

// Factors (f_lo, f_hi) by which the moving cut-off ends weigh the profile's end values.
Result<std::pair<double, double>> cutoff_factors(const Profile& profile, Parameter parameter, double q) {
    using Factors = Result<std::pair<double, double>>;
    return std::visit(
        Overloaded{
            [&](const Gaussian&) -> Factors {
                if (parameter != Parameter::Sigma) return no_parameter(profile, parameter);
                return std::pair{q, q};
            },
            [&](const Lorentzian&) -> Factors {
                if (parameter != Parameter::Gamma) return no_parameter(profile, parameter);
                return std::pair{q, q};
            },
            [&](const Voigt& p) -> Factors {
                // Derivatives of the half width 0.5 (0.5346 fL + sqrt(0.2166 fL^2 + fG^2)).
                const double fg = p.sigma * FWHM_PER_SIGMA, l = p.gamma * 2.0 * 0.2166;
                const double k = std::sqrt(fg * fg + 2.0 * p.gamma * l);
                if (parameter == Parameter::Sigma) {
                    const double d = q * (fg * 0.5 * FWHM_PER_SIGMA / k);
                    return std::pair{d, d};
                }
                if (parameter == Parameter::Gamma) {
                    const double d = q * ((2.0 * l / k + 1.0692) * 0.5);
                    return std::pair{d, d};
                }
                return no_parameter(profile, parameter);
            },
            [&](const PseudoVoigt&) -> Factors {
                if (parameter != Parameter::Eta) return no_parameter(profile, parameter);
                return std::pair{0.0, 0.0};
            },
            [&](const SuperGaussian& p) -> Factors {
                if (parameter == Parameter::Power) return std::pair{0.0, 0.0};
                if (parameter == Parameter::Asymmetry) {
                    const double half = (p.hwhm_left + p.hwhm_right) * 0.5;
                    return std::pair{-q * half, q * half};
                }
                return no_parameter(profile, parameter);
            },
            [&](const SmoothedBox&) -> Factors {
                if (parameter == Parameter::Sigma) return std::pair{q, q};
                if (parameter == Parameter::HalfWidth) return std::pair{1.0, 1.0};
                return no_parameter(profile, parameter);
            },
            [&](const Fts&) -> Factors { return no_parameter(profile, parameter); },
            [&](const Matern&) -> Factors { return no_parameter(profile, parameter); },
            [&](const Harmonic&) -> Factors { return no_parameter(profile, parameter); },
        },
        profile);
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

// h * sum of w_i f(m + h x_i) over [lo, hi].
template <class F>
double apply_rule(const Rule& rule, double lo, double hi, F&& f) {
    const double m = (lo + hi) * 0.5, h = (hi - lo) * 0.5;
    const std::size_t n = std::min(rule.nodes.size(), rule.weights.size());
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += rule.weights[i] * f(m + h * rule.nodes[i]);
    return h * sum;
}

// The integral of f over the knot intervals: the 4-point rule per interval when `exact`, else
// the adaptive stepping of integrate_product with the step limits of the elements.
template <class F>
Result<double> integrate_over_knots(std::span<const Element* const> elements, CosineWeight omega, bool exact,
                                    const std::vector<double>& knots, F&& f) {
    double total = 0.0;
    if (knots.size() < 2) return total;
    if (exact) {
        for (std::size_t j = 0; j + 1 < knots.size(); ++j) total += apply_rule(gl4(), knots[j], knots[j + 1], f);
        return total;
    }
    auto integrand = [&](double t) { return omega ? f(t) * std::cos(*omega * t) : f(t); };
    SPANLET_TRY_STATUS(for_each_adaptive_step(elements, omega, knots, [&](const Rule& rule, double e, double next) {
        total += apply_rule(rule, e, next, integrand);
    }));
    return total;
}

// d_smooth inside an integral, where the parameter has been accepted: a failure counts as 0.
double smooth_or_zero(const Element& element, Parameter parameter, double t) {
    const Result<double> r = d_smooth(element, parameter, t);
    return r ? r.value() : 0.0;
}

}  // namespace

double slope(const Element& element, double x) {
    return std::visit(Overloaded{
                          [](const Delta&) { return 0.0; },
                          [](const Box&) { return 0.0; },
                          [x](const Hat& h) {
                              if (x < h.lower || x > h.upper || x == h.peak) return 0.0;
                              if (x < h.peak) return 1.0 / (h.peak - h.lower);
                              return -1.0 / (h.upper - h.peak);
                          },
                          [x](const Shaped& s) {
                              const double u = (x - s.center) / s.stretch;
                              const Segment* seg = s.shape->segment_at(u);
                              if (!seg) return 0.0;
                              const double t = u - seg->a;
                              return (seg->c1 + t * (2.0 * seg->c2 + 3.0 * seg->c3 * t)) / s.stretch;
                          },
                          [x](const ProfileElement& p) { return profile_slope(p, x); },
                          [x](const Mapped& m) {
                              if (x < m.lower || x > m.upper) return 0.0;
                              const bool reciprocal = m.kind == MapKind::Reciprocal;
                              const double u = reciprocal ? m.a / x : (x - m.a) / m.b;
                              const double g = reciprocal ? -m.a / (x * x) : 1.0 / m.b;
                              const double s = slope(*m.inner, u);
                              if (!m.jacobian) return g * s;
                              const double h = reciprocal ? 2.0 * m.a / (x * x * x) : 0.0;
                              const double sign = std::isnan(g) ? g : std::copysign(1.0, g);
                              return g * s * std::fabs(g) + sign * evaluate(*m.inner, u) * h;
                          },
                      },
                      element.kind);
}

Result<double> d_smooth(const Element& element, Parameter parameter, double x) {
    // A shift or a stretch of any unmapped element, through its slope.
    auto moved = [&]() -> Result<double> {
        if (parameter == Parameter::Center) return -slope(element, x);
        if (parameter == Parameter::Scale) return -(x - center(element)) * slope(element, x);
        return only_profiles(parameter);
    };
    return std::visit(Overloaded{
                          [&](const Delta&) { return moved(); },
                          [&](const Box&) { return moved(); },
                          [&](const Hat&) { return moved(); },
                          [&](const Shaped&) { return moved(); },
                          [&](const ProfileElement& p) -> Result<double> {
                              if (x < p.lower || x > p.upper) return 0.0;
                              if (parameter == Parameter::Center || parameter == Parameter::Scale) return moved();
                              return profile_smooth(p.profile, parameter, x - p.center);
                          },
                          // Center and scale of a mapped element are those of its inner element.
                          [&](const Mapped& m) -> Result<double> {
                              if (x < m.lower || x > m.upper) return 0.0;
                              const bool reciprocal = m.kind == MapKind::Reciprocal;
                              const double u = reciprocal ? m.a / x : (x - m.a) / m.b;
                              SPANLET_TRY(r, d_smooth(*m.inner, parameter, u));
                              if (!m.jacobian) return r;
                              return r * (reciprocal ? std::fabs(-m.a / (x * x)) : std::fabs(1.0 / m.b));
                          },
                      },
                      element.kind);
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
                out.push_back({p.lower, v_lo * f.first});
                out.push_back({p.upper, v_hi * f.second});
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
    double point = -0.0;
    for (const PointMass& p : masses) {
        if (!(sb.lo <= p.x && p.x <= sb.hi)) continue;
        const double v = p.m * evaluate(b, p.x);
        point += omega ? v * std::cos(*omega * p.x) : v;
    }
    const double lo = std::fmax(sa.lo, sb.lo), hi = std::fmin(sa.hi, sb.hi);
    if (!(lo < hi)) return point + 0.0;
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
    return integrate_over_knots(elements, omega, exact, knots, [&](double t) {
        double v = smooth_or_zero(first, parameter, t);
        for (const Element* e : rest) v *= evaluate(*e, t);
        return v;
    });
}

Result<double> integral_derivative(const Element& element, Parameter parameter, CosineWeight omega,
                                   const PointMasses& masses, std::vector<double>& knots) {
    if (const auto* d = std::get_if<Delta>(&element.kind)) {
        if (parameter == Parameter::Center && omega) return -*omega * std::sin(*omega * d->position);
        return 0.0;
    }
    double point = -0.0;
    for (const PointMass& p : masses) point += omega ? p.m * std::cos(*omega * p.x) : p.m;
    const Support s = support(element);
    const Element* one[1] = {&element};
    sorted_knots(one, knots, s.lo, s.hi);
    const bool exact = !omega && is_polynomial(element);
    SPANLET_TRY(smooth, integrate_over_knots(one, omega, exact, knots,
                                             [&](double t) { return smooth_or_zero(element, parameter, t); }));
    return point + smooth;
}

}  // namespace spanlet
