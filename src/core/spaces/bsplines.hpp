// B-spline spaces of degree 0 to 3 on arbitrary, clamped and periodic knot sequences.
#pragma once

#include <cstdint>
#include <vector>

#include "core/spaces/space.hpp"

namespace spanlet {

// One B-spline per run of degree + 2 consecutive knots (repeats allowed).
Result<Space> bsplines(const std::vector<double>& knots, std::uint64_t degree);
// Clamped: the end breakpoints repeated degree + 1 times.
Result<Space> bsplines_clamped(const std::vector<double>& breakpoints, std::uint64_t degree);
// Periodic with period breakpoints.back() - breakpoints.front(); wrapped pieces are folded back.
Result<Space> bsplines_periodic(const std::vector<double>& breakpoints, std::uint64_t degree);

// Coefficients of the polynomial of degree < n through n (1..4) points.
struct Cubic {
    double d[4];
};
Cubic fit_polynomial(const double* s, const double* y, std::size_t n);

}  // namespace spanlet
