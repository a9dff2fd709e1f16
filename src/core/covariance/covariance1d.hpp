// The covariance of a random function of one coordinate: a stationary kernel k(x - y) of a named
// family with correlation length l, optionally wrapped with a period P and scaled on both sides
// by a fixed variance factor s(x), so that cov(f(x), f(y)) = s(x) k(x - y) s(y).
//
// For two elements a and b it gives the covariance of their weighted integrals
//   cov(a, b) = int int a(x) w_a(x) s(x) k(x - y) s(y) w_b(y) b(y) dx dy
// (a point mass takes the value of the rest of the integrand, unweighted) together with its
// length derivative l d/dl. The kernel is a profile element placed on a point and cut where it
// falls below 1e-17 of its peak, so the inner integral over y is an ordinary inner product; the
// outer integral over x is a piecewise 8-point rule on panels where the inner integral is smooth.
#pragma once

#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "core/integration/derivatives.hpp"
#include "core/elements/element.hpp"
#include "core/integration/integrate.hpp"
#include "core/covariance/closed_form.hpp"
#include "core/covariance/variance_profile.hpp"
#include "core/base/constants.hpp"

namespace spanlet::covariance {

// A value and its length derivative l d/dl.
using ValueAndDerivative = std::pair<double, double>;

// With a period, a point sees every image of the kernel within the cutoff radius; a covariance
// whose points would each see more images than this is refused at construction.
inline constexpr double MAX_IMAGES_PER_POINT = 1e6;
// Between two elements, the outer quadrature meets images of the kernel at every node; an entry
// that would integrate more kernel images than this is refused.
inline constexpr double MAX_IMAGES_PER_ENTRY = 16777216.0;
// The steps of one entry's inner integrals (outer nodes times kernel images per node times steps per
// image), about a second of work: an entry that would take more is refused before it starts.
inline constexpr double MAX_STEPS_PER_ENTRY = 33554432.0;

struct Covariance1d {
    std::optional<double> period;
    Profile kernel;
    std::optional<VarianceProfile> variance_profile;
    double cutoff;       // Q: the kernel counts as zero beyond Q l
    double radius;       // R = Q l
    double length;       // l
    double kernel_step;  // the longest panel of the outer quadrature, l / 2 over the family's rate

    // The family name is matched exactly: "gaussian", "squared_exponential", "matern12",
    // "exponential", "matern32", "matern52".
    static Result<Covariance1d> make(std::string_view family, double length, std::optional<double> period,
                                     std::optional<FactorInput> factor);

    // The fitted variance factor, or null.
    const Element* factor() const { return variance_profile ? &variance_profile->fitted : nullptr; }
};

// Per-worker buffers, reused from call to call; their contents mean nothing between calls.
struct Scratch {
    std::vector<double> knots_a;      // breakpoints of the outer integral
    std::vector<double> knots_b;      // knots of the second element
    std::vector<double> inner_knots;  // handed to the inner products
    PointMasses masses;               // the kernel's stretch derivative at its cut ends
    ClosedFormScratch closed_form;    // pieces of polynomial atoms
};

// -r k'(r) = l dk/dl at distance r, from the scaled distance u = r / l and the kernel of unit
// length: no factor 1 / l, which overflows for the shortest lengths (where -r times it is inf or NaN).
inline double length_slope(const Covariance1d& c, double r) {
    const double u = r / c.length;
    if (const auto* m = std::get_if<Matern>(&c.kernel)) return -u * Matern{m->order, 1.0}.d_dt(u);
    return -u * Gaussian{1.0}.d_dt(u);
}

// The kernel at distance r summed over its images within the cutoff radius, for a periodic covariance.
ValueAndDerivative periodic_between_points(const Covariance1d& covariance, double r, bool with_derivative);

// The kernel between point masses at p and q, summed over the images within the cutoff radius;
// factors and weights take no part. Inline: it is the whole cost of an entry between points.
inline ValueAndDerivative between_points(const Covariance1d& c, double p, double q, bool with_derivative) {
    const double r = p - q;
    if (c.period) return periodic_between_points(c, r, with_derivative);
    if (!(-c.radius <= r && r <= c.radius)) return {0.0, 0.0};
    return {without_negative_zero(value(c.kernel, r)),
            with_derivative ? without_negative_zero(length_slope(c, r)) : 0.0};
}

// The covariance of element e (under its weight and factor) with a point x that carries no factor.
Result<ValueAndDerivative> element_point(const Covariance1d& covariance, const Element& e, CosineWeight weight,
                                         const Element* factor, bool with_derivative, Scratch& scratch, double x);

// The covariance of a and b, each with its own weight and factor; the derivative is 0 unless asked for.
Result<ValueAndDerivative> between_core(const Covariance1d& covariance, const Element& a, CosineWeight weight_a,
                                        const Element* factor_a, const Element& b, CosineWeight weight_b,
                                        const Element* factor_b, bool with_derivative, Scratch& scratch);

}  // namespace spanlet::covariance
