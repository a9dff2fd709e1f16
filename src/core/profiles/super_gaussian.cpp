#include "core/profiles/super_gaussian.hpp"

#include <algorithm>
#include <cmath>

namespace spanlet {

double SuperGaussian::value(double x) const {
    const double h = x < 0.0 ? hwhm_left : hwhm_right;
    return std::exp(-LN2 * std::pow(std::fabs(x) / h, power));
}

double SuperGaussian::d_dt(double x) const {
    if (x == 0.0) return 0.0;
    const double v = value(x);
    // Where the value has underflowed the slope is 0; the power factor alone may be infinite.
    if (v == 0.0) return 0.0;
    const double h = x < 0.0 ? hwhm_left : hwhm_right;
    const double sign = x < 0.0 ? -1.0 : 1.0;
    return v * sign * (-LN2 * power * std::pow(std::fabs(x) / h, power - 1.0)) / h;
}

double SuperGaussian::step(double r) const {
    const double h = std::fmin(hwhm_left, hwhm_right);
    return std::fmin(h / std::fmax(power, 2.0), 0.3 * r + 1e-8 * h);
}

}  // namespace spanlet
