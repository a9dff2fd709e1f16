#include "core/functions/faddeeva.hpp"

#include <algorithm>
#include <cmath>
#include <numbers>

#include "core/base/simd.hpp"

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

namespace {

// w at W points (Re w only without `im`), where no square can overflow; written as loops over
// lanes, which the compiler turns into SIMD instructions. Each lane performs the operations of a
// single point (W = 1) and so keeps its bits.
//
// Z = (L + iz) / (L - iz); P(Z) = P0(Z^4) + Z P1(Z^4) + Z^2 P2(Z^4) + Z^3 P3(Z^4), P_k holding the
// coefficients j = k mod 4: four independent Horner chains of 10 steps run side by side, where one
// chain of 40 waits on each step's product. |Z| <= 1 in the upper half-plane, so every chain stays
// as well conditioned as the single one. 1 / (L - iz) = g + iq.
template <int W, bool Imaginary>
SPANLET_ALWAYS_INLINE void weideman_lanes(const double* coefficients, const double* x, double y, double* __restrict re,
                                          double* __restrict im) noexcept {
    const double d = L + y, e = L - y, dd = d * d;
    double zr[W], zi[W], g[W], q[W];
    for (int l = 0; l < W; ++l) {
        const double inv_h = 1.0 / (x[l] * x[l] + dd);
        zr[l] = (e * d - x[l] * x[l]) * inv_h;
        zi[l] = (x[l] * d + x[l] * e) * inv_h;
        g[l] = d * inv_h;
        q[l] = x[l] * inv_h;
    }
    double wr[W], wi[W], vr[W], vi[W];
    for (int l = 0; l < W; ++l) {
        wr[l] = zr[l] * zr[l] - zi[l] * zi[l];
        wi[l] = 2.0 * zr[l] * zi[l];
        vr[l] = wr[l] * wr[l] - wi[l] * wi[l];
        vi[l] = 2.0 * wr[l] * wi[l];
    }
    double cr[4][W] = {}, ci[4][W] = {};
    for (int j = Weideman::N - 4; j >= 0; j -= 4)
        for (int k = 0; k < 4; ++k)
            for (int l = 0; l < W; ++l) {
                const double r = cr[k][l] * vr[l] - ci[k][l] * vi[l] + coefficients[j + k];
                ci[k][l] = cr[k][l] * vi[l] + ci[k][l] * vr[l];
                cr[k][l] = r;
            }
    for (int l = 0; l < W; ++l) {
        const double z3r = wr[l] * zr[l] - wi[l] * zi[l], z3i = wr[l] * zi[l] + wi[l] * zr[l];
        const double pr = cr[0][l] + (zr[l] * cr[1][l] - zi[l] * ci[1][l]) + (wr[l] * cr[2][l] - wi[l] * ci[2][l]) +
                          (z3r * cr[3][l] - z3i * ci[3][l]);
        const double pi = ci[0][l] + (zr[l] * ci[1][l] + zi[l] * cr[1][l]) + (wr[l] * ci[2][l] + wi[l] * cr[2][l]) +
                          (z3r * ci[3][l] + z3i * cr[3][l]);
        const double sr = g[l] * g[l] - q[l] * q[l], si = 2.0 * q[l] * g[l];
        re[l] = 2.0 * (pr * sr - pi * si) + INV_SQRT_PI * g[l];
        if constexpr (Imaginary) im[l] = 2.0 * (pr * si + pi * sr) + INV_SQRT_PI * q[l];
    }
}

// The expansion at n points in groups of W, a last partial group padded with zeros.
template <bool Imaginary>
SPANLET_ALWAYS_INLINE void weideman_points(const double* x, double y, double* re, double* im, std::size_t n) noexcept {
    constexpr int W = 4;
    double coefficients[Weideman::N];
    std::copy(Weideman::get().coefficients.begin(), Weideman::get().coefficients.end(), coefficients);
    std::size_t i = 0;
    for (; i + W <= n; i += W) weideman_lanes<W, Imaginary>(coefficients, x + i, y, re + i, Imaginary ? im + i : nullptr);
    if (i < n) {
        double xs[W] = {}, out_re[W], out_im[W];
        std::copy(x + i, x + n, xs);
        weideman_lanes<W, Imaginary>(coefficients, xs, y, out_re, out_im);
        std::copy(out_re, out_re + (n - i), re + i);
        if constexpr (Imaginary) std::copy(out_im, out_im + (n - i), im + i);
    }
}

bool needs_asymptotic(double x, double y) { return y >= 0.0 && (std::fabs(x) > ASYMPTOTIC || y > ASYMPTOTIC); }

}  // namespace

Complex faddeeva(double x, double y) noexcept {
    if (needs_asymptotic(x, y)) return asymptotic(x, y);
    Complex w;
    weideman_lanes<1, true>(Weideman::get().coefficients.data(), &x, y, &w.re, &w.im);
    return w;
}

// Four points per instruction where the processor has AVX2 (core/base/simd.hpp).
SPANLET_SIMD_CLONES
void faddeeva_re(const double* x, double y, double* re, std::size_t n) noexcept {
    weideman_points<false>(x, y, re, nullptr, n);
    for (std::size_t i = 0; i < n; ++i)
        if (needs_asymptotic(x[i], y)) re[i] = asymptotic(x[i], y).re;
}

SPANLET_SIMD_CLONES
void faddeeva(const double* x, double y, double* re, double* im, std::size_t n) noexcept {
    weideman_points<true>(x, y, re, im, n);
    for (std::size_t i = 0; i < n; ++i)
        if (needs_asymptotic(x[i], y)) {
            const Complex w = asymptotic(x[i], y);
            re[i] = w.re;
            im[i] = w.im;
        }
}

}  // namespace spanlet
