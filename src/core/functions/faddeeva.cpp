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

static_assert(Weideman::N % 4 == 0, "the expansion is evaluated as four chains");

Complex faddeeva(double x, double y) noexcept {
    if (y >= 0.0 && (std::fabs(x) > ASYMPTOTIC || y > ASYMPTOTIC)) return asymptotic(x, y);
    const Weideman& table = Weideman::get();
    const double d = L + y;
    const double h = x * x + d * d, inv_h = 1.0 / h;
    // Z = (L + iz) / (L - iz)
    const double zr = ((L - y) * d - x * x) * inv_h;
    const double zi = (x * d + x * (L - y)) * inv_h;
    // P(Z) = P0(Z^4) + Z P1(Z^4) + Z^2 P2(Z^4) + Z^3 P3(Z^4), P_k holding the coefficients j = k mod 4:
    // four independent Horner chains of 10 steps run side by side, where one chain of 40 waits on
    // each step's product. |Z| <= 1 in the upper half-plane, so every chain stays as well
    // conditioned as the single one.
    const double wr = zr * zr - zi * zi, wi = 2.0 * zr * zi;  // Z^2
    const double vr = wr * wr - wi * wi, vi = 2.0 * wr * wi;  // Z^4
    double chain_r[4] = {0.0, 0.0, 0.0, 0.0}, chain_i[4] = {0.0, 0.0, 0.0, 0.0};
    for (int j = Weideman::N - 4; j >= 0; j -= 4)
        for (int k = 0; k < 4; ++k) {
            const double r = chain_r[k] * vr - chain_i[k] * vi + table.coefficients[j + k];
            chain_i[k] = chain_r[k] * vi + chain_i[k] * vr;
            chain_r[k] = r;
        }
    const double z3r = wr * zr - wi * zi, z3i = wr * zi + wi * zr;  // Z^3
    const double pr = chain_r[0] + (zr * chain_r[1] - zi * chain_i[1]) + (wr * chain_r[2] - wi * chain_i[2]) +
                      (z3r * chain_r[3] - z3i * chain_i[3]);
    const double pi = chain_i[0] + (zr * chain_i[1] + zi * chain_r[1]) + (wr * chain_i[2] + wi * chain_r[2]) +
                      (z3r * chain_i[3] + z3i * chain_r[3]);
    // 1 / (L - iz) = g + iq and its square.
    const double g = d * inv_h, q = x * inv_h;
    const double sr = g * g - q * q, si = 2.0 * q * g;
    return {2.0 * (pr * sr - pi * si) + INV_SQRT_PI * g, 2.0 * (pr * si + pi * sr) + INV_SQRT_PI * q};
}

}  // namespace spanlet
