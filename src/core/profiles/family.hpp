// What every line-shape family shares. A family is a small struct with the same members:
//
//   double value(double x) const;          the shape at offset x from its center
//   double d_dt(double x) const;           its slope
//   double hwhm() const;                   half width at half maximum
//   Reach reach(double cutoff) const;      where an element of this shape is cut
//   double step(double r) const;           the integration step at distance r from the center
//   std::optional<double> d_parameter(Parameter, double x) const;
//                                          the smooth derivative in one of its own parameters
//                                          (not Center or Scale), nothing for a foreign one
//   std::optional<EndFactors> cutoff_factors(Parameter, double cutoff) const;
//                                          how the cut ends move with that parameter
//   std::string debug() const;             "Gaussian { sigma: 2.0 }", fields in declaration order
//
// so that the profile variant dispatches every one of them with a single generic visit.
#pragma once

#include <optional>

#include "core/base/constants.hpp"
#include "core/profiles/parameter.hpp"

namespace spanlet {

// Distances (left, right) from the center at which an element is cut.
struct Reach {
    double left, right;
};

// The factors by which the moving cut ends weigh the profile's end values: d(end)/d(theta)
// divided by the profile's value there, for the lower and the upper end.
struct EndFactors {
    double lower, upper;
};

// Quotient rule for a profile q * g(w) normalised by its peak g(0) = 1 / q.
inline double peak_normalised(double q, double dg, double g, double dpeak) { return q * dg - q * q * g * dpeak; }

}  // namespace spanlet
