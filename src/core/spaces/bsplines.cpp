// B-spline spaces: each B-spline of degree 0..3 becomes an exact piecewise-cubic shape, one
// segment per non-empty knot interval, built from the B-spline's derivatives at the interval start.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/spaces/bsplines.hpp"
#include "core/base/format.hpp"

namespace spanlet {

namespace {

// The power of two at or below the width of a B-spline's support: the unit of the variable its
// pieces are written in. Coefficients in that variable stay near 1 at any spacing (in x they go
// like width^-nu and over- or underflow beyond about 1e100), and scaling by a power of two is
// exact, so wherever both forms are representable they hold the same bits.
double support_unit(double width) {
    return std::ldexp(1.0, std::isfinite(width) ? std::ilogb(width) : std::numeric_limits<double>::max_exponent - 1);
}

// A knot sequence as given. Knots are scaled before they are subtracted, which keeps differences
// wider than the largest double finite.
struct OpenKnots {
    const std::vector<double>& t;
    double gap(std::size_t hi, std::size_t lo) const { return t[hi] - t[lo]; }
    double scaled_gap(std::size_t hi, std::size_t lo, double unit) const { return t[hi] / unit - t[lo] / unit; }
};

// The breakpoints x[0..n] preceded by their last p interior ones less one period: knot i is
// x[i - p], or x[n - p + i] - period for i < p. A difference across the wrap is formed from two
// differences of breakpoints, never from a shifted knot x[m] - period, which rounds to
// ulp(period) and would spoil a short interval there.
struct PeriodicKnots {
    const std::vector<double>& x;
    std::size_t n, p;
    std::size_t breakpoint(std::size_t i) const { return i < p ? n - p + i : i - p; }
    double gap(std::size_t hi, std::size_t lo) const {
        const double a = x[breakpoint(hi)], b = x[breakpoint(lo)];
        return (hi < p) == (lo < p) ? a - b : (a - x[0]) + (x[n] - b);
    }
    double scaled_gap(std::size_t hi, std::size_t lo, double unit) const { return gap(hi, lo) / unit; }
};

// The nu-th derivative of N_{k,r} at the start z = t[i] of the knot interval [t[i], t[i+1]), taken
// from the right, in the variable x / unit. Values follow the Cox-de Boor recursion and
// derivatives its derivative form
// N'_{k,r} = r (N_{k,r-1} / (t[k+r] - t[k]) - N_{k+1,r-1} / (t[k+r+1] - t[k+1])); every
// distance is a difference of knots, so nothing depends on where the origin lies.
template <class Knots>
double right_derivative(const Knots& t, double unit, std::size_t i, std::size_t k, std::uint64_t r,
                        std::uint64_t nu) {
    if (r == 0) return nu == 0 && k == i ? 1.0 : 0.0;
    double value = 0.0;
    if (t.gap(k + r, k) > 0.0) {
        const double lower = right_derivative(t, unit, i, k, r - 1, nu == 0 ? 0 : nu - 1);
        const double factor = nu == 0 ? t.scaled_gap(i, k, unit) : static_cast<double>(r);
        if (lower != 0.0) value += factor * lower / t.scaled_gap(k + r, k, unit);
    }
    if (t.gap(k + r + 1, k + 1) > 0.0) {
        const double upper = right_derivative(t, unit, i, k + 1, r - 1, nu == 0 ? 0 : nu - 1);
        const double factor = nu == 0 ? t.scaled_gap(k + r + 1, i, unit) : -static_cast<double>(r);
        if (upper != 0.0) value += factor * upper / t.scaled_gap(k + r + 1, k + 1, unit);
    }
    return value;
}

// The piece of B-spline j on knot interval i: its Taylor coefficients at the interval start in
// the variable (x - t[i]) / unit, exact at any offset and for knots any distance apart.
template <class Knots>
Result<Segment> taylor_piece(const Knots& t, double unit, std::size_t i, std::size_t j, std::uint64_t p) {
    constexpr double INVERSE_FACTORIAL[4] = {1.0, 1.0, 0.5, 1.0 / 6.0};
    double d[4] = {0.0, 0.0, 0.0, 0.0};
    for (std::uint64_t nu = 0; nu <= p; ++nu) {
        d[nu] = right_derivative(t, unit, i, j, p, nu) * INVERSE_FACTORIAL[nu];
        // Only knot intervals some 1e100 times shorter than the support get here.
        if (!std::isfinite(d[nu]))
            return Error::invalid("B-spline " + std::to_string(j) + " cannot be represented: knot interval " +
                                  exponent(t.gap(i + 1, i)) + " is too short for its support of " +
                                  exponent(t.gap(j + p + 1, j)));
    }
    return Segment{d[0], d[1], d[2], d[3], 0.0, 0.0};
}

// The cubic of `s` re-expanded about t = d: Horner's Taylor shift.
void shift_origin(Segment& s, double d) {
    double* c[4] = {&s.c0, &s.c1, &s.c2, &s.c3};
    for (int k = 0; k < 3; ++k)
        for (int m = 2; m >= k; --m) *c[m] += d * *c[m + 1];
}

// With `closed_end`, the last piece also holds the point at its end: its end in the shape variable
// moves to the next double up, so that the end knot itself, whose variable is exactly the old end,
// gets the limit from the left. Moving the knot instead would not do: one unit in the last place
// of a knot is below the resolution of the variable wherever |knot - center| > |knot|.
Result<Element> bspline_element(const std::vector<double>& t, std::size_t j, std::uint64_t p, bool closed_end) {
    const double lo = t[j], hi = t[j + p + 1];
    if (lo >= hi)
        return Error::invalid("B-spline " + std::to_string(j) +
                              " has empty support (knot multiplicity > degree + 1)");
    const double sum = lo + hi;
    const double c = std::isfinite(sum) ? sum * 0.5 : lo * 0.5 + hi * 0.5;
    const OpenKnots knots{t};
    const double unit = support_unit(knots.gap(j + p + 1, j));
    std::vector<Segment> segments;
    for (std::size_t i = j; i <= j + p; ++i) {
        const double z = t[i], v = t[i + 1];
        if (!(z < v)) continue;
        SPANLET_TRY(piece, taylor_piece(knots, unit, i, j, p));
        const double start = z - c;
        piece.a = start / unit;
        piece.b = (v - c) / unit;
        // The piece starts at c + start, which misses z by the rounding error of z - c (a double,
        // found exactly by a two-sum): re-expand the polynomial about that start, so that it keeps
        // the B-spline's values, at z in particular. Left alone, the offset costs about
        // |z - c| / (v - z) units in the last place: every digit on an interval 1e16 times
        // shorter than its distance to c.
        const double back = start - z;
        const double error = (z - (start - back)) + (-c - back);
        if (error != 0.0) shift_origin(piece, -error / unit);
        segments.push_back(piece);
    }
    if (closed_end) segments.back().b = std::nextafter(segments.back().b, INFINITY);
    SPANLET_TRY(shape, Shape::make(std::move(segments)));
    // The pieces end at (knot - c) / unit, rounded. Placed back at c, the first start can land a
    // little above its knot, although evaluation at the knot finds it (the knot's own variable is
    // that start), so the support is taken from the knots.
    return make_shaped(std::move(shape), c, unit, Support{lo, hi});
}

// p + 1 in decimal; for the largest degree the sum would wrap to 0.
std::string successor(std::uint64_t p) {
    return p == UINT64_MAX ? "18446744073709551616" : std::to_string(p + 1);
}

// The B-splines on `knots`; with `closed`, those that end at the last knot include it.
Result<Space> bspline_space(const std::vector<double>& knots, std::uint64_t degree, bool closed) {
    if (degree > 3) return Error::invalid("B-spline degree must be 0..=3, got " + std::to_string(degree));
    const std::uint64_t p = degree;
    if (knots.size() < p + 2)
        return Error::invalid("degree " + std::to_string(p) + " B-splines need at least " +
                              std::to_string(p + 2) + " knots");
    for (std::size_t i = 0; i < knots.size(); ++i)
        if (!std::isfinite(knots[i]) || (i + 1 < knots.size() && knots[i + 1] < knots[i]))
            return Error::invalid("knots must be finite and nondecreasing");
    std::vector<Element> elements;
    elements.reserve(knots.size() - p - 1);
    for (std::size_t j = 0; j + p + 1 < knots.size(); ++j) {
        SPANLET_TRY(element, bspline_element(knots, j, p, closed && knots[j + p + 1] == knots.back()));
        elements.push_back(std::move(element));
    }
    // The knot vector serves evaluation by de Boor's recurrence; a closed one also places the last
    // knot in the last interval.
    return Space::make(std::move(elements), KnotVector::open(knots, p, closed));
}

}  // namespace

Result<Space> bsplines(const std::vector<double>& knots, std::uint64_t degree) {
    return bspline_space(knots, degree, false);
}

Result<Space> bsplines_clamped(const std::vector<double>& breakpoints, std::uint64_t degree, bool closed) {
    SPANLET_TRY_STATUS(check_increasing("breakpoints", breakpoints));
    if (degree > 3) return Error::invalid("B-spline degree must be 0..=3, got " + std::to_string(degree));
    std::vector<double> knots(degree, breakpoints.front());
    knots.insert(knots.end(), breakpoints.begin(), breakpoints.end());
    knots.insert(knots.end(), degree, breakpoints.back());
    return bspline_space(knots, degree, closed);
}

Result<Space> bsplines_periodic(const std::vector<double>& x, std::uint64_t degree) {
    SPANLET_TRY_STATUS(check_increasing("breakpoints", x));
    const std::size_t intervals = x.size() - 1;
    const std::uint64_t p = degree;
    if (!(p <= 3 && p < intervals))
        return Error::invalid("periodic degree-" + std::to_string(p) +
                              " B-splines need degree <= 3 and at least " + successor(p) +
                              " intervals");
    if (!std::isfinite(x[intervals] - x[0]))
        return Error::invalid("periodic breakpoints span more than the largest double: " + exponent(x[0]) + " to " +
                              exponent(x[intervals]));
    // Element j is the B-spline on knots j .. j + p + 1 <= intervals + p of the continued
    // sequence, its pieces folded onto the breakpoints by index: knot interval i is breakpoint
    // interval (i - p) mod intervals. Positions are never compared after rounding, so a short
    // interval keeps both its ends.
    const PeriodicKnots knots{x, intervals, p};
    std::vector<Element> elements;
    elements.reserve(intervals);
    for (std::size_t j = 0; j < intervals; ++j) {
        const double unit = support_unit(knots.gap(j + p + 1, j));
        std::vector<Segment> segments;
        for (std::size_t i = j; i <= j + p; ++i) {
            SPANLET_TRY(piece, taylor_piece(knots, unit, i, j, p));
            const std::size_t q = knots.breakpoint(i);
            piece.a = x[q] / unit;
            piece.b = x[q + 1] / unit;
            segments.push_back(piece);
        }
        std::stable_sort(segments.begin(), segments.end(), [](const Segment& l, const Segment& r) {
            return total_order_less(l.a, r.a);
        });
        SPANLET_TRY(shape, Shape::make(std::move(segments)));
        SPANLET_TRY(element, make_shaped(std::move(shape), 0.0, unit));
        elements.push_back(std::move(element));
    }
    return Space::make(std::move(elements), KnotVector::periodic(x, p));
}

Cubic fit_polynomial(const double* s, const double* y, std::size_t n) {
    double m[4][5] = {};
    for (std::size_t r = 0; r < n; ++r) {
        double power = 1.0;
        for (std::size_t c = 0; c < n; ++c) {
            m[r][c] = power;
            power *= s[r];
        }
        m[r][n] = y[r];
    }
    bool used[4] = {false, false, false, false};
    std::size_t pivot_of[4] = {0, 0, 0, 0};
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = n;
        for (std::size_t r = 0; r < n; ++r) {
            if (used[r]) continue;
            // Among equal magnitudes the later row wins.
            if (pivot == n || std::fabs(m[r][col]) >= std::fabs(m[pivot][col])) pivot = r;
        }
        used[pivot] = true;
        pivot_of[col] = pivot;
        for (std::size_t r = 0; r < n; ++r) {
            if (r == pivot) continue;
            const double factor = m[r][col] / m[pivot][col];
            for (std::size_t c = col; c <= n; ++c) m[r][c] -= factor * m[pivot][c];
        }
    }
    Cubic result{{0.0, 0.0, 0.0, 0.0}};
    for (std::size_t col = 0; col < n; ++col) result.d[col] = m[pivot_of[col]][n] / m[pivot_of[col]][col];
    return result;
}

}  // namespace spanlet
