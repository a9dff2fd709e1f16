// The Voigt line shape: a Gaussian of standard deviation sigma convolved with a Lorentzian of
// half width gamma, as the real part of the Faddeeva function, scaled to 1 at its center.
#pragma once

#include <cmath>
#include <optional>
#include <span>
#include <string>
#include <utility>

#include "core/base/error.hpp"
#include "core/functions/faddeeva.hpp"
#include "core/profiles/family.hpp"

namespace spanlet {

// What every width derivative of one Voigt needs of its center i y' = i gamma / (sigma sqrt 2):
// Re w(i y'), the terms of the sigma and gamma derivatives formed from it, and the coefficients
// of the Taylor series about it that serve points near the center. The same for every point.
struct VoigtPeak {
    static constexpr int SERIES = 18;
    double value;         // Re w(i y')
    double excess;        // Re(w e)(i y') / w(i y'), for Sigma
    double slope;         // Im w'(i y'), for Gamma
    double series[SERIES];
};

// What every derivative at one point far from the center (|z| >= 8) takes from the asymptotic
// series of w there (see the .cpp): formed on first use, then shared.
struct VoigtFar {
    bool formed = false;
    Complex rho, e;
};

struct Voigt {
    double sigma, gamma, inv_peak;
    // Where the steps may follow the Lorentzian tail: the Gaussian part there is below about 1e-3
    // gamma / sigma of its peak relative to the tail, sqrt(2 ln(1 + 1000 sigma / gamma)) sigma, at
    // most 40 sigma (gamma far below sigma).
    double tail_start = sigma * std::fmin(std::sqrt(2.0 * std::log1p(1e3 * sigma / gamma)), 40.0);

    double value(double x) const;
    double d_dt(double x) const;
    // Olivero and Longbothum's approximation of the full width (about 2e-4 relative), halved.
    double hwhm() const;
    Reach reach(double cutoff) const {
        const double h = hwhm();
        return {cutoff * h, cutoff * h};
    }
    // Steps sized by the 8-point rule's accuracy: about a sigma in the core, growing with gamma and,
    // beyond six sigma, with the distance in the Lorentzian tail.
    double step(double r) const;
    // Sigma and Gamma, through w'(z) = -2 z w(z) + 2i / sqrt(pi) and the peak's own derivative; for
    // Sigma in a form that keeps its digits towards the Lorentzian limit (see the .cpp).
    std::optional<double> d_parameter(Parameter parameter, double x) const;
    // The peak's terms for these parameters; with `series`, the Taylor coefficients too.
    VoigtPeak peak_terms(std::span<const Parameter> parameters, bool series) const;
    // The value (out[0]) and the smooth derivatives in the parameters (out[1 + k]; Center: -d_dt,
    // Scale: -x d_dt, Sigma and Gamma: d_parameter, others 0) from one Faddeeva evaluation, `peak`
    // from peak_terms(parameters, true): each equals the separate function's result bit for bit.
    void values_and_derivatives(std::span<const Parameter> parameters, double x, const VoigtPeak& peak,
                                double* out) const;
    // The same at the n offsets x[i] into out[i * (1 + parameters.size()) ...], bit for bit, the
    // Faddeeva values of the points taken together.
    void values_and_derivatives(std::span<const Parameter> parameters, const double* x, const VoigtPeak& peak,
                                double* out, std::size_t n) const;
    // The ends sit at cutoff hwhm, so they move with the derivative of the approximate width.
    std::optional<EndFactors> cutoff_factors(Parameter parameter, double cutoff) const;
    std::string debug() const;

private:
    static bool near_center(double xr, double yr);
    // out[0] and the derivatives at x, u = x / (sigma sqrt 2), v = gamma / (sigma sqrt 2), w = w(u + iv).
    void fill(std::span<const Parameter> parameters, double x, double u, double v, Complex w, const VoigtPeak& peak,
              double* out) const;
    // The width derivative at x' = xr, given w(x' + i y') (unused near the center).
    double width_slope(Parameter parameter, double xr, double yr, const VoigtPeak& peak, Complex big_w,
                       VoigtFar& far) const;
};

// The inverse of the unnormalised value at the center, 1 / Re w(i gamma / (sigma sqrt 2)).
double voigt_inv_peak(double sigma, double gamma);

}  // namespace spanlet
