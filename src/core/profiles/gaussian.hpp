// The Gaussian line shape exp(-x^2 / (2 sigma^2)), 1 at its center.
#pragma once

#include <cmath>

#include "core/profiles/reach.hpp"

namespace spanlet {

struct Gaussian {
    double sigma;

    double value(double x) const {
        const double u = x / sigma;
        return std::exp(u * (u * -0.5));
    }
    // The scaled offset is formed first: sigma * sigma underflows for sigma below about 1e-154.
    double d_dt(double x) const { return value(x) * (-(x / sigma) / sigma); }
    double hwhm() const { return sigma * SQRT_2LN2; }
    Reach reach(double cutoff) const { return {cutoff * sigma, cutoff * sigma}; }
    // One sigma per step keeps the 8-point rule at rounding level on the bell.
    double step(double) const { return sigma; }
};

}  // namespace spanlet
