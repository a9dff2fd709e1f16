#include "core/profiles/fts_line.hpp"

#include <cmath>

#include "core/base/format.hpp"
#include "core/base/overloaded.hpp"
#include "core/functions/sinc.hpp"
#include "core/profiles/profile.hpp"
#include "core/functions/spherical_bessel.hpp"

namespace spanlet {

namespace {

// n! 2^(n+1): the integral of (1 - u^2)^n cos(theta u) over [-1, 1] is this times j_n(theta) / theta^n.
constexpr double POLYNOMIAL_WEIGHTS[5] = {2, 4, 16, 96, 768};

// The sum of f over the cosine-sum terms: 2 a0 f(theta) + a_k (f(theta - k pi) + f(theta + k pi));
// terms with a zero coefficient are skipped, the a0 term never is.
template <class F>
double cosine_sum(const CosineSum& s, double theta, F f) {
    double total = 2 * s.a0 * f(theta);
    if (s.a1 != 0) total += s.a1 * (f(theta - PI) + f(theta + PI));
    if (s.a2 != 0) total += s.a2 * (f(theta - 2 * PI) + f(theta + 2 * PI));
    if (s.a3 != 0) total += s.a3 * (f(theta - 3 * PI) + f(theta + 3 * PI));
    return total;
}

}  // namespace

double line_shape(const Apodization& apodization, double theta) {
    // A phase beyond the largest double (far out on a line of huge max_opd): the shape is O(1 / theta)
    // there, and sin(inf) would make it NaN.
    if (std::isinf(theta)) return 0.0;
    return std::visit(Overloaded{
                          [&](const CosineSum& s) { return cosine_sum(s, theta, sinc); },
                          [&](const Triangle&) {
                              const double s = sinc(theta / 2);
                              return s * s;
                          },
                          [&](const Polynomial& p) {
                              const auto j = spherical_bessel_over_power(theta);
                              double total = 0;
                              for (int n = 0; n < 5; ++n) total += p.c[n] * POLYNOMIAL_WEIGHTS[n] * j[n];
                              return total;
                          },
                      },
                      apodization);
}

double line_shape_derivative(const Apodization& apodization, double theta) {
    if (std::isinf(theta)) return 0.0;  // as for the shape itself
    return std::visit(Overloaded{
                          [&](const CosineSum& s) { return cosine_sum(s, theta, sinc_derivative); },
                          [&](const Triangle&) { return sinc(theta / 2) * sinc_derivative(theta / 2); },
                          [&](const Polynomial& p) {
                              // d/dtheta j_n(theta) / theta^n = -theta j_(n+1)(theta) / theta^(n+1).
                              const auto j = spherical_bessel_over_power(theta);
                              double total = 0;
                              for (int n = 0; n < 5; ++n)
                                  total += p.c[n] * POLYNOMIAL_WEIGHTS[n] * theta * j[n + 1];
                              return -total;
                          },
                      },
                      apodization);
}

namespace {

// 2 pi max_opd x. For max_opd near the largest double the factor 2 pi max_opd overflows although
// theta, of order 1 over the line's support, does not; then scale x first.
double theta_of(double max_opd, double x) {
    const double k = max_opd * TWO_PI;
    return std::isfinite(k) ? x * k : (x * max_opd) * TWO_PI;
}

}  // namespace

double Fts::value(double x) const { return inv_peak * line_shape(apodization, theta_of(max_opd, x)); }

double Fts::d_dt(double x) const {
    const double slope = line_shape_derivative(apodization, theta_of(max_opd, x));
    const double k = TWO_PI * max_opd;
    // Where 2 pi max_opd overflows, a zero slope stays 0 rather than inf * 0.
    return std::isfinite(k) ? inv_peak * k * slope : inv_peak * slope * max_opd * TWO_PI;
}

std::string Fts::debug() const {
    return StructuralWriter("Fts")
        .field("max_opd", max_opd)
        .field("apodization", spanlet::debug(apodization))
        .field("inv_peak", inv_peak)
        .finish();
}

Result<Fts> make_fts(double max_opd, const Apodization& apodization) {
    SPANLET_TRY_STATUS(check_positive("max_opd", max_opd));
    const double peak = line_shape(apodization, 0);
    if (!(std::isfinite(peak) && peak > 0)) return Error::invalid("apodization must have a positive integral");
    return Fts{max_opd, apodization, 1 / peak};
}

}  // namespace spanlet
