#include "core/elements/local.hpp"

#include <cmath>
#include <limits>

#include "core/base/overloaded.hpp"

namespace spanlet {

namespace {

constexpr LocalCubic ZERO{{0.0, 0.0, 0.0, 0.0}};

// A Shaped element's variable split as t0 + v, t0 from the double z, v = s / stretch from the
// offset. The segment starts at the real point center + stretch * a, which rounds to the knot
// Z = center + stretch * a that integration sees; t0 is (z - Z) plus the rounding residual of Z,
// both formed without cancellation, so a piece far from the element's center keeps the resolution
// of its own length.
struct ShapedLocal {
    const Segment* segment;
    double t0, v;  // t = t0 + v is the segment's own variable u - a
};

ShapedLocal shaped_local(const Shaped& e, double z, double s) {
    const double v = s / e.stretch;
    const Segment* seg = e.shape->segment_at((z - e.center) / e.stretch + v);
    if (!seg) return {nullptr, 0.0, v};
    const double knot = e.center + e.stretch * seg->a;
    const double residual = std::fma(e.stretch, seg->a, e.center - knot);
    return {seg, ((z - knot) + residual) / e.stretch, v};
}

// unit / w, formed as unit * (1 / w) so that a power-of-two unit only moves the exponent of the
// reciprocal; directly where 1 / w overflows.
double per_unit(double w, double unit) {
    const double r = 1.0 / w;
    return std::isfinite(r) ? unit * r : unit / w;
}

// c * r^k with the power formed first; step by step where the power alone over- or underflows
// (a zero coefficient stays zero rather than 0 * inf).
double times_power(double c, double r, int k) {
    if (c == 0.0) return c;
    double power = r;
    for (int i = 1; i < k; ++i) power *= r;
    if (std::isfinite(power) && std::fabs(power) >= std::numeric_limits<double>::min()) return c * power;
    for (int i = 0; i < k; ++i) c *= r;
    return c;
}

}  // namespace

InnerPoint inner_point(const Mapped& m, double z, double s) {
    if (m.kind == MapKind::Affine) return {(z - m.a) / m.b, s / m.b, 1.0 / std::fabs(m.b)};
    const double x = z + s;
    const double jacobian = std::fabs(m.a) / std::fabs(x) / std::fabs(x);
    if (z == 0.0) return {m.a / x, 0.0, jacobian};
    const double u0 = m.a / z;
    return {u0, -u0 * (s / x), jacobian};
}

double evaluate_local(const Shaped& e, double z, double s) {
    const ShapedLocal l = shaped_local(e, z, s);
    if (!l.segment) return 0.0;
    const Segment& g = *l.segment;
    const double t = l.t0 + l.v;
    return g.c0 + t * (g.c1 + t * (g.c2 + t * g.c3));
}

double evaluate_local(const Element& element, double z, double s) {
    return std::visit(
        Overloaded{
            [](const Delta&) { return 0.0; },
            [z, s](const Box& b) { return s >= b.lower - z && s < b.upper - z ? 1.0 : 0.0; },
            [z, s](const Hat& h) {
                const double from_lower = z - h.lower, to_upper = h.upper - z, to_peak = h.peak - z;
                if (from_lower + s < 0.0 || to_upper - s < 0.0) return 0.0;
                if (s == to_peak) return 1.0;
                if (s < to_peak) return (from_lower + s) / (h.peak - h.lower);
                return (to_upper - s) / (h.upper - h.peak);
            },
            [z, s](const Shaped& e) { return evaluate_local(e, z, s); },
            [z, s](const ProfileElement& p) {
                if (s < p.lower - z || s > p.upper - z) return 0.0;
                return value(p.profile, (z - p.center) + s);
            },
            [z, s](const Mapped& m) {
                const double x = z + s;
                if (x < m.lower || x > m.upper) return 0.0;
                const InnerPoint p = inner_point(m, z, s);
                const double value = evaluate_local(*m.inner, p.z, p.s);
                return m.jacobian ? value * p.jacobian : value;
            },
        },
        element.kind);
}

double slope_local(const Element& element, double z, double s) {
    return std::visit(
        Overloaded{
            [](const Delta&) { return 0.0; },
            [](const Box&) { return 0.0; },
            [z, s](const Hat& h) {
                const double from_lower = z - h.lower, to_upper = h.upper - z, to_peak = h.peak - z;
                if (from_lower + s < 0.0 || to_upper - s < 0.0 || s == to_peak) return 0.0;
                if (s < to_peak) return 1.0 / (h.peak - h.lower);
                return -1.0 / (h.upper - h.peak);
            },
            [z, s](const Shaped& e) {
                const ShapedLocal l = shaped_local(e, z, s);
                if (!l.segment) return 0.0;
                const Segment& g = *l.segment;
                const double t = l.t0 + l.v;
                return (g.c1 + t * (2.0 * g.c2 + 3.0 * g.c3 * t)) / e.stretch;
            },
            [z, s](const ProfileElement& p) {
                if (s < p.lower - z || s > p.upper - z) return 0.0;
                return d_dt(p.profile, (z - p.center) + s);
            },
            [z, s](const Mapped& m) {
                const double x = z + s;
                if (x < m.lower || x > m.upper) return 0.0;
                const bool reciprocal = m.kind == MapKind::Reciprocal;
                const InnerPoint p = inner_point(m, z, s);
                const double g = reciprocal ? -m.a / (x * x) : 1.0 / m.b;
                const double inner = slope_local(*m.inner, p.z, p.s);
                if (!m.jacobian) return g * inner;
                // d/dx of e(u(x)) |u'(x)|: the second term is e(u) d|u'|/dx, 2a / x^3 in sign of u'.
                const double h = reciprocal ? 2.0 * m.a / (x * x * x) : 0.0;
                const double sign = std::isnan(g) ? g : std::copysign(1.0, g);
                return g * inner * std::fabs(g) + sign * evaluate_local(*m.inner, p.z, p.s) * h;
            },
        },
        element.kind);
}

LocalEvaluator::LocalEvaluator(const Element& element, double z) : element_(&element), z_(z) {
    if ((shaped_ = std::get_if<Shaped>(&element.kind))) {
        const double stretch = shaped_->stretch;
        // B-splines are written in a power-of-two unit: dividing by it is multiplying by its
        // reciprocal, bit for bit, while the reciprocal is a normal double.
        int e = 0;
        const double inverse = 1.0 / stretch;
        if (std::frexp(stretch, &e) == 0.5 && std::fabs(inverse) >= std::numeric_limits<double>::min() &&
            std::isfinite(inverse))
            per_stretch_ = inverse;
        u0_ = per_stretch_ != 0.0 ? (z - shaped_->center) * per_stretch_ : (z - shaped_->center) / stretch;
    }
}

// The same segment and offset as shaped_local finds for a point with this u.
void LocalEvaluator::locate(double u) {
    // Segments are sorted and do not overlap: the next one (the first, when none is kept), if it
    // holds u, is the one segment_at finds.
    const std::vector<Segment>& segments = shaped_->shape->segments();
    const Segment* next = segment_ ? segment_ + 1 : segments.data();
    if (next != segments.data() + segments.size() && next->a <= u && u < next->b)
        segment_ = next;
    else
        segment_ = shaped_->shape->segment_at(u);
    if (!segment_) return;
    knot_ = shaped_->center + shaped_->stretch * segment_->a;
    residual_ = std::fma(shaped_->stretch, segment_->a, shaped_->center - knot_);
    t0_ = offset_from_knot();
}

std::optional<LocalCubic> local_polynomial(const Element& element, double z, double s_mid, double unit) {
    return std::visit(
        Overloaded{
            [](const Delta&) -> std::optional<LocalCubic> { return ZERO; },
            [z, s_mid](const Box& b) -> std::optional<LocalCubic> {
                if (s_mid >= b.lower - z && s_mid < b.upper - z) return LocalCubic{{1.0, 0.0, 0.0, 0.0}};
                return ZERO;
            },
            [z, s_mid, unit](const Hat& h) -> std::optional<LocalCubic> {
                const double from_lower = z - h.lower, to_upper = h.upper - z, to_peak = h.peak - z;
                if (from_lower + s_mid < 0.0 || to_upper - s_mid < 0.0) return ZERO;
                if (s_mid < to_peak) {
                    const double w = h.peak - h.lower;
                    return LocalCubic{{from_lower / w, per_unit(w, unit), 0.0, 0.0}};
                }
                const double w = h.upper - h.peak;
                return LocalCubic{{to_upper / w, -per_unit(w, unit), 0.0, 0.0}};
            },
            [z, s_mid, unit](const Shaped& e) -> std::optional<LocalCubic> {
                const ShapedLocal l = shaped_local(e, z, s_mid);
                if (!l.segment) return ZERO;
                const Segment& g = *l.segment;
                // Taylor shift of the segment's cubic to t0, then the scale of v = s / stretch.
                const double t = l.t0;
                double p0 = g.c0 + t * (g.c1 + t * (g.c2 + t * g.c3));
                double p1 = g.c1 + t * (2.0 * g.c2 + t * 3.0 * g.c3);
                double p2 = g.c2 + t * 3.0 * g.c3;
                double p3 = g.c3;
                if (e.stretch != 1.0 || unit != 1.0) {
                    const double r = per_unit(e.stretch, unit);
                    p1 = times_power(p1, r, 1);
                    p2 = times_power(p2, r, 2);
                    p3 = times_power(p3, r, 3);
                }
                return LocalCubic{{p0, p1, p2, p3}};
            },
            [](const ProfileElement&) -> std::optional<LocalCubic> { return std::nullopt; },
            [z, s_mid, unit](const Mapped& m) -> std::optional<LocalCubic> {
                if (m.kind == MapKind::Reciprocal) return std::nullopt;
                const double x = z + s_mid;
                if (x < m.lower || x > m.upper) return ZERO;
                const InnerPoint p = inner_point(m, z, s_mid);
                // The inner polynomial in s' / unit with s' = s / b is one in (s / unit) / b.
                auto inner = local_polynomial(*m.inner, p.z, p.s, unit);
                if (!inner) return std::nullopt;
                const double r = 1.0 / m.b;
                double scale = m.jacobian ? p.jacobian : 1.0;
                for (double& c : inner->p) {
                    c *= scale;
                    scale *= r;
                }
                return inner;
            },
        },
        element.kind);
}

}  // namespace spanlet
