// The step schedule of adaptive integration, shared by integrals, inner products, parameter
// derivatives and covariances: over each knot interval, steps no longer than a limit, the rest
// taken whole when it is at most STEP_ALLOWANCE of a step.
#pragma once

#include <cmath>
#include <cstdint>
#include <limits>
#include <span>
#include <string>
#include <type_traits>
#include <vector>

#include "core/base/format.hpp"
#include "core/integration/integrate.hpp"
#include "core/integration/quadrature.hpp"
#include "core/integration/stepping.hpp"

namespace spanlet {

// The Gauss rule for a run of steps m steps long (see RUN_STEPS).
inline const Rule& run_rule(double m) {
    const double points = std::ceil(RUN_POINTS_BASE + RUN_POINTS_PER_STEP * m);
    return gl(static_cast<std::size_t>(std::fmin(points, static_cast<double>(LARGEST_SHARED_RULE))));
}

// Calls step(rule, start, end) for every step over the knot intervals, in order: from each point
// e of interval j a step of limit(j, e), the rest of the interval taken whole when it is at most
// STEP_ALLOWANCE of that. With `short_rule` a remainder of at most SHORT_REMAINDER of the limit
// takes the 4-point rule, every other step the 8-point rule. With `runs`, consecutive steps within
// an interval are passed as one (start, end) under run_rule instead, a run closing at the
// interval's end, once it spans RUN_STEPS steps or before a step whose limit would leave
// RUN_LIMIT_RATIO; a run of a single step is taken as without runs. Fails on an infinite
// interval end, beyond the budget (which counts steps, not runs), or with the first failing call
// when step returns a Status.
template <class Limit, class Step>
Status for_each_step(const std::vector<double>& knots, bool short_rule, Limit&& limit, Step&& step,
                     bool runs = false) {
    auto call = [&](const Rule& rule, double from, double to) -> Status {
        if constexpr (std::is_same_v<decltype(step(rule, from, to)), Status>) {
            return step(rule, from, to);
        } else {
            step(rule, from, to);
            return success();
        }
    };
    std::uint64_t steps = 0;
    for (std::size_t j = 0; j + 1 < knots.size(); ++j) {
        const double end = knots[j + 1];
        if (!(std::isfinite(knots[j]) && std::isfinite(end)))
            return Error::invalid("adaptive integration needs finite bounds, got [" + decimal(knots[j]) + ", " +
                                  decimal(end) + "]");
        double e = knots[j];
        // The open run: where it starts, its length in steps, the number of steps and their limits.
        double run_start = e, run_length = 0.0, shortest = INF, longest = 0.0;
        std::size_t run_steps = 0;
        auto close_run = [&](double at) -> Status {
            const Rule& rule = run_steps > 1 ? run_rule(run_length) : gl8();
            const double from = run_start;
            run_start = at;
            run_length = 0.0;
            shortest = INF;
            longest = 0.0;
            run_steps = 0;
            return call(rule, from, at);
        };
        while (e < end) {
            const double g = limit(j, e);
            const bool last = end <= e + STEP_ALLOWANCE * g;
            const double length = last ? end - e : g;
            double next = last ? end : e + g;
            // A step too small to move t (or a non-positive limit) still advances by one ulp; the
            // budget then ends the loop.
            if (!(next > e)) next = std::nextafter(e, end);
            if (++steps > ADAPTIVE_STEP_BUDGET) return step_budget_exceeded(knots.front(), knots.back());
            // Runs keep their limits within RUN_LIMIT_RATIO: a line's tail, whose steps grow with
            // the distance, would otherwise put a run's end many times farther out than its start.
            if (runs && run_steps > 0 && std::fmax(longest, g) > RUN_LIMIT_RATIO * std::fmin(shortest, g))
                SPANLET_TRY_STATUS(close_run(e));
            if (runs && !(last && run_steps == 0)) {
                run_length += length / g;
                shortest = std::fmin(shortest, g);
                longest = std::fmax(longest, g);
                ++run_steps;
                if (last || run_length >= RUN_STEPS) SPANLET_TRY_STATUS(close_run(next));
            } else {
                const Rule& rule = short_rule && length <= SHORT_REMAINDER * g ? gl4() : gl8();
                SPANLET_TRY_STATUS(call(rule, e, next));
            }
            e = next;
        }
    }
    return success();
}

// The steps of integrals and inner products: no longer than every element's step limit and the
// weight's cap; short remainders of unweighted products of at most two elements take the 4-point
// rule (exact for two cubics).
template <class Step>
Status for_each_adaptive_step(std::span<const Element* const> elements, CosineWeight omega,
                              const std::vector<double>& knots, Step&& step) {
    const double cap = omega ? WEIGHT_STEP_RADIANS / std::fabs(*omega) : INF;
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
    const bool short_rule = !omega && elements.size() < 3;
    return for_each_step(
        knots, short_rule,
        [&](std::size_t, double e) {
            double limit = cap;
            for (const Element* element : elements) limit = std::fmin(limit, step_limit(*element, e));
            return limit;
        },
        step, !omega && takes_runs(elements));
}

// cos(omega (z + s)) for the nodes of one step starting at z: the phase of the start is formed
// once, and the offsets add theirs without rounding to ulp(|omega z|) a second time.
class StepPhase {
public:
    explicit StepPhase(CosineWeight omega) : omega_(omega) {}
    void start(double z) {
        if (!omega_) return;
        cos_ = std::cos(*omega_ * z);
        sin_ = std::sin(*omega_ * z);
    }
    double operator()(double s) const {
        const double phase = *omega_ * s;
        return cos_ * std::cos(phase) - sin_ * std::sin(phase);
    }

private:
    CosineWeight omega_;
    double cos_ = 1.0, sin_ = 0.0;
};

// The integral of f(z, s) (times the weight when given) over the knot intervals, in the steps of
// for_each_adaptive_step, with f evaluated at offsets s from each step's start z.
template <class F>
Result<double> integrate_adaptively(std::span<const Element* const> elements, CosineWeight omega,
                                    const std::vector<double>& knots, F&& f) {
    StepPhase phase(omega);
    auto integrand = [&](double z, double s) { return omega ? f(z, s) * phase(s) : f(z, s); };
    double total = 0.0;
    SPANLET_TRY_STATUS(for_each_adaptive_step(elements, omega, knots, [&](const Rule& rule, double e, double next) {
        phase.start(e);
        total += apply_rule(rule, e, next - e, integrand);
    }));
    return total;
}

}  // namespace spanlet
