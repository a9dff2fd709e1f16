// The Lorentzian line shape 1 / ((x / hwhm)^2 + 1), 1 at its center.
#pragma once

#include <optional>
#include <string>

#include "core/base/format.hpp"
#include "core/profiles/family.hpp"

namespace spanlet {

struct Lorentzian {
    double half;  // the half width at half maximum, "hwhm" in messages

    double value(double x) const {
        const double u = x / half;
        return 1.0 / (u * u + 1.0);
    }
    double d_dt(double x) const {
        const double u = x / half, q = u * u + 1.0;
        return -2.0 * u / (half * (q * q));
    }
    double hwhm() const { return half; }
    Reach reach(double cutoff) const { return {cutoff * half, cutoff * half}; }
    // The tails vary on the scale of the distance itself, so steps grow with it.
    double step(double r) const { return 0.3 * (r + half); }
    std::optional<double> d_parameter(Parameter parameter, double x) const {
        if (parameter != Parameter::Gamma) return std::nullopt;
        const double e = x / half, q = 1.0 + e * e;
        return 2.0 * e * e / (half * (q * q));
    }
    // The ends sit at cutoff hwhm.
    std::optional<EndFactors> cutoff_factors(Parameter parameter, double cutoff) const {
        if (parameter != Parameter::Gamma) return std::nullopt;
        return EndFactors{cutoff, cutoff};
    }
    std::string debug() const { return StructuralWriter("Lorentzian").field("hwhm", half).finish(); }
};

}  // namespace spanlet
