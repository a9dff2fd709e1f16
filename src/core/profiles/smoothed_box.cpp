#include "core/profiles/smoothed_box.hpp"

#include <cmath>

#include "core/base/format.hpp"

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

std::optional<double> SmoothedBox::d_parameter(Parameter parameter, double x) const {
    if (parameter != Parameter::Sigma && parameter != Parameter::HalfWidth) return std::nullopt;
    const double f = sigma * SQRT2;
    const double a = (x + half_width) / f, b = (x - half_width) / f, c = half_width / f;
    const double ea = std::exp(-a * a), eb = std::exp(-b * b), ec = std::exp(-c * c);
    double dg, dpeak;
    if (parameter == Parameter::HalfWidth) {
        dg = TWO_OVER_SQRT_PI / f * (ea + eb);
        dpeak = TWO_OVER_SQRT_PI / f * 2.0 * ec;
    } else {
        dg = -TWO_OVER_SQRT_PI / sigma * (a * ea - b * eb);
        dpeak = -TWO_OVER_SQRT_PI / sigma * 2.0 * c * ec;
    }
    return peak_normalised(inv_peak, dg, unscaled(x), dpeak);
}

std::optional<EndFactors> SmoothedBox::cutoff_factors(Parameter parameter, double cutoff) const {
    if (parameter == Parameter::Sigma) return EndFactors{cutoff, cutoff};
    if (parameter == Parameter::HalfWidth) return EndFactors{1.0, 1.0};
    return std::nullopt;
}

std::string SmoothedBox::debug() const {
    return StructuralWriter("SmoothedBox")
        .field("half_width", half_width)
        .field("sigma", sigma)
        .field("inv_peak", inv_peak)
        .finish();
}

}  // namespace spanlet
