#include "core/integration/cosine_moments.hpp"

#include <cmath>
#include <limits>

#include "core/elements/local.hpp"
#include "core/integration/quadrature.hpp"

namespace spanlet {

namespace {

// Products of up to three cubics.
constexpr int MAX_MOMENT_TERMS = 10;
// Integration by parts beyond this many radians per knot interval; below, the 8-point rule on
// pieces of at most PIECE_RADIANS. Both chosen by measured error against high-precision
// references: the rule is exact to rounding well beyond 2 radians, and from 6 radians on the
// derivative terms stay below the leading one for the products of cubics.
constexpr double SWITCH_RADIANS = 4.0;
constexpr double PIECE_RADIANS = 1.5;
// A jump within this many rounding errors of the values it is taken from counts as zero.
constexpr double JUMP_TOLERANCE = 64.0 * std::numeric_limits<double>::epsilon();

// The product is 2^exponent times the polynomial with coefficients c: each factor is brought to
// a largest coefficient in [1, 2) first, so that values of 1e160 squared, or 1e-160, stay in
// range. Powers of two change no bits wherever the plain product is representable.
struct ProductPiece {
    double c[MAX_MOMENT_TERMS];      // coefficients of s^k
    double bound[MAX_MOMENT_TERMS];  // the same product formed from absolute values
    int n;                    // number of coefficients
    int exponent;
};

// out = a * b, each coefficient summed as the pairs a_i b_k + a_k b_i (i < k) so that the product
// of two elements is the same to the bit in either order.
void multiply(const double* a, int na, const double* b, int nb, double* out, int& n) {
    n = std::min(na + nb - 1, MAX_MOMENT_TERMS);
    for (int m = 0; m < n; ++m) {
        double sum = 0.0;
        for (int i = 0; 2 * i <= m; ++i) {
            const int k = m - i;
            const double ab = (i < na && k < nb) ? a[i] * b[k] : 0.0;
            if (2 * i == m) {
                sum += ab;
            } else {
                const double ba = (k < na && i < nb) ? a[k] * b[i] : 0.0;
                sum += ab + ba;
            }
        }
        out[m] = sum;
    }
}

void product_on_interval(std::span<const Element* const> elements, double z, double mid, double unit,
                         ProductPiece& out) {
    out.n = 1;
    out.c[0] = out.bound[0] = 1.0;
    out.exponent = 0;
    for (const Element* e : elements) {
        LocalCubic q = *local_polynomial(*e, z, mid, unit);
        const double largest = std::fmax(std::fmax(std::fabs(q.p[0]), std::fabs(q.p[1])),
                                         std::fmax(std::fabs(q.p[2]), std::fabs(q.p[3])));
        if (largest > 0.0) {
            const int e_q = std::ilogb(largest);
            for (double& c : q.p) c = std::ldexp(c, -e_q);
            out.exponent += e_q;
        }
        const double magnitude[4] = {std::fabs(q.p[0]), std::fabs(q.p[1]), std::fabs(q.p[2]), std::fabs(q.p[3])};
        double c[MAX_MOMENT_TERMS], bound[MAX_MOMENT_TERMS];
        int n = 0;
        multiply(out.c, out.n, q.p, 4, c, n);
        multiply(out.bound, out.n, magnitude, 4, bound, n);
        out.n = n;
        for (int i = 0; i < n; ++i) {
            out.c[i] = c[i];
            out.bound[i] = bound[i];
        }
    }
    while (out.n > 1 && out.c[out.n - 1] == 0.0 && out.bound[out.n - 1] == 0.0) --out.n;
}

double horner(const double* c, int n, double s) {
    double v = 0.0;
    for (int k = n - 1; k >= 0; --k) v = v * s + c[k];
    return v;
}

// The derivatives P^(k)(s) for k < n, and the same from the absolute coefficients at |s|.
void derivatives_at(const ProductPiece& p, double s, double* value, double* bound) {
    double c[MAX_MOMENT_TERMS], b[MAX_MOMENT_TERMS];
    for (int k = 0; k < p.n; ++k) {
        c[k] = p.c[k];
        b[k] = p.bound[k];
    }
    const double as = std::fabs(s);
    for (int k = 0, m = p.n; k < p.n; ++k, --m) {
        value[k] = horner(c, m, s);
        bound[k] = horner(b, m, as);
        for (int i = 0; i + 1 < m; ++i) {
            c[i] = static_cast<double>(i + 1) * c[i + 1];
            b[i] = static_cast<double>(i + 1) * b[i + 1];
        }
    }
}

// The 8-point rule on [z, z + length * unit] cut into pieces of at most PIECE_RADIANS, in the
// variable s / unit (omega_unit = omega * unit); the result is in the same variable.
double gauss_on_interval(const ProductPiece& p, double omega, double omega_unit, double z, double length) {
    const Rule& rule = gl8();
    const std::size_t n = std::min(rule.nodes.size(), rule.weights.size());
    const double cos_z = std::cos(omega * z), sin_z = std::sin(omega * z);
    const double pieces = std::fmax(1.0, std::ceil(std::fabs(omega_unit) * length / PIECE_RADIANS));
    const double piece = length / pieces, h = piece * 0.5;
    double total = 0.0;
    for (double i = 0.0; i < pieces; i += 1.0) {
        const double start = i * piece;
        double sum = 0.0;
        for (std::size_t k = 0; k < n; ++k) {
            const double s = start + (h + h * rule.nodes[k]);
            const double phase = omega_unit * s;
            sum += rule.weights[k] * horner(p.c, p.n, s) * (cos_z * std::cos(phase) - sin_z * std::sin(phase));
        }
        total += h * sum;
    }
    return total;
}

// The boundary terms at one knot: sum over k of D_k R_k(omega x) / omega_unit^(k+1), with D_k
// the left-hand minus the right-hand k-th derivative in s / unit and R_k = sin, cos, -sin, -cos
// repeating.
double knot_terms(double x, double omega, double omega_unit, const double* difference, const double* scale, int n) {
    const double c = std::cos(omega * x), s = std::sin(omega * x);
    const double r[4] = {s, c, -s, -c};
    const double inverse = 1.0 / omega_unit;
    double power = inverse, total = 0.0;
    for (int k = 0; k < n; ++k) {
        if (std::fabs(difference[k]) > JUMP_TOLERANCE * scale[k]) total += difference[k] * power * r[k % 4];
        power *= inverse;
    }
    return total;
}

}  // namespace

double polynomial_cosine_integral(std::span<const Element* const> elements, double omega,
                                  const std::vector<double>& knots) {
    // Everything below is in the variable s / unit, with a power of two near the whole span as
    // the unit: the coefficients of a product of two cubics go like length^-6 in s itself and
    // over- or underflow beyond spacings of about 1e50. The scaling changes no bits elsewhere.
    const double span = knots.back() - knots.front();
    const int unit_exponent = !(span > 0.0)        ? 0
                              : std::isfinite(span) ? std::ilogb(span)
                                                    : std::numeric_limits<double>::max_exponent - 1;
    const double unit = std::ldexp(1.0, unit_exponent);
    // Each contribution is scaled back by 2^(its exponent + unit_exponent) as it is added: a sum
    // kept in s / unit could overflow where the integral does not.
    const double omega_unit = omega * unit;
    double total = 0.0;
    // The derivatives of the previous interval's product at its end (times 2^previous_exponent),
    // when it was integrated by parts.
    bool previous_by_parts = false;
    int previous_n = 0, previous_exponent = 0;
    double end_value[MAX_MOMENT_TERMS] = {}, end_bound[MAX_MOMENT_TERMS] = {};
    ProductPiece p;
    for (std::size_t j = 0; j + 1 < knots.size(); ++j) {
        const double z = knots[j], length = knots[j + 1] - z;
        product_on_interval(elements, z, length * 0.5, unit, p);
        const bool by_parts = std::fabs(omega) * length > SWITCH_RADIANS;
        const double scaled_length = length / unit;
        if (previous_by_parts || by_parts) {
            double difference[MAX_MOMENT_TERMS] = {}, scale[MAX_MOMENT_TERMS] = {};
            const int n = std::max(previous_by_parts ? previous_n : 0, by_parts ? p.n : 0);
            // Both sides of the knot at the larger of their powers of two.
            const int exponent = previous_by_parts && by_parts ? std::max(previous_exponent, p.exponent)
                                 : by_parts                   ? p.exponent
                                                              : previous_exponent;
            if (previous_by_parts)
                for (int k = 0; k < previous_n; ++k) {
                    difference[k] = std::ldexp(end_value[k], previous_exponent - exponent);
                    scale[k] = std::ldexp(end_bound[k], previous_exponent - exponent);
                }
            if (by_parts) {
                double factorial = 1.0;
                for (int k = 0; k < p.n; ++k) {
                    difference[k] -= std::ldexp(factorial * p.c[k], p.exponent - exponent);
                    scale[k] += std::ldexp(factorial * p.bound[k], p.exponent - exponent);
                    factorial *= static_cast<double>(k + 1);
                }
            }
            // A jump is dropped only where both sides are known: between two intervals integrated
            // by parts, or at the first knot, outside which the product vanishes. A value next
            // to an interval integrated by the rule is kept as it is.
            if (!(previous_by_parts && by_parts) && j != 0)
                for (int k = 0; k < n; ++k) scale[k] = 0.0;
            total += std::ldexp(knot_terms(z, omega, omega_unit, difference, scale, n), exponent + unit_exponent);
        }
        if (by_parts) {
            derivatives_at(p, scaled_length, end_value, end_bound);
            previous_n = p.n;
            previous_exponent = p.exponent;
        } else {
            total += std::ldexp(gauss_on_interval(p, omega, omega_unit, z, scaled_length), p.exponent + unit_exponent);
        }
        previous_by_parts = by_parts;
    }
    // After the last knot the product vanishes.
    if (previous_by_parts)
        total += std::ldexp(knot_terms(knots.back(), omega, omega_unit, end_value, end_bound, previous_n),
                            previous_exponent + unit_exponent);
    return total;
}

}  // namespace spanlet
