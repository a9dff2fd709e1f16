// Elements: the basis functions of a space, and the piecewise-cubic shapes they are built from.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "core/error.hpp"

namespace spanlet {

// One cubic piece c0 + t (c1 + t (c2 + t c3)), t = u - a, on the half-open [a, b).
struct Segment {
    double c0, c1, c2, c3, a, b;

    double value(double u) const {
        const double t = u - a;
        return c0 + t * (c1 + t * (c2 + t * c3));
    }
};

// A non-empty, sorted, non-overlapping list of segments; immutable and shared.
class Shape {
public:
    static Result<std::shared_ptr<const Shape>> make(std::vector<Segment> segments);
    // Skips validation: for segment lists derived from an already valid shape.
    static std::shared_ptr<const Shape> trusted(std::vector<Segment> segments);
    static Result<std::shared_ptr<const Shape>> piecewise_linear(const std::vector<double>& x,
                                                                 const std::vector<double>& y);
    static Result<std::shared_ptr<const Shape>> trapezoid(double top, double bottom);
    // Shape-preserving monotone cubic (PCHIP) interpolant through a table.
    static Result<std::shared_ptr<const Shape>> pchip(const std::vector<double>& x, const std::vector<double>& y);

    const std::vector<Segment>& segments() const { return segments_; }
    // The value at u: the segment whose [a, b) holds u, else 0.
    double value(double u) const;

private:
    explicit Shape(std::vector<Segment> segments) : segments_(std::move(segments)) {}
    std::vector<Segment> segments_;
};

using ShapeRef = std::shared_ptr<const Shape>;

Status check_table(const std::vector<double>& x, const std::vector<double>& y);

struct Element;
using ElementRef = std::shared_ptr<const Element>;

struct Delta {
    double position;
};
struct Box {
    double lower, upper;
};
struct Hat {
    double lower, peak, upper;
};
struct Shaped {
    ShapeRef shape;
    double center, stretch;
};
enum class MapKind { Affine, Reciprocal };
struct Mapped {
    MapKind kind;
    double a, b;
    ElementRef inner;
    double lower, upper;
    bool jacobian;
};

struct Element {
    std::variant<Delta, Box, Hat, Shaped, Mapped> kind;
};

// Checked construction of a Shaped element.
Result<Element> make_shaped(ShapeRef shape, double center, double stretch);

struct Support {
    double lo, hi;
};
Support support(const Element& element);
double evaluate(const Element& element, double x);
double center(const Element& element);
// Appends the breakpoints strictly inside (lo, hi); no sorting, duplicates kept.
void push_knots(const Element& element, std::vector<double>& out, double lo, double hi);
Result<Element> derivative(const Element& element, std::uint64_t order);

}  // namespace spanlet
