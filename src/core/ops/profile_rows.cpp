#include "core/ops/profile_rows.hpp"

#include <algorithm>
#include <cmath>
#include <utility>
#include <variant>

#include "core/elements/local.hpp"
#include "core/integration/adaptive_steps.hpp"
#include "core/integration/quadrature.hpp"

namespace spanlet {

namespace {

// The kernel's support and the candidates' support ends and knots within it, sorted and distinct.
void row_knots(const Element& kernel, const Space& b, const std::vector<std::uint64_t>& candidates,
               const std::vector<Support>& supports, std::vector<double>& knots) {
    const Support s = support(kernel);
    knots.clear();
    knots.push_back(s.lo);
    knots.push_back(s.hi);
    push_knots(kernel, knots, s.lo, s.hi);
    for (std::size_t k = 0; k < candidates.size(); ++k) {
        const Support c = supports[k];
        if (s.lo < c.lo && c.lo < s.hi) knots.push_back(c.lo);
        if (s.lo < c.hi && c.hi < s.hi) knots.push_back(c.hi);
        push_knots(b.elements()[candidates[k]], knots, s.lo, s.hi);
    }
    std::sort(knots.begin(), knots.end(), TotalOrderLess{});
    knots.erase(std::unique(knots.begin(), knots.end()), knots.end());
}

}  // namespace

bool profile_row(const Element& kernel, const Space& b, const std::vector<std::uint64_t>& candidates,
                 std::span<const Parameter> parameters, std::vector<double>& knots, ProfileRow& row) {
    const auto* p = std::get_if<ProfileElement>(&kernel.kind);
    if (!p) return false;
    row.supports.clear();
    for (const std::uint64_t j : candidates) {
        const Element& e = b.elements()[j];
        if (std::holds_alternative<Delta>(e.kind) || !is_polynomial(e)) return false;
        row.supports.push_back(support(e));
    }
    row_knots(kernel, b, candidates, row.supports, knots);
    if (!(std::isfinite(knots.front()) && std::isfinite(knots.back()))) return false;
    const std::size_t count = parameters.size(), stride = count + 1;
    row.values.assign(candidates.size(), 0.0);
    row.derivatives.assign(candidates.size() * count, 0.0);
    const ValueWithDerivatives both(p->profile, parameters);
    const Element* one[1] = {&kernel};
    const Status walked = for_each_adaptive_step(one, std::nullopt, knots, [&](const Rule& rule, double z, double next) {
        const double h = (next - z) * 0.5;
        const std::size_t n = std::min(rule.nodes.size(), rule.weights.size());
        std::vector<double>& at = row.kernel_values;
        at.assign(n * stride, 0.0);
        bool any = false;
        profile_at_nodes(*p, both, rule, n, z, h, stride, at.data());
        for (std::size_t i = 0; i < n * stride && !any; ++i) any = at[i] != 0.0;
        if (!any) return;
        std::vector<double>& slopes = row.kernel_derivatives;
        for (std::size_t c = 0; c < candidates.size(); ++c) {
            if (!(row.supports[c].lo <= z && next <= row.supports[c].hi)) continue;
            LocalEvaluator element(b.elements()[candidates[c]], z);
            slopes.assign(count, 0.0);
            double sum = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double e = element(h + h * rule.nodes[i]);
                const double* node = at.data() + i * stride;
                double v = 1.0;
                v *= node[0];
                v *= e;
                sum += rule.weights[i] * v;
                for (std::size_t k = 0; k < count; ++k) slopes[k] += rule.weights[i] * (node[k + 1] * e);
            }
            row.values[c] += h * sum;
            for (std::size_t k = 0; k < count; ++k) row.derivatives[c * count + k] += h * slopes[k];
        }
    });
    return static_cast<bool>(walked);
}

}  // namespace spanlet
