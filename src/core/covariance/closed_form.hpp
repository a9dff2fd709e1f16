// Covariances between piecewise-polynomial atoms (boxes, hats, B-splines, shaped and affinely
// mapped elements, point masses) without weights or variance factors, reduced to one dimension.
//
// For pieces A on [x0, x0 + ha] and B on [y0, y0 + hb],
//   int int A(x) B(y) k(x - y) dx dy = int k(r) G(r) dr,   G(r) = int A(y + r) B(y) dy,
// where G, the cross-correlation of the two pieces, is a polynomial of degree deg A + deg B + 1 on
// each of three intervals between r = x0 - y0 - hb and x0 - y0 + ha. The kernel's kink at 0 and
// its cut at -+R split those intervals further; each part is integrated from its end nearer 0, in
// the kernel's own variable z = rate |r| / l:
//   Matern:   k = M(z) exp(-z) with M = 1, 1 + z, 1 + z + z^2 / 3, and l dk/dl = -z k'(z) =
//             z, z^2, z^2 (1 + z) / 3 times exp(-z), so that with G a polynomial q(t) in t = z - z_s
//             int_0^L M(z_s + t) q(t) exp(-z_s - t) dt = exp(-z_s) sum_m c_m gamma(m + 1, L),
//             c the coefficients of M(z_s + t) q(t); gamma(m + 1, L) from a positive series (or
//             m! minus the upper sum where L > m + 1) and the recurrence
//             gamma(m, L) = (gamma(m + 1, L) + L^m exp(-L)) / m, which adds positive terms only;
//   Gaussian: k = exp(-z^2 / 2), l dk/dl = z^2 k, by the 8-point rule on panels of half a length,
//             exact up to the rule's error since G is a polynomial on every part.
// Two boxes apart under a Matern kernel that reaches across both skip the pieces: with u and v
// measured from the boxes' nearer ends, z = D + u + v and exp(-z) splits, so the entry is one
// exp(-D) times products of each box's moments gamma(m + 1, length), all terms positive.
// Nothing is differenced at distances far from the pieces: G is formed in units of the longer
// piece and moved to each part's start by a Taylor shift, so short atoms far from each other, or
// far from the origin, keep their accuracy. The cut kernel's moving ends add R k(R) G(-+R) to the
// length derivative, as in the adaptive path.
#pragma once

#include <optional>
#include <utility>
#include <vector>

#include "core/elements/element.hpp"

namespace spanlet::covariance {

struct Covariance1d;

// One polynomial piece of an atom: sum of p[k] (s / length)^k for s in [0, length] from start.
struct PolynomialPiece {
    double start, length;
    double p[4];
    int degree;
};

// The lower incomplete gamma moments gamma(m + 1, length), m = 0 .. top, last formed. Parts of one
// length share them: a pair's rising and falling parts, and the entries between atoms of one size.
struct GammaMoments {
    static constexpr int TERMS = 12;
    double length = -1.0;
    int top = -1;
    double g[TERMS];
};

// Per-worker buffers of the closed form. The pieces are kept with the atom they belong to, so a
// scratch must not outlive the atoms of the call it serves.
struct ClosedFormScratch {
    std::vector<PolynomialPiece> a, b;
    const Element* pieces_of_a = nullptr;
    const Element* pieces_of_b = nullptr;
    std::vector<double> knots;
    GammaMoments moments;
    // Two boxes: the moments of each side's length, kept apart as a row keeps its atom.
    GammaMoments box_a, box_b;
};

// A box's share of box_pair_covariance: its ends and its moments gamma(m + 1, length) in the
// kernel's variable, formed once for all the pairs it takes part in.
struct BoxSide {
    double lower, upper;
    double g[4];
};

// The side of e, a box of finite positive length under a Matern kernel without a period, or
// nothing. The cache keeps the moments of the last length.
std::optional<BoxSide> box_side(const Covariance1d& covariance, const Element& e, bool with_derivative,
                                GammaMoments& cache);

// The covariance of two boxes and its length derivative where they lie apart and the kernel's cut
// reaches across both, or nothing: closed_form_covariance then takes the pair. Sides formed with
// with_derivative if it is asked for here.
std::optional<std::pair<double, double>> box_pair_covariance(const Covariance1d& covariance, const BoxSide& a,
                                                             const BoxSide& b, bool with_derivative);

// The covariance of a and b and its length derivative l d/dl, or nothing where the closed form
// does not apply (profiles, reciprocal maps, two point masses, lengths or pieces at the ends of
// the double range, more kernel images than a bounded amount of work): the caller integrates then.
std::optional<std::pair<double, double>> closed_form_covariance(const Covariance1d& covariance, const Element& a,
                                                                const Element& b, bool with_derivative,
                                                                ClosedFormScratch& scratch);

}  // namespace spanlet::covariance
