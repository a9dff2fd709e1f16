// Shapes: piecewise-cubic functions of a reference variable, shared by the elements built on them.
#pragma once

#include <memory>
#include <vector>

#include "core/base/error.hpp"

namespace spanlet {

// One cubic piece c0 + t (c1 + t (c2 + t c3)), t = u - a, on the half-open [a, b).
struct Segment {
    double c0, c1, c2, c3, a, b;
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

    const std::vector<Segment>& segments() const { return segments_; }
    // The segment whose [a, b) holds u, or null in a gap and outside.
    const Segment* segment_at(double u) const;

private:
    explicit Shape(std::vector<Segment> segments) : segments_(std::move(segments)) {}
    std::vector<Segment> segments_;
};

using ShapeRef = std::shared_ptr<const Shape>;

Status check_table(const std::vector<double>& x, const std::vector<double>& y);

}  // namespace spanlet
