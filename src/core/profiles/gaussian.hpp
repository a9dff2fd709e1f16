// The Gaussian line shape exp(-x^2 / (2 sigma^2)), 1 at its center.
#pragma once

#include <cmath>
#include <optional>
#include <string>

#include "core/base/format.hpp"
#include "core/profiles/family.hpp"

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
    std::optional<double> d_parameter(Parameter parameter, double x) const {
        if (parameter != Parameter::Sigma) return std::nullopt;
        return value(x) * (x * x) / (sigma * sigma * sigma);
    }
    // The ends sit at cutoff sigma.
    std::optional<EndFactors> cutoff_factors(Parameter parameter, double cutoff) const {
        if (parameter != Parameter::Sigma) return std::nullopt;
        return EndFactors{cutoff, cutoff};
    }
    std::string debug() const { return StructuralWriter("Gaussian").field("sigma", sigma).finish(); }
};

}  // namespace spanlet
