// Gauss-Legendre rules on [-1, 1] and their application to one interval.
//
// All integration is piecewise Gauss-Legendre: a 4- or an 8-point rule per step, and for runs of
// steps over a Voigt line one rule of higher order (adaptive_steps.hpp). The shared rules are built
// once per process on first use and then read without locks.
#pragma once

#include <cstddef>
#include <vector>

namespace spanlet {

struct Rule {
    std::vector<double> nodes;    // ascending, antisymmetric about 0
    std::vector<double> weights;  // symmetric, positive, summing to 2
};

// The n-point rule by Newton iteration on the roots of P_n.
Rule gauss_legendre(std::size_t n);

// Shared rules, built on the first call (concurrent first callers wait), never modified.
const Rule& gl4();
const Rule& gl8();
// The n-point rule for 1 <= n <= LARGEST_SHARED_RULE.
inline constexpr std::size_t LARGEST_SHARED_RULE = 40;
const Rule& gl(std::size_t n);

// h * sum of w_i f(z, s_i) over [z, z + length], the nodes placed at offsets s_i = h + h x_i from
// the interval start so that they keep their resolution however far z lies from the origin.
template <class F>
double apply_rule(const Rule& rule, double z, double length, F&& f) {
    const double h = length * 0.5;
    const std::size_t n = rule.nodes.size() < rule.weights.size() ? rule.nodes.size() : rule.weights.size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += rule.weights[i] * f(z, h + h * rule.nodes[i]);
    return h * sum;
}

// Integral of f over [a, b] with the 8-point rule: h * sum w_i f(m + h x_i), the sum taken in
// node order and scaled once at the end.
template <class F>
double integrate(F&& f, double a, double b) {
    const Rule& rule = gl8();
    const double m = (a + b) * 0.5;
    const double h = (b - a) * 0.5;
    const std::size_t n = rule.nodes.size() < rule.weights.size() ? rule.nodes.size() : rule.weights.size();
    double sum = 0.0;
    for (std::size_t i = 0; i < n; ++i) sum += rule.weights[i] * f(m + h * rule.nodes[i]);
    return h * sum;
}

}  // namespace spanlet
