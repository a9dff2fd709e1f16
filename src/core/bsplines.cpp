// B-spline spaces: each B-spline of degree 0..3 becomes an exact piecewise-cubic shape, one
// segment per non-empty knot interval, built from the B-spline's derivatives at the interval start.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <limits>
#include <string>

#include "core/bsplines.hpp"
#include "core/format.hpp"

namespace spanlet {

namespace {

// The power of two at or below the width of a B-spline's support: the unit of the variable its
// pieces are written in. Coefficients in that variable stay near 1 at any spacing (in x they go
// like width^-nu and over- or underflow beyond about 1e100), and scaling by a power of two is
// exact, so wherever both forms are representable they hold the same bits.
double support_unit(double lo, double hi) {
    const double width = hi - lo;
    return std::ldexp(1.0, std::isfinite(width) ? std::ilogb(width) : std::numeric_limits<double>::max_exponent - 1);
}

// The nu-th derivative of N_{k,r} at the start z = t[i] of the knot interval [t[i], t[i+1]), taken
// from the right, in the variable x / unit. Values follow the Cox-de Boor recursion and
// derivatives its derivative form
// N'_{k,r} = r (N_{k,r-1} / (t[k+r] - t[k]) - N_{k+1,r-1} / (t[k+r+1] - t[k+1])); every
// distance is a difference of knots, so nothing depends on where the origin lies. Knots are
// scaled before they are subtracted, which keeps differences wider than the largest double finite.
double right_derivative(const std::vector<double>& t, double unit, std::size_t i, std::size_t k,
                        std::uint64_t r, std::uint64_t nu) {
    if (r == 0) return nu == 0 && k == i ? 1.0 : 0.0;
    auto gap = [&](std::size_t hi, std::size_t lo) { return t[hi] / unit - t[lo] / unit; };
    double value = 0.0;
    if (t[k + r] > t[k]) {
        const double lower = right_derivative(t, unit, i, k, r - 1, nu == 0 ? 0 : nu - 1);
        const double factor = nu == 0 ? gap(i, k) : static_cast<double>(r);
        if (lower != 0.0) value += factor * lower / gap(k + r, k);
    }
    if (t[k + r + 1] > t[k + 1]) {
        const double upper = right_derivative(t, unit, i, k + 1, r - 1, nu == 0 ? 0 : nu - 1);
        const double factor = nu == 0 ? gap(k + r + 1, i) : -static_cast<double>(r);
        if (upper != 0.0) value += factor * upper / gap(k + r + 1, k + 1);
    }
    return value;
}

// Each piece is the Taylor expansion of the B-spline at its interval's start, in the variable
// (x - t[i]) / unit: exact at any offset and for knots any distance apart.
Result<Element> bspline_element(const std::vector<double>& t, std::size_t j, std::uint64_t p) {
    const double lo = t[j], hi = t[j + p + 1];
    if (lo >= hi)
        return Error::invalid("B-spline " + std::to_string(j) +
                              " has empty support (knot multiplicity > degree + 1)");
    const double sum = lo + hi;
    const double c = std::isfinite(sum) ? sum * 0.5 : lo * 0.5 + hi * 0.5;
    const double unit = support_unit(lo, hi);
    constexpr double INVERSE_FACTORIAL[4] = {1.0, 1.0, 0.5, 1.0 / 6.0};
    std::vector<Segment> segments;
    for (std::size_t i = j; i <= j + p; ++i) {
        const double z = t[i], v = t[i + 1];
        if (!(z < v)) continue;
        double d[4] = {0.0, 0.0, 0.0, 0.0};
        for (std::uint64_t nu = 0; nu <= p; ++nu) {
            d[nu] = right_derivative(t, unit, i, j, p, nu) * INVERSE_FACTORIAL[nu];
            // Only knot intervals some 1e100 times shorter than the support get here.
            if (!std::isfinite(d[nu]))
                return Error::invalid("B-spline " + std::to_string(j) + " cannot be represented: knot interval " +
                                      exponent(v - z) + " is too short for its support of " + exponent(hi - lo));
        }
        segments.push_back({d[0], d[1], d[2], d[3], (z - c) / unit, (v - c) / unit});
    }
    SPANLET_TRY(shape, Shape::make(std::move(segments)));
    return make_shaped(std::move(shape), c, unit);
}

// p + 1 in decimal; for the largest degree the sum would wrap to 0.
std::string successor(std::uint64_t p) {
    return p == UINT64_MAX ? "18446744073709551616" : std::to_string(p + 1);
}

}  // namespace

Result<Space> bsplines(const std::vector<double>& knots, std::uint64_t degree) {
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
        SPANLET_TRY(element, bspline_element(knots, j, p));
        elements.push_back(std::move(element));
    }
    return Space::make(std::move(elements));
}

