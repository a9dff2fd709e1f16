#include "core/profiles/voigt.hpp"

#include <algorithm>
#include <cmath>
#include <complex>

#include "core/base/format.hpp"
#include "core/functions/faddeeva.hpp"

namespace spanlet {

namespace {

// Olivero and Longbothum: full width 0.5346 fL + sqrt(0.2166 fL^2 + fG^2).
constexpr double WIDTH_LINEAR = 0.5346;
constexpr double WIDTH_QUADRATIC = 0.2166;

// Beyond this |z| the derivatives of w come from its asymptotic series, whose terms fall fast
// enough there, while the direct form w' = -2 z w + 2i / sqrt(pi) loses about |z|^2 of its digits.
constexpr double FAR_RADIUS = 8.0;

using Cplx = std::complex<double>;

// Plain products and quotients: these operands are finite, so the NaN recovery of the library's
// complex operators (a call per product) buys nothing on this hot path.
Cplx mul(Cplx a, Cplx b) { return {a.real() * b.real() - a.imag() * b.imag(), a.real() * b.imag() + a.imag() * b.real()}; }
Cplx div(Cplx a, Cplx b) {
    const double n = b.real() * b.real() + b.imag() * b.imag();
    return {(a.real() * b.real() + a.imag() * b.imag()) / n, (a.imag() * b.real() - a.real() * b.imag()) / n};
}
bool far_out(Cplx z) { return std::norm(z) >= FAR_RADIUS * FAR_RADIUS; }

// For |z| >= FAR_RADIUS, with q = 1 / (2 z^2) and c_n = (2n - 1)!!, the asymptotic series gives
//   z w = (i / sqrt(pi)) (1 + S),   S = sum_(n >= 1) c_n q^n,
//   z w - i / sqrt(pi) = z w rho,   w' = -2 (z w - i / sqrt(pi)) = -2 z w rho,   rho = S / (1 + S),
//   e = U / (1 + S),   U = 2 z^2 S - 1 - S = sum_(n >= 1) 2n c_n q^n,
// where z w' = -w (1 + e) defines e. None of them is a difference of larger terms, and each is w
// times a ratio from the series, so that the width derivative's two terms below carry the same w
// and their difference keeps its digits. The terms t_n = c_n q^n are summed forward until U's
// (the larger) falls below 1e-17 of its first: 24 terms at |z| = 8, a handful far out.
constexpr int MOST_TERMS = 32;

struct FarSums {
    Cplx s, u;
};

FarSums far_sums(Cplx z) {
    const Cplx q = div(Cplx(0.5, 0.0), mul(z, z));
    const double floor = 1e-34 * std::norm(q);
    Cplx t = q, s = q, u = 2.0 * q;
    for (int n = 2; n <= MOST_TERMS; ++n) {
        t = (2.0 * n - 1.0) * mul(t, q);
        s += t;
        u += (2.0 * n) * t;
        if (std::norm(t) * (n * n) < floor) break;
    }
    return {s, u};
}

// rho = S / (1 + S) and e = U / (1 + S), from one pass over the series for every derivative at z.
Cplx far_rho(Cplx z, VoigtFar& far) {
    if (!far.formed) {
        const FarSums f = far_sums(z);
        const Cplx rho = div(f.s, 1.0 + f.s), e = div(f.u, 1.0 + f.s);
        far = VoigtFar{true, {rho.real(), rho.imag()}, {e.real(), e.imag()}};
    }
    return {far.rho.re, far.rho.im};
}
Cplx far_e(Cplx z, VoigtFar& far) {
    far_rho(z, far);
    return {far.e.re, far.e.im};
}

// w'(z), given w = w(z).
Cplx w_slope(Cplx z, Cplx w, VoigtFar& far) {
    if (far_out(z)) return -2.0 * mul(mul(z, w), far_rho(z, far));
    return -2.0 * mul(z, w) + Cplx(0.0, TWO_OVER_SQRT_PI);
}

// w(z) e(z), the part of z w'(z) = -w (1 + e) that vanishes in the Lorentzian limit (e ~ 1 / z^2).
Cplx slope_excess(Cplx z, Cplx w, VoigtFar& far) {
    if (far_out(z)) return mul(w, far_e(z, far));
    return -mul(z, w_slope(z, w, far)) - w;
}

// Re(z w(z)), of which the slope of Re w is -2 times: directly u Re w - v Im w, which keeps all
// but |z|^2 ulps (2e-13 relative at |z| = 32, the slope's cost in fits of ordinary lines
// otherwise growing by a third); beyond SLOPE_SERIES_RADIUS as Re(z w rho) = Re(z w - i / sqrt(pi)),
// where a near-Lorentzian line's slope would lose all its digits.
constexpr double SLOPE_SERIES_RADIUS = 32.0;
double real_z_w(double u, double v, Complex w, VoigtFar& far) {
    const Cplx z(u, v);
    if (std::norm(z) < SLOPE_SERIES_RADIUS * SLOPE_SERIES_RADIUS) return u * w.re - v * w.im;
    return mul(mul(z, Cplx(w.re, w.im)), far_rho(z, far)).real();
}

// Near the center (|x'| small, |z| below FAR_RADIUS) both terms of the sigma
// derivative below are close to their values at x' = 0, where they are equal: their difference,
// of order x'^2, goes by the Taylor series in x' about i y' instead, whose coefficients come from
// the derivatives w^(k)(i y') = i^k r_k, r_(k+2) = 2 (k + 1) r_k - 2 y' r_(k+1) (from
// w'' = -2 w - 2 z w'). That recurrence runs forward for small y'; for larger y' the r_k are its
// decaying solution, which only the backward direction keeps (Miller's algorithm, scaled by r_0).
constexpr double TAYLOR_X = 0.05;
constexpr int TAYLOR_ORDER = 16;  // even; the next term is below 1e-25 of the first
constexpr double FORWARD_Y = 2.2;
constexpr int MILLER_START = 60;
static_assert(TAYLOR_ORDER + 2 == VoigtPeak::SERIES, "the peak keeps the series' coefficients");

// r_k = w^(k)(i y) / i^k for k <= TAYLOR_ORDER + 1, r0 = w(i y).
void peak_derivatives(double y, double r0, double (&r)[TAYLOR_ORDER + 2]) {
    if (y < FORWARD_Y) {
        r[0] = r0;
        r[1] = TWO_OVER_SQRT_PI - 2.0 * y * r0;
        for (int k = 0; k + 2 < TAYLOR_ORDER + 2; ++k) r[k + 2] = 2.0 * (k + 1) * r[k] - 2.0 * y * r[k + 1];
        return;
    }
    double next = 0.0, at = 1e-200;  // r_(k+1), r_k up to a common factor
    for (int k = MILLER_START - 1; k >= 0; --k) {
        const double below = (next + 2.0 * y * at) / (2.0 * k + 2.0);  // r_k from r_(k+2), r_(k+1)
        next = at;
        at = below;
        if (k < TAYLOR_ORDER + 2) r[k] = at;
    }
    const double scale = r0 / r[0];
    for (double& v : r) v *= scale;
}

// Near the center, by the Taylor series in x about i y (x^0 terms cancel exactly and are left out):
// Sigma: Re(z w'(z)) w(i y) - Re w(z) (i y w'(i y)); Gamma: -Im w'(z) w(i y) + Re w(z) Im w'(i y).
double center_difference(Parameter parameter, double x, double y, const double (&r)[TAYLOR_ORDER + 2]) {
    double sum = 0.0, term = 1.0;  // term = (-1)^(k/2) x^k / k!
    for (int k = 2; k <= TAYLOR_ORDER; k += 2) {
        term *= -(x * x) / (k * (k - 1));
        sum += term * (parameter == Parameter::Sigma ? k * r[0] * r[k] - y * r[0] * r[k + 1] + y * r[1] * r[k]
                                                     : r[1] * r[k] - r[0] * r[k + 1]);
    }
    return sum;
}

}  // namespace

double Voigt::value(double x) const {
    const double s = sigma * SQRT2;
    return inv_peak * faddeeva(x / s, gamma / s).re;
}

double Voigt::d_dt(double x) const {
    // d/du Re w(u + iv) = Re(-2 z w(z)) = -2 (u Re w - v Im w)
    const double s = sigma * SQRT2, u = x / s, v = gamma / s;
    VoigtFar far;
    return inv_peak * (-2.0 / s) * real_z_w(u, v, faddeeva(u, v), far);
}

double Voigt::hwhm() const {
    const double fl = 2.0 * gamma, fg = FWHM_PER_SIGMA * sigma;
    return 0.5 * (WIDTH_LINEAR * fl + std::sqrt(WIDTH_QUADRATIC * fl * fl + fg * fg));
}

double Voigt::step(double r) const {
    // Set by the 8-point rule's accuracy, which stays at rounding level relative to the values
    // on the step: a sigma for the Gaussian core (a step's error grows with r * step / sigma^2,
    // hence the shortening beyond 4 sigma), longer as gamma smooths the line; beyond tail_start
    // the Lorentzian tail's, whose nearest singular behaviour lies about r + gamma away (0.4 of
    // that keeps the rule's error below 1e-16 of the value; the Gaussian part's larger relative
    // error there is weighed by its share, under 1e-3 gamma / sigma at tail_start and falling as
    // exp(-r^2 / (2 sigma^2)), while the core term still holds the steps near tail_start).
    const double core = sigma * std::fmin(1.0, 4.0 * sigma / r) + 0.3 * gamma;
    return std::fmax(core, 0.3 * gamma + 0.4 * std::fmax(r - tail_start, 0.0));
}

VoigtPeak Voigt::peak_terms(std::span<const Parameter> parameters, bool series) const {
    // The same arguments and operations as the width derivative used to form at every point.
    VoigtPeak t{};
    VoigtFar far;  // at i y', shared by both terms
    const double yr = gamma / (sigma * SQRT2);
    t.value = faddeeva(0.0, yr).re;
    const Cplx iy(0.0, yr), wy(t.value, 0.0);
    for (const Parameter p : parameters) {
        if (p == Parameter::Sigma) t.excess = slope_excess(iy, wy, far).real() / t.value;
        if (p == Parameter::Gamma) t.slope = w_slope(iy, wy, far).imag();
    }
    if (series && yr < FAR_RADIUS) peak_derivatives(yr, t.value, t.series);
    return t;
}

std::optional<double> Voigt::d_parameter(Parameter parameter, double x) const {
    if (parameter != Parameter::Sigma && parameter != Parameter::Gamma) return std::nullopt;
    const double y_scale = sigma * SQRT2;
    const double xr = x / y_scale, yr = gamma / y_scale;
    const Parameter one[1] = {parameter};
    const bool near = near_center(xr, yr);
    VoigtFar far;
    return width_slope(parameter, xr, yr, peak_terms(one, near), near ? Complex{} : faddeeva(xr, yr), far);
}

bool Voigt::near_center(double xr, double yr) { return std::fabs(xr) < TAYLOR_X && yr < FAR_RADIUS; }

double Voigt::width_slope(Parameter parameter, double xr, double yr, const VoigtPeak& peak, Complex big_w,
                          VoigtFar& far) const {
    // V = Re w(z) / w(i y'), z = (x + i gamma) / (sigma sqrt 2) = x' + i y'. Both z and i y' scale
    // as 1 / sigma and move by i / (sigma sqrt 2) with gamma; the quotient rule's two terms are
    // formed so that their difference keeps its digits towards both limits (see above).
    const double y_scale = sigma * SQRT2;
    const double scale = parameter == Parameter::Sigma ? sigma : y_scale;
    if (near_center(xr, yr))
        return (parameter == Parameter::Sigma ? -1.0 : 1.0) * (inv_peak * inv_peak) *
               center_difference(parameter, xr, yr, peak.series) / scale;
    const Cplx z(xr, yr), w(big_w.re, big_w.im);
    if (parameter == Parameter::Sigma) {
        // sigma dV/dsigma = -(z d/dz) on both: q (Re(w(z) e(z)) - Re w(z) e(i y'))
        return inv_peak * (slope_excess(z, w, far).real() - big_w.re * peak.excess) / sigma;
    }
    // dV/dgamma = q^2 (-Im w'(z) w(i y') + Re w(z) Im w'(i y')) / (sigma sqrt 2)
    return inv_peak * inv_peak * (-w_slope(z, w, far).imag() * peak.value + big_w.re * peak.slope) / y_scale;
}

void Voigt::values_and_derivatives(std::span<const Parameter> parameters, double x, const VoigtPeak& peak,
                                   double* out) const {
    // The arguments of value, d_dt and d_parameter, so that each result keeps their bits.
    const double s = sigma * SQRT2, u = x / s, v = gamma / s;
    fill(parameters, x, u, v, faddeeva(u, v), peak, out);
}

void Voigt::values_and_derivatives(std::span<const Parameter> parameters, const double* x, const VoigtPeak& peak,
                                   double* out, std::size_t n) const {
    constexpr std::size_t CHUNK = 64;
    double u[CHUNK], re[CHUNK], im[CHUNK] = {};
    const double s = sigma * SQRT2, v = gamma / s;
    const std::size_t stride = parameters.size() + 1;
    for (std::size_t start = 0; start < n; start += CHUNK) {
        const std::size_t m = std::min(CHUNK, n - start);
        for (std::size_t i = 0; i < m; ++i) u[i] = x[start + i] / s;
        if (parameters.empty()) {
            faddeeva_re(u, v, re, m);
        } else {
            faddeeva(u, v, re, im, m);
        }
        for (std::size_t i = 0; i < m; ++i)
            fill(parameters, x[start + i], u[i], v, Complex{re[i], im[i]}, peak, out + (start + i) * stride);
    }
}

void Voigt::fill(std::span<const Parameter> parameters, double x, double u, double v, Complex w, const VoigtPeak& peak,
                 double* out) const {
    const double s = sigma * SQRT2;
    VoigtFar far;  // the series at z, formed once for all the derivatives asked
    out[0] = inv_peak * w.re;
    for (std::size_t k = 0; k < parameters.size(); ++k) {
        switch (parameters[k]) {
            case Parameter::Center: out[k + 1] = -(inv_peak * (-2.0 / s) * real_z_w(u, v, w, far)); break;
            case Parameter::Scale: out[k + 1] = -x * (inv_peak * (-2.0 / s) * real_z_w(u, v, w, far)); break;
            case Parameter::Sigma:
            case Parameter::Gamma: out[k + 1] = width_slope(parameters[k], u, v, peak, w, far); break;
            default: out[k + 1] = 0.0;
        }
    }
}

std::optional<EndFactors> Voigt::cutoff_factors(Parameter parameter, double cutoff) const {
    // Derivatives of the half width 0.5 (0.5346 fL + sqrt(0.2166 fL^2 + fG^2)).
    const double fg = sigma * FWHM_PER_SIGMA, l = gamma * 2.0 * WIDTH_QUADRATIC;
    const double k = std::sqrt(fg * fg + 2.0 * gamma * l);
    if (parameter == Parameter::Sigma) {
        const double d = cutoff * (fg * 0.5 * FWHM_PER_SIGMA / k);
        return EndFactors{d, d};
    }
    if (parameter == Parameter::Gamma) {
        const double d = cutoff * ((2.0 * l / k + 2.0 * WIDTH_LINEAR) * 0.5);
        return EndFactors{d, d};
    }
    return std::nullopt;
}

std::string Voigt::debug() const {
    return StructuralWriter("Voigt").field("sigma", sigma).field("gamma", gamma).field("inv_peak", inv_peak).finish();
}

double voigt_inv_peak(double sigma, double gamma) { return 1.0 / faddeeva(0.0, gamma / (sigma * SQRT2)).re; }

}  // namespace spanlet
