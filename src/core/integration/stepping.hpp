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
// Consecutive steps over one knot interval of a Voigt line (times polynomials) are taken as one
// run under a single Gauss rule of ceil(RUN_POINTS_BASE + RUN_POINTS_PER_STEP * m) points, m the
// run's length in steps: the line is analytic across the run, and one rule over m steps needs
// fewer points than m rules of 8 (14 for two and a half steps, 30 for eight). A run closes once it
// spans RUN_STEPS steps, or before a step whose limit would differ from another's in the run by
// more than RUN_LIMIT_RATIO. The constants come from an error study of Voigt and Voigt-slope
// products with polynomials up to degree 5, gamma / sigma from 1e-6 to 1e4, intervals of 0.3 to
// 50 widths anywhere within 60 widths of the center: relative to the values on them, the runs'
// errors are no larger than the separate steps' (99 % below 5e-15 on values, 5e-14 on slopes).
inline constexpr double RUN_STEPS = 8.0;
inline constexpr double RUN_LIMIT_RATIO = 3.0;
inline constexpr double RUN_POINTS_BASE = 6.0;
inline constexpr double RUN_POINTS_PER_STEP = 3.0;

}  // namespace spanlet
