// Scaled spherical Bessel functions j_n(x) / x^n, n = 0..5, for real x.
//
// Method: for |x| < 4 the power series
//   j_n(x) / x^n = sum_k (-x^2 / 2)^k / (k! (2n + 2k + 1)!!),
// summed until a term falls below 1e-17 of the sum (at most 59 terms); below 4 its largest
// term is under 20 times the function's envelope (below), so cancellation costs little over one
// digit. For |x| >= 4, j_0 = sin x / x, j_1 = sin x / x^2 - cos x / x and the upward recurrence
// j_(n+1) = (2n + 1) / x j_n - j_(n-1), which is stable while n < x.
// (Abramowitz and Stegun, 10.1.2 and 10.1.19.)
//
// Accuracy measured against 30-digit references (tests/data/spherical_bessel.txt), as the error
// divided by the envelope min(1 / (2n+1)!!, 1 / |x|^(n+1)) of j_n(x) / x^n: at most 9e-16 for
// |x| < 4 and 3e-15 for |x| >= 4 (n = 5 just above 4 is the worst case; 2e-16 from x = 10 on).
// Near a zero of j_n the relative error is unbounded, as for any method that does not treat the
// zeros on their own.
//
// The ratios are even in x and equal 1 / (2n+1)!! at 0. The kernel never fails and never
// allocates; non-finite input gives NaN.
#pragma once

#include <array>

namespace spanlet {

// Entry n holds j_n(x) / x^n.
std::array<double, 6> spherical_bessel_over_power(double x) noexcept;

}  // namespace spanlet
