// A space: an ordered list of elements with a support index for interval queries, and the checks
// shared by the functions that build spaces.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

#include "core/elements/element.hpp"
#include "core/spaces/knot_vector.hpp"

namespace spanlet {

// Where each element's support lies, for interval queries: supports by index, and the element
// indices sorted by lower end with those lower ends alongside. The few elements far wider than the
// rest (the wrap-around B-splines of a periodic space, say) are kept apart in `wide`, ascending, and
// checked one by one, so that `max_width` -- the widest of the others -- bounds the window that
// every query scans. `order` and `sorted_lower` hold only the elements that are not wide.
struct SupportIndex {
    std::vector<double> lower;
    std::vector<double> upper;
    std::vector<std::uint64_t> order;
    std::vector<double> sorted_lower;
    double max_width = 0.0;
    std::vector<std::uint64_t> wide;
    // Buckets that narrow the search in sorted_lower: bucket b = floor((v - bucket_base) *
    // bucket_scale), clamped to [0, B), is monotone in v, and bucket_start[b] is the first k whose
    // sorted_lower[k] falls in bucket b or later (B + 1 entries). Empty unless every lower end is
    // finite and they span a positive width.
    double bucket_base = 0.0, bucket_scale = 0.0;
    std::vector<std::uint64_t> bucket_start;
};

class Space {
public:
    static Space make(std::vector<Element> elements);
    // A B-spline space that also keeps its knot vector (null: it does not).
    static Space make(std::vector<Element> elements, std::shared_ptr<const KnotVector> knots);

    std::size_t size() const { return elements_.size(); }
    const std::vector<Element>& elements() const { return elements_; }
    const SupportIndex& index() const { return index_; }
    // The knot vector of a B-spline space built as such, or null; spaces derived from one
    // (mapped, taken, differentiated) do not keep it.
    const KnotVector* knot_vector() const { return knots_.get(); }

private:
    std::vector<Element> elements_;
    SupportIndex index_;
    std::shared_ptr<const KnotVector> knots_;
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

// total_order_less as a function object: sorts call it inline, where a function pointer costs a
// call per comparison.
struct TotalOrderLess {
    bool operator()(double x, double y) const { return total_order_less(x, y); }
};

// Indices, ascending, of the elements whose closed support meets the closed [lo, hi].
void candidates(const Space& space, std::vector<std::uint64_t>& out, double lo, double hi);
// The number of elements whose support overlaps [lo, hi] over more than a point (the candidates
// with lower < hi and lo < upper), without listing them, for queries one after another: where a
// query's ends lie at or above the last one's (as a space's supports do, listed in order), its
// window follows on from the last one's instead of being searched for.
class OverlapCounter {
public:
    explicit OverlapCounter(const Space& space) : space_(space) {}
    std::size_t count(double lo, double hi);

private:
    const Space& space_;
    std::size_t k0_ = 0, k1_ = 0;  // the last query's window in the index's order
    double reach_ = NAN, hi_ = NAN;  // the last query's lowest reach and upper end
};

// The check applied to every user sequence of nodes, edges or breakpoints.
Status check_increasing(std::string_view name, const std::vector<double>& values);

}  // namespace spanlet
