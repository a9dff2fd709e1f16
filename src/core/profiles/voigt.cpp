#include "core/profiles/voigt.hpp"

#include <cmath>

#include "core/base/format.hpp"
#include "core/functions/faddeeva.hpp"

namespace spanlet {

namespace {

// Olivero and Longbothum: full width 0.5346 fL + sqrt(0.2166 fL^2 + fG^2).
constexpr double WIDTH_LINEAR = 0.5346;
constexpr double WIDTH_QUADRATIC = 0.2166;

}  // namespace

double Voigt::value(double x) const {
    const double s = sigma * SQRT2;
    return inv_peak * faddeeva(x / s, gamma / s).re;
}

double Voigt::d_dt(double x) const {
    // d/du Re w(u + iv) = Re(-2 z w(z)) = -2 (u Re w - v Im w)
    const double s = sigma * SQRT2, u = x / s, v = gamma / s;
    const Complex w = faddeeva(u, v);
    return inv_peak * (-2.0 / s) * (u * w.re - v * w.im);
}

double Voigt::hwhm() const {
    const double fl = 2.0 * gamma, fg = FWHM_PER_SIGMA * sigma;
    return 0.5 * (WIDTH_LINEAR * fl + std::sqrt(WIDTH_QUADRATIC * fl * fl + fg * fg));
}

double Voigt::step(double r) const {
    return std::fmax(0.5 * sigma, 0.3 * gamma + 0.3 * std::fmax(r - 6.0 * sigma, 0.0));
}

std::optional<double> Voigt::d_parameter(Parameter parameter, double x) const {
    if (parameter != Parameter::Sigma && parameter != Parameter::Gamma) return std::nullopt;
    const double y_scale = sigma * SQRT2;
    const double xr = x / y_scale, yr = gamma / y_scale;
    const Complex big_w = faddeeva(xr, yr);
    // W' = -2 z W + 2i / sqrt(pi)
    const double dw_re = -2.0 * (xr * big_w.re - yr * big_w.im);
    const double dw_im = -2.0 * (xr * big_w.im + yr * big_w.re) + TWO_OVER_SQRT_PI;
    double d_re, dy;
    if (parameter == Parameter::Sigma) {
        d_re = -(xr * dw_re - yr * dw_im) / sigma;
        dy = -yr / sigma;
    } else {
        d_re = -dw_im / y_scale;
        dy = 1.0 / y_scale;
    }
    const double peak = faddeeva(0.0, yr).re;
    const double d_peak = -(TWO_OVER_SQRT_PI - 2.0 * yr * peak) * dy;
    return peak_normalised(inv_peak, d_re, big_w.re, d_peak);
}

std::optional<EndFactors> Voigt::cutoff_factors(Parameter parameter, double cutoff) const {
    // Derivatives of the half width 0.5 (0.5346 fL + sqrt(0.2166 fL^2 + fG^2)).
    const double fg = sigma * FWHM_PER_SIGMA, l = gamma * 2.0 * WIDTH_QUADRATIC;
    const double k = std::sqrt(fg * fg + 2.0 * gamma * l);
    if (parameter == Parameter::Sigma) {
        const double d = cutoff * (fg * 0.5 * FWHM_PER_SIGMA / k);
        return EndFactors{d, d};
    }
    if (parameter == Parameter::Gamma) {
        const double d = cutoff * ((2.0 * l / k + 2.0 * WIDTH_LINEAR) * 0.5);
        return EndFactors{d, d};
    }
    return std::nullopt;
}

std::string Voigt::debug() const {
    return StructuralWriter("Voigt").field("sigma", sigma).field("gamma", gamma).field("inv_peak", inv_peak).finish();
}

double voigt_inv_peak(double sigma, double gamma) { return 1.0 / faddeeva(0.0, gamma / (sigma * SQRT2)).re; }

}  // namespace spanlet
