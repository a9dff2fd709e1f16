// B-spline spaces of degree 0 to 3 on arbitrary, clamped and periodic knot sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "core/spaces/space.hpp"

namespace spanlet {

// One B-spline per run of degree + 2 consecutive knots (repeats allowed).
Result<Space> bsplines(const std::vector<double>& knots, std::uint64_t degree);
// Clamped: the end breakpoints repeated degree + 1 times. Every piece is half-open, [x_i, x_i+1);
// `closed` makes the last ones [x_L-1, x_L], so that the space sums to 1 at x_L as well.
Result<Space> bsplines_clamped(const std::vector<double>& breakpoints, std::uint64_t degree, bool closed = false);
// Periodic with period breakpoints.back() - breakpoints.front(); wrapped pieces are folded back.
Result<Space> bsplines_periodic(const std::vector<double>& breakpoints, std::uint64_t degree);

// Coefficients of the polynomial of degree < n through n (1..4) points.
struct Cubic {
    double d[4];
};
Cubic fit_polynomial(const double* s, const double* y, std::size_t n);

}  // namespace spanlet
