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
    std::sort(knots.begin(), knots.end(), total_order_less);
    knots.erase(std::unique(knots.begin(), knots.end()), knots.end());
}

}  // namespace

bool profile_row(const Element& kernel, const Space& b, const std::vector<std::uint64_t>& candidates,
                 std::optional<Parameter> parameter, std::vector<double>& knots, ProfileRow& row) {
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
    row.values.assign(candidates.size(), 0.0);
    row.derivatives.assign(parameter ? candidates.size() : 0, 0.0);
    const std::optional<ValueWithDerivative> both =
        parameter ? std::optional<ValueWithDerivative>(std::in_place, p->profile, *parameter) : std::nullopt;
    const Element* one[1] = {&kernel};
    const Status walked = for_each_adaptive_step(one, std::nullopt, knots, [&](const Rule& rule, double z, double next) {
        const double h = (next - z) * 0.5;
        const std::size_t n = std::min(rule.nodes.size(), rule.weights.size());
        row.kernel_values.assign(n, 0.0);
        row.kernel_derivatives.assign(n, 0.0);
        bool any = false;
        for (std::size_t i = 0; i < n; ++i) {
            const double s = h + h * rule.nodes[i];
            if (s < p->lower - z || s > p->upper - z) continue;
            const double x = (z - p->center) + s;
            if (both) {
                std::tie(row.kernel_values[i], row.kernel_derivatives[i]) = (*both)(x);
                any = any || row.kernel_values[i] != 0.0 || row.kernel_derivatives[i] != 0.0;
            } else {
                row.kernel_values[i] = value(p->profile, x);
                any = any || row.kernel_values[i] != 0.0;
            }
        }
        if (!any) return;
        for (std::size_t k = 0; k < candidates.size(); ++k) {
            if (!(row.supports[k].lo <= z && next <= row.supports[k].hi)) continue;
            LocalEvaluator element(b.elements()[candidates[k]], z);
            double sum = 0.0, slope = 0.0;
            for (std::size_t i = 0; i < n; ++i) {
                const double e = element(h + h * rule.nodes[i]);
                double v = 1.0;
                v *= row.kernel_values[i];
                v *= e;
                sum += rule.weights[i] * v;
                if (both) slope += rule.weights[i] * (row.kernel_derivatives[i] * e);
            }
            row.values[k] += h * sum;
            if (both) row.derivatives[k] += h * slope;
        }
    });
    return static_cast<bool>(walked);
}

}  // namespace spanlet
