#include "core/profiles/voigt.hpp"

#include <cmath>

#include "core/functions/faddeeva.hpp"

namespace spanlet {

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
    const double fl = 2.0 * gamma, fg = 2.3548200450309493 * sigma;
    return 0.5 * (0.5346 * fl + std::sqrt(0.2166 * fl * fl + fg * fg));
}

double Voigt::step(double r) const {
    return std::fmax(0.5 * sigma, 0.3 * gamma + 0.3 * std::fmax(r - 6.0 * sigma, 0.0));
}

double voigt_inv_peak(double sigma, double gamma) { return 1.0 / faddeeva(0.0, gamma / (sigma * SQRT2)).re; }

}  // namespace spanlet
