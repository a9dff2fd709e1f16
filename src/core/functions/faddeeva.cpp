#include "core/functions/faddeeva.hpp"

#include <cmath>
#include <numbers>

namespace spanlet {

namespace {

constexpr double L = 5.3182958969449885;       // sqrt(40 / sqrt 2)
constexpr double L2 = 28.2842712474619;        // L^2
constexpr double INV_SQRT_PI = 0.5641895835477563;
// Beyond this |x| or y the expansion's squares could overflow.
constexpr double ASYMPTOTIC = 1e150;

Weideman build() {
    Weideman table{};
    constexpr int M = 2 * Weideman::N;  // 80
    // Samples at k = -79 .. 79; the sample at k = -80 (t = -inf) is 0 and left out.
    std::array<double, 2 * M - 1> t{}, f{};
    for (int k = -(M - 1); k <= M - 1; ++k) {
        const double tk = L * std::tan(k * std::numbers::pi / (2 * M));
        t[k + M - 1] = tk;
        f[k + M - 1] = std::exp(-tk * tk) * (tk * tk + L2);
    }
    for (int i = 1; i <= Weideman::N; ++i) {
        double sum = 0.0;
        for (int k = -(M - 1); k <= M - 1; ++k) sum += f[k + M - 1] * std::cos(k * std::numbers::pi * i / M);
        table.coefficients[i - 1] = sum / (2 * M);
    }
    table.scale = L;
    return table;
}

// i / (sqrt(pi) z) without forming |z|^2 (Smith's division).
Complex asymptotic(double x, double y) {
    double re, im;  // 1 / z
    if (std::fabs(x) >= std::fabs(y)) {
        const double r = y / x, d = x + y * r;
        re = 1.0 / d;
        im = -r / d;
    } else {
        const double r = x / y, d = x * r + y;
        re = r / d;
        im = -1.0 / d;
    }
    return {-im * INV_SQRT_PI, re * INV_SQRT_PI};
}

}  // namespace

const Weideman& Weideman::get() {
    // The compiler's guard makes concurrent first callers wait; later reads take no lock.
    static const Weideman table = build();
    return table;
}

Complex faddeeva(double x, double y) noexcept {
    if (y >= 0.0 && (std::fabs(x) > ASYMPTOTIC || y > ASYMPTOTIC)) return asymptotic(x, y);
    const Weideman& table = Weideman::get();
    const double d = L + y;
    const double h = x * x + d * d;
    // Z = (L + iz) / (L - iz)
    const double zr = ((L - y) * d - x * x) / h;
    const double zi = (x * d + x * (L - y)) / h;
    double pr = 0.0, pi = 0.0;
    for (int j = Weideman::N - 1; j >= 0; --j) {
        const double r = pr * zr - pi * zi + table.coefficients[j];
        pi = pr * zi + pi * zr;
        pr = r;
    }
    // 1 / (L - iz) = g + iq and its square.
    const double g = d / h, q = x / h;
    const double sr = g * g - q * q, si = 2.0 * q * g;
    return {2.0 * (pr * sr - pi * si) + INV_SQRT_PI * g, 2.0 * (pr * si + pi * sr) + INV_SQRT_PI * q};
}

}  // namespace spanlet
