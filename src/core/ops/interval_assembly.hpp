// Inner products of piecewise-polynomial elements assembled by knot interval, as finite-element
// codes do: the knot intervals of a block of rows and their candidates are walked once, every
// element alive on an interval is evaluated once at the rule's nodes there, and every pair alive
// on it receives its share. Pairwise integration visits each interval once per pair instead, up
// to (p + 1)^2 times for degree-p B-splines.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "core/integration/integrate.hpp"
#include "core/linalg/sparse.hpp"
#include "core/ops/rows.hpp"
#include "core/spaces/knot_vector.hpp"
#include "core/spaces/space.hpp"

namespace spanlet {

// Whether interval_products computes inner_products(a, b, omega): no weight, and on both sides
// only elements that are polynomial between their knots, with finite supports (no point masses,
// whose products are values rather than integrals).
bool interval_products_apply(const std::vector<Element>& a, const Space& b, CosineWeight omega);
bool interval_products_apply(const Space& a, const Space& b, CosineWeight omega);

// The rows of G[i, j] = inner(a_i, b_j) for every candidate pair, zeros not stored, as
// inner_products gives it.
// Each pair is integrated, as the pairwise path does, by the 4-point Gauss-Legendre rule in local
// coordinates on each knot interval its supports share; the intervals are those of all elements of
// both spaces (of an open B-spline space, its knot vector's breakpoints), so that each pair's
// share does not depend on the rows assembled beside it.
RowBlocks interval_products(const Space& a, const Space& b);

// The same matrix assembled straight into the caller's arrays, for a caller that makes them
// before the entries exist. interval_plan sets indptr (a.size() + 1 of them) to the row ends of
// the pairs whose supports overlap over more than a point, the only pairs that share a knot
// interval, and returns their number: the room indices and data need. interval_products_into
// then writes every row into its planned slots, drops exact zeros (a share can cancel), and sets
// indptr to the row ends of what it keeps, whose number it returns. Nothing, with the arrays left
// unspecified, should a row come out with more entries than planned.
std::uint64_t interval_plan(const Space& a, const Space& b, std::uint64_t* indptr);
std::optional<std::uint64_t> interval_products_into(const Space& a, const Space& b, RowArrays out);

}  // namespace spanlet
