#include "core/integration/quadrature.hpp"

#include <cmath>
#include <numbers>

namespace spanlet {

Rule gauss_legendre(std::size_t n) {
    Rule rule{std::vector<double>(n, 0.0), std::vector<double>(n, 0.0)};
    const double order = static_cast<double>(n);
    // Positive roots from the largest down; the negative half mirrors them.
    for (std::size_t i = 0; i < n - n / 2; ++i) {
        double x = std::cos(std::numbers::pi * (static_cast<double>(i) + 0.75) / (order + 0.5));
        double d = 0.0;
        for (int step = 0; step < 100; ++step) {
            double p = x, previous = 1.0;  // P_k and P_(k-1), starting at k = 1
            for (std::size_t k = 2; k <= n; ++k) {
                const double kk = static_cast<double>(k);
                const double next = ((2.0 * kk - 1.0) * x * p - (kk - 1.0) * previous) / kk;
                previous = p;
                p = next;
            }
            d = order * (x * p - previous) / (x * x - 1.0);
            const double delta = p / d;
            x -= delta;
            if (std::abs(delta) < 1e-16) break;
        }
        rule.nodes[i] = -x;
        rule.nodes[n - 1 - i] = x;
        const double w = 2.0 / (d * (d * (1.0 - x * x)));
        rule.weights[i] = w;
        rule.weights[n - 1 - i] = w;
    }
    return rule;
}

// Function-local statics: the compiler's guard makes concurrent first callers wait and later
// reads a single acquire load.
const Rule& gl4() {
    static const Rule rule = gauss_legendre(4);
    return rule;
}

const Rule& gl8() {
    static const Rule rule = gauss_legendre(8);
    return rule;
}

const Rule& gl(std::size_t n) {
    static const std::vector<Rule> rules = [] {
        std::vector<Rule> all;
        for (std::size_t k = 0; k <= LARGEST_SHARED_RULE; ++k) all.push_back(k == 0 ? Rule{} : gauss_legendre(k));
        return all;
    }();
    return rules[n];
}

}  // namespace spanlet
