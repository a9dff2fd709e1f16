// The Lorentzian line shape 1 / ((x / hwhm)^2 + 1), 1 at its center.
#pragma once

#include "core/profiles/reach.hpp"

namespace spanlet {

// The half width is the stored parameter itself.
struct Lorentzian {
    double hwhm;

    double value(double x) const {
        const double u = x / hwhm;
        return 1.0 / (u * u + 1.0);
    }
    double d_dt(double x) const {
        const double u = x / hwhm, q = u * u + 1.0;
        return -2.0 * u / (hwhm * (q * q));
    }
    Reach reach(double cutoff) const { return {cutoff * hwhm, cutoff * hwhm}; }
    // The tails vary on the scale of the distance itself, so steps grow with it.
    double step(double r) const { return 0.3 * (r + hwhm); }
};

}  // namespace spanlet
