// The step schedule of adaptive integration, shared by integrals, inner products and parameter
// derivatives: over each knot interval, steps no longer than every element's step limit and the
// weight's cap, the rest taken whole when it is at most STEP_ALLOWANCE of a step.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <vector>

#include "core/base/format.hpp"
#include "core/integration/integrate.hpp"
#include "core/integration/quadrature.hpp"
#include "core/integration/stepping.hpp"

namespace spanlet {

// Calls step(rule, start, end) for every step over the knot intervals, in order. The 4-point rule
// serves short remainders of unweighted products of at most two elements (exact for two cubics);
// every other step takes the 8-point rule. Fails on an infinite interval end or beyond the budget.
template <class Step>
Status for_each_adaptive_step(std::span<const Element* const> elements, CosineWeight omega,
                              const std::vector<double>& knots, Step&& step) {
    const double cap = omega ? WEIGHT_STEP_RADIANS / std::fabs(*omega) : std::numeric_limits<double>::infinity();
    // Where every step is bounded, the steps are counted first: a refusal after the whole budget
    // has been spent would come only after seconds of work.
    double longest = cap;
    for (const Element* element : elements) longest = std::fmin(longest, largest_step(*element));
    if (std::isfinite(longest)) {
        double at_least = 0.0;
        for (std::size_t j = 0; j + 1 < knots.size(); ++j)
            if (std::isfinite(knots[j]) && std::isfinite(knots[j + 1]))
                at_least += std::floor((knots[j + 1] - knots[j]) / (STEP_ALLOWANCE * longest));
        if (at_least > static_cast<double>(ADAPTIVE_STEP_BUDGET))
            return step_budget_exceeded(knots.front(), knots.back());
    }
    std::uint64_t steps = 0;
    for (std::size_t j = 0; j + 1 < knots.size(); ++j) {
        const double end = knots[j + 1];
        if (!(std::isfinite(knots[j]) && std::isfinite(end)))
            return Error::invalid("adaptive integration needs finite bounds, got [" + decimal(knots[j]) + ", " +
                                  decimal(end) + "]");
        double e = knots[j];
        while (e < end) {
            double limit = cap;
            for (const Element* element : elements) limit = std::fmin(limit, step_limit(*element, e));
            const bool last = end <= e + STEP_ALLOWANCE * limit;
            const double g = last ? end - e : limit;
            const Rule& rule = !omega && elements.size() < 3 && g <= SHORT_REMAINDER * limit ? gl4() : gl8();
            double next = last ? end : e + g;
            // A step too small to move t (or a non-positive limit) still advances by one ulp; the
            // budget then ends the loop.
            if (!(next > e)) next = std::nextafter(e, end);
            if (++steps > ADAPTIVE_STEP_BUDGET) return step_budget_exceeded(knots.front(), knots.back());
            step(rule, e, next);
            e = next;
        }
    }
    return success();
}

}  // namespace spanlet
