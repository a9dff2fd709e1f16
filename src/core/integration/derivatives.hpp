// Derivatives of elements and of inner products with respect to one element parameter.
//
// The derivative of an element e with respect to a parameter theta is a distribution: a smooth
// part, defined pointwise (`d_smooth`), plus point masses where the support ends or the value
// jumps move with theta (`jumps`). `Center` shifts an element, e(x - delta) at delta = 0; `Scale`
// stretches it about its center, s d/ds of e(c + (x - c) / s) at s = 1; the other parameters are
// those of the analytic line shapes.
#pragma once

#include <span>
#include <utility>
#include <vector>

#include "core/elements/element.hpp"
#include "core/integration/integrate.hpp"
#include "core/profiles/parameter.hpp"

namespace spanlet {

// The distribution sum of m delta(t - x), in the order the masses were generated.
struct PointMass {
    double x, m;
};
using PointMasses = std::vector<PointMass>;

// de/dx at x.
double slope(const Element& element, double x);

// The smooth part of de/dtheta at x.
Result<double> d_smooth(const Element& element, Parameter parameter, double x);

// The point masses of de/dtheta; the second form fills a reused buffer.
Result<PointMasses> jumps(const Element& element, Parameter parameter);
Status jumps(const Element& element, Parameter parameter, PointMasses& out);

// d/dtheta of the inner product <a, b> (under the weight when given), theta a parameter of a
// alone; `masses` are jumps(a, parameter), which the caller has already formed successfully.
Result<double> inner_derivative(const Element& a, const Element& b, Parameter parameter, CosineWeight omega,
                                const PointMasses& masses, std::vector<double>& knots);

// The part of d/dtheta <a, b> from the point masses of da/dtheta that lie in b's support.
double masses_against(const PointMasses& masses, const Element& b, CosineWeight omega);

// <a, b> and its derivative together, each equal to what inner and inner_derivative give; for a
// profile kernel in one pass that evaluates the kernel once per node.
Result<std::pair<double, double>> inner_with_derivative(const Element& a, const Element& b, Parameter parameter,
                                                        CosineWeight omega, const PointMasses& masses,
                                                        std::vector<double>& knots);

// The integral of the element and its derivative together, as integral and integral_derivative.
Result<std::pair<double, double>> integral_with_derivative(const Element& element, Parameter parameter,
                                                           CosineWeight omega, const PointMasses& masses,
                                                           std::vector<double>& knots);

// The integral over the knot intervals of the smooth part of de/dtheta, e the first of the elements,
// times the others (and the weight when given), stepped as `inner_derivative` steps.
Result<double> smooth_derivative_product(std::span<const Element* const> elements, Parameter parameter,
                                         CosineWeight omega, const std::vector<double>& knots);

// d/dtheta of the integral of the element (under the weight when given): the masses plus the
// integral of the smooth part, taken as `integral` takes the element itself.
Result<double> integral_derivative(const Element& element, Parameter parameter, CosineWeight omega,
                                   const PointMasses& masses, std::vector<double>& knots);

}  // namespace spanlet
