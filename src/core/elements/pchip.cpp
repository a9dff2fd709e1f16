#include "core/elements/pchip.hpp"

#include <cmath>

namespace spanlet {

namespace {

// Three-point end slope that keeps the interpolant shape-preserving at the table's ends.
double end_slope(double h0, double h1, double delta0, double delta1) {
    if (std::isnan(delta0)) return 0.0;
    double d = ((2.0 * h0 + h1) * delta0 - h0 * delta1) / (h0 + h1);
    if (std::signbit(d) != std::signbit(delta0))
        d = 0.0;
    else if (std::signbit(delta0) != std::signbit(delta1) && 3.0 * std::fabs(delta0) < std::fabs(d))
        d = 3.0 * delta0;
    return d;
}

std::vector<double> pchip_slopes(const std::vector<double>& h, const std::vector<double>& delta) {
    const std::size_t n = h.size() + 1;
    std::vector<double> d(n, 0.0);
    if (n == 2) {
        d[0] = d[1] = delta[0];
        return d;
    }
    for (std::size_t k = 1; k + 1 < n; ++k) {
        if (delta[k - 1] * delta[k] > 0.0) {
            const double w1 = 2.0 * h[k] + h[k - 1], w2 = h[k] + 2.0 * h[k - 1];
            d[k] = (w1 + w2) / (w1 / delta[k - 1] + w2 / delta[k]);
        }
    }
    d[0] = end_slope(h[0], h[1], delta[0], delta[1]);
    d[n - 1] = end_slope(h[n - 2], h[n - 3], delta[n - 2], delta[n - 3]);
    return d;
}

}  // namespace

Result<ShapeRef> pchip_shape(const std::vector<double>& x, const std::vector<double>& y) {
    SPANLET_TRY_STATUS(check_table(x, y));
    const std::size_t n = x.size();
    std::vector<double> h(n - 1), delta(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k) {
        h[k] = x[k + 1] - x[k];
        delta[k] = (y[k + 1] - y[k]) / h[k];
    }
    const std::vector<double> d = pchip_slopes(h, delta);
    std::vector<Segment> segments;
    segments.reserve(n - 1);
    for (std::size_t k = 0; k + 1 < n; ++k)
        segments.push_back({y[k], d[k], (3.0 * delta[k] - 2.0 * d[k] - d[k + 1]) / h[k],
                            (d[k] + d[k + 1] - 2.0 * delta[k]) / (h[k] * h[k]), x[k], x[k + 1]});
    return Shape::make(std::move(segments));
}

}  // namespace spanlet
