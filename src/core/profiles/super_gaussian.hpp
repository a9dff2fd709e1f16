// The super-Gaussian line shape exp(-ln 2 (|x| / h)^power), h the half width on the side of x,
// 1 at its center: flat-topped for large powers, a Laplace peak for power 1.
#pragma once

#include <optional>
#include <string>

#include "core/profiles/family.hpp"

namespace spanlet {

struct SuperGaussian {
    double hwhm_left, hwhm_right, power;

    double value(double x) const;
    double d_dt(double x) const;
    double hwhm() const { return (hwhm_left + hwhm_right) / 2.0; }
    Reach reach(double cutoff) const { return {cutoff * hwhm_left, cutoff * hwhm_right}; }
    // Steps grow by 1.3 from 1e-8 h at the center, where a power near 1 has a kink, up to
    // h / max(power, 2) on the flanks.
    double step(double r) const;
    // Power, and Asymmetry: a shift of hwhm (left, right) by (-a h, +a h), h their mean.
    std::optional<double> d_parameter(Parameter parameter, double x) const;
    std::optional<EndFactors> cutoff_factors(Parameter parameter, double cutoff) const;
    std::string debug() const;
};

}  // namespace spanlet
