#include "core/space.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <string>

namespace spanlet {


Space Space::make(std::vector<Element> elements) {
    Space space;
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
    space.elements = std::move(elements);
    return space;
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
    const double* sl = space.sorted_lower.data();
    const double reach = lo - space.max_width;
    const std::size_t k0 = partition_point(sl, n, [reach](double v) { return v < reach; });
    const std::size_t k1 = partition_point(sl, n, [hi](double v) { return v <= hi; });
    for (std::size_t k = k0; k < k1; ++k) {
        const auto i = space.order[k];
        if (lo <= space.upper[i]) out.push_back(i);
    }
    if (!std::is_sorted(out.begin(), out.end())) std::sort(out.begin(), out.end());
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

Cubic fit_polynomial(const double* s, const double* y, std::size_t n) {
    double m[4][5] = {};
    for (std::size_t r = 0; r < n; ++r) {
        double power = 1.0;
        for (std::size_t c = 0; c < n; ++c) {
            m[r][c] = power;
            power *= s[r];
        }
        m[r][n] = y[r];
    }
    bool used[4] = {false, false, false, false};
    std::size_t pivot_of[4] = {0, 0, 0, 0};
    for (std::size_t col = 0; col < n; ++col) {
        std::size_t pivot = n;
        for (std::size_t r = 0; r < n; ++r) {
            if (used[r]) continue;
            // Among equal magnitudes the later row wins.
            if (pivot == n || std::fabs(m[r][col]) >= std::fabs(m[pivot][col])) pivot = r;
        }
        used[pivot] = true;
        pivot_of[col] = pivot;
        for (std::size_t r = 0; r < n; ++r) {
            if (r == pivot) continue;
            const double factor = m[r][col] / m[pivot][col];
            for (std::size_t c = col; c <= n; ++c) m[r][c] -= factor * m[pivot][c];
        }
    }
    Cubic result{{0.0, 0.0, 0.0, 0.0}};
    for (std::size_t col = 0; col < n; ++col) result.d[col] = m[pivot_of[col]][n] / m[pivot_of[col]][col];
    return result;
}

}  // namespace spanlet
