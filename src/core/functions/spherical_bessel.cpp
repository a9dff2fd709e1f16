#include "core/functions/spherical_bessel.hpp"

#include <cmath>

namespace spanlet {

namespace {

// 1 / (2n+1)!! for n = 0..5.
constexpr double FIRST_TERM[6] = {1.0, 1.0 / 3.0, 1.0 / 15.0, 1.0 / 105.0, 1.0 / 945.0, 1.0 / 10395.0};
constexpr int MAX_SERIES_TERMS = 59;

}  // namespace

std::array<double, 6> spherical_bessel_over_power(double x) noexcept {
    std::array<double, 6> out{};
    if (std::fabs(x) < 4.0) {
        const double a = -x * x / 2.0;
        for (int n = 0; n < 6; ++n) {
            double term = FIRST_TERM[n], sum = term;
            for (int k = 1; k <= MAX_SERIES_TERMS; ++k) {
                term = term * a / (k * (2.0 * n + 2.0 * k + 1.0));
                sum += term;
                if (std::fabs(term) < std::fabs(sum) * 1e-17) break;
            }
            out[n] = sum;
        }
        return out;
    }
    const double s = std::sin(x), c = std::cos(x);
    double j[6];
    j[0] = s / x;
    j[1] = s / (x * x) - c / x;
    for (int n = 1; n < 5; ++n) j[n + 1] = ((2.0 * n + 1.0) / x) * j[n] - j[n - 1];
    const double x2 = x * x;
    const double power[6] = {1.0, x, x2, x * x2, x2 * x2, x * x2 * x2};
    for (int n = 0; n < 6; ++n) out[n] = j[n] / power[n];
    return out;
}

}  // namespace spanlet
