#include "core/covariance/covariance1d.hpp"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/base/format.hpp"
#include "core/base/pool.hpp"
#include "core/elements/local.hpp"
#include "core/integration/quadrature.hpp"
#include "core/spaces/space.hpp"
#include "core/integration/adaptive_steps.hpp"
#include "core/base/constants.hpp"

namespace spanlet::covariance {

namespace {

// The kernel is cut where it falls below this fraction of its peak k(0) = 1.
constexpr double KERNEL_TAIL = 1e-17;
// The cutoff multiple grows in these steps until the kernel is below the tail there.
constexpr double CUTOFF_INCREMENT = 0.5;
// Outer panels span at most half the kernel's decay length l / rate.
constexpr double KERNEL_STEP_FRACTION = 0.5;
// Knot intervals longer than this many cutoff radii hold no point within R of a kink.
constexpr double KINK_REACH = 2.0;


struct Family {
    Profile kernel;
    double rate;
};

std::optional<Family> family_named(std::string_view name, double length) {
    if (name == "gaussian" || name == "squared_exponential") return Family{Gaussian{length}, 1.0};
    if (name == "matern12" || name == "exponential") return Family{Matern{MaternOrder::Half, length}, 1.0};
    if (name == "matern32") return Family{Matern{MaternOrder::ThreeHalves, length}, SQRT3};
    if (name == "matern52") return Family{Matern{MaternOrder::FiveHalves, length}, SQRT5};
    return std::nullopt;
}

// A double as an image number: saturated at the integer range, NaN as 0.
std::int64_t image_number(double x) {
    if (std::isnan(x)) return 0;
    if (x >= 9223372036854775807.0) return INT64_MAX;
    if (x <= -9223372036854775808.0) return INT64_MIN;
    return static_cast<std::int64_t>(x);
}

// The images n = first .. last, inclusive; empty when first > last.
struct Images {
    std::int64_t first, last;

