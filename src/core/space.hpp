// A space: an ordered list of elements with a support index for interval queries.
#pragma once

#include <bit>
#include <cstdint>
#include <string_view>
#include <vector>

#include "core/element.hpp"

namespace spanlet {

struct Space {
    std::vector<Element> elements;
    std::vector<double> lower;
    std::vector<double> upper;
    std::vector<std::uint64_t> order;  // element indices sorted by lower end
    std::vector<double> sorted_lower;
    double max_width = 0.0;

    static Space make(std::vector<Element> elements);
    std::size_t size() const { return elements.size(); }

    static Result<Space> bsplines(const std::vector<double>& knots, std::uint64_t degree);
    static Result<Space> bsplines_clamped(const std::vector<double>& breakpoints, std::uint64_t degree);
    static Result<Space> bsplines_periodic(const std::vector<double>& breakpoints, std::uint64_t degree);

    static Result<Space> deltas(const std::vector<double>& positions);
    static Result<Space> hats(const std::vector<double>& nodes);
    static Result<Space> boxes(const std::vector<double>& edges);
    static Result<Space> triangles(const std::vector<double>& centers, const std::vector<double>& hwhm);
    static Result<Space> rectangles(const std::vector<double>& centers, const std::vector<double>& widths);
    static Result<Space> trapezoids(const std::vector<double>& centers, const std::vector<double>& top,
                                    const std::vector<double>& bottom);
    static Result<Space> tabulated(const std::vector<double>& centers, const std::vector<std::vector<double>>& x,
                                   const std::vector<std::vector<double>>& y, bool pchip);
    static Result<Space> shifted(const ShapeRef& shape, const std::vector<double>& centers,
                                 const std::vector<double>& stretch);

    Result<Space> take(const std::vector<std::uint64_t>& indices) const;
    Result<Space> derivative(std::uint64_t order) const;
    Result<Space> mapped(MapKind kind, double a, double b, bool jacobian) const;
};

// A per-element parameter has length 1 (shared) or one value per element.
Status check_broadcast(std::string_view name, std::size_t length, std::size_t count);

// Strict "less" under the IEEE total order of doubles (-NaN < -inf < ... < -0 < +0 < ... < +NaN).
inline bool total_order_less(double x, double y) {
    // Compared as signed integers, these keys follow the IEEE total order.
    auto key = [](double v) {
        const auto bits = std::bit_cast<std::int64_t>(v);
        return bits < 0 ? bits ^ INT64_MAX : bits;
    };
    return key(x) < key(y);
}

// Indices, ascending, of the elements whose closed support meets the closed [lo, hi].
void candidates(const Space& space, std::vector<std::uint64_t>& out, double lo, double hi);

// The check applied to every user sequence of nodes, edges or breakpoints.
Status check_increasing(std::string_view name, const std::vector<double>& values);

// Coefficients of the polynomial of degree < n through n (1..4) points.
struct Cubic {
    double d[4];
};
Cubic fit_polynomial(const double* s, const double* y, std::size_t n);

}  // namespace spanlet
