// The pseudo-Voigt line shape: a mixture eta L + (1 - eta) G of a Lorentzian and a Gaussian of
// the same half width, 1 at its center.
#pragma once

#include <cmath>
#include <optional>
#include <string>

#include "core/base/format.hpp"
#include "core/profiles/family.hpp"

namespace spanlet {

struct PseudoVoigt {
    double half, eta;  // half: the half width at half maximum, "hwhm" in messages

    double value(double x) const {
        const double u = x / half, u2 = u * u;
        return eta / (u2 + 1.0) + (1.0 - eta) * std::exp(-LN2 * u2);
    }
    double d_dt(double x) const {
        const double u = x / half, u2 = u * u, q = u2 + 1.0;
        return (1.0 - eta) * (-2.0 * LN2 * u / half) * std::exp(-LN2 * u2) - eta * 2.0 * u / (half * (q * q));
    }
    double hwhm() const { return half; }
    Reach reach(double cutoff) const { return {cutoff * half, cutoff * half}; }
    // As the Voigt step, with the Gaussian part's sigma g: fine near the core, growing in the
    // Lorentzian tail.
    double step(double r) const {
        const double g = half / SQRT_2LN2;
        return std::fmax(0.5 * g, 0.3 * half + 0.3 * std::fmax(r - 6.0 * g, 0.0));
    }
    std::optional<double> d_parameter(Parameter parameter, double x) const {
        if (parameter != Parameter::Eta) return std::nullopt;
        const double e = x / half, e2 = e * e;
        return 1.0 / (1.0 + e2) - std::exp(-LN2 * e2);
    }
    // The mixture does not move the ends.
    std::optional<EndFactors> cutoff_factors(Parameter parameter, double) const {
        if (parameter != Parameter::Eta) return std::nullopt;
        return EndFactors{0.0, 0.0};
    }
    std::string debug() const { return StructuralWriter("PseudoVoigt").field("hwhm", half).field("eta", eta).finish(); }
};

}  // namespace spanlet
