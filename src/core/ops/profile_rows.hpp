// Rows of a profile kernel against piecewise-polynomial elements, without a weight: the profile's
// steps over its support, split at every candidate's knots, are walked once, the profile (and, when
// asked, its derivative in a parameter) is evaluated once per node, and every candidate alive on a
// step takes its share there. Pair by pair, a B-spline's neighbours would evaluate the profile at
// the same nodes p + 1 times over.
//
// Each entry is integrated as inner and inner_derivative integrate it (the same rules under the
// profile's step limits, in local coordinates) on panels that may also end at other candidates'
// knots; where the candidates share one grid of knots, as a space's B-splines do, the panels and so
// the bits are those of the pairwise path.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "core/integration/derivatives.hpp"
#include "core/spaces/space.hpp"

namespace spanlet {

// A row's results and buffers, kept from row to row.
struct ProfileRow {
    std::vector<double> values;       // <kernel, b_j> for each candidate
    std::vector<double> derivatives;  // the smooth part of d/dtheta_p <kernel, b_j> at [j * P + p]
    std::vector<Support> supports;
    std::vector<double> kernel_values;       // per node of a step: the value, then the derivatives
    std::vector<double> kernel_derivatives;  // one candidate's derivative sums on a step
};

// Fills row for the candidates of b (indices into b) and returns true; false where this does not
// apply (the kernel is no unmapped profile, a candidate is no polynomial) or fails (a step budget,
// say): the caller then integrates pair by pair, which decides.
bool profile_row(const Element& kernel, const Space& b, const std::vector<std::uint64_t>& candidates,
                 std::span<const Parameter> parameters, std::vector<double>& knots, ProfileRow& row);

}  // namespace spanlet
