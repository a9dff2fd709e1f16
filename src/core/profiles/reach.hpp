// How far a profile element reaches from its center on either side.
#pragma once

namespace spanlet {

// Distances (left, right) from the center at which an element is cut.
struct Reach {
    double left, right;
};

// Constants shared by the line-shape families.
inline constexpr double SQRT2 = 1.4142135623730951;
inline constexpr double LN2 = 0.6931471805599453;
inline constexpr double SQRT_2LN2 = 1.1774100225154747;  // half width at half maximum per sigma
inline constexpr double TWO_OVER_SQRT_PI = 1.1283791670955126;

}  // namespace spanlet
