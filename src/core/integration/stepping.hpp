// The constants of adaptive stepping, shared by integrals, parameter derivatives and covariances.
#pragma once

namespace spanlet {

// A cosine weight cos(omega t) advances at most a quarter radian per step, where the 8-point rule
// on the oscillating factor alone is accurate to rounding.
inline constexpr double WEIGHT_STEP_RADIANS = 0.25;
// The rest of an interval is taken whole when it exceeds the step limit by at most 5 %.
inline constexpr double STEP_ALLOWANCE = 1.05;
// A remainder of at most 2.5 % of the step limit is short enough for the 4-point rule. Steps are
// sized by the 8-point rule's accuracy; the 4-point rule, exact to degree 7 where a cubic factor
// takes three of them, needs a piece about twenty times shorter than the profile's scale there.
inline constexpr double SHORT_REMAINDER = 0.025;

}  // namespace spanlet