Result<Space> bsplines_clamped(const std::vector<double>& breakpoints, std::uint64_t degree) {
    SPANLET_TRY_STATUS(check_increasing("breakpoints", breakpoints));
    if (degree > 3) return Error::invalid("B-spline degree must be 0..=3, got " + std::to_string(degree));
    std::vector<double> knots(degree, breakpoints.front());
    knots.insert(knots.end(), breakpoints.begin(), breakpoints.end());
    knots.insert(knots.end(), degree, breakpoints.back());
    return bsplines(knots, degree);
}

Result<Space> bsplines_periodic(const std::vector<double>& x, std::uint64_t degree) {
    SPANLET_TRY_STATUS(check_increasing("breakpoints", x));
    const std::size_t intervals = x.size() - 1;
    const std::uint64_t p = degree;
    if (!(p <= 3 && p < intervals))
        return Error::invalid("periodic degree-" + std::to_string(p) +
                              " B-splines need degree <= 3 and at least " + successor(p) +
                              " intervals");
    const double period = x[intervals] - x[0];
    if (!std::isfinite(period) || !std::isfinite(x[intervals - p] - period) || !std::isfinite(x[p] + period))
        return Error::invalid("periodic breakpoints span more than the largest double: " + decimal(x[0]) + " to " +
                              decimal(x[intervals]));
    std::vector<double> knots;
    knots.reserve(intervals + 1 + 2 * p);
    for (std::size_t k = intervals - p; k < intervals; ++k) knots.push_back(x[k] - period);
    knots.insert(knots.end(), x.begin(), x.end());
    for (std::size_t k = 1; k <= p; ++k) knots.push_back(x[k] + period);
    SPANLET_TRY(open, bsplines(knots, p));

    // Knot interval i of the extended sequence is breakpoint interval (i - p) mod intervals; each
    // piece is moved onto the breakpoints by that index, never by comparing rounded positions,
    // so a short interval keeps both its ends.
    std::vector<Element> elements;
    elements.reserve(intervals);
    for (std::size_t j = 0; j < intervals; ++j) {
        const auto& shaped = std::get<Shaped>(open.elements()[j].kind);
        const double unit = shaped.stretch;
        const auto& pieces = shaped.shape->segments();
        std::vector<Segment> segments;
        std::size_t piece = 0;
        for (std::size_t i = j; i <= j + p; ++i) {
            if (!(knots[i] < knots[i + 1])) continue;
            Segment s = pieces[piece++];
            const std::size_t q = (i + intervals - p) % intervals;
            s.a = x[q] / unit;
            s.b = x[q + 1] / unit;
            segments.push_back(s);
        }
        std::stable_sort(segments.begin(), segments.end(), [](const Segment& l, const Segment& r) {
            return total_order_less(l.a, r.a);
        });
        SPANLET_TRY(shape, Shape::make(std::move(segments)));
        SPANLET_TRY(element, make_shaped(std::move(shape), 0.0, unit));
        elements.push_back(std::move(element));
    }
    return Space::make(std::move(elements));
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
