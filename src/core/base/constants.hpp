// Mathematical constants shared across the core, each written once.
#pragma once

#include <limits>
#include <numbers>

namespace spanlet {

inline constexpr double INF = std::numeric_limits<double>::infinity();
inline constexpr double PI = std::numbers::pi;
inline constexpr double TWO_PI = 2 * std::numbers::pi;
inline constexpr double SQRT2 = 1.4142135623730951;
inline constexpr double SQRT3 = 1.7320508075688772;
inline constexpr double SQRT5 = 2.23606797749979;
inline constexpr double LN2 = 0.6931471805599453;
inline constexpr double TWO_OVER_SQRT_PI = 1.1283791670955126;
// The half width at half maximum of a Gaussian per sigma, sqrt(2 ln 2), and the full width.
inline constexpr double SQRT_2LN2 = 1.1774100225154747;
inline constexpr double FWHM_PER_SIGMA = 2.3548200450309493;

// Signed zeros. Sums start from -0.0, the identity of IEEE addition: -0 + x is x for every x,
// zeros of either sign included, so a sum of one term is that term bit for bit and a sum of
// nothing is -0 (a start from +0 would turn a lone -0 into +0).
inline constexpr double EMPTY_SUM = -0.0;
// x + 0 is x for every x but -0, which becomes +0: for results whose zero carries no sign.
inline double without_negative_zero(double x) { return x + 0.0; }

}  // namespace spanlet
