// The pseudo-Voigt line shape: a mixture eta L + (1 - eta) G of a Lorentzian and a Gaussian of
// the same half width, 1 at its center.
#pragma once

#include <cmath>

#include "core/profiles/reach.hpp"

namespace spanlet {

// The half width is the stored parameter itself.
struct PseudoVoigt {
    double hwhm, eta;

    double value(double x) const {
        const double u = x / hwhm, u2 = u * u;
        return eta / (u2 + 1.0) + (1.0 - eta) * std::exp(-LN2 * u2);
    }
    double d_dt(double x) const {
        const double u = x / hwhm, u2 = u * u, q = u2 + 1.0;
        return (1.0 - eta) * (-2.0 * LN2 * u / hwhm) * std::exp(-LN2 * u2) - eta * 2.0 * u / (hwhm * (q * q));
    }
    Reach reach(double cutoff) const { return {cutoff * hwhm, cutoff * hwhm}; }
    // As the Voigt step, with the Gaussian part's sigma g: fine near the core, growing in the
    // Lorentzian tail.
    double step(double r) const {
        const double g = hwhm / SQRT_2LN2;
        return std::fmax(0.5 * g, 0.3 * hwhm + 0.3 * std::fmax(r - 6.0 * g, 0.0));
    }
};

}  // namespace spanlet