    template <class F>
    Status each(F&& f) const {
        if (first > last) return success();
        for (std::int64_t n = first;; ++n) {
            SPANLET_TRY_STATUS(f(n));
            if (n == last) return success();
        }
    }
};

constexpr Images NO_IMAGES{1, 0};
constexpr Images ONLY_IMAGE{0, 0};

// Images n whose shift n P lies within [lo, hi].
Images shifts_within(double lo, double hi, double period) {
    return {image_number(std::ceil(lo / period)), image_number(std::floor(hi / period))};
}

double shift(const Covariance1d& c, std::int64_t n) { return c.period ? static_cast<double>(n) * *c.period : 0.0; }

// The kernel centred on c, cut at c -+ R.
Element kernel_element(const Covariance1d& c, double at) {
    return Element{ProfileElement{c.kernel, at, at - c.radius, at + c.radius, c.cutoff}};
}

// Images of the kernel at x that reach the support [lo, hi].
Images point_images(const Covariance1d& c, double x, Support s) {
    if (!c.period) return x + c.radius >= s.lo && x - c.radius <= s.hi ? ONLY_IMAGE : NO_IMAGES;
    return shifts_within(s.lo - c.radius - x, s.hi + c.radius - x, *c.period);
}

double weighted(CosineWeight omega, double t, double v) { return omega ? v * std::cos(*omega * t) : v; }

double factor_at(const Element* factor, double p) { return factor ? evaluate(*factor, p) : 1.0; }

// The overlap of the three supports (NaN ends ignored); empty when hi <= lo.
Support overlap(const Element& k, const Element& e, const Element& s) {
    const Support a = support(k), b = support(e), c = support(s);
    return {std::fmax(std::fmax(a.lo, b.lo), c.lo), std::fmin(std::fmin(a.hi, b.hi), c.hi)};
}

// One image's value and derivative for an element under a factor: the triple product with the kernel.
Result<ValueAndDerivative> factored_image(const Element& kernel, const Element& e, CosineWeight omega,
                                          const Element& factor, bool with_derivative, Scratch& scratch) {
    const Element* triple[3] = {&kernel, &e, &factor};
    const Support o = overlap(kernel, e, factor);
    const bool meets = o.hi > o.lo;
    double v = 0.0;
    if (meets) {
        sorted_knots(triple, scratch.inner_knots, o.lo, o.hi);
        SPANLET_TRY(value, integrate_product(triple, omega, scratch.inner_knots));
        v = value;
    }
    if (!with_derivative) return ValueAndDerivative{v, 0.0};
    SPANLET_TRY_STATUS(jumps(kernel, Parameter::Scale, scratch.masses));
    const Support se = support(e);
    double point = EMPTY_SUM;
    for (const PointMass& p : scratch.masses)
        if (se.lo <= p.x && p.x <= se.hi) point += weighted(omega, p.x, p.m * evaluate(e, p.x) * evaluate(factor, p.x));
    if (!meets) return ValueAndDerivative{v, without_negative_zero(point)};
    SPANLET_TRY(smooth, smooth_derivative_product(triple, Parameter::Scale, omega, scratch.inner_knots));
    return ValueAndDerivative{v, point + smooth};
}

// The kernel of unit length: k(r) = k1(r / l), and its step in units of l.
Profile unit_kernel(const Profile& kernel) {
    if (const auto* m = std::get_if<Matern>(&kernel)) return Matern{m->order, 1.0};
    return Gaussian{1.0};
}

// A kernel whose cutoff radius spans fewer than this many spacings of the doubles at its center is
// integrated in its own scaled offsets: steps in absolute coordinates resolve it poorly, and below
// half a spacing its support collapses onto the center (the covariance would come out as 0).
constexpr double RESOLVED_SPACINGS = 0x1p30;

// Below this length the kernel's slopes, of order 1 / l, overflow: only scaled offsets give its
// length derivative.
constexpr double SHORTEST_UNSCALED_LENGTH = 0x1p-1000;

bool resolved(const Covariance1d& c, double at) {
    const double a = std::fabs(at);
    return c.length >= SHORTEST_UNSCALED_LENGTH && !(c.radius < RESOLVED_SPACINGS * (std::nextafter(a, INF) - a));
}

// One image of the kernel centred on `at` against e (its weight and factor) where the doubles near
// `at` cannot resolve the kernel: the integral runs over the scaled offset u = (t - at) / l in
// [-Q, Q], the kernel of unit length gives k and -u k'(u) from u alone, and e and the factor are
// evaluated at at + l u in local coordinates. Down to the narrowest kernels this is the near-delta
// limit without its error at knots of e that the kernel straddles.
Result<ValueAndDerivative> scaled_image(const Covariance1d& c, double at, const Element& e, CosineWeight omega,
                                        const Element* factor, bool with_derivative, Scratch& scratch) {
    const double l = c.length, q = c.cutoff;
    const Profile unit = unit_kernel(c.kernel);
    const double cos_at = omega ? std::cos(*omega * at) : 1.0, sin_at = omega ? std::sin(*omega * at) : 0.0;
    auto rest = [&](double s) {  // e, factor and weight at at + s
        double v = evaluate_local(e, at, s);
        if (factor && v != 0.0) v *= evaluate_local(*factor, at, s);
        if (omega && v != 0.0) v *= cos_at * std::cos(*omega * s) - sin_at * std::sin(*omega * s);
        return v;
    };
    if (const auto* d = std::get_if<Delta>(&e.kind)) {
        const double u = (d->position - at) / l;
        if (!(std::fabs(u) <= q)) return ValueAndDerivative{0.0, 0.0};
        const double f = weighted(omega, d->position, factor ? evaluate(*factor, d->position) : 1.0);
        return ValueAndDerivative{value(unit, u) * f, with_derivative ? -u * d_dt(unit, u) * f : 0.0};
    }
    // The pieces: [-Q, Q] within the supports, split at the center and at every knot of e and the
    // factor it holds.
    const Support se = support(e);
    double lo = std::fmax(-q, (se.lo - at) / l), hi = std::fmin(q, (se.hi - at) / l);
    if (factor) {
        const Support sf = support(*factor);
        lo = std::fmax(lo, (sf.lo - at) / l);
        hi = std::fmin(hi, (sf.hi - at) / l);
    }
    double value_sum = 0.0, derivative_sum = 0.0;
    if (hi > lo) {
        std::vector<double>& knots = scratch.inner_knots;
        knots.clear();
        const double t_lo = std::nextafter(at - c.radius, -INF), t_hi = std::nextafter(at + c.radius, INF);
        push_knots(e, knots, t_lo, t_hi);
        if (factor) push_knots(*factor, knots, t_lo, t_hi);
        for (double& k : knots) k = (k - at) / l;
        knots.push_back(0.0);
        std::erase_if(knots, [&](double u) { return !(lo < u && u < hi); });
        knots.push_back(lo);
        knots.push_back(hi);
        std::sort(knots.begin(), knots.end());
        knots.erase(std::unique(knots.begin(), knots.end()), knots.end());
        const double cap = std::fmin(step(unit, 0.0), omega ? WEIGHT_STEP_RADIANS / (std::fabs(*omega) * l) : INF);
        const Rule& rule = gl8();
        std::uint64_t steps = 0;
        for (std::size_t j = 0; j + 1 < knots.size(); ++j) {
            const double end = knots[j + 1];
            for (double u = knots[j]; u < end;) {
                double next = u + STEP_ALLOWANCE * cap >= end ? end : u + cap;
                if (!(next > u)) next = std::nextafter(u, end);
                if (++steps > ADAPTIVE_STEP_BUDGET) return step_budget_exceeded(at - c.radius, at + c.radius);
                const double half = (next - u) * 0.5, mid = u + half;
                for (std::size_t i = 0; i < rule.nodes.size(); ++i) {
                    const double x = mid + half * rule.nodes[i];
                    const double r = rest(l * x);
                    if (r == 0.0) continue;
                    const double w = rule.weights[i] * half * r;
                    value_sum += value(unit, x) * w;
                    if (with_derivative) derivative_sum += -x * d_dt(unit, x) * w;
                }
                u = next;
            }
        }
    }
    if (with_derivative) {
        // The moving cut ends: point masses Q k(Q) (per unit of l) where they lie in e's support.
        const double mass = q * value(unit, q);
        if ((se.lo - at) / l <= -q && -q <= (se.hi - at) / l) derivative_sum += mass * rest(-c.radius);
        if ((se.lo - at) / l <= q && q <= (se.hi - at) / l) derivative_sum += mass * rest(c.radius);
    }
    return ValueAndDerivative{value_sum * l, derivative_sum * l};
}

// One image's value and derivative without a factor: inner products with the kernel.
Result<ValueAndDerivative> plain_image(const Element& kernel, const Element& e, CosineWeight omega,
                                       bool with_derivative, Scratch& scratch) {
    SPANLET_TRY(v, inner(e, kernel, omega, scratch.inner_knots));
    if (!with_derivative) return ValueAndDerivative{v, 0.0};
    SPANLET_TRY_STATUS(jumps(kernel, Parameter::Scale, scratch.masses));
    SPANLET_TRY(d, inner_derivative(kernel, e, Parameter::Scale, omega, scratch.masses, scratch.inner_knots));
    return ValueAndDerivative{v, d};
}

// A period far below the cutoff radius makes every outer node meet many images of b, and adds as
// many breakpoints: the work of an entry grows with the square of R / P. Refused up front where it
// would run for seconds or more, instead of appearing to hang.
Status check_image_work(const Covariance1d& c, std::size_t breakpoints, Support b) {
    const double images = (b.hi - b.lo + 2.0 * c.radius) / *c.period + 1.0;
    const double work = static_cast<double>(breakpoints) * static_cast<double>(gl8().nodes.size()) * images;
    if (work <= MAX_IMAGES_PER_ENTRY) return success();
    return Error::invalid("period " + decimal(*c.period) + " is too short for correlation length " + decimal(c.length) +
                          " between these atoms: one entry would integrate more than " +
                          std::to_string(static_cast<std::uint64_t>(MAX_IMAGES_PER_ENTRY)) + " kernel images");
}

// The outer breakpoints for a against b: a's ends and knots, and the places where the kernel's
// center or a cut end, moved by an image, crosses a knot of b, so the inner integral is smooth on
// every panel between them. The images that can add a breakpoint are counted per knot of b before
// any is added, so a period far below the atoms' width is refused before it fills memory.
Status outer_breakpoints(const Covariance1d& c, const Element& a, const Element* factor_a, const Element& b,
                         const Element* factor_b, Scratch& scratch) {
    const Support sa = support(a), sb = support(b);
    auto gather = [](std::vector<double>& out, const Element& e, const Element* factor, Support s) {
        out.clear();
        out.push_back(s.lo);
        out.push_back(s.hi);
        push_knots(e, out, s.lo, s.hi);
        if (factor) push_knots(*factor, out, s.lo, s.hi);
    };
    gather(scratch.knots_a, a, factor_a, sa);
    gather(scratch.knots_b, b, factor_b, sb);
    auto add = [&](double x) {
        if (sa.lo < x && x < sa.hi) scratch.knots_a.push_back(x);
    };
    if (!c.period) {
        if (sb.lo - sa.hi <= c.radius && sb.hi - sa.lo >= -c.radius)
            for (const double y : scratch.knots_b) {
                add(y);
                add(y - c.radius);
                add(y + c.radius);
            }
    } else {
        SPANLET_TRY_STATUS(check_image_work(c, scratch.knots_a.size(), sb));
        const Images all = shifts_within(sb.lo - sa.hi - c.radius, sb.hi - sa.lo + c.radius, *c.period);
        // For a knot y only the shifts within (lo_a - R, hi_a + R) of y can land inside a; one image
        // more on each side absorbs the rounding of the quotients.
        auto images_of = [&](double y) {
            const Images near = shifts_within(y - sa.hi - c.radius, y - sa.lo + c.radius, *c.period);
            return Images{std::max(all.first, near.first == INT64_MIN ? near.first : near.first - 1),
                          std::min(all.last, near.last == INT64_MAX ? near.last : near.last + 1)};
        };
        double count = 0.0;
        for (const double y : scratch.knots_b) {
            const Images n = images_of(y);
            if (n.first <= n.last) count += static_cast<double>(n.last) - static_cast<double>(n.first) + 1.0;
        }
        SPANLET_TRY_STATUS(check_image_work(c, scratch.knots_a.size() + static_cast<std::size_t>(std::fmin(count, 1e18)), sb));
        for (const double y : scratch.knots_b)
            (void)images_of(y).each([&](std::int64_t n) {
                const double s = shift(c, n);
                add(y - s);
                add(y - s - c.radius);
                add(y - s + c.radius);
                return success();
            });
    }
    std::sort(scratch.knots_a.begin(), scratch.knots_a.end(), TotalOrderLess{});
    scratch.knots_a.erase(std::unique(scratch.knots_a.begin(), scratch.knots_a.end()), scratch.knots_a.end());
    return success();
}

// The steps of b's integral against one kernel image, at least: the overlap over the longest step
// that the kernel, b, its factor and its weight allow. In units of the length, which may be
// subnormal (where the kernel's own step underflows to 0).
double image_steps(const Covariance1d& c, const Element& b, CosineWeight omega_b, const Element* factor_b) {
    if (std::holds_alternative<Delta>(b.kind)) return 1.0;
    const Support sb = support(b);
    const double l = c.length;
    double g = step(unit_kernel(c.kernel), 0.0);
    if (omega_b) g = std::fmin(g, WEIGHT_STEP_RADIANS / std::fabs(*omega_b) / l);
    g = std::fmin(g, largest_step(b) / l);
    if (factor_b) g = std::fmin(g, largest_step(*factor_b) / l);
    return std::fmax(1.0, std::floor(std::fmin(2.0 * c.cutoff, (sb.hi - sb.lo) / l) / (STEP_ALLOWANCE * g)));
}

// The kernel images that one point meets on b's support.
double images_per_point(const Covariance1d& c, const Element& b) {
    if (!c.period) return 1.0;
    const Support sb = support(b);
    return std::floor((sb.hi - sb.lo + 2.0 * c.radius) / *c.period) + 1.0;
}

// The refusal of an entry whose integrals would take more than MAX_STEPS_PER_ENTRY steps.
Error entry_too_costly(const Covariance1d& c, CosineWeight omega_a, CosineWeight omega_b) {
    std::string what = "correlation length " + decimal(c.length);
    if (c.period) what += ", period " + decimal(*c.period);
    if (omega_a) what += ", cosine weight " + decimal(*omega_a);
    if (omega_b && (!omega_a || *omega_b != *omega_a)) what += ", cosine weight " + decimal(*omega_b);
    return Error::invalid(what + ": one covariance entry between these atoms would take more than " +
                          std::to_string(static_cast<std::uint64_t>(MAX_STEPS_PER_ENTRY)) + " integration steps");
}

// Both atoms elements: the outer integral over a of the covariance of b with each point.
Result<ValueAndDerivative> between_elements(const Covariance1d& c, const Element& a, CosineWeight omega_a,
                                            const Element* factor_a, const Element& b, CosineWeight omega_b,
                                            const Element* factor_b, bool with_derivative, Scratch& scratch) {
    SPANLET_TRY_STATUS(outer_breakpoints(c, a, factor_a, b, factor_b, scratch));
    const std::vector<double>& knots = scratch.knots_a;
    if (knots.size() < 2) return ValueAndDerivative{0.0, 0.0};
    if (c.period) SPANLET_TRY_STATUS(check_image_work(c, knots.size(), support(b)));
    // Panels no longer than kernel_step keep the inner integral smooth where the kernel's center or
    // a cut end crosses a knot of b: within R of such a kink, which always falls in a knot interval
    // no longer than R (up to the rounding of the breakpoints, hence KINK_REACH). On a longer
    // interval no knot of b lies within R of any point, so for a piecewise-polynomial b (and
    // factor) the inner integral is a polynomial there and the kernel bounds no panel. This keeps a
    // correlation length far below the atoms' width cheap, down to a subnormal one whose step is 0.
    // Each side's weight bounds every panel: the inner integral oscillates with b's weight as much
    // as the outer integrand does with a's.
    const bool polynomial_b = is_polynomial(b) && (!factor_b || is_polynomial(*factor_b));
    const double cap = std::fmin(omega_a ? WEIGHT_STEP_RADIANS / std::fabs(*omega_a) : INF,
                                 omega_b ? WEIGHT_STEP_RADIANS / std::fabs(*omega_b) : INF);
    auto limit = [&](std::size_t j, double t) {
        const double kernel_step = polynomial_b && knots[j + 1] - knots[j] > KINK_REACH * c.radius ? INF : c.kernel_step;
        return std::fmin(std::fmin(kernel_step, step_limit(a, t)), cap);
    };
    // The panels are counted before any inner integral is taken: every node of a panel integrates b
    // against each kernel image it meets, so the entry's work is their product.
    const double per_panel = static_cast<double>(gl8().nodes.size()) * images_per_point(c, b) *
                             image_steps(c, b, omega_b, factor_b);
    double work = 0.0;
    SPANLET_TRY_STATUS(for_each_step(knots, false, limit, [&](const Rule&, double, double) -> Status {
        work += per_panel;
        if (work > MAX_STEPS_PER_ENTRY) return entry_too_costly(c, omega_a, omega_b);
        return success();
    }));
    double value = 0.0, derivative = 0.0;
    SPANLET_TRY_STATUS(for_each_step(knots, false, limit, [&](const Rule& rule, double t, double next) -> Status {
        // An entry may take up to the step budget; a cancelled call skips its remaining panels (the
        // result is dropped). Not in the counting pass, whose quick calls would stretch the pool's
        // polling stride.
        if (stop_requested()) return success();
        const double half = (next - t) * 0.5, mid = t + half;
        for (std::size_t i = 0; i < rule.nodes.size(); ++i) {
            const double u = mid + half * rule.nodes[i];
            double m = weighted(omega_a, u, evaluate(a, u));
            if (factor_a) m *= evaluate(*factor_a, u);
            if (m == 0.0) continue;
            SPANLET_TRY(vd, element_point(c, b, omega_b, factor_b, with_derivative, scratch, u));
            const double w = m * (half * rule.weights[i]);
            value += vd.first * w;
            derivative += vd.second * w;
        }
        return success();
    }));
    return ValueAndDerivative{value, derivative};
}

}  // namespace

Result<Covariance1d> Covariance1d::make(std::string_view family, double length, std::optional<double> period,
                                        std::optional<FactorInput> factor) {
    const auto chosen = family_named(family, length);
    if (!chosen) return Error::invalid("unknown covariance family " + quoted(family));
    SPANLET_TRY_STATUS(check_positive("correlation length", length));
    if (period) SPANLET_TRY_STATUS(check_positive("period", *period));
    double q = 1.0;
    while (value(chosen->kernel, q * length) > KERNEL_TAIL) q += CUTOFF_INCREMENT;
    const double radius = q * length;
    // A length near the top of the range puts the cut beyond every double.
    if (!std::isfinite(radius))
        return Error::invalid("correlation length " + decimal(length) + " puts the kernel's cutoff radius at " +
                              decimal(radius));
    // Every point meets about 2 R / P images; far too many would make every entry run for hours.
    if (period && 2.0 * radius / *period > MAX_IMAGES_PER_POINT)
        return Error::invalid("period " + decimal(*period) + " is too short for correlation length " +
                              decimal(length) + ": each point would meet more than " +
                              std::to_string(static_cast<std::uint64_t>(MAX_IMAGES_PER_POINT)) + " kernel images");
    std::optional<VarianceProfile> profile;
    if (factor) {
        SPANLET_TRY(fitted, fit_variance_profile(*factor));
        profile = std::move(fitted);
    }
    return Covariance1d{period,   chosen->kernel, std::move(profile), q,
                        radius,   length,         length * KERNEL_STEP_FRACTION / chosen->rate};
}

ValueAndDerivative periodic_between_points(const Covariance1d& c, double r, bool with_derivative) {
    double value = 0.0, derivative = 0.0;
    (void)shifts_within(r - c.radius, r + c.radius, *c.period).each([&](std::int64_t n) {
        const double d = r - shift(c, n);
        if (std::fabs(d) <= c.radius) {
            value += spanlet::value(c.kernel, d);
            if (with_derivative) derivative += length_slope(c, d);
        }
        return success();
    });
    return {value, derivative};
}

Result<ValueAndDerivative> element_point(const Covariance1d& covariance, const Element& e, CosineWeight weight,
                                         const Element* factor, bool with_derivative, Scratch& scratch, double x) {
    const auto* delta = std::get_if<Delta>(&e.kind);
    if (factor && delta && with_derivative) return Error::invalid("a variance factor needs non-delta elements here");
    double value = 0.0, derivative = 0.0;
    SPANLET_TRY_STATUS(point_images(covariance, x, support(e)).each([&](std::int64_t n) -> Status {
        const double at = x + shift(covariance, n);
        if (!resolved(covariance, at)) {
            SPANLET_TRY(r, scaled_image(covariance, at, e, weight, factor, with_derivative, scratch));
            value += r.first;
            derivative += r.second;
            return success();
        }
        const Element kernel = kernel_element(covariance, at);
        ValueAndDerivative vd{0.0, 0.0};
        if (!factor) {
            SPANLET_TRY(r, plain_image(kernel, e, weight, with_derivative, scratch));
            vd = r;
        } else if (delta) {
            const double p = delta->position;
            vd.first = weighted(weight, p, evaluate(kernel, p) * evaluate(*factor, p));
        } else {
            SPANLET_TRY(r, factored_image(kernel, e, weight, *factor, with_derivative, scratch));
            vd = r;
        }
        value += vd.first;
        derivative += vd.second;
        return success();
    }));
    return ValueAndDerivative{value, derivative};
}

Result<ValueAndDerivative> between_core(const Covariance1d& covariance, const Element& a, CosineWeight weight_a,
                                        const Element* factor_a, const Element& b, CosineWeight weight_b,
                                        const Element* factor_b, bool with_derivative, Scratch& scratch) {
    if (!weight_a && !weight_b && !factor_a && !factor_b)
        if (const auto exact = closed_form_covariance(covariance, a, b, with_derivative, scratch.closed_form))
            return ValueAndDerivative{exact->first, exact->second};
    const auto* da = std::get_if<Delta>(&a.kind);
    const auto* db = std::get_if<Delta>(&b.kind);
    auto scaled = [](double f, ValueAndDerivative vd) { return ValueAndDerivative{f * vd.first, f * vd.second}; };
    if (da && db) {
        const double f = factor_at(factor_a, da->position) * factor_at(factor_b, db->position);
        if (f == 0.0) return ValueAndDerivative{0.0, 0.0};
        return scaled(f, between_points(covariance, da->position, db->position, with_derivative));
    }
    if (db || da) {
        // One point mass: the covariance of the other element with that point, times the point's factor.
        const double p = db ? db->position : da->position;
        const double f = db ? factor_at(factor_b, p) : factor_at(factor_a, p);
        if (f == 0.0) return ValueAndDerivative{0.0, 0.0};
        const Element& e = db ? a : b;
        const CosineWeight omega = db ? weight_a : weight_b;
        if (images_per_point(covariance, e) * image_steps(covariance, e, omega, db ? factor_a : factor_b) >
            MAX_STEPS_PER_ENTRY)
            return entry_too_costly(covariance, weight_a, weight_b);
        SPANLET_TRY(vd, db ? element_point(covariance, a, weight_a, factor_a, with_derivative, scratch, p)
                           : element_point(covariance, b, weight_b, factor_b, with_derivative, scratch, p));
        return scaled(f, vd);
    }
    return between_elements(covariance, a, weight_a, factor_a, b, weight_b, factor_b, with_derivative, scratch);
}

}  // namespace spanlet::covariance
