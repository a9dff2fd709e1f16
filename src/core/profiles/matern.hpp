// Matern correlation shapes of smoothness 1/2, 3/2 and 5/2 as functions of the distance from
// the center, 1 there: exp(-c), (1 + c) exp(-c), (1 + c + c^2 / 3) exp(-c), c = k |x| / length
// with k = 1, sqrt 3, sqrt 5.
#pragma once

#include <optional>
#include <string>

#include "core/profiles/family.hpp"

namespace spanlet {

enum class MaternOrder { Half, ThreeHalves, FiveHalves };

struct Matern {
    MaternOrder order;
    double length;

    double value(double x) const;
    double d_dt(double x) const;
    double hwhm() const;
    Reach reach(double cutoff) const { return {cutoff * length, cutoff * length}; }
    // Half of the decay length length / k.
    double step(double) const;
    // A covariance kernel: its length derivatives are taken by the covariance code itself.
    std::optional<double> d_parameter(Parameter, double) const { return std::nullopt; }
    std::optional<EndFactors> cutoff_factors(Parameter, double) const { return std::nullopt; }
    std::string debug() const;
};

}  // namespace spanlet
