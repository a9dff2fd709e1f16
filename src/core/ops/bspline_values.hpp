// Point values of a B-spline space from its knot vector: one row per point, written straight into
// arrays the caller provides (those of the result, with no copy in between).
#pragma once

#include <cstdint>
#include <vector>

#include "core/linalg/sparse.hpp"
#include "core/spaces/knot_vector.hpp"

namespace spanlet {

// An upper bound on the stored entries of the rows for `points` points.
std::uint64_t bspline_value_bound(std::size_t points, const KnotVector& knots);

// Row i holds the B-splines that are not zero at x[i], in ascending order (indices and data of `out`
// as long as bspline_value_bound allows); a point outside the
// knot vector's half-open span gives an empty row. The points must be finite. Returns the number
// of stored entries, which lead indices and data; the rows run on the pool.
std::uint64_t bspline_values(const std::vector<double>& x, const KnotVector& knots, RowArrays out);

}  // namespace spanlet
