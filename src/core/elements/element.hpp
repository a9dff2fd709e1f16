// Elements: the basis functions of a space, one struct per kind, and the operations on any kind.
#pragma once

#include <cstdint>
#include <memory>
#include <variant>
#include <vector>

#include "core/base/error.hpp"
#include "core/profiles/profile.hpp"
#include "core/elements/shape.hpp"

namespace spanlet {

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
// `lower` and `upper` are the support, fixed by make_shaped.
struct Shaped {
    ShapeRef shape;
    double center, stretch;
    double lower, upper;
};
// A profile placed at `center` and cut to [lower, upper] (both ends included); `cutoff` is the
// factor the bounds were derived from.
struct ProfileElement {
    Profile profile;
    double center, lower, upper, cutoff;
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
    std::variant<Delta, Box, Hat, Shaped, ProfileElement, Mapped> kind;
};

struct Support {
    double lo, hi;
};

// Checked construction of a Shaped element, the only one. Its support runs from
// center + stretch * a of the first segment to center + stretch * b of the last, widened where
// needed to cover `reach`: the points a constructor knows exactly where the element must be
// found (a B-spline's end knots), which the rounded ends can miss. The widening changes no value.
Result<Element> make_shaped(ShapeRef shape, double center, double stretch);
Result<Element> make_shaped(ShapeRef shape, double center, double stretch, Support reach);

Support support(const Element& element);
double evaluate(const Element& element, double x);
double center(const Element& element);
// Appends the breakpoints strictly inside (lo, hi); no sorting, duplicates kept.
void push_knots(const Element& element, std::vector<double>& out, double lo, double hi);
Result<Element> derivative(const Element& element, std::uint64_t order);

}  // namespace spanlet
