// The knot vector of a B-spline space, kept beside its elements so that point values need not go
// element by element: the knot interval that holds a point is found once (a bucket table makes
// that O(1) on uniform knots) and the p + 1 B-splines alive there come together from de Boor's
// recurrence. Every quantity the recurrence uses is a difference of the point to a knot, so
// values keep the resolution of those offsets wherever the knots lie.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace spanlet {

class KnotVector {
public:
    // B-splines of degree p on knots t (one per run of p + 2 knots), or null where the spacing
    // leaves the range in which the recurrence keeps full precision: such a space is evaluated
    // element by element.
    // With `closed`, the last non-empty interval also holds its end point, as closed B-splines do.
    static std::shared_ptr<const KnotVector> open(const std::vector<double>& t, std::uint64_t p,
                                                  bool closed = false);
    // Periodic B-splines on breakpoints x, element j starting at x[j].
    static std::shared_ptr<const KnotVector> periodic(const std::vector<double>& x, std::uint64_t p);

    static constexpr std::size_t OUTSIDE = SIZE_MAX;

    std::uint64_t degree() const { return degree_; }
    std::uint64_t elements() const { return elements_; }
    bool wraps() const { return !shift_.empty(); }
    // The distinct breakpoints, ascending: every element is a polynomial between two neighbours.
    const std::vector<double>& breaks() const { return breaks_; }

    // The non-empty knot interval [u_q, u_{q+1}) that holds y (of a closed vector, the last one
    // also its end), or OUTSIDE (NaN included).
    std::size_t locate(double y) const {
        const double* u = breaks_.data();
        const std::size_t last = breaks_.size() - 1;
        if (!(y >= u[0] && y < u[last])) return closed_ && y == u[last] ? last - 1 : OUTSIDE;
        const double t = (y - u[0]) * bucket_scale_;
        const std::size_t b = t < static_cast<double>(buckets_) ? static_cast<std::size_t>(t) : buckets_ - 1;
        // Breakpoints in earlier buckets lie below y and those in later ones above it, because
        // the bucket of a value never decreases with the value; search the rest.
        std::size_t lo = bucket_start_[b], n = bucket_start_[b + 1] - lo;
        while (n > 1) {
            const std::size_t half = n / 2;
            lo = u[lo + half - 1] <= y ? lo + half : lo;
            n -= half;
        }
        return lo + (n == 1 && u[lo] <= y ? 1 : 0) - 1;
    }

    // The first of the p + 1 B-splines alive on interval q; the others follow it, modulo the
    // element count in a periodic space. Near the ends of an open knot vector the run reaches
    // past the elements that exist (below 0 or from elements() on).
    std::int64_t first_element(std::size_t q) const {
        return static_cast<std::int64_t>(interval_knot_[q]) - first_offset_;
    }

    // The values at y on interval q of the P + 1 B-splines alive there, in element order: de
    // Boor's triangular scheme, which adds only non-negative terms, so each value is accurate
    // relative to itself. Wrap says whether knots carry a periodic shift.
    template <int P, bool Wrap>
    void values(std::size_t q, double y, double* n) const {
        const std::size_t k = interval_knot_[q];
        const double* a = at_.data() + k;
        const double* s = Wrap ? shift_.data() + k : nullptr;
        double left[P + 1], right[P + 1];
        n[0] = 1.0;
        for (int r = 1; r <= P; ++r) {
            // y - t and t - y for the knots r to the left and right of the interval start.
            left[r] = Wrap ? (y - a[1 - r]) + s[1 - r] : y - a[1 - r];
            right[r] = Wrap ? (a[r] - y) - s[r] : a[r] - y;
            double saved = 0.0;
            for (int j = 0; j < r; ++j) {
                const double temp = n[j] / (right[j + 1] + left[r - j]);
                n[j] = saved + right[j + 1] * temp;
                saved = left[r - j] * temp;
            }
            n[r] = saved;
        }
    }

private:
    bool closed_ = false;
    std::uint64_t degree_ = 0, elements_ = 0;
    // Distinct breakpoints, ascending, and for each interval between two of them the index in
    // at_ of its knot.
    std::vector<double> breaks_;
    std::vector<std::size_t> interval_knot_;
    // Knot k is at_[k] - shift_[k]: the point differences y - t are formed as (y - at) + shift,
    // which for a knot shifted by a period joins two differences of breakpoints instead of
    // rounding the shifted knot. shift_ is empty for open knot vectors; at_ is padded with p
    // copies of each end knot, which keeps every denominator of the recurrence positive.
    std::vector<double> at_, shift_;
    std::int64_t first_offset_ = 0;
    // bucket_start_[b] is the first breakpoint in bucket b = floor((v - u_0) * bucket_scale_)
    // or a later one (buckets_ + 1 entries).
    double bucket_scale_ = 0.0;
    std::size_t buckets_ = 0;
    std::vector<std::size_t> bucket_start_;

    void build_buckets();
    static bool representable(const std::vector<double>& breaks);
};

}  // namespace spanlet
