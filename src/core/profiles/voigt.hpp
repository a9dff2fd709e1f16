// The Voigt line shape: a Gaussian of standard deviation sigma convolved with a Lorentzian of
// half width gamma, as the real part of the Faddeeva function, scaled to 1 at its center.
#pragma once

#include <optional>
#include <string>

#include "core/base/error.hpp"
#include "core/profiles/family.hpp"

namespace spanlet {

struct Voigt {
    double sigma, gamma, inv_peak;

    double value(double x) const;
    double d_dt(double x) const;
    // Olivero and Longbothum's approximation of the full width (about 2e-4 relative), halved.
    double hwhm() const;
    Reach reach(double cutoff) const {
        const double h = hwhm();
        return {cutoff * h, cutoff * h};
    }
    // Gaussian-sized steps in the core; beyond six sigma the Lorentzian tail lets them grow.
    double step(double r) const;
    // Sigma and Gamma, through w'(z) = -2 z w(z) + 2i / sqrt(pi) and the peak's own derivative; for
    // Sigma in a form that keeps its digits towards the Lorentzian limit (see the .cpp).
    std::optional<double> d_parameter(Parameter parameter, double x) const;
    // The ends sit at cutoff hwhm, so they move with the derivative of the approximate width.
    std::optional<EndFactors> cutoff_factors(Parameter parameter, double cutoff) const;
    std::string debug() const;
};

// The inverse of the unnormalised value at the center, 1 / Re w(i gamma / (sigma sqrt 2)).
double voigt_inv_peak(double sigma, double gamma);

}  // namespace spanlet
