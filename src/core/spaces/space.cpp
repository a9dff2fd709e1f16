#include "core/spaces/space.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>
#include <tuple>
#include <utility>

namespace spanlet {

namespace {

// How many times the median width an element must exceed before it may be kept apart as wide.
constexpr double wide_factor = 4.0;

// The elements to keep apart as wide, ascending. A query scans about count * max_width / span of
// the sorted elements plus every wide one, so among the widest elements (those far above the median
// width) the number set apart is the one that minimises that sum. Widths that are NaN never count.
std::vector<std::uint64_t> choose_wide(const std::vector<double>& lower, const std::vector<double>& upper) {
    const std::size_t n = lower.size();
    std::vector<double> widths;
    widths.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        if (const double w = upper[i] - lower[i]; !std::isnan(w)) widths.push_back(w);
    if (widths.empty()) return {};
    const auto middle = widths.begin() + static_cast<std::ptrdiff_t>(widths.size() / 2);
    std::nth_element(widths.begin(), middle, widths.end());
    const double threshold = wide_factor * *middle;
    std::vector<std::uint64_t> eligible;
    double rest = 0.0;  // the widest element that is not eligible
    for (std::size_t i = 0; i < n; ++i) {
        const double w = upper[i] - lower[i];
        if (w > threshold)
            eligible.push_back(i);
        else if (w > rest)
            rest = w;
    }
    if (eligible.empty()) return {};
    std::stable_sort(eligible.begin(), eligible.end(), [&](std::uint64_t i, std::uint64_t j) {
        return upper[i] - lower[i] > upper[j] - lower[j];
    });
    // Half of the extent of the finite supports (halves, so that the difference cannot overflow).
    double left = INFINITY, right = -INFINITY;
    for (std::size_t i = 0; i < n; ++i) {
        if (!std::isfinite(lower[i]) || !std::isfinite(upper[i])) continue;
        left = std::min(left, 0.5 * lower[i]);
        right = std::max(right, 0.5 * upper[i]);
    }
    const double half_span = right > left ? right - left : 0.0;
    auto window = [&](double width) {  // the expected share of the space one query scans
        if (width == 0.0) return 0.0;
        return half_span > 0.0 ? 0.5 * width / half_span : INFINITY;
    };
    std::size_t best = 0;
    double best_cost = INFINITY;
    for (std::size_t w = 0; w <= eligible.size(); ++w) {
        const double narrow = w < eligible.size() ? upper[eligible[w]] - lower[eligible[w]] : rest;
        const double cost = static_cast<double>(w) + static_cast<double>(n) * window(narrow);
        if (cost < best_cost) {
            best_cost = cost;
            best = w;
        }
    }
    eligible.resize(best);
    std::sort(eligible.begin(), eligible.end());
    return eligible;
}

std::size_t bucket_of(const SupportIndex& index, double v) {
    const std::size_t count = index.bucket_start.size() - 1;
    const double t = (v - index.bucket_base) * index.bucket_scale;
    if (!(t > 0.0)) return 0;
    if (t >= static_cast<double>(count)) return count - 1;
    return static_cast<std::size_t>(t);
}

// One bucket per sorted element, over the span of the lower ends.
void build_buckets(SupportIndex& index) {
    const std::vector<double>& sl = index.sorted_lower;
    const std::size_t n = sl.size();
    if (n < 2 || !std::all_of(sl.begin(), sl.end(), [](double v) { return std::isfinite(v); })) return;
    const double span = sl[n - 1] - sl[0];
    if (!(span > 0.0) || !std::isfinite(span)) return;
    index.bucket_base = sl[0];
    index.bucket_scale = static_cast<double>(n) / span;
    index.bucket_start.assign(n + 1, n);
    index.bucket_start[0] = 0;
    std::size_t b = 0;
    for (std::size_t k = 0; k < n; ++k)
        for (const std::size_t at = bucket_of(index, sl[k]); b < at;) index.bucket_start[++b] = k;
}

}  // namespace

Space Space::make(std::vector<Element> elements) {
    Space result;
    SupportIndex& space = result.index_;
    const std::size_t n = elements.size();
    space.lower.resize(n);
    space.upper.resize(n);
    for (std::size_t i = 0; i < n; ++i) {
        const Support s = support(elements[i]);
        space.lower[i] = s.lo;
        space.upper[i] = s.hi;
    }
    space.wide = choose_wide(space.lower, space.upper);
    space.order.reserve(n - space.wide.size());
    for (std::uint64_t i = 0, w = 0; i < n; ++i) {
        if (w < space.wide.size() && space.wide[w] == i)
            ++w;
        else
            space.order.push_back(i);
    }
    std::stable_sort(space.order.begin(), space.order.end(), [&](std::uint64_t i, std::uint64_t j) {
        return total_order_less(space.lower[i], space.lower[j]);
    });
    space.sorted_lower.resize(space.order.size());
    for (std::size_t k = 0; k < space.order.size(); ++k) space.sorted_lower[k] = space.lower[space.order[k]];
    for (const std::uint64_t i : space.order) {
        const double width = space.upper[i] - space.lower[i];
        if (width > space.max_width) space.max_width = width;  // a NaN width never compares greater
    }
    build_buckets(space);
    result.elements_ = std::move(elements);
    return result;
}

Space Space::make(std::vector<Element> elements, std::shared_ptr<const KnotVector> knots) {
    Space result = make(std::move(elements));
    result.knots_ = std::move(knots);
    return result;
}

namespace {

// The number of leading values for which before(value) holds; `before` must hold on a prefix.
// Written without data-dependent branches: this search runs once or twice per matrix row.
template <class Before>
std::size_t partition_point(const double* values, std::size_t n, Before before) {
    const double* base = values;
    while (n > 1) {
        const std::size_t half = n / 2;
        base = before(base[half - 1]) ? base + half : base;
        n -= half;
    }
    return static_cast<std::size_t>(base - values) + (n == 1 && before(*base) ? 1 : 0);
}

}  // namespace

namespace {

// The positions [k0, k1) in the index's order of the elements (wide ones aside) whose lower end
// may meet [lo, hi]: from the first that can reach lo to the last at or below hi.
std::pair<std::size_t, std::size_t> reaching(const SupportIndex& index, double lo, double hi) {
    const std::size_t n = index.order.size();
    const double* sl = index.sorted_lower.data();
    // A width rounds to nearest, so the exact one may lie up to the next double above max_width;
    // the rounding of lo - w then never passes a lower end that reaches lo.
    const double reach = lo - std::nextafter(index.max_width, INFINITY);
    const auto below = [reach](double v) { return v < reach; };
    const auto up_to = [hi](double v) { return v <= hi; };
    if (!index.bucket_start.empty() && !std::isnan(reach) && !std::isnan(hi)) {
        // The answer lies within the query's bucket: everything before it is lower, everything
        // after it higher, because the bucket of a value never decreases with the value.
        const std::uint64_t* start = index.bucket_start.data();
        const std::size_t b0 = bucket_of(index, reach), b1 = bucket_of(index, hi);
        return {start[b0] + partition_point(sl + start[b0], start[b0 + 1] - start[b0], below),
                start[b1] + partition_point(sl + start[b1], start[b1 + 1] - start[b1], up_to)};
    }
    return {partition_point(sl, n, below), partition_point(sl, n, up_to)};
}

}  // namespace

void candidates(const Space& space, std::vector<std::uint64_t>& out, double lo, double hi) {
    out.clear();
    const SupportIndex& index = space.index();
    if (!index.order.empty()) {
        const auto [k0, k1] = reaching(index, lo, hi);
        for (std::size_t k = k0; k < k1; ++k) {
            const auto i = index.order[k];
            if (lo <= index.upper[i]) out.push_back(i);
        }
    }
    for (const std::uint64_t i : index.wide)
        if (index.lower[i] <= hi && lo <= index.upper[i]) out.push_back(i);
    if (!std::is_sorted(out.begin(), out.end())) std::sort(out.begin(), out.end());
}

std::size_t OverlapCounter::count(double lo, double hi) {
    const SupportIndex& index = space_.index();
    std::size_t count = 0;
    if (!index.order.empty()) {
        const double* sl = index.sorted_lower.data();
        const std::size_t n = index.order.size();
        const double reach = lo - std::nextafter(index.max_width, INFINITY);
        if (reach >= reach_ && hi >= hi_) {
            // Both ends moved up (false for a NaN, and before any query): the window's ends follow.
            while (k0_ < n && sl[k0_] < reach) ++k0_;
            while (k1_ < n && sl[k1_] <= hi) ++k1_;
        } else {
            std::tie(k0_, k1_) = reaching(index, lo, hi);
        }
        reach_ = reach;
        hi_ = hi;
        for (std::size_t k = k0_; k < k1_; ++k) count += sl[k] < hi && lo < index.upper[index.order[k]] ? 1 : 0;
    }
    for (const std::uint64_t i : index.wide) count += index.lower[i] < hi && lo < index.upper[i] ? 1 : 0;
    return count;
}

Status check_broadcast(std::string_view name, std::size_t length, std::size_t count) {
    // So an empty parameter only fits an empty list of centers.
    if (length == count || length == 1) return success();
    return Error::invalid(std::string(name) + " has length " + std::to_string(length) + ", expected 1 or " +
                          std::to_string(count));
}

Status check_increasing(std::string_view name, const std::vector<double>& values) {
    const std::string label(name);
    if (values.size() < 2) return Error::invalid(label + " needs at least 2 values");
    if (!std::all_of(values.begin(), values.end(), [](double v) { return std::isfinite(v); }))
        return Error::invalid(label + " must be finite");
    for (std::size_t i = 0; i + 1 < values.size(); ++i)
        if (values[i + 1] <= values[i]) return Error::invalid(label + " must be strictly increasing");
    return success();
}

}  // namespace spanlet
