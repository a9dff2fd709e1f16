#include "core/profiles/super_gaussian.hpp"

#include <algorithm>
#include <cmath>

#include "core/base/format.hpp"

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

std::optional<double> SuperGaussian::d_parameter(Parameter parameter, double x) const {
    if (parameter != Parameter::Power && parameter != Parameter::Asymmetry) return std::nullopt;
    if (x == 0.0) return 0.0;
    const double side = x < 0.0 ? hwhm_left : hwhm_right;
    const double f = std::fabs(x) / side, fp = std::pow(f, power);
    if (parameter == Parameter::Power) return value(x) * fp * -LN2 * std::log(f);
    const double half = (hwhm_left + hwhm_right) * 0.5;
    const double d = half * (power * LN2 * fp / side) * value(x);
    return x < 0.0 ? -d : d;
}

std::optional<EndFactors> SuperGaussian::cutoff_factors(Parameter parameter, double cutoff) const {
    if (parameter == Parameter::Power) return EndFactors{0.0, 0.0};
    if (parameter == Parameter::Asymmetry) {
        const double half = (hwhm_left + hwhm_right) * 0.5;
        return EndFactors{-cutoff * half, cutoff * half};
    }
    return std::nullopt;
}

std::string SuperGaussian::debug() const {
    return StructuralWriter("SuperGaussian")
        .field("hwhm_left", hwhm_left)
        .field("hwhm_right", hwhm_right)
        .field("power", power)
        .finish();
}

}  // namespace spanlet
