// Elements in local coordinates: the point z + s is given as a double z (a knot or the start of a
// step) and an offset s, and the sum is never rounded to one double. Each element forms its own
// variable from exact differences to z, so values on a short interval far from the origin keep
// the resolution of the offsets instead of ulp(|z|).
#pragma once

#include <cstddef>
#include <optional>

#include "core/elements/element.hpp"

namespace spanlet {

// The value of the element at the real point z + s; the second form for a shaped element.
double evaluate_local(const Element& element, double z, double s);
double evaluate_local(const Shaped& element, double z, double s);

// de/dx at the real point z + s; 0 outside the support and at a kink or jump.
double slope_local(const Element& element, double z, double s);

// A mapped element's inner variable at z + s, as z' + s' (an affine map keeps the split exactly;
// a reciprocal one writes a / (z + s) - a / z as -(a / z) * s / (z + s)), with |du/dt| there.
struct InnerPoint {
    double z, s, jacobian;
};
InnerPoint inner_point(const Mapped& m, double z, double s);

// The element at many points z + s of one interval that starts at z: what does not depend on s
// (for a shaped element its segment and the segment's offset from z) is formed once and kept
// while the points stay on that segment. Each value equals evaluate_local(element, z, s) bit for bit.
class LocalEvaluator {
public:
    LocalEvaluator(const Element& element, double z);
    // The same element on the interval that starts at z, for a walk along the axis: what depends
    // only on the element is kept, and the segment found last, then the one after it, are tried
    // before a search. Values stay those of LocalEvaluator(element, z), bit for bit.
    void move_to(double z) {
        z_ = z;
        if (!shaped_) return;
        u0_ = per_stretch_ != 0.0 ? (z - shaped_->center) * per_stretch_ : (z - shaped_->center) / shaped_->stretch;
        if (segment_) t0_ = offset_from_knot();
    }
    // Inline: assembly by knot interval calls it for every element at every node.
    double operator()(double s) {
        if (!shaped_) return evaluate_local(*element_, z_, s);
        const double v = per_stretch_ != 0.0 ? s * per_stretch_ : s / shaped_->stretch;
        const double u = u0_ + v;
        // Segments do not overlap, so a u inside the kept one is where segment_at would look.
        if (!(segment_ && segment_->a <= u && u < segment_->b)) locate(u);
        if (!segment_) return 0.0;
        const Segment& g = *segment_;
        const double t = t0_ + v;
        return g.c0 + t * (g.c1 + t * (g.c2 + t * g.c3));
    }

    // The values at the N offsets s[0..N), each as operator() gives it. When all of them fall on
    // the kept segment (as the nodes of a rule on a knot interval do), the polynomial is evaluated
    // at all in one straight run, which the compiler can interleave.
    // An element walked from interval to interval meets its next segment on the next interval:
    // that segment is found from the first node, as operator() would find it there.
    template <std::size_t N>
    void values(const double* s, double* out) {
        if (shaped_) {
            double v[N];
            for (std::size_t k = 0; k < N; ++k)
                v[k] = per_stretch_ != 0.0 ? s[k] * per_stretch_ : s[k] / shaped_->stretch;
            bool inside = holds<N>(v);
            if (!inside) {
                locate(u0_ + v[0]);
                inside = holds<N>(v);
            }
            if (inside) {
                const Segment& g = *segment_;
                for (std::size_t k = 0; k < N; ++k) {
                    const double t = t0_ + v[k];
                    out[k] = g.c0 + t * (g.c1 + t * (g.c2 + t * g.c3));
                }
                return;
            }
        }
        for (std::size_t k = 0; k < N; ++k) out[k] = (*this)(s[k]);
    }

private:
    // Whether the kept segment holds the points u0_ + v[k].
    template <std::size_t N>
    bool holds(const double* v) const {
        if (!segment_) return false;
        bool inside = true;
        for (std::size_t k = 0; k < N; ++k) {
            const double u = u0_ + v[k];
            inside = inside && segment_->a <= u && u < segment_->b;
        }
        return inside;
    }
    void locate(double u);
    // The kept segment's variable at z_ (as shaped_local forms it).
    double offset_from_knot() const {
        const double from_knot = (z_ - knot_) + residual_;
        return per_stretch_ != 0.0 ? from_knot * per_stretch_ : from_knot / shaped_->stretch;
    }

    const Element* element_;
    double z_;
    const Shaped* shaped_ = nullptr;  // the fast path: shaped elements
    double u0_ = 0.0;                 // (z - center) / stretch
    double per_stretch_ = 0.0;        // 1 / stretch where that is exact (a power of two), else 0
    const Segment* segment_ = nullptr;
    double t0_ = 0.0;                 // the segment's variable at z
    double knot_ = 0.0, residual_ = 0.0;  // where the segment starts: a double and its rounding error
};

// Coefficients p0..p3 of the element as a polynomial in s / unit, s the offset, on the piece that
// holds z + s_mid; nothing for elements that are not polynomial there (reciprocal maps). A unit
// near the length of the interval keeps the coefficients representable at any spacing; a power
// of two changes no bits wherever the coefficients in s itself are representable.
struct LocalCubic {
    double p[4];
};
std::optional<LocalCubic> local_polynomial(const Element& element, double z, double s_mid, double unit);

}  // namespace spanlet
