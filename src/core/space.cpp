#include "core/space.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

namespace spanlet {

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
    space.order.resize(n);
    std::iota(space.order.begin(), space.order.end(), std::uint64_t{0});
    std::stable_sort(space.order.begin(), space.order.end(), [&](std::uint64_t i, std::uint64_t j) {
        return total_order_less(space.lower[i], space.lower[j]);
    });
    space.sorted_lower.resize(n);
    for (std::size_t k = 0; k < n; ++k) space.sorted_lower[k] = space.lower[space.order[k]];
    for (std::size_t i = 0; i < n; ++i) {
        const double width = space.upper[i] - space.lower[i];
        if (width > space.max_width) space.max_width = width;  // a NaN width never compares greater
    }
    result.elements_ = std::move(elements);
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

void candidates(const Space& space, std::vector<std::uint64_t>& out, double lo, double hi) {
    out.clear();
    const std::size_t n = space.size();
    if (n == 0) return;
    const SupportIndex& index = space.index();
    const double* sl = index.sorted_lower.data();
    const double reach = lo - index.max_width;
    const std::size_t k0 = partition_point(sl, n, [reach](double v) { return v < reach; });
    const std::size_t k1 = partition_point(sl, n, [hi](double v) { return v <= hi; });
    for (std::size_t k = k0; k < k1; ++k) {
        const auto i = index.order[k];
        if (lo <= index.upper[i]) out.push_back(i);
    }
    if (!std::is_sorted(out.begin(), out.end())) std::sort(out.begin(), out.end());
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
