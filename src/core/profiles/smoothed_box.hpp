// The smoothed box: a box of half width half_width convolved with a Gaussian of standard
// deviation sigma, B(x) = erf((x + half_width) / s) - erf((x - half_width) / s), s = sigma sqrt 2,
// scaled to 1 at its center.
#pragma once

#include <optional>
#include <string>

#include "core/profiles/family.hpp"

namespace spanlet {

struct SmoothedBox {
    double half_width, sigma, inv_peak;

    double value(double x) const { return inv_peak * unscaled(x); }
    double d_dt(double x) const;
    double hwhm() const;
    Reach reach(double cutoff) const {
        const double r = half_width + cutoff * sigma;
        return {r, r};
    }
    // The edges are Gaussian in shape.
    double step(double) const { return sigma; }

    std::optional<double> d_parameter(Parameter parameter, double x) const;
    // A wider smoothing moves the ends by cutoff, a wider box by one.
    std::optional<EndFactors> cutoff_factors(Parameter parameter, double cutoff) const;
    std::string debug() const;
    // B(x), without cancellation in either tail.
    double unscaled(double x) const;
};

}  // namespace spanlet
