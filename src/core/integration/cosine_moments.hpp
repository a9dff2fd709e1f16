// Integrals of products of piecewise polynomials times cos(omega t), in closed form.
//
// On a knot interval [z, z + L] the product is a polynomial P(s) of degree at most 9 in the
// offset s. Where omega L is large, repeated integration by parts gives the exact integral as
// a sum over the knots of the jumps of P and its derivatives times sin and cos of omega * knot
// over powers of omega; jumps that vanish to rounding (the smooth joins of splines) are dropped,
// so a smooth integrand whose true integral decays like (omega L)^-(p+1) keeps its relative
// accuracy. Where omega L is small, the 8-point rule on pieces of at most a few radians is
// exact to rounding. Either way the cost does not depend on omega.
#pragma once

#include <span>
#include <vector>

#include "core/elements/element.hpp"

namespace spanlet {

// Every element must be polynomial (Box, Hat, Shaped, Delta, or affine maps of them).
double polynomial_cosine_integral(std::span<const Element* const> elements, double omega,
                                  const std::vector<double>& knots);

}  // namespace spanlet
