#include "core/covariance/closed_form.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <variant>

#include "core/base/constants.hpp"
#include "core/covariance/covariance1d.hpp"
#include "core/elements/local.hpp"
#include "core/integration/integrate.hpp"
#include "core/integration/quadrature.hpp"

namespace spanlet::covariance {

namespace {

// Coefficients of a polynomial in one variable, lowest first: a cross-correlation of two cubic
// pieces has degree 7, and times the kernel's polynomial (degree 3 at most) 10.
constexpr int MAX_TERMS = 12;
using Poly = std::array<double, MAX_TERMS>;

// Piece lengths are scaled by the longer piece of a pair, and the kernel's variable by the length:
// pairs whose lengths differ by more than this factor, or differ so from the correlation length,
// take the adaptive path, where no power of the ratio can overflow.
constexpr double MAX_SCALE_RATIO = 0x1p100;
// Pairs of pieces times the kernel images each pair meets: beyond this the adaptive path, with
// its own bounds and refusals, takes the entry.
constexpr double MAX_PAIR_IMAGES = 1e5;
// The Gaussian kernel's panels, in units of the length: as long as the adaptive path's steps.
constexpr double GAUSSIAN_PANEL = 0.5;

constexpr double BINOMIAL[MAX_TERMS][MAX_TERMS] = {
    {1},
    {1, 1},
    {1, 2, 1},
    {1, 3, 3, 1},
    {1, 4, 6, 4, 1},
    {1, 5, 10, 10, 5, 1},
    {1, 6, 15, 20, 15, 6, 1},
    {1, 7, 21, 35, 35, 21, 7, 1},
    {1, 8, 28, 56, 70, 56, 28, 8, 1},
    {1, 9, 36, 84, 126, 126, 84, 36, 9, 1},
    {1, 10, 45, 120, 210, 252, 210, 120, 45, 10, 1},
    {1, 11, 55, 165, 330, 462, 462, 330, 165, 55, 11, 1},
};

// The kernel in its own variable z = rate |r| / l: a Matern kernel is M(z) exp(-z) and its length
// derivative S(z) exp(-z); the Gaussian's are exp(-z^2 / 2) and z^2 exp(-z^2 / 2).
struct KernelForm {
    bool gaussian;
    double rate;
    Poly value{}, slope{};
    int value_degree = 0, slope_degree = 0;
};

const KernelForm& kernel_form(const Profile& kernel) {
    static const KernelForm gaussian{true, 1.0};
    static const KernelForm half{false, 1.0, {1.0}, {0.0, 1.0}, 0, 1};
    static const KernelForm three_halves{false, SQRT3, {1.0, 1.0}, {0.0, 0.0, 1.0}, 1, 2};
    static const KernelForm five_halves{false, SQRT5, {1.0, 1.0, 1.0 / 3.0}, {0.0, 0.0, 1.0 / 3.0, 1.0 / 3.0}, 2, 3};
    const auto* m = std::get_if<Matern>(&kernel);
    if (!m) return gaussian;
    switch (m->order) {
        case MaternOrder::Half: return half;
        case MaternOrder::ThreeHalves: return three_halves;
        case MaternOrder::FiveHalves: return five_halves;
    }
    return gaussian;
}

double horner(const double* c, int degree, double x) {
    double v = c[degree];
    for (int k = degree - 1; k >= 0; --k) v = v * x + c[k];
    return v;
}

// c(x) rewritten as a polynomial in t = x - x0, in place.
void taylor_shift(double* c, int degree, double x0) {
    if (x0 == 0.0) return;
    for (int i = 0; i < degree; ++i)
        for (int k = degree - 1; k >= i; --k) c[k] += x0 * c[k + 1];
}

// out = a * b.
int multiply(const double* a, int da, const double* b, int db, double* out) {
    std::fill(out, out + da + db + 1, 0.0);
    for (int i = 0; i <= da; ++i)
        for (int j = 0; j <= db; ++j) out[i + j] += a[i] * b[j];
    return da + db;
}

// g[m] = gamma(m + 1, x) = int_0^x t^m exp(-t) dt for m = 0 .. top. The top order comes from the
// series x^a exp(-x) sum x^k / (a (a + 1) ... (a + k)) below x = a, and as top! less the upper
// sum above it (where that sum is under half of top!); the lower orders follow downward by a
// recurrence that adds positive terms only.
// 1 / n for the series and the recurrence below: a division in a dependent chain costs several
// multiplications.
constexpr int RECIPROCALS = 512;
const std::array<double, RECIPROCALS>& reciprocals() {
    static const std::array<double, RECIPROCALS> table = [] {
        std::array<double, RECIPROCALS> t{};
        for (int n = 1; n < RECIPROCALS; ++n) t[n] = 1.0 / n;
        return t;
    }();
    return table;
}

void lower_gamma(double x, int top, double* g) {
    const auto& inverse = reciprocals();
    const double ex = std::exp(-x);
    double power[MAX_TERMS + 1] = {1.0};  // x^m
    for (int m = 1; m <= top + 1; ++m) power[m] = power[m - 1] * x;
    const double a = top + 1.0;
    if (x < a) {
        // The terms fall at least as fast as (x / a)^k; they stop below a quarter of the rounding.
        double term = inverse[top + 1], sum = term;
        for (int k = top + 2; k < RECIPROCALS && term > sum * 0x1p-55; ++k) {
            term *= x * inverse[k];
            sum += term;
        }
        g[top] = sum * power[top + 1] * ex;
    } else {
        double term = 1.0, sum = 1.0, factorial = 1.0;
        for (int j = 1; j <= top; ++j) {
            term *= x / j;
            sum += term;
            factorial *= j;
        }
        g[top] = factorial * (1.0 - ex * sum);
    }
    for (int m = top; m >= 1; --m) g[m - 1] = (g[m] + power[m] * ex) * inverse[m];
}

using Moments = GammaMoments;
static_assert(GammaMoments::TERMS == MAX_TERMS);

// int_0^L k(z_s + t) q(t) dt and the same with l dk/dl, in the kernel's variable. DQ, when not
// negative, is the degree of q known when compiling (boxes and hats), which lets the small loops
// below unroll; the operations are the same.
template <int DQ>
std::pair<double, double> part_integral(const KernelForm& f, double zs, double length, const double* q, int degree,
                                        bool with_derivative, Moments& moments) {
    const int dq = DQ >= 0 ? DQ : degree;
    if (f.gaussian) {
        const Rule& rule = gl8();
        const double panels = std::ceil(length / GAUSSIAN_PANEL);
        const int n = static_cast<int>(std::fmax(1.0, panels));
        const double h = length / n;
        double value = 0.0, slope = 0.0;
        for (int p = 0; p < n; ++p) {
            const double half = 0.5 * h, mid = p * h + half;
            for (std::size_t i = 0; i < rule.nodes.size(); ++i) {
                const double t = mid + half * rule.nodes[i];
                const double z = zs + t;
                const double w = rule.weights[i] * half * std::exp(-0.5 * z * z) * horner(q, dq, t);
                value += w;
                slope += z * z * w;
            }
        }
        return {value, with_derivative ? slope : 0.0};
    }
    double m[4], product[MAX_TERMS];
    std::copy(f.value.begin(), f.value.begin() + f.value_degree + 1, m);
    taylor_shift(m, f.value_degree, zs);
    const int dv = multiply(m, f.value_degree, q, dq, product);
    const int ds = f.slope_degree + dq;
    const int top = with_derivative ? std::max(dv, ds) : dv;
    if (moments.length != length || moments.top != top) {
        lower_gamma(length, top, moments.g);
        moments.length = length;
        moments.top = top;
    }
    const double* g = moments.g;
    const double scale = std::exp(-zs);
    double value = 0.0;
    for (int i = 0; i <= dv; ++i) value += product[i] * g[i];
    if (!with_derivative) return {scale * value, 0.0};
    double s[4];
    std::copy(f.slope.begin(), f.slope.begin() + f.slope_degree + 1, s);
    taylor_shift(s, f.slope_degree, zs);
    multiply(s, f.slope_degree, q, dq, product);
    double slope = 0.0;
    for (int i = 0; i <= ds; ++i) slope += product[i] * g[i];
    return {scale * value, scale * slope};
}

// The pieces of a polynomial atom between its knots, skipping those where it vanishes; false for
// an atom that is not polynomial everywhere or whose support is not finite.
bool pieces_of(const Element& e, ClosedFormScratch& scratch, std::vector<PolynomialPiece>& out,
               const Element*& cached) {
    // A row of a matrix keeps one atom: its pieces are formed once.
    if (cached == &e) return true;
    cached = nullptr;
    out.clear();
    if (const auto* box = std::get_if<Box>(&e.kind)) {
        // What the general path below gives a box: one piece, 1 throughout.
        if (!(std::isfinite(box->lower) && std::isfinite(box->upper))) return false;
        if (box->upper > box->lower) out.push_back({box->lower, box->upper - box->lower, {1.0, 0.0, 0.0, 0.0}, 0});
        cached = &e;
        return true;
    }
    if (!is_polynomial(e)) return false;
    const Support s = support(e);
    if (!(std::isfinite(s.lo) && std::isfinite(s.hi))) return false;
    std::vector<double>& knots = scratch.knots;
    knots.clear();
    knots.push_back(s.lo);
    push_knots(e, knots, s.lo, s.hi);
    knots.push_back(s.hi);
    std::sort(knots.begin(), knots.end());
    knots.erase(std::unique(knots.begin(), knots.end()), knots.end());
    for (std::size_t i = 0; i + 1 < knots.size(); ++i) {
        const double h = knots[i + 1] - knots[i];
        if (!(h > 0.0)) continue;
        const auto local = local_polynomial(e, knots[i], 0.5 * h, h);
        if (!local) return false;
        PolynomialPiece piece{knots[i], h, {local->p[0], local->p[1], local->p[2], local->p[3]}, 3};
        while (piece.degree > 0 && piece.p[piece.degree] == 0.0) --piece.degree;
        if (piece.degree == 0 && piece.p[0] == 0.0) continue;
        for (const double c : piece.p)
            if (!std::isfinite(c)) return false;
        out.push_back(piece);
    }
    cached = &e;
    return true;
}

// The cross-correlation G of two pieces in units of the longer one, H: with w = (r - (x0 - y0)) / H,
// G(r) = H C(w) and C(w) = int A(sigma + w) B(sigma) d sigma, A and B in sigma = offset / H, on up
// to three intervals of w, each a polynomial in w - anchor for an anchor at one of its ends.
struct CorrelationPiece {
    double w0, w1, anchor;
    double c[8];
    int degree;
};

// Coefficients of F(sigma, v) = int_0^sigma A(s + v) B(s) ds, by powers of sigma then v.
struct Antiderivative {
    double f[8][4] = {};
    int sigma_degree, v_degree;
};

Antiderivative antiderivative(const double* alpha, int da, const double* beta, int db) {
    Antiderivative F;
    F.sigma_degree = da + db + 1;
    F.v_degree = da;
    for (int k = 0; k <= da; ++k)
        for (int j = 0; j <= k; ++j)
            for (int m = 0; m <= db; ++m) F.f[k - j + m + 1][j] += alpha[k] * beta[m] * BINOMIAL[k][j];
    for (int p = 1; p <= F.sigma_degree; ++p)
        for (int q = 0; q <= F.v_degree; ++q) F.f[p][q] /= p;
    return F;
}

// out += sign * F(mu0 + mu1 v, v) as a polynomial in v (terms above the total degree vanish).
void add_on_line(const Antiderivative& F, double mu0, double mu1, double sign, double* out) {
    if (mu0 == 0.0 && mu1 == 0.0) return;
    double power[MAX_TERMS] = {1.0};  // (mu0 + mu1 v)^p
    int dp = 0;
    for (int p = 1; p <= F.sigma_degree; ++p) {
        power[dp + 1] = 0.0;
        for (int i = dp + 1; i >= 1; --i) power[i] = mu0 * power[i] + mu1 * power[i - 1];
        power[0] *= mu0;
        ++dp;
        for (int q = 0; q <= F.v_degree; ++q) {
            const double f = sign * F.f[p][q];
            if (f == 0.0) continue;
            for (int i = 0; i <= dp && i + q < 8; ++i) out[i + q] += f * power[i];
        }
    }
}

// The pieces of C. The integral runs over the shorter piece's variable sigma, from its own start,
// and A is moved to each interval's anchor, so nothing is evaluated far from where a piece lives:
// a piece much shorter than the other keeps its relative accuracy.
int correlation_pieces(const PolynomialPiece& A, const PolynomialPiece& B, double H, CorrelationPiece* out) {
    if (A.length < B.length) {
        // C(w) = int A(tau) B(tau - w) d tau = C'(-w), C' the correlation with the roles swapped.
        const int count = correlation_pieces(B, A, H, out);
        for (int k = 0; k < count; ++k) {
            CorrelationPiece& p = out[k];
            p = CorrelationPiece{-p.w1, -p.w0, -p.anchor, {p.c[0], -p.c[1], p.c[2], -p.c[3], p.c[4], -p.c[5], p.c[6],
                                                           -p.c[7]}, p.degree};
        }
        return count;
    }
    const double a = A.length / H, b = B.length / H;  // a = 1 >= b
    if (A.degree == 0 && B.degree == 0) {
        // Two constants (boxes): C rises as v, stays at b and falls as b - v, times both values.
        const double ab = A.p[0] * B.p[0];
        int count = 0;
        out[count++] = CorrelationPiece{-b, 0.0, -b, {0.0, ab}, 1};
        if (a > b) out[count++] = CorrelationPiece{0.0, a - b, 0.0, {ab * b}, 0};
        out[count++] = CorrelationPiece{a - b, a, a - b, {ab * b, -ab}, 1};
        return count;
    }
    double alpha[4], beta[4];
    double scale = 1.0;
    for (int k = 0; k <= A.degree; ++k, scale /= a) alpha[k] = A.p[k] * scale;
    scale = 1.0;
    for (int k = 0; k <= B.degree; ++k, scale /= b) beta[k] = B.p[k] * scale;
    // sigma runs from L = max(0, -w) to U = min(b, a - w), each mu0 + mu1 v with v = w - anchor.
    struct Limits {
        double w0, w1, l0, l1, u0, u1;
    };
    const double d = a - b;
    const Limits all[3] = {{-b, 0.0, b, -1.0, b, 0.0}, {0.0, d, 0.0, 0.0, b, 0.0}, {d, a, 0.0, 0.0, b, -1.0}};
    int count = 0;
    for (const Limits& l : all) {
        if (!(l.w1 > l.w0)) continue;
        double shifted[4];
        std::copy(alpha, alpha + 4, shifted);
        taylor_shift(shifted, A.degree, l.w0);
        const Antiderivative F = antiderivative(shifted, A.degree, beta, B.degree);
        CorrelationPiece& piece = out[count++];
        piece = CorrelationPiece{l.w0, l.w1, l.w0, {}, A.degree + B.degree + 1};
        add_on_line(F, l.u0, l.u1, 1.0, piece.c);
        add_on_line(F, l.l0, l.l1, -1.0, piece.c);
    }
    return count;
}

// A point mass at p against a piece of b: G(r) = B((p - y0 - r) / hb) on w = (r - (p - y0)) / hb
// in [-1, 0], so C(w) = B(-w).
int point_piece(const PolynomialPiece& B, CorrelationPiece* out) {
    CorrelationPiece& piece = out[0];
    piece.w0 = -1.0;
    piece.w1 = 0.0;
    piece.anchor = 0.0;
    piece.degree = B.degree;
    std::fill(piece.c, piece.c + 8, 0.0);
    for (int k = 0; k <= B.degree; ++k) piece.c[k] = (k % 2 ? -1.0 : 1.0) * B.p[k];
    return 1;
}

struct Sums {
    Moments& moments;
    double value = 0.0, slope = 0.0;
    double ends = 0.0;  // R G at the cut ends the pieces reach, to be weighted by k(R)
};

// The kernel's variable per unit of r and back, formed once per call: divisions in the chain of
// every part cost more than the rest of its arithmetic.
struct Scales {
    double z_per_r, r_per_z;
};

// One correlation piece placed at r = delta + H w, cut to [-R, R] and split at 0, each part
// integrated outward from its end nearer 0. DQ as for part_integral.
template <int DQ>
void add_piece(const Covariance1d& c, const KernelForm& f, const Scales& scales, const CorrelationPiece& piece,
               double delta, double H, double g, bool with_derivative, Sums& sums) {
    const int dq = DQ >= 0 ? DQ : piece.degree;
    const double R = c.radius;
    const double r0 = delta + H * piece.w0, r1 = delta + H * piece.w1;
    if (!(r1 >= -R && r0 <= R)) return;
    const double to_z = scales.z_per_r * H;  // dz per unit of w
    const double w_per_z = scales.r_per_z / H;
    auto part = [&](double w_start, double w_end, double r_start, bool cut_far) {
        const double zs = scales.z_per_r * std::fabs(r_start);
        const double length = to_z * std::fabs(w_end - w_start);
        if (!(length > 0.0)) return;
        double q[8];
        std::copy(piece.c, piece.c + dq + 1, q);
        taylor_shift(q, dq, w_start - piece.anchor);
        const double step = w_end >= w_start ? w_per_z : -w_per_z;  // dw per unit of z
        double power = g;
        for (int k = 0; k <= dq; ++k, power *= step) q[k] *= power;
        const auto [v, s] = part_integral<DQ>(f, zs, length, q, dq, with_derivative, sums.moments);
        sums.value += scales.r_per_z * v;
        sums.slope += scales.r_per_z * s;
        if (with_derivative && cut_far) sums.ends += R * horner(q, dq, length);
    };
    const bool cut_lo = r0 < -R, cut_hi = r1 > R;
    const double lo = cut_lo ? -R : r0, hi = cut_hi ? R : r1;
    const double w_lo = cut_lo ? (-R - delta) / H : piece.w0, w_hi = cut_hi ? (R - delta) / H : piece.w1;
    if (lo >= 0.0) {
        part(w_lo, w_hi, lo, cut_hi);
    } else if (hi <= 0.0) {
        part(w_hi, w_lo, hi, cut_lo);
    } else {
        const double w_zero = -delta / H;
        part(w_zero, w_hi, 0.0, cut_hi);
        part(w_zero, w_lo, 0.0, cut_lo);
    }
}

// gamma(m + 1, x) = x^(m + 1) sum_k (-x)^k / (k! (m + 1 + k)) for x <= SMALL_GAMMA, a box much
// shorter than the correlation length: the terms alternate and fall by a factor x at least, so the
// sum keeps the first term's relative accuracy, and it needs no exp and no division. Twelve terms
// leave under 2^-54 of the first.
constexpr double SMALL_GAMMA = 0.25;
constexpr int SMALL_GAMMA_TERMS = 12;
constexpr int BOX_TOP = 3;  // the highest moment two boxes need: the Matern 5/2 length derivative
constexpr auto SMALL_GAMMA_SERIES = [] {
    std::array<std::array<double, SMALL_GAMMA_TERMS>, BOX_TOP + 1> c{};
    for (int m = 0; m <= BOX_TOP; ++m) {
        double factorial = 1.0;
        for (int k = 0; k < SMALL_GAMMA_TERMS; ++k) {
            if (k > 0) factorial *= k;
            c[m][k] = (k % 2 ? -1.0 : 1.0) / (factorial * (m + 1 + k));
        }
    }
    return c;
}();

// The moments gamma(m + 1, x), m = 0 .. top, unless already held for x.
const double* box_moments(double x, int top, Moments& moments) {
    if (moments.length == x && moments.top == top) return moments.g;
    if (x <= SMALL_GAMMA) {
        double power = x;
        for (int m = 0; m <= top; ++m, power *= x) {
            const auto& c = SMALL_GAMMA_SERIES[m];
            double sum = c[SMALL_GAMMA_TERMS - 1];
            for (int k = SMALL_GAMMA_TERMS - 2; k >= 0; --k) sum = sum * x + c[k];
            moments.g[m] = power * sum;
        }
    } else {
        lower_gamma(x, top, moments.g);
    }
    moments.length = x;
    moments.top = top;
    return moments.g;
}

// int_0^A int_0^B P(D + u + v) exp(-u - v) du dv = sum_n p_n sum_i C(n, i) gamma(i + 1, A) gamma(n - i + 1, B),
// p the coefficients of P(D + s) in s: all positive for the kernels' polynomials and D >= 0.
// The degree is fixed when compiling, so that the small loops unroll; the operations are the same.
template <int DEGREE>
double separated_sum(const double* poly, double D, const double* ga, const double* gb) {
    double p[DEGREE + 1];
    std::copy(poly, poly + DEGREE + 1, p);
    taylor_shift(p, DEGREE, D);
    double sum = 0.0;
    for (int n = 0; n <= DEGREE; ++n) {
        double cross = 0.0;
        for (int i = 0; i <= n; ++i) cross += BINOMIAL[n][i] * ga[i] * gb[n - i];
        sum += p[n] * cross;
    }
    return sum;
}

double separated_sum(const double* poly, int degree, double D, const double* ga, const double* gb) {
    switch (degree) {
        case 0: return separated_sum<0>(poly, D, ga, gb);
        case 1: return separated_sum<1>(poly, D, ga, gb);
        case 2: return separated_sum<2>(poly, D, ga, gb);
        default: return separated_sum<BOX_TOP>(poly, D, ga, gb);
    }
}

// gamma(m + 1, z_per_r h) of a box of length h, m = 0 .. the top the kernel needs: one moment
// per order.
int box_top(const KernelForm& f, bool with_derivative) {
    return with_derivative ? std::max(f.value_degree, f.slope_degree) : f.value_degree;
}

}  // namespace

std::optional<BoxSide> box_side(const Covariance1d& c, const Element& e, bool with_derivative, GammaMoments& cache) {
    const auto* box = std::get_if<Box>(&e.kind);
    if (!box || c.period) return std::nullopt;
    const KernelForm& f = kernel_form(c.kernel);
    if (f.gaussian) return std::nullopt;
    const double h = box->upper - box->lower;
    if (!(h > 0.0 && std::isfinite(h))) return std::nullopt;
    BoxSide side{box->lower, box->upper, {}};
    const int top = box_top(f, with_derivative);
    const double* g = box_moments(f.rate / c.length * h, top, cache);
    std::copy(g, g + top + 1, side.g);
    return side;
}

// Two boxes apart (or touching) under a Matern kernel that reaches across both whole: with z the
// kernel's variable, u from the nearer end of one box and v from the nearer end of the other,
// z = D + u + v and exp(-z) splits into a product, so the double integral is a sum of products of
// one-dimensional moments of each box's length, times one exp(-D). Every term is positive.
// Nothing otherwise: the pieces take overlapping boxes, those the cut reaches and the scalings the
// general path refuses.
std::optional<std::pair<double, double>> box_pair_covariance(const Covariance1d& c, const BoxSide& a,
                                                             const BoxSide& b, bool with_derivative) {
    const double ha = a.upper - a.lower, hb = b.upper - b.lower;
    const double H = std::fmax(ha, hb);
    if (!(H <= MAX_SCALE_RATIO * c.length && c.length <= MAX_SCALE_RATIO * H)) return std::nullopt;
    if (!(ha * MAX_SCALE_RATIO >= hb && hb * MAX_SCALE_RATIO >= ha)) return std::nullopt;
    double gap, far;
    if (a.lower >= b.upper) {
        gap = a.lower - b.upper;
        far = a.upper - b.lower;
    } else if (b.lower >= a.upper) {
        gap = b.lower - a.upper;
        far = b.upper - a.lower;
    } else {
        return std::nullopt;
    }
    if (!(far <= c.radius)) return std::nullopt;
    const KernelForm& f = kernel_form(c.kernel);
    const double z_per_r = f.rate / c.length, r_per_z = c.length / f.rate;
    const double D = z_per_r * gap;
    const double scale = std::exp(-D);
    // r_per_z once per box: each side's moments are of the order of its length over r_per_z.
    const double value = r_per_z * (r_per_z * (scale * separated_sum(f.value.data(), f.value_degree, D, a.g, b.g)));
    if (!with_derivative) return std::pair<double, double>{value, 0.0};
    const double slope = r_per_z * (r_per_z * (scale * separated_sum(f.slope.data(), f.slope_degree, D, a.g, b.g)));
    return std::pair<double, double>{value, slope};
}

namespace {

// The images n of the kernel with r - n P in reach of [-R, R] for r in [lo, hi].
std::pair<double, double> image_range(const Covariance1d& c, double lo, double hi) {
    if (!c.period) return {0.0, 0.0};
    return {std::ceil((lo - c.radius) / *c.period), std::floor((hi + c.radius) / *c.period)};
}

}  // namespace

std::optional<std::pair<double, double>> closed_form_covariance(const Covariance1d& c, const Element& a,
                                                                const Element& b, bool with_derivative,
                                                                ClosedFormScratch& scratch) {
    // Both boxes first: a box against another atom forms no moments.
    if (std::holds_alternative<Box>(a.kind) && std::holds_alternative<Box>(b.kind))
        if (const auto box_a = box_side(c, a, with_derivative, scratch.box_a))
            if (const auto box_b = box_side(c, b, with_derivative, scratch.box_b))
                if (const auto exact = box_pair_covariance(c, *box_a, *box_b, with_derivative)) return exact;
    const auto* da = std::get_if<Delta>(&a.kind);
    const auto* db = std::get_if<Delta>(&b.kind);
    if (da && db) return std::nullopt;
    // With one point mass, the covariance is that of the other atom with the point: k is even.
    const Element& first = db ? b : a;
    const Element& second = db ? a : b;
    const Delta* point = db ? db : da;
    if (!point && !pieces_of(first, scratch, scratch.a, scratch.pieces_of_a)) return std::nullopt;
    if (!pieces_of(second, scratch, scratch.b, scratch.pieces_of_b)) return std::nullopt;
    if (point && !std::isfinite(point->position)) return std::nullopt;

    // The scalings and the work are bounded as the pairs come; beyond a bound the caller's adaptive
    // path takes the whole entry.
    const std::size_t firsts = point ? 1 : scratch.a.size();
    const KernelForm& form = kernel_form(c.kernel);
    const Scales scales{form.rate / c.length, c.length / form.rate};
    double work = 0.0;
    Sums sums{scratch.moments};
    CorrelationPiece pieces[3];
    for (std::size_t i = 0; i < firsts; ++i)
        for (const PolynomialPiece& B : scratch.b) {
            const double x0 = point ? point->position : scratch.a[i].start;
            const double ha = point ? 0.0 : scratch.a[i].length;
            const double H = point ? B.length : std::fmax(ha, B.length);
            if (!(H <= MAX_SCALE_RATIO * c.length && c.length <= MAX_SCALE_RATIO * H)) return std::nullopt;
            if (!point && !(ha * MAX_SCALE_RATIO >= B.length && B.length * MAX_SCALE_RATIO >= ha)) return std::nullopt;
            const double delta = x0 - B.start;
            const auto [n0, n1] = image_range(c, delta - B.length, delta + ha);
            // Image numbers beyond 2^52 could not be counted one by one.
            if (!(std::fabs(n0) <= 0x1p52 && std::fabs(n1) <= 0x1p52)) return std::nullopt;
            work += std::fmax(0.0, n1 - n0 + 1.0);
            if (!(work <= MAX_PAIR_IMAGES)) return std::nullopt;
            if (n1 < n0) continue;
            const int count = point ? point_piece(B, pieces) : correlation_pieces(scratch.a[i], B, H, pieces);
            const double g = point ? 1.0 : H;
            for (double n = n0; n <= n1; ++n) {
                // x0 - n P first: exact where the image brings x0 near y0, however far both lie.
                const double shifted = c.period ? (x0 - n * *c.period) - B.start : delta;
                for (int k = 0; k < count; ++k) {
                    const CorrelationPiece& piece = pieces[k];
                    if (piece.degree == 0) {
                        add_piece<0>(c, form, scales, piece, shifted, H, g, with_derivative, sums);
                    } else if (piece.degree == 1) {
                        add_piece<1>(c, form, scales, piece, shifted, H, g, with_derivative, sums);
                    } else {
                        add_piece<-1>(c, form, scales, piece, shifted, H, g, with_derivative, sums);
                    }
                }
            }
        }
    if (with_derivative && sums.ends != 0.0) sums.slope += value(c.kernel, c.radius) * sums.ends;
    return std::pair<double, double>{sums.value, with_derivative ? sums.slope : 0.0};
}

}  // namespace spanlet::covariance
