// Integrals of elements and inner products of pairs, optionally under a cosine weight cos(omega t).
//
// Integrands are split at the elements' knots. Piecewise-polynomial products are integrated
// exactly with one Gauss-Legendre rule per knot interval; everything else (reciprocal maps, the
// cosine weight, analytic profiles) steps adaptively with a step bounded by each element.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/elements/element.hpp"
#include "core/integration/quadrature.hpp"
#include "core/profiles/profile.hpp"

namespace spanlet {

// A present weight is a non-zero finite omega; the binding layer refuses anything else.
using CosineWeight = std::optional<double>;

// The adaptive path refuses an integral that would take more steps than this.
inline constexpr std::uint64_t ADAPTIVE_STEP_BUDGET = std::uint64_t{1} << 22;
// The refusal of an integral over [lo, hi] that would exceed the budget.
Error step_budget_exceeded(double lo, double hi);

Result<double> integral(const Element& element, CosineWeight omega, std::vector<double>& knots);
Result<double> inner(const Element& e1, const Element& e2, CosineWeight omega, std::vector<double>& knots);

// Breakpoints of one to three elements on [lo, hi]: lo, hi and the knots strictly inside, sorted
// by the IEEE total order, equal neighbours merged, intervals wider than the largest double halved.
void sorted_knots(std::span<const Element* const> elements, std::vector<double>& knots, double lo, double hi);

// The integral of the product of the elements (times the weight) over the knot intervals.
Result<double> integrate_product(std::span<const Element* const> elements, CosineWeight omega,
                                 const std::vector<double>& knots);

// A rule sum below this may hold products that underflowed; above it their loss is below 2^-120
// of the sum.
inline constexpr double SMALLEST_PLAIN_SUM = 0x1p-900;

// The rule applied to the elements' product over [z, z + length] (nodes at offsets h + h x_i, the
// sum times h), with every product and the running sum held as a mantissa and a power of two: for intervals where a
// product of values over- or underflows although the integral does not (slopes of 1e160 squared,
// say). Where the plain sum is representable this gives the same bits, since scaling by powers of
// two commutes with rounding.
double scaled_product_rule(const Rule& rule, std::span<const Element* const> elements, double z, double length);

// The closed-form integral of a polynomial element, or nothing for the other kinds.
std::optional<double> polynomial_integral(const Element& element);

// The largest step adaptive integration may take from t for this element (+inf for no limit).
double step_limit(const Element& element, double t);

// The longest step adaptive integration ever takes for this element, wherever it starts (+inf where
// the step grows without bound, as on a Lorentzian's tails): with it the steps over an interval
// can be counted before any is taken.
double largest_step(const Element& element);

bool is_polynomial(const Element& element);

// A profile element's values (and derivatives, as `values` gives them: `stride` numbers a node) at
// the nodes h + h x_i of a step from z, i < n, into out + i * stride; nodes outside its support
// keep what out holds. The nodes within the support are consecutive and are evaluated together.
void profile_at_nodes(const ProfileElement& p, const ValueWithDerivatives& values, const Rule& rule, std::size_t n,
                      double z, double h, std::size_t stride, double* out);

// Whether adaptive steps over these elements may be taken in runs under one rule of higher order
// (for_each_step): a Voigt line, alone or times one polynomial element.
bool takes_runs(std::span<const Element* const> elements);

}  // namespace spanlet
