#include "core/profiles/smoothed_box.hpp"

#include <cmath>

namespace spanlet {

double SmoothedBox::unscaled(double x) const {
    const double s = sigma * SQRT2;
    const double lo = (x - half_width) / s, hi = (x + half_width) / s;
    // In a tail both error functions are near +-1: take the difference of their complements.
    if (lo >= 0.0) return std::erfc(lo) - std::erfc(hi);
    if (hi <= 0.0) return std::erfc(-hi) - std::erfc(-lo);
    return std::erf(hi) - std::erf(lo);
}

double SmoothedBox::d_dt(double x) const {
    const double s = sigma * SQRT2;
    const double lo = (x - half_width) / s, hi = (x + half_width) / s;
    return inv_peak * TWO_OVER_SQRT_PI / s * (std::exp(-hi * hi) - std::exp(-lo * lo));
}

double SmoothedBox::hwhm() const { return std::fmax(half_width, sigma * SQRT_2LN2); }

}  // namespace spanlet
