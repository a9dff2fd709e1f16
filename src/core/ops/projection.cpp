#include "core/ops/projection.hpp"

#include <algorithm>
#include <cmath>
#include <limits>

#include "core/ops/integrals.hpp"
#include "core/ops/inner_products.hpp"
#include "core/ops/solve.hpp"
#include "core/pool.hpp"

namespace spanlet {

namespace {

constexpr double INF = std::numeric_limits<double>::infinity();
constexpr int MAX_ACTIVE_SET_ITERATIONS = 100;

enum class State : unsigned char { Free, Lower, Upper };

double clamp_keeping_nan(double v, double lo, double hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

// hi - x (or x - lo) where a non-finite difference counts as 0.
double finite_or_zero(double v) { return std::isfinite(v) ? v : 0.0; }

// The stored diagonal entry of Gram row p.
double gram_diagonal(const Csr& gram, std::size_t p) {
    const Csr::Row row = gram.row(p);
    for (std::size_t e = 0; e < row.size; ++e)
        if (row.indices[e] == p) return row.values[e];
    return 1.0;  // no stored diagonal: unit scale for the optimality test
}

// Local bounds of target p: the range of the source values that overlap it, NaN ignored,
// -0 below +0; unbounded when nothing (or only NaN) overlaps.
void local_bounds(const Csr& cross, const double* f, std::vector<double>& lo, std::vector<double>& hi) {
    for (std::size_t p = 0; p < cross.nrows; ++p) {
        double low = INF, high = -INF;
        const Csr::Row row = cross.row(p);
        for (std::size_t e = 0; e < row.size; ++e) {
            const double v = f[row.indices[e]];
            if (std::isnan(v)) continue;
            if (v < low || (v == low && std::signbit(v))) low = v;
            if (v > high || (v == high && !std::signbit(v))) high = v;
        }
        if (low > high) low = -INF, high = INF;
        lo[p] = low;
        hi[p] = high;
    }
}

}  // namespace

Result<Projection> Projection::make(const Space& src, const Space& dst, CosineWeight omega) {
    SPANLET_TRY(gram, inner_products(dst.elements(), dst, omega));
    SPANLET_TRY(factor, BandedCholesky::factor(gram));
    SPANLET_TRY(cross, inner_products(dst.elements(), src, omega));
    SPANLET_TRY(masses, parallel_integrals(dst.elements(), omega));
    return Projection(std::move(gram), std::move(factor), std::move(cross),
                      std::move(masses));
}

std::vector<double> Projection::to_dense() const {
    std::vector<double> rows = cross_.transpose().to_dense();  // n_src x n_dst
    solve_rows(gram_factor_, rows, n_src());
    return transposed(rows, n_src(), n_dst());
}

std::vector<double> Projection::apply_last_axis(const std::vector<double>& f, std::size_t k) const {
    std::vector<double> y = cross_.apply_last_axis(f.data(), k, n_src());
    solve_rows(gram_factor_, y, k);
    return y;
}

std::vector<double> Projection::apply_bounded_last_axis(const std::vector<double>& f, std::size_t k,
                                                        const ProjectionBounds& bounds) const {
    const std::vector<double> y = cross_.apply_last_axis(f.data(), k, n_src());
    std::vector<double> x = y;
    solve_rows(gram_factor_, x, k);
    const std::size_t n = n_dst();
    parallel_for(k, [&](std::size_t r, Scratch&) {
        refine_row(f.data() + r * n_src(), y.data() + r * n, x.data() + r * n, bounds);
    });
    return x;
}

void Projection::refine_row(const double* f, const double* y, double* x_out, const ProjectionBounds& bounds) const {
    const std::size_t n = n_dst();
    const std::vector<double>& c = dst_integrals_;
    std::vector<double> lo(n), hi(n);
    if (bounds.kind == ProjectionBounds::Kind::Local) {
        local_bounds(cross_, f, lo, hi);
    } else {
        std::fill(lo.begin(), lo.end(), bounds.lo);
        std::fill(hi.begin(), hi.end(), bounds.hi);
    }
    const std::vector<double> x0(x_out, x_out + n);
    double m0 = 0.0;
    for (std::size_t p = 0; p < n; ++p) m0 += c[p] * x0[p];

    std::vector<double> x(n), d(n);
    std::vector<State> state(n);
    bool all_pinned = true;
    for (std::size_t p = 0; p < n; ++p) {
        all_pinned = all_pinned && lo[p] == hi[p];
        x[p] = clamp_keeping_nan(x0[p], lo[p], hi[p]);
        state[p] = x0[p] > hi[p] ? State::Upper : x0[p] < lo[p] ? State::Lower : State::Free;
        d[p] = gram_diagonal(gram_, p);
    }

    std::vector<std::size_t> free_indices;
    std::vector<std::int64_t> position(n);
    std::vector<double> a, b;
    Csr sub;
    bool converged = false;
    for (int iteration = 0; iteration < MAX_ACTIVE_SET_ITERATIONS; ++iteration) {
        // Without a free coefficient that carries mass the multiplier is undetermined and the
        // integral is not enforced, so a settled state of that kind is not a solution unless
        // nothing can move.
        bool mass_enforced = all_pinned;
        free_indices.clear();
        for (std::size_t p = 0; p < n; ++p) {
            if (state[p] == State::Lower) x[p] = lo[p];
            if (state[p] == State::Upper) x[p] = hi[p];
            position[p] = -1;
            if (state[p] == State::Free) {
                position[p] = static_cast<std::int64_t>(free_indices.size());
                free_indices.push_back(p);
            }
        }
        double lambda = 0.0;
        if (!free_indices.empty()) {
            // G_FF, built in place in a buffer that keeps its capacity across iterations.
            const std::size_t m = free_indices.size();
            sub.nrows = sub.ncols = m;
            sub.indptr.assign(1, 0);
            sub.indices.clear();
            sub.data.clear();
            a.assign(m, 0.0);
            b.assign(m, 0.0);
            for (std::size_t i = 0; i < m; ++i) {
                const std::size_t p = free_indices[i];
                const Csr::Row row = gram_.row(p);
                double rhs = y[p];
                for (std::size_t e = 0; e < row.size; ++e) {
                    const std::uint64_t q = row.indices[e];
                    if (position[q] >= 0) {
                        sub.indices.push_back(static_cast<std::uint64_t>(position[q]));
                        sub.data.push_back(row.values[e]);
                    } else {
                        rhs -= row.values[e] * x[q];
                    }
                }
                sub.indptr.push_back(sub.indices.size());
                a[i] = rhs;
                b[i] = c[p];
            }
            auto factor = BandedCholesky::factor(sub);
            if (!factor) break;
            factor.value().solve_in_place(a.data());
            factor.value().solve_in_place(b.data());
            double s_ab = 0.0, s_bb = 0.0, s_fixed = 0.0;
            for (std::size_t i = 0; i < m; ++i) {
                s_ab += a[i] * c[free_indices[i]];
                s_bb += b[i] * c[free_indices[i]];
            }
            for (std::size_t p = 0; p < n; ++p)
                if (state[p] != State::Free) s_fixed += c[p] * x[p];
            const bool determined = !(s_bb == 0.0 || std::isnan(s_bb));
            mass_enforced = mass_enforced || determined;
            lambda = determined ? (s_ab + s_fixed - m0) / s_bb : 0.0;
            for (std::size_t i = 0; i < m; ++i) x[free_indices[i]] = a[i] - lambda * b[i];
        }
        bool changed = false;
        for (std::size_t p = 0; p < n; ++p) {
            double g = 0.0;
            if (state[p] != State::Free) {
                const Csr::Row row = gram_.row(p);
                double gx = 0.0;
                for (std::size_t e = 0; e < row.size; ++e) gx += row.values[e] * x[row.indices[e]];
                g = y[p] - gx - lambda * c[p];
            }
            State next;
            if (lo[p] == hi[p])
                next = State::Lower;
            else if (g + d[p] * (x[p] - hi[p]) > 0.0)
                next = State::Upper;
            else if (g + d[p] * (x[p] - lo[p]) < 0.0)
                next = State::Lower;
            else
                next = State::Free;
            changed = changed || next != state[p];
            state[p] = next;
        }
        if (!changed) {
            converged = mass_enforced;
            break;
        }
    }
    if (converged) {
        std::copy(x.begin(), x.end(), x_out);
        return;
    }
    // Fallback: clamp, then hand the removed mass to the coefficients that have room for it.
    double removed = 0.0;
    for (std::size_t p = 0; p < n; ++p) {
        x[p] = clamp_keeping_nan(x0[p], lo[p], hi[p]);
        removed += (x0[p] - x[p]) * c[p];
    }
    if (removed > 0.0 || removed < 0.0) {
        const bool up = removed > 0.0;
        double room = 0.0;
        for (std::size_t p = 0; p < n; ++p) room += c[p] * finite_or_zero(up ? hi[p] - x[p] : x[p] - lo[p]);
        if (room > 0.0) {
            const double t = std::min(std::fabs(removed) / room, 1.0);
            for (std::size_t p = 0; p < n; ++p)
                x[p] += up ? t * finite_or_zero(hi[p] - x[p]) : -t * finite_or_zero(x[p] - lo[p]);
        }
    }
    std::copy(x.begin(), x.end(), x_out);
}

}  // namespace spanlet
