#include "core/ops/projection.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>
#include <utility>

#include "core/ops/integrals.hpp"
#include "core/ops/inner_products.hpp"
#include "core/linalg/band_blocks.hpp"
#include "core/linalg/solve.hpp"
#include "core/base/pool.hpp"
#include "core/base/constants.hpp"
#include "core/base/simd.hpp"

namespace spanlet {

namespace {

constexpr int MAX_ACTIVE_SET_ITERATIONS = 100;

// The shortest stretch of coefficients with equal bounds that the test sweep passes over:
// shorter ones cost more to track than to test.
constexpr std::size_t MIN_PINNED_RUN = 4 * MAX_BLOCK_BANDWIDTH;

enum class State : unsigned char { Free, Lower, Upper };

// Bound p of the coefficients at lo[p & mask] and hi[p & mask]. Bounds that every coefficient
// shares are four copies of one value with mask 0: a vector read at lo + (p & mask) takes them as
// it takes four coefficients' bounds, and every pass of the refinement reads one cache line
// instead of streaming two arrays of the target size.
constexpr std::size_t EACH_BOUND = ~std::size_t{0}, SHARED_BOUND = 0;

double clamp_keeping_nan(double v, double lo, double hi) {
    if (v < lo) return lo;
    if (v > hi) return hi;
    return v;
}

// hi - x (or x - lo) where a non-finite difference counts as 0.
double finite_or_zero(double v) { return std::isfinite(v) ? v : 0.0; }

// The stored diagonal entries of a Gram matrix, 1 where none is stored (a unit scale for the
// optimality test).
std::vector<double> stored_diagonal(const Csr& gram) {
    std::vector<double> d(gram.nrows, 1.0);
    for (std::size_t p = 0; p < gram.nrows; ++p) {
        const Csr::Row row = gram.row(p);
        for (std::size_t e = 0; e < row.size; ++e)
            if (row.indices[e] == p) {
                d[p] = row.values[e];
                break;
            }
    }
    return d;
}

// The largest distance of a stored entry from the diagonal.
std::size_t half_bandwidth(const Csr& matrix) {
    std::size_t b = 0;
    for (std::size_t p = 0; p < matrix.nrows; ++p) {
        const Csr::Row row = matrix.row(p);
        for (std::size_t e = 0; e < row.size; ++e)
            b = std::max(b, row.indices[e] > p ? row.indices[e] - p : p - row.indices[e]);
    }
    return b;
}

// Four lanes per instruction where the processor has AVX2 (core/base/simd.hpp).

// Four lanes side by side (four rows, or four coefficients of one row); QuadAt reads and writes
// four doubles at any address of a double (GCC's vector types alias their element type).
using Quad = double __attribute__((vector_size(32)));
using QuadAt = double __attribute__((vector_size(32), aligned(8)));
using QuadBits = std::int64_t __attribute__((vector_size(32)));
using QuadBytes = unsigned char __attribute__((vector_size(4)));
using Words = std::uint32_t __attribute__((vector_size(16)));
using Bytes16 = unsigned char __attribute__((vector_size(16)));

// Two rows' values side by side: the extremes of two rows take one instruction each (minpd and
// maxpd on x86-64).
using Pair = double __attribute__((vector_size(16)));
using PairBits = std::int64_t __attribute__((vector_size(16)));

// The running extremes before any value: nothing seen leaves low above high.
constexpr Pair NONE_LOW = {INF, INF}, NONE_HIGH = {-INF, -INF};

// low and high widened by v lane by lane, NaN ignored, -0 below +0. The compare-and-select keeps
// the running value when v is NaN and on ties; a tie of zeros then takes the sign bit of either
// (low) or of both (high). The tie is taken against the running value before the select, so that
// the chain from one value to the next is the select and one bitwise operation.
inline void widen_low(Pair& low, Pair v) {
    const PairBits tie = std::bit_cast<PairBits>(v) & (v == low);
    low = v < low ? v : low;
    low = std::bit_cast<Pair>(std::bit_cast<PairBits>(low) | tie);
}

inline void widen_high(Pair& high, Pair v) {
    const PairBits tie = (v == high) & ~std::bit_cast<PairBits>(v);
    high = v > high ? v : high;
    high = std::bit_cast<Pair>(std::bit_cast<PairBits>(high) & ~tie);
}

// The extremes of many values with the signs of zeros kept aside: the selects alone order -0 and
// +0 as they come, and the zeros seen settle a zero extreme once at the end. Keeps the chain from
// one value to the next at one select.
struct Extremes {
    static constexpr PairBits SIGN = {std::int64_t{1} << 63, std::int64_t{1} << 63};
    Pair low = NONE_LOW, high = NONE_HIGH;
    PairBits negative_zero = {0, 0};  // the sign bit where some -0 came
    PairBits positive_zero = {0, 0};  // the sign bit where some +0 came

    void widen(Pair v) {
        low = v < low ? v : low;
        high = v > high ? v : high;
        const PairBits zero = v == Pair{0.0, 0.0}, bits = std::bit_cast<PairBits>(v);
        negative_zero |= zero & bits;
        positive_zero |= zero & ~bits;
    }

    // -0 for a zero low where some -0 came, +0 for a zero high where some +0 came.
    void settle() {
        const Pair zero = {0.0, 0.0};
        low = std::bit_cast<Pair>((std::bit_cast<PairBits>(low) & ~((low == zero) & SIGN)) |
                                  ((low == zero) & negative_zero & SIGN));
        high = std::bit_cast<Pair>((std::bit_cast<PairBits>(high) & ~((high == zero) & SIGN)) |
                                   ((high == zero) & ~positive_zero & SIGN));
    }
};

// Lane j of low and high as the bounds of one target: unbounded when nothing (or only NaN)
// overlaps it.
void set_range(double& lo, double& hi, Pair low, Pair high, std::size_t j) {
    const bool none = low[j] > high[j];
    lo = none ? -INF : low[j];
    hi = none ? INF : high[j];
}

// The extremes of the runs of a group of rows (SourceRuns), kept from one range of targets to
// the next: each run's least and greatest value, and its first source's value alone (as the
// extremes of that one value), by pairs of rows; two pairs per run hold four rows, as ordered
// keys.
struct RunExtremes {
    std::vector<Pair> low, high, head_low, head_high;

    void resize(std::size_t size) {
        for (auto* v : {&low, &high, &head_low, &head_high}) v->resize(size);
    }
};

// One value as its own extremes: nothing (low above high) where it is NaN.
inline void single_extremes(Pair v, Pair& low, Pair& high) {
    const PairBits nan = v != v;
    low = nan ? NONE_LOW : v;
    high = nan ? NONE_HIGH : v;
}

// The extremes of runs [first, last) for 2 P rows at once (pair i of run r at [r * P + i]): the
// rows share the runs, so the branch that ends a run is taken once for all of them. More than two
// rows go through run_extremes_four.
template <std::size_t P>
void run_extremes(const SourceRuns& runs, std::size_t first, std::size_t last, const double* const* f,
                  RunExtremes& out) {
    for (std::size_t r = first; r < last; ++r) {
        Extremes extremes[P];
        for (std::uint64_t s = runs.starts[r]; s < runs.starts[r + 1]; ++s)
            for (std::size_t i = 0; i < P; ++i) extremes[i].widen(Pair{f[2 * i][s], f[2 * i + 1][s]});
        const std::uint64_t head = runs.starts[r];
        for (std::size_t i = 0; i < P; ++i) {
            extremes[i].settle();
            out.low[r * P + i] = extremes[i].low;
            out.high[r * P + i] = extremes[i].high;
            single_extremes(Pair{f[2 * i][head], f[2 * i + 1][head]}, out.head_low[r * P + i], out.head_high[r * P + i]);
        }
    }
}

// The bounds of targets [first, last) for `rows` rows (at most 2 P) from the extremes of their
// runs.
template <std::size_t P>
void combine_runs(const SourceRuns& runs, std::size_t n, std::size_t first, std::size_t last, std::size_t rows,
                  const RunExtremes& in, double* lo, double* hi) {
    for (std::size_t p = first; p < last; ++p) {
        Pair low[P], high[P];
        for (std::size_t i = 0; i < P; ++i) low[i] = NONE_LOW, high[i] = NONE_HIGH;
        for (std::uint64_t r = runs.begin[p]; r < runs.end[p]; ++r)
            for (std::size_t i = 0; i < P; ++i) {
                widen_low(low[i], in.low[r * P + i]);
                widen_high(high[i], in.high[r * P + i]);
            }
        if (runs.head[p] != 0)
            for (std::size_t i = 0; i < P; ++i) {
                widen_low(low[i], in.head_low[runs.end[p] * P + i]);
                widen_high(high[i], in.head_high[runs.end[p] * P + i]);
            }
        for (std::size_t j = 0; j < rows; ++j) set_range(lo[j * n + p], hi[j * n + p], low[j / 2], high[j / 2], j % 2);
    }
}

// A double's bits as a signed integer in the order of the values, -0 just below +0 (NaN aside):
// a negative value's magnitude bits flipped. Its own inverse.
// In place, by reference: a vector passed by value would take a different calling convention
// in the instruction-set clones.
inline void ordered_key(QuadBits& bits) {
    constexpr std::int64_t MAGNITUDE = std::numeric_limits<std::int64_t>::max();
    const QuadBits magnitude = {MAGNITUDE, MAGNITUDE, MAGNITUDE, MAGNITUDE};
    bits ^= (bits >> 63) & magnitude;
}

// Four vectors transposed: lane j of vector i to lane i of vector j.
inline void transpose_four(Quad& a, Quad& b, Quad& c, Quad& d) {
    const Quad t0 = __builtin_shufflevector(a, b, 0, 4, 2, 6), t1 = __builtin_shufflevector(a, b, 1, 5, 3, 7);
    const Quad t2 = __builtin_shufflevector(c, d, 0, 4, 2, 6), t3 = __builtin_shufflevector(c, d, 1, 5, 3, 7);
    a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
    b = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
    c = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
    d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The extremes of runs [first, last) for four rows at once (run r at [4 r]), as ordered keys:
// Extremes with all four rows in one vector (two pairs where the processor lacks AVX2), the same
// selects lane by lane.
SPANLET_SIMD_CLONES_WIDE
void run_extremes_four(const SourceRuns& runs, std::size_t first, std::size_t last, const double* const* f,
                       double* run_low, double* run_high, double* head_low, double* head_high) {
    constexpr std::int64_t SIGN = std::numeric_limits<std::int64_t>::min();
    const QuadBits sign = {SIGN, SIGN, SIGN, SIGN};
    const Quad zero = {}, none_low = {INF, INF, INF, INF}, none_high = -none_low;
    const auto load = [](const double* v) -> const QuadAt& { return *reinterpret_cast<const QuadAt*>(v); };
    const auto store = [](double* at, const QuadBits& key) { *reinterpret_cast<QuadAt*>(at) = (Quad)key; };
    for (std::size_t r = first; r < last; ++r) {
        // Two chains of selects, joined at the end of the run: the order of the values does not
        // matter, nor does a value coming twice.
        Quad low = none_low, high = none_high, other_low = low, other_high = high, head;
        QuadBits negative_zero = {}, positive_zero = {};
        const auto widen = [&](const Quad& v, Quad& least, Quad& greatest) {
            least = v < least ? v : least;
            greatest = v > greatest ? v : greatest;
            const QuadBits is_zero = v == zero, bits = (QuadBits)v;
            negative_zero |= is_zero & bits;
            positive_zero |= is_zero & ~bits;
        };
        // Four sources of the four rows, transposed in registers; the first source's values to
        // head where the four are the run's first.
        const auto four = [&](std::uint64_t s, bool first_four) {
            Quad v0 = load(f[0] + s), v1 = load(f[1] + s), v2 = load(f[2] + s), v3 = load(f[3] + s);
            transpose_four(v0, v1, v2, v3);
            if (first_four) head = v0;
            widen(v0, low, high);
            widen(v1, other_low, other_high);
            widen(v2, low, high);
            widen(v3, other_low, other_high);
        };
        std::uint64_t s = runs.starts[r];
        const std::uint64_t end = runs.starts[r + 1];
        if (end - s >= 4) {
            // Where the run's length is not a multiple of four, the last four overlap the four
            // before.
            const std::uint64_t last_four = end - 4;
            four(s, true);
            for (s += 4; s < end; s += 4) four(s < last_four ? s : last_four, false);
            low = other_low < low ? other_low : low;
            high = other_high > high ? other_high : high;
        } else {
            head = Quad{f[0][s], f[1][s], f[2][s], f[3][s]};
            widen(head, low, high);
            for (++s; s < end; ++s) widen(Quad{f[0][s], f[1][s], f[2][s], f[3][s]}, low, high);
        }
        // As Extremes::settle, then as ordered keys.
        QuadBits low_key = (((QuadBits)low) & ~((low == zero) & sign)) | ((low == zero) & negative_zero & sign);
        QuadBits high_key = (((QuadBits)high) & ~((high == zero) & sign)) | ((high == zero) & ~positive_zero & sign);
        // The first source alone, as single_extremes.
        const QuadBits nan = head != head;
        QuadBits head_low_key = (QuadBits)(nan ? none_low : head), head_high_key = (QuadBits)(nan ? none_high : head);
        for (QuadBits* key : {&low_key, &high_key, &head_low_key, &head_high_key}) ordered_key(*key);
        store(run_low + 4 * r, low_key);
        store(run_high + 4 * r, high_key);
        store(head_low + 4 * r, head_low_key);
        store(head_high + 4 * r, head_high_key);
    }
}

// The bounds of targets [first, last) for `rows` rows (at most 4) from the extremes of their runs,
// as combine_runs with the four rows in one vector: on ordered keys the extremes with -0 below +0
// are an integer minimum and maximum. With four rows, four targets at a time, transposed to
// store each row's four bounds at once.
SPANLET_SIMD_CLONES_WIDE
void combine_runs_four(const SourceRuns& runs, std::size_t n, std::size_t first, std::size_t last, std::size_t rows,
                       const double* run_low, const double* run_high, const double* head_low, const double* head_high,
                       double* lo, double* hi) {
    const Quad none_low = {INF, INF, INF, INF}, none_high = -none_low;
    QuadBits start_low = (QuadBits)none_low, start_high = (QuadBits)none_high;
    ordered_key(start_low);
    ordered_key(start_high);
    const auto at = [](const double* v) -> const QuadAt& { return *reinterpret_cast<const QuadAt*>(v); };
    // Target p's bounds for the four rows.
    const auto bounds = [&](std::size_t p, Quad& bounded_low, Quad& bounded_high) {
        // As widen_low and widen_high: the least and the greatest key, -0 below +0.
        QuadBits low_key = start_low, high_key = start_high;
        const auto widen = [&](const Quad& low_run, const Quad& high_run) {
            const QuadBits v = (QuadBits)low_run, w = (QuadBits)high_run;
            low_key = v < low_key ? v : low_key;
            high_key = w > high_key ? w : high_key;
        };
        for (std::uint64_t r = runs.begin[p]; r < runs.end[p]; ++r) widen(at(run_low + 4 * r), at(run_high + 4 * r));
        if (runs.head[p] != 0) widen(at(head_low + 4 * runs.end[p]), at(head_high + 4 * runs.end[p]));
        ordered_key(low_key);
        ordered_key(high_key);
        const Quad low = (Quad)low_key, high = (Quad)high_key;
        const QuadBits none = low > high;
        bounded_low = none ? none_high : low;
        bounded_high = none ? none_low : high;
    };
    std::size_t p = first;
    if (rows == 4)
        for (; p + 4 <= last; p += 4) {
            Quad low[4], high[4];
            for (std::size_t k = 0; k < 4; ++k) bounds(p + k, low[k], high[k]);
            transpose_four(low[0], low[1], low[2], low[3]);
            transpose_four(high[0], high[1], high[2], high[3]);
            for (std::size_t j = 0; j < 4; ++j) {
                *reinterpret_cast<QuadAt*>(lo + j * n + p) = low[j];
                *reinterpret_cast<QuadAt*>(hi + j * n + p) = high[j];
            }
        }
    for (; p < last; ++p) {
        Quad low, high;
        bounds(p, low, high);
        for (std::size_t j = 0; j < rows; ++j) {
            lo[j * n + p] = low[j];
            hi[j * n + p] = high[j];
        }
    }
}

// The runs that targets [first, last) combine and that are not yet in the run extremes:
// [done, the greatest end), after which done is that end. Runs are kept from one range of targets
// to the next, and each run's extremes come out the same whichever range first needs them.
std::pair<std::size_t, std::size_t> runs_needed(const SourceRuns& runs, std::size_t first, std::size_t last,
                                                std::size_t& done) {
    const std::size_t from = done;
    for (std::size_t p = first; p < last; ++p) done = std::max<std::size_t>(done, runs.end[p] + runs.head[p]);
    return {from, done};
}

template <std::size_t P>
void run_bounds(const SourceRuns& runs, std::size_t n, std::size_t first, std::size_t last, const double* const* f,
                std::size_t rows, double* lo, double* hi, std::size_t& runs_done, RunExtremes& extremes) {
    // Rows past the last stand in as copies of it, so that every lane reads a row.
    const double* padded[2 * P];
    for (std::size_t j = 0; j < 2 * P; ++j) padded[j] = f[std::min(j, rows - 1)];
    extremes.resize((runs.starts.size() - 1) * P);
    const auto [from, to] = runs_needed(runs, first, last, runs_done);
    run_extremes<P>(runs, from, to, padded, extremes);
    combine_runs<P>(runs, n, first, last, rows, extremes, lo, hi);
}

// Local bounds of target p: the range of the source values that overlap it, NaN ignored,
// -0 below +0; unbounded when nothing (or only NaN) overlaps. The order of the values does not
// matter, so with source runs each source is read once and each target combines the extremes of
// its runs. For `rows` source rows f[j] (at most 4), targets [first, last), into lo and hi, row j
// from j * cross.nrows on. Ranges of targets taken in ascending order share the runs' extremes
// through runs_done (0 before the first range) and `extremes`, so that the bounds can follow
// the cross products range by range, while the sources those read are in cache.
void local_bounds(const Csr& cross, const SourceRuns& runs, const double* const* f, std::size_t rows,
                  std::size_t first, std::size_t last, double* lo, double* hi, std::size_t& runs_done,
                  RunExtremes& extremes) {
    const std::size_t n = cross.nrows;
    if (runs.empty()) {
        for (std::size_t j = 0; j < rows; ++j)
            for (std::size_t p = first; p < last; ++p) {
                Pair low = NONE_LOW, high = NONE_HIGH;
                const Csr::Row row = cross.row(p);
                for (std::size_t e = 0; e < row.size; ++e) {
                    const double v = f[j][row.indices[e]];
                    widen_low(low, Pair{v, v});
                    widen_high(high, Pair{v, v});
                }
                set_range(lo[j * n + p], hi[j * n + p], low, high, 0);
            }
        return;
    }
    if (rows <= 2) {
        run_bounds<1>(runs, n, first, last, f, rows, lo, hi, runs_done, extremes);
        return;
    }
    // Rows past the last stand in as copies of it, so that every lane reads a row.
    const double* padded[4];
    for (std::size_t j = 0; j < 4; ++j) padded[j] = f[std::min(j, rows - 1)];
    // Two pairs hold the four doubles of a run.
    extremes.resize((runs.starts.size() - 1) * 2);
    const auto as_doubles = [](std::vector<Pair>& v) { return reinterpret_cast<double*>(v.data()); };
    double *low = as_doubles(extremes.low), *high = as_doubles(extremes.high);
    double *head_low = as_doubles(extremes.head_low), *head_high = as_doubles(extremes.head_high);
    const auto [from, to] = runs_needed(runs, first, last, runs_done);
    run_extremes_four(runs, from, to, padded, low, high, head_low, head_high);
    combine_runs_four(runs, n, first, last, rows, low, high, head_low, head_high, lo, hi);
}

// The integral c . x0 of the plain projection, the integral c . clamp(x0) of the plain projection
// clamped to the bounds, and the latter's slope in the multiplier lambda when x0 moves to
// x0 - lambda u; eight coefficients at a time, in eight partial sums each (a fixed order).
struct ClampedMass {
    double plain = 0.0, mass = 0.0, slope = 0.0;
};

SPANLET_SIMD_CLONES
ClampedMass clamped_mass(std::size_t n, const double* x0, const double* u, const double* c, const double* lo,
                         const double* hi, std::size_t mask) {
    const auto at = [](const double* v) -> const QuadAt& { return *reinterpret_cast<const QuadAt*>(v); };
    const Quad zero = {};
    Quad mass[2] = {zero, zero}, slope[2] = {zero, zero};
    Quad plain[2] = {zero, zero};
    std::size_t p = 0;
    for (; p + 8 <= n; p += 8)
        for (std::size_t k = 0; k < 2; ++k) {
            const std::size_t i = p + 4 * k;
            const Quad v = at(x0 + i), low = at(lo + (i & mask)), high = at(hi + (i & mask));
            const QuadBits below = v < low, above = v > high;
            const Quad clamped = below ? low : above ? high : v;
            mass[k] += at(c + i) * clamped;
            slope[k] -= (below | above) != 0 ? zero : at(c + i) * at(u + i);
            plain[k] += at(c + i) * v;
        }
    ClampedMass total;
    for (std::size_t k = 0; k < 2; ++k)
        for (std::size_t j = 0; j < 4; ++j)
            total.plain += plain[k][j], total.mass += mass[k][j], total.slope += slope[k][j];
    for (; p < n; ++p) {
        const double low = lo[p & mask], high = hi[p & mask];
        const bool below = x0[p] < low, above = x0[p] > high;
        total.plain += c[p] * x0[p];
        total.mass += c[p] * (below ? low : above ? high : x0[p]);
        total.slope -= below || above ? 0.0 : c[p] * u[p];
    }
    return total;
}

// Where the multiplier of the bounded answer lies, roughly: one Newton step from 0 towards the
// lambda whose x0 - lambda u, with u = G^-1 c the plain projection's answer to the multiplier,
// keeps the integral m0 once clamped to the bounds. The active set starts from the states of that
// vector: the coefficients that the integral pushes off (or onto) their bounds start free (or
// pinned), where the clamped plain projection would take an iteration, and a long solve, to find
// them. 0 (the clamped plain projection) when clamping keeps the integral or the step is not
// finite; whatever it returns, the iterations decide the answer. Sets m0 to c . x0.
double predicted_multiplier(std::size_t n, const double* x0, const double* u, const double* c, const double* lo,
                            const double* hi, std::size_t mask, double& m0) {
    const ClampedMass at = clamped_mass(n, x0, u, c, lo, hi, mask);
    m0 = at.plain;
    const double lambda = (at.mass - m0) / -at.slope;
    return at.slope < 0.0 && std::isfinite(lambda) ? lambda : 0.0;
}

// The sums a . c and b . c over the m coefficients listed in `free`, in four interleaved partial
// sums each, as interleaved_sum: position i of the list goes to sum i mod 4. Four listed
// coefficients that follow one another are read as one vector each, which puts each in the
// same sum.
struct MultiplierSums {
    double ab = 0.0, bb = 0.0;
};

SPANLET_SIMD_CLONES
MultiplierSums multiplier_sums(const std::size_t* free, std::size_t m, const double* a, const double* b,
                               const double* c) {
    const auto at = [](const double* v) -> const QuadAt& { return *reinterpret_cast<const QuadAt*>(v); };
    Quad ab = {}, bb = {};
    std::size_t i = 0;
    for (; i + 4 <= m; i += 4) {
        const std::size_t p = free[i];
        if (free[i + 3] - p == 3) {
            ab += at(a + p) * at(c + p);
            bb += at(b + p) * at(c + p);
            continue;
        }
        const std::size_t q = free[i + 1], r = free[i + 2], s = free[i + 3];
        const Quad cs = {c[p], c[q], c[r], c[s]};
        ab += Quad{a[p], a[q], a[r], a[s]} * cs;
        bb += Quad{b[p], b[q], b[r], b[s]} * cs;
    }
    for (std::size_t k = 0; i + k < m; ++k) {
        const std::size_t p = free[i + k];
        ab[k] += a[p] * c[p];
        bb[k] += b[p] * c[p];
    }
    return {(ab[0] + ab[1]) + (ab[2] + ab[3]), (bb[0] + bb[1]) + (bb[2] + bb[3])};
}

// What the test sweep reads: the bounds, the band by slot (slots[slot_at[t] + p] = G[p][p - b + t],
// 0 where nothing is stored, and whether it is stored at stored[p * (2 b + 1) + t]) and the
// coefficients as the free ones' new values left them.
struct SweepInputs {
    const double* y;
    const double* c;
    const double* d;
    const double* lo;
    const double* hi;
    std::size_t mask;  // of the bounds
    const double* x;
    const double* slots;
    const std::size_t* slot_at;
    const unsigned char* stored;
    std::size_t n, b;
    double lambda;
};

// (G x)[p] in the order of the stored entries: a term that is not stored adds +0 to a sum that
// starts at +0, which leaves it as it was.
inline double stored_product(const SweepInputs& in, std::size_t p) {
    const std::size_t b = in.b, width = 2 * b + 1;
    const std::size_t t0 = p < b ? b - p : 0, t1 = std::min(width, in.n + b - p);
    const unsigned char* stored = in.stored + p * width;
    double sum = 0.0;
    for (std::size_t t = t0; t < t1; ++t) sum += stored[t] ? in.slots[in.slot_at[t] + p] * in.x[p + t - b] : 0.0;
    return sum;
}

// The optimality test of one coefficient, gx = (G x)[p]; with lo == hi it sits at its lower bound
// whatever the gradient.
inline State next_state(State now, double y, double gx, double lambda, double c, double d, double x, double lo,
                        double hi) {
    if (lo == hi) return State::Lower;
    const double g = now != State::Free ? y - gx - lambda * c : 0.0;
    if (g + d * (x - hi) > 0.0) return State::Upper;
    if (!(g + d * (x - lo) < 0.0)) return State::Free;
    return State::Lower;
}

// The test of coefficient p from its product gx: the new state, whether it moved and whether it
// is free; nonzero when it moved.
inline unsigned char test_one(const SweepInputs& in, std::size_t p, double gx, State* state, unsigned char* recent,
                              unsigned char* free_mask) {
    const State next =
        next_state(state[p], in.y[p], gx, in.lambda, in.c[p], in.d[p], in.x[p], in.lo[p & in.mask], in.hi[p & in.mask]);
    recent[p] = static_cast<unsigned char>(next != state[p]);
    free_mask[p] = static_cast<unsigned char>(next == State::Free);
    state[p] = next;
    return recent[p];
}

// Free coefficients in [begin, end) take a - lambda b.
SPANLET_SIMD_CLONES
void take_free(const unsigned char* __restrict free_mask, const double* __restrict a, const double* __restrict b,
               double lambda, double* __restrict x, std::size_t begin, std::size_t end) {
    const Quad lambdas = {lambda, lambda, lambda, lambda};
    std::size_t q = begin;
    for (; q + 4 <= end; q += 4) {
        // The four mask bytes in one word, each tested in its own lane.
        std::uint32_t word;
        std::memcpy(&word, free_mask + q, sizeof word);
        const QuadBits words = {word, word, word, word}, byte = {0xFF, 0xFF00, 0xFF0000, 0xFF000000};
        const QuadBits is_free = (words & byte) != 0;
        QuadAt& to = *reinterpret_cast<QuadAt*>(x + q);
        const Quad value = *reinterpret_cast<const QuadAt*>(a + q) - lambdas * *reinterpret_cast<const QuadAt*>(b + q);
        to = is_free ? value : to;
    }
    for (; q < end; ++q)
        if (free_mask[q] != 0) x[q] = a[q] - lambda * b[q];
}

// The tests of the 4 L coefficients from p, each at least b from either end of the matrix, as
// test_interior describes them; `moved` gathers the lanes whose state moved. Nonzero when a state
// moved in the tests of a sum that came out non-finite.
template <std::size_t L>
SPANLET_ALWAYS_INLINE unsigned char test_group(const SweepInputs& in, std::size_t p, State* __restrict state,
                                               unsigned char* __restrict recent, unsigned char* __restrict free_mask,
                                               QuadBits& moved) {
    constexpr std::size_t STEP = 4 * L;
    const std::size_t b = in.b, width = 2 * b + 1;
    const Quad lambda = {in.lambda, in.lambda, in.lambda, in.lambda};
    const Quad zero = {};
    const QuadBits one = {1, 1, 1, 1}, two = {2, 2, 2, 2};
    const auto at = [](const double* v) -> const QuadAt& { return *reinterpret_cast<const QuadAt*>(v); };
    Quad sum[L];
    for (std::size_t k = 0; k < L; ++k) sum[k] = zero;
    // A free coefficient's test reads no product: a group of free ones takes none.
    std::uint32_t states[L];
    std::memcpy(states, state + p, sizeof states);
    static_assert(static_cast<unsigned char>(State::Free) == 0);
    std::uint32_t pinned = 0;
    for (std::size_t k = 0; k < L; ++k) pinned |= states[k];
    const bool all_free = pinned == 0;
    if (all_free) {
        // With g = 0 the tests read x, its bounds and d alone: when all of them stay free, only
        // `recent` changes. d is a diagonal entry of a positive definite matrix (or 1), so
        // d (x - hi) > 0 needs x > hi and d (x - lo) < 0 needs x < lo: coefficients inside their
        // bounds stay free without reading d.
        QuadBits leaves = {};
        for (std::size_t k = 0; k < L; ++k) {
            const std::size_t i = p + 4 * k;
            const Quad x = at(in.x + i), lo = at(in.lo + (i & in.mask)), hi = at(in.hi + (i & in.mask));
            leaves |= (lo == hi) | (x > hi) | (x < lo);
        }
        if ((leaves[0] | leaves[1] | leaves[2] | leaves[3]) != 0) {
            leaves = QuadBits{};
            for (std::size_t k = 0; k < L; ++k) {
                const std::size_t i = p + 4 * k;
                const Quad x = at(in.x + i), lo = at(in.lo + (i & in.mask)), hi = at(in.hi + (i & in.mask));
                const Quad d = at(in.d + i);
                leaves |= (lo == hi) | (d * (x - hi) > zero) | (d * (x - lo) < zero);
            }
        }
        if ((leaves[0] | leaves[1] | leaves[2] | leaves[3]) == 0) {
            std::memset(recent + p, 0, STEP);
            return 0;
        }
    }
    const double* window = in.x + (p - b);  // p >= b
    for (std::size_t t = 0; t < width && !all_free; ++t) {
        const double* slot = in.slots + in.slot_at[t] + p;
        for (std::size_t k = 0; k < L; ++k) sum[k] += at(slot + 4 * k) * at(window + t + 4 * k);
    }
    QuadBits finite = {-1, -1, -1, -1};
    for (std::size_t k = 0; k < L; ++k) finite &= sum[k] - sum[k] == zero;
    if (!(finite[0] & finite[1] & finite[2] & finite[3])) {
        unsigned char any = 0;
        for (std::size_t i = p; i < p + STEP; ++i) any |= test_one(in, i, stored_product(in, i), state, recent, free_mask);
        return any;
    }
    for (std::size_t k = 0; k < L; ++k) {
        const std::size_t i = p + 4 * k;
        // The four state bytes in one word, each shifted down into its own lane.
        const QuadBits words = {states[k], states[k], states[k], states[k]}, shift = {0, 8, 16, 24};
        const QuadBits now = (words >> shift) & 0xFF;
        QuadBytes bytes;
        const Quad x = at(in.x + i), lo = at(in.lo + (i & in.mask)), hi = at(in.hi + (i & in.mask));
        const Quad d = at(in.d + i);
        const Quad g = now != 0 ? at(in.y + i) - sum[k] - lambda * at(in.c + i) : zero;
        const QuadBits up = g + d * (x - hi) > zero;
        const QuadBits down = g + d * (x - lo) < zero;
        const QuadBits equal = lo == hi;
        const QuadBits next = ((equal | (~up & down)) & one) | (~equal & up & two);
        // The state, whether it moved and whether it is free in the low three bytes of each lane,
        // narrowed once and spread to the three arrays.
        const QuadBits packed = next | (((next != now) & one) << 8) | (((next == 0) & one) << 16);
        const Bytes16 narrow = reinterpret_cast<Bytes16>(__builtin_convertvector(packed, Words));
        bytes = __builtin_shufflevector(narrow, narrow, 0, 4, 8, 12);
        std::memcpy(state + i, &bytes, sizeof bytes);
        bytes = __builtin_shufflevector(narrow, narrow, 1, 5, 9, 13);
        std::memcpy(recent + i, &bytes, sizeof bytes);
        bytes = __builtin_shufflevector(narrow, narrow, 2, 6, 10, 14);
        std::memcpy(free_mask + i, &bytes, sizeof bytes);
        moved |= next != now;
    }
    return 0;
}

// The tests of coefficients [begin, end), each at least b from either end of the matrix, sixteen
// at a time, then four. (G x)[p] takes the whole band row in the order of its slots: a slot that
// holds no entry adds 0 x[q] = +-0 for a finite x[q], which leaves a sum that starts at +0 as it
// was, so the sum is the stored entries' whenever it comes out finite; a non-finite one is formed
// again from the stored entries alone. Four independent sums keep the adders busy across the chain
// of a band row. Nonzero when some state moved.
SPANLET_SIMD_CLONES
unsigned char test_interior(const SweepInputs& in, std::size_t begin, std::size_t end, State* __restrict state,
                            unsigned char* __restrict recent, unsigned char* __restrict free_mask) {
    QuadBits moved = {};
    unsigned char any = 0;
    std::size_t p = begin;
    for (; p + 16 <= end; p += 16) any |= test_group<4>(in, p, state, recent, free_mask, moved);
    for (; p + 4 <= end; p += 4) any |= test_group<1>(in, p, state, recent, free_mask, moved);
    for (std::size_t k = 0; k < 4; ++k) any |= moved[k] != 0 ? 1 : 0;
    for (; p < end; ++p) any |= test_one(in, p, stored_product(in, p), state, recent, free_mask);
    return any;
}

// The sum of v[0 .. count - 1] in four interleaved partial sums, combined at the end: a fixed
// order (the same bits for the same values) without one long chain of additions.
inline double interleaved_sum(const double* v, std::size_t count) {
    double part[4] = {0.0, 0.0, 0.0, 0.0};
    std::size_t i = 0;
    for (; i + 4 <= count; i += 4)
        for (std::size_t k = 0; k < 4; ++k) part[k] += v[i + k];
    for (; i < count; ++i) part[i - (count & ~std::size_t{3})] += v[i];
    return (part[0] + part[1]) + (part[2] + part[3]);
}

// Bit p of `equal` (64 to a word, from bit 0 of word 0) set where lo[p] == hi[p], for p in
// [first, last); the other bits kept. Four at a time, while the bounds are in cache.
SPANLET_SIMD_CLONES
void mark_equal_bounds(const double* lo, const double* hi, std::size_t first, std::size_t last, std::uint64_t* equal) {
    const auto at = [](const double* v) -> const QuadAt& { return *reinterpret_cast<const QuadAt*>(v); };
    for (std::size_t p = first; p < last;) {
        const std::size_t word = p / 64, stop = std::min(last, (word + 1) * 64);
        std::uint64_t set = 0, mask = 0;
        if (p % 64 == 0 && stop - p == 64) {
            // Lane j gathers the bits of p + j, p + j + 4, ...: one vector of bits for the word.
            QuadBits bits = {}, bit = {1, 2, 4, 8};
            for (std::size_t k = 0; k < 64; k += 4) {
                bits |= (at(lo + p + k) == at(hi + p + k)) & bit;
                bit <<= 4;
            }
            set = static_cast<std::uint64_t>(bits[0] | bits[1] | bits[2] | bits[3]);
            mask = ~std::uint64_t{0};
            p = stop;
        } else {
            for (; p < stop; ++p) {
                const std::uint64_t bit = std::uint64_t{1} << (p % 64);
                mask |= bit;
                set |= lo[p] == hi[p] ? bit : 0;
            }
        }
        equal[word] = (equal[word] & ~mask) | set;
    }
}

// The first p >= from with bit p of `bits` equal to `value`, or n where there is none below n.
inline std::size_t next_bit(const std::uint64_t* bits, std::size_t from, std::size_t n, bool value) {
    if (from >= n) return n;
    const std::uint64_t flip = value ? 0 : ~std::uint64_t{0};
    std::size_t word = from / 64;
    std::uint64_t found = (bits[word] ^ flip) & (~std::uint64_t{0} << (from % 64));
    while (found == 0) {
        if (++word * 64 >= n) return n;
        found = bits[word] ^ flip;
    }
    return std::min(n, word * 64 + static_cast<std::size_t>(std::countr_zero(found)));
}

// The stretches between runs of at least MIN_PINNED_RUN coefficients with equal bounds (bit p of
// `equal` set), which the test sweeps take while passing over those runs: a coefficient with
// equal bounds sits at its lower bound from the start and never moves. True when every one of
// the n coefficients has equal bounds.
bool sweep_segments(const std::uint64_t* equal, std::size_t n, std::vector<std::pair<std::size_t, std::size_t>>& segments) {
    segments.clear();
    bool all_equal = true;
    std::size_t begin = 0;  // of the segment being gathered
    for (std::size_t p = 0; p < n;) {
        const std::size_t run_begin = next_bit(equal, p, n, true);
        all_equal = all_equal && run_begin == p;
        if (run_begin == n) break;
        const std::size_t run_end = next_bit(equal, run_begin, n, false);
        if (run_end - run_begin >= MIN_PINNED_RUN) {
            if (begin < run_begin) segments.emplace_back(begin, run_begin);
            begin = run_end;
        }
        p = run_end;
    }
    if (begin < n) segments.emplace_back(begin, n);
    return all_equal;
}

// Lists the free coefficients (free_mask set) in ascending order; returns how many.
inline std::size_t list_free(const unsigned char* free_mask, std::size_t n, std::size_t* free) {
    constexpr std::uint64_t ALL = 0x0101010101010101;
    std::size_t m = 0, p = 0;
    for (; p + 8 <= n; p += 8) {
        std::uint64_t bytes;
        std::memcpy(&bytes, free_mask + p, sizeof bytes);
        if (bytes == 0) continue;
        if (bytes == ALL) {
            for (std::size_t i = 0; i < 8; ++i) free[m + i] = p + i;
            m += 8;
            continue;
        }
        for (std::size_t i = p; i < p + 8; ++i) {
            free[m] = i;
            m += free_mask[i];
        }
    }
    for (; p < n; ++p) {
        free[m] = p;
        m += free_mask[p];
    }
    return m;
}

// Whether 64 coefficients are all free and none moved in the last test.
inline bool quiet_and_free(const State* state, const unsigned char* recent) {
    std::uint64_t states[8], moved[8];
    std::memcpy(states, state, sizeof states);
    std::memcpy(moved, recent, sizeof moved);
    std::uint64_t any = 0;
    for (std::size_t i = 0; i < 8; ++i) any |= states[i] | moved[i];
    return any == 0;
}

// Whether none of `count` coefficients moved in the last test.
inline bool quiet(const unsigned char* recent, std::size_t count) {
    std::uint64_t any = 0;
    std::size_t i = 0;
    for (; i + 8 <= count; i += 8) {
        std::uint64_t word;
        std::memcpy(&word, recent + i, sizeof word);
        any |= word;
    }
    for (; i < count; ++i) any |= recent[i];
    return any == 0;
}

// The end of the stretch of v (strictly ascending) that starts at `from`: the first k > from with
// k == count or v[k] - v[k - 1] > most. Sixteen steps at once where their sum shows that none can
// be over (every step is at least 1, so one over most makes the sum at least most + 16), then
// four at a time.
SPANLET_SIMD_CLONES
std::size_t stretch_end(const std::size_t* v, std::size_t from, std::size_t count, std::size_t most) {
    using Steps = std::uint64_t __attribute__((vector_size(32), aligned(8)));
    static_assert(sizeof(std::size_t) == sizeof(std::uint64_t));
    const auto at = [](const std::size_t* p) -> const Steps& { return *reinterpret_cast<const Steps*>(p); };
    const Steps limit = {most, most, most, most};
    constexpr std::size_t MANY = 16;
    std::size_t k = from + 1;
    while (k + MANY <= count && v[k + MANY - 1] - v[k - 1] < most + MANY) k += MANY;
    for (; k + 4 <= count; k += 4) {
        const Steps over = at(v + k) - at(v + k - 1) > limit;
        if ((over[0] | over[1] | over[2] | over[3]) != 0) break;
    }
    while (k < count && v[k] - v[k - 1] <= most) ++k;
    return k;
}

// The start of the active set for a narrow band: a coefficient with equal bounds at its lower
// bound (where it stays), one whose start value x0 - lambda u (x0 itself when lambda is 0) lies
// beyond a bound at that bound, the others free; x takes the bounds of the pinned ones and x0
// elsewhere; the terms c x are those of the pinned ones and +0 for the free, kept in `terms`
// unless it is null. Four coefficients at a time, as test_interior; four whose bounds are all
// equal (bits of `equal`, as mark_equal_bounds) take their lower bound without reading x0, u or
// the upper bounds, as local bounds of long flat stretches of data make most of them. Returns the
// sum of the terms, as interleaved_sum.
SPANLET_SIMD_CLONES
double start_states(std::size_t n, const double* __restrict x0, const double* __restrict u, double lambda,
                    const double* __restrict lo, const double* __restrict hi, std::size_t mask,
                    const std::uint64_t* __restrict equal, const double* __restrict c,
                    State* __restrict state, unsigned char* __restrict free_mask, double* __restrict x,
                    double* __restrict terms) {
    const auto at = [](const double* v) -> const QuadAt& { return *reinterpret_cast<const QuadAt*>(v); };
    const Quad lambdas = {lambda, lambda, lambda, lambda};
    const QuadBits one = {1, 1, 1, 1}, two = {2, 2, 2, 2};
    const bool shifted = lambda != 0.0;
    Quad sum = {};  // part k of interleaved_sum in lane k
    std::size_t p = 0;
    for (; p + 4 <= n; p += 4) {
        if (((equal[p / 64] >> (p % 64)) & 0xF) == 0xF) {
            const Quad low = at(lo + (p & mask));
            *reinterpret_cast<QuadAt*>(x + p) = low;
            const Quad term = at(c + p) * low;
            if (terms != nullptr) *reinterpret_cast<QuadAt*>(terms + p) = term;
            sum += term;
            std::memset(state + p, static_cast<unsigned char>(State::Lower), 4);
            std::memset(free_mask + p, 0, 4);
            continue;
        }
        const Quad v = at(x0 + p), low = at(lo + (p & mask)), high = at(hi + (p & mask));
        const Quad start = shifted ? v - lambdas * at(u + p) : v;
        const QuadBits equal = low == high, up = start > high, down = start < low;
        const QuadBits next = ((equal | (~up & down)) & one) | (~equal & up & two);
        const Quad value = next == two ? high : next == one ? low : v;
        *reinterpret_cast<QuadAt*>(x + p) = value;
        const Quad term = next == 0 ? Quad{} : at(c + p) * value;
        if (terms != nullptr) *reinterpret_cast<QuadAt*>(terms + p) = term;
        sum += term;
        // As in test_interior: narrowed once, spread to the two arrays.
        const QuadBits packed = next | (((next == 0) & one) << 8);
        const Bytes16 narrow = reinterpret_cast<Bytes16>(__builtin_convertvector(packed, Words));
        QuadBytes bytes = __builtin_shufflevector(narrow, narrow, 0, 4, 8, 12);
        std::memcpy(state + p, &bytes, sizeof bytes);
        bytes = __builtin_shufflevector(narrow, narrow, 1, 5, 9, 13);
        std::memcpy(free_mask + p, &bytes, sizeof bytes);
    }
    for (; p < n; ++p) {
        const double start = shifted ? x0[p] - lambda * u[p] : x0[p];
        const double low = lo[p & mask], high = hi[p & mask];
        const State next = low == high   ? State::Lower
                           : start > high ? State::Upper
                           : start < low  ? State::Lower
                                          : State::Free;
        state[p] = next;
        x[p] = next == State::Upper ? high : next == State::Lower ? low : x0[p];
        free_mask[p] = next == State::Free ? 1 : 0;
        const double term = next == State::Free ? 0.0 : c[p] * x[p];
        if (terms != nullptr) terms[p] = term;
        sum[p % 4] += term;
    }
    return (sum[0] + sum[1]) + (sum[2] + sum[3]);
}

constexpr std::size_t NO_BLOCK = ~std::size_t{0};

// Buffers of the bounded refinement, sized by the target space and reused from row to row.
struct RefinementBuffers {
    std::vector<double> cross_rows, lo, hi;  // K f and the bounds for a group of rows
    std::vector<double> plain, a, b;  // plain: the plain projections of the group
    RunExtremes run_extremes;
    std::vector<State> state;
    std::vector<std::int64_t> position;
    std::vector<std::size_t> free;
    Csr sub;
    BandedCholesky factor;
    // For a narrow band: the rows of the free blocks, kept from one solve to the next; moved[p]:
    // the state of p changed since the last solve; free_mask[p]: p is free.
    BandBlocks blocks;
    std::vector<BandBlocks::Block> block_list;
    std::vector<std::size_t> order;
    std::vector<unsigned char> moved, free_mask;
    // For a narrow band: changes, the coefficients with moved set, ascending unless several tests
    // ran between two solves; recent[p]: the state of p changed in the last test.
    std::vector<std::size_t> changes;
    std::vector<unsigned char> recent;
    // The stretches [first, second) between those of coefficients with equal bounds long enough
    // for the test sweep to pass over.
    std::vector<std::pair<std::size_t, std::size_t>> segments;
    // The mass c . lo of the stretches before each segment and after the last, which never
    // changes; and room for the terms of a sum.
    std::vector<double> gap_mass, terms;
    // Bit p of row j's words: coefficient p of row j has equal bounds (row 0 alone for bounds
    // that every row shares).
    std::vector<std::uint64_t> equal;
    // What the last test sweep of a row settled, piece by piece (the pieces are the same in every
    // sweep of a row): the mass it added and where its free coefficients start in the list.
    std::vector<double> piece_mass;
    std::vector<std::size_t> piece_free;
};

// The bounded refinement of one row: the least-squares coefficients kept inside their bounds
// with the integral of the plain projection preserved, by an active-set method on
// G x = y - lambda c.
class RowRefinement {
public:
    // band: the Gram matrix as a dense band when its half-bandwidth is at most MAX_BLOCK_BANDWIDTH,
    // else null.
    // lo, hi, bound_mask: the bounds of the coefficients (EACH_BOUND or SHARED_BOUND).
    // response: G^-1 c, the plain projection's answer to the integral multiplier.
    // equal: bit p (64 to a word) set where lo[p] == hi[p], as mark_equal_bounds; read with a band.
    RowRefinement(const Csr& gram, const std::vector<double>& diagonal, const DenseBand* band,
                  const std::vector<double>& integrals, const std::vector<double>& response, const double* lo,
                  const double* hi, std::size_t bound_mask, const std::uint64_t* equal, RefinementBuffers& buffers)
        : gram_(gram), d_(diagonal), band_(band != nullptr ? band->bandwidth : NO_BLOCK), dense_(band), c_(integrals),
          u_(response), n_(gram.nrows), lo_(lo), hi_(hi), mask_(bound_mask), equal_(equal), w_(buffers) {
        w_.state.resize(n_);
        w_.position.resize(n_);
        if (band_ != NO_BLOCK) {
            w_.blocks.resize(band_, n_);
            w_.blocks.set_band(band->rows.data(), band->factor_rows.empty() ? nullptr : band->factor_rows.data());
            w_.moved.assign(n_, 0);
            w_.free_mask.resize(n_);
            w_.changes.clear();
            w_.changes.reserve(n_);
            w_.recent.resize(n_);
            w_.free.resize(n_);
        }
    }

    // y: the cross products K f; x0: the plain projection; x: the bounded one. The active set
    // starts from the states the predicted multiplier gives, and again from the clamped plain
    // projection's should that not settle.
    void refine(const double* y, const double* x0, double* x) {
        x0_ = x0;
        x_ = x;
        if (band_ != NO_BLOCK) w_.blocks.set_band_sides(y, c_.data());
        double m0 = 0.0;  // the integral to keep
        const double lambda = predicted_multiplier(n_, x0, u_.data(), c_.data(), lo_, hi_, mask_, m0);
        if (!(lambda != 0.0 && settle_from(y, m0, lambda)) && !settle_from(y, m0, 0.0)) fallback();
    }

private:
    // The active set from the states of x0 - lambda u.
    bool settle_from(const double* y, double m0, double lambda) {
        if (band_ == NO_BLOCK) return active_set(y, m0, lambda);
        if (started_) {
            // Nothing is kept from an earlier start.
            w_.blocks.resize(band_, n_);
            for (std::size_t q : w_.changes) w_.moved[q] = 0;
            w_.changes.clear();
            changes_sorted_ = true;
        }
        started_ = true;
        return active_set_blocks(y, m0, lambda);
    }

    // Coefficient p starts at the bound that x0_p - lambda u_p lies beyond, else free.
    State start_state(std::size_t p, double lambda) const {
        const double start = lambda != 0.0 ? x0_[p] - lambda * u_[p] : x0_[p];
        return start > hi(p) ? State::Upper : start < lo(p) ? State::Lower : State::Free;
    }

    // Moves coefficients between free and pinned at a bound until the state settles; true with
    // the solution in x_, false when it does not settle (or a free sub-system is singular).
    // For any Gram matrix: a sparse factorisation of each free sub-system.
    // m0: the integral to keep; lambda: the multiplier that sets the start states.
    bool active_set(const double* y, double m0, double lambda) {
        bool all_pinned = true;
        for (std::size_t p = 0; p < n_; ++p) {
            all_pinned = all_pinned && lo(p) == hi(p);
            const State now = start_state(p, lambda);
            x_[p] = now == State::Upper ? hi(p) : now == State::Lower ? lo(p) : x0_[p];
            w_.state[p] = now;
        }
        for (int iteration = 0; iteration < MAX_ACTIVE_SET_ITERATIONS; ++iteration) {
            // Without a free coefficient that carries mass the multiplier is undetermined and the
            // integral is not enforced, so a settled state of that kind is not a solution unless
            // nothing can move.
            bool mass_enforced = all_pinned;
            pin_and_index();
            double lambda = 0.0;
            if (!w_.free.empty()) {
                if (!solve_free(y)) return false;
                set_free(m0, lambda);
                mass_enforced = mass_enforced || determined_;
            }
            if (!update_states(y, lambda)) return mass_enforced;
        }
        return false;
    }

    // Pinned coefficients take their bound; free ones are listed, w_.position maps them back.
    void pin_and_index() {
        // Local pointers: stores through State and byte pointers may alias any vector's storage,
        // which would reload every data pointer per coefficient.
        const State* state = w_.state.data();
        const double* lo = lo_;
        const double* hi = hi_;
        const std::size_t mask = mask_;
        double* x = x_;
        std::int64_t* position = w_.position.data();
        w_.free.resize(n_);
        std::size_t* free = w_.free.data();
        std::size_t m = 0;
        for (std::size_t p = 0; p < n_; ++p) {
            if (state[p] == State::Lower) x[p] = lo[p & mask];
            if (state[p] == State::Upper) x[p] = hi[p & mask];
            const bool is_free = state[p] == State::Free;
            position[p] = is_free ? static_cast<std::int64_t>(m) : -1;
            free[m] = p;
            m += is_free ? 1 : 0;
        }
        w_.free.resize(m);
    }

    // Solves G_FF a = y_F - G_FP x_P and G_FF b = c_F into w_.a and w_.b by free position. False
    // when G_FF is singular.
    bool solve_free(const double* y) {
        const std::size_t m = w_.free.size();
        w_.sub.nrows = w_.sub.ncols = m;
        w_.sub.indptr.assign(1, 0);
        w_.sub.indices.clear();
        w_.sub.data.clear();
        w_.a.assign(m, 0.0);
        w_.b.assign(m, 0.0);
        for (std::size_t i = 0; i < m; ++i) {
            const std::size_t p = w_.free[i];
            const Csr::Row row = gram_.row(p);
            double rhs = y[p];
            for (std::size_t e = 0; e < row.size; ++e) {
                const std::uint64_t q = row.indices[e];
                if (w_.position[q] >= 0) {
                    w_.sub.indices.push_back(static_cast<std::uint64_t>(w_.position[q]));
                    w_.sub.data.push_back(row.values[e]);
                } else {
                    rhs -= row.values[e] * x_[q];
                }
            }
            w_.sub.indptr.push_back(w_.sub.indices.size());
            w_.a[i] = rhs;
            w_.b[i] = c_[p];
        }
        if (!w_.factor.assign(w_.sub)) return false;
        w_.factor.solve_in_place(w_.a.data(), w_.b.data());
        return true;
    }

    // The active set for a Gram matrix of half-bandwidth b <= MAX_BLOCK_BANDWIDTH: the same states
    // and values as active_set, with the per-coefficient passes fused into one test sweep per
    // iteration and the solves confined to the free blocks near a change.
    bool active_set_blocks(const double* y, double m0, double lambda0) {
        const double* lo = lo_;
        const double* hi = hi_;
        const double* x0 = x0_;
        double* x = x_;
        State* state = w_.state.data();
        unsigned char* free_mask = w_.free_mask.data();
        std::size_t* free = w_.free.data();
        const double* c = c_.data();
        std::vector<std::pair<std::size_t, std::size_t>>& segments = w_.segments;
        const bool all_pinned = sweep_segments(equal_, n_, segments);
        w_.terms.resize(n_);
        double* terms = w_.terms.data();
        // The terms are read for the gaps between the segments alone.
        std::size_t in_segments = 0;
        for (const auto& [begin, end] : segments) in_segments += end - begin;
        // s_fixed: c . x over the pinned coefficients (+0 adds nothing to a sum that starts at +0).
        double s_fixed = start_states(n_, x0, u_.data(), lambda0, lo, hi, mask_, equal_, c, state, free_mask, x,
                                      in_segments < n_ ? terms : nullptr);
        std::size_t m = list_free(free_mask, n_, free);
        w_.gap_mass.clear();
        std::size_t gap = 0;
        // The gaps hold coefficients with equal bounds, whose terms are c lo already.
        const auto add_gap = [&](std::size_t end) { w_.gap_mass.push_back(interleaved_sum(terms + gap, end - gap)); };
        for (const auto& [begin, end] : segments) {
            add_gap(begin);
            gap = end;
        }
        add_gap(n_);
        bool fresh = true;  // no block is solved yet
        pieces_settled_ = false;
        for (int iteration = 0; iteration < MAX_ACTIVE_SET_ITERATIONS; ++iteration) {
            // Without a free coefficient that carries mass the multiplier is undetermined and the
            // integral is not enforced, so a settled state of that kind is not a solution unless
            // nothing can move.
            bool mass_enforced = all_pinned;
            double lambda = 0.0;
            if (m > 0) {
                if (!solve_changed_blocks(y, m, fresh)) return false;
                fresh = false;
                lambda = multiplier(m, m0, s_fixed);
                mass_enforced = mass_enforced || determined_;
            }
            if (!test_sweep(y, lambda, m, s_fixed)) return mass_enforced;
        }
        return false;
    }

    // lambda with a - lambda b over the m free coefficients keeping the integral m0.
    double multiplier(std::size_t m, double m0, double s_fixed) {
        const MultiplierSums sums = multiplier_sums(w_.free.data(), m, w_.blocks.first_solutions(),
                                                    w_.blocks.second_solutions(), c_.data());
        const double s_ab = sums.ab, s_bb = sums.bb;
        determined_ = !(s_bb == 0.0 || std::isnan(s_bb));
        return determined_ ? (s_ab + s_fixed - m0) / s_bb : 0.0;
    }

    // One sweep over the coefficients, in passes over short stretches: the free ones take
    // a - lambda b (b ahead of the tests, which read them), every one takes the optimality test,
    // and once no later test reads them (b behind) the coefficients just pinned take their bound.
    // Stretches with equal bounds are passed over: they sit at their lower bound and never move.
    // Lists the new free set (m of them) and sums c . x over the new pinned set in index order;
    // true when a state changed. Every array is reached through a local pointer: byte stores may
    // alias anything else.
    bool test_sweep(const double* y, double lambda, std::size_t& m, double& s_fixed) {
        // Short enough that a stretch's values stay in the first-level cache from pass to pass.
        constexpr std::size_t STRETCH = 128;
        const std::size_t b = band_, n = n_;
        const double* lo = lo_;
        const double* hi = hi_;
        const double* c = c_.data();
        const double* a_free = w_.blocks.first_solutions();
        const double* b_free = w_.blocks.second_solutions();
        double* x = x_;
        State* state = w_.state.data();
        unsigned char* free_mask = w_.free_mask.data();
        unsigned char* moved = w_.moved.data();
        unsigned char* recent = w_.recent.data();
        std::size_t* free = w_.free.data();
        std::vector<std::size_t>& changes = w_.changes;
        const std::size_t mask = mask_;
        const SweepInputs in{y, c, d_.data(), lo, hi, mask, x, dense_->slots.data(), dense_->slot_at.data(),
                             dense_->stored.data(), n, b, lambda};
        const bool listed_before = !changes.empty();
        unsigned char changed = 0;
        double s_next = 0.0;
        std::size_t m_next = 0;
        // Pinned coefficients that moved take their bound; the free list and the sum.
        // At most one short piece for each call of settle (below), and one more entry at the end.
        const std::size_t most_pieces = n / 64 + n / STRETCH + w_.segments.size() + 2;
        if (w_.piece_free.size() < most_pieces) {
            w_.piece_free.resize(most_pieces);
            w_.piece_mass.resize(most_pieces);
        }
        const bool settled_before = pieces_settled_;
        std::size_t piece = 0;
        const auto settle = [&](std::size_t from, std::size_t to) {
            // The pinned ones' mass is listed first and summed after, in interleaved sums.
            constexpr std::size_t PIECE = 64;
            double mass[PIECE];
            for (std::size_t start = from; start < to; start += PIECE, ++piece) {
                const std::size_t stop = std::min(start + PIECE, to);
                if (settled_before && quiet(recent + start, stop - start)) {
                    // The states of the last sweep: its mass, and its free coefficients, which
                    // are listed where they were unless a change before moved them.
                    const std::size_t listed = w_.piece_free[piece], count = w_.piece_free[piece + 1] - listed;
                    w_.piece_free[piece] = m_next;
                    if (listed != m_next) {
                        for (std::size_t p = start; p < stop; ++p) {
                            free[m_next] = p;
                            m_next += state[p] == State::Free ? 1 : 0;
                        }
                    } else if (count > 0) {
                        // The pieces before write one past their last free coefficient, over the
                        // first one of this piece.
                        std::size_t p = start;
                        while (state[p] != State::Free) ++p;
                        free[m_next] = p;
                        m_next += count;
                    }
                    s_next += w_.piece_mass[piece];
                    continue;
                }
                w_.piece_free[piece] = m_next;
                if (stop - start == PIECE && quiet_and_free(state + start, recent + start)) {
                    for (std::size_t p = start; p < stop; ++p) free[m_next++] = p;
                    w_.piece_mass[piece] = 0.0;
                    continue;
                }
                std::size_t pinned = 0;
                for (std::size_t p = start; p < stop; ++p) {
                    const State now = state[p];
                    const double bound = now == State::Upper ? hi[p & mask] : lo[p & mask];
                    if (recent[p] != 0) {
                        if (now != State::Free) x[p] = bound;
                        if (moved[p] == 0) {
                            moved[p] = 1;
                            changes.push_back(p);  // within the capacity of n reserved
                        }
                    }
                    const bool is_free = now == State::Free;
                    free[m_next] = p;
                    m_next += is_free ? 1 : 0;
                    mass[pinned] = c[p] * bound;
                    pinned += is_free ? 0 : 1;
                }
                w_.piece_mass[piece] = interleaved_sum(mass, pinned);
                s_next += w_.piece_mass[piece];
            }
        };
        const std::size_t interior_begin = b, interior_end = n - std::min(n, b);
        const double* gap_mass = w_.gap_mass.data();
        for (const auto& [begin, end] : w_.segments) {
            s_next += *gap_mass++;
            take_free(free_mask, a_free, b_free, lambda, x, begin, std::min(begin + b, end));
            std::size_t settled = begin;
            for (std::size_t s = begin; s < end; s += STRETCH) {
                const std::size_t e = std::min(s + STRETCH, end);
                take_free(free_mask, a_free, b_free, lambda, x, std::min(s + b, end), std::min(e + b, end));
                // Within b of either end of the matrix a product takes only the stored entries.
                const std::size_t first = std::clamp(interior_begin, s, e), last = std::clamp(interior_end, first, e);
                for (std::size_t p = s; p < first; ++p)
                    changed |= test_one(in, p, stored_product(in, p), state, recent, free_mask);
                if (first < last) changed |= test_interior(in, first, last, state, recent, free_mask);
                for (std::size_t p = last; p < e; ++p)
                    changed |= test_one(in, p, stored_product(in, p), state, recent, free_mask);
                const std::size_t done = e == end ? end : std::max(settled, e > b ? e - b : 0);
                settle(settled, done);
                settled = done;
            }
        }
        s_next += *gap_mass;
        w_.piece_free[piece] = m_next;
        pieces_settled_ = true;
        if (listed_before && changed != 0) changes_sorted_ = false;
        m = m_next;
        s_fixed = s_next;
        return changed != 0;
    }

    // Solves G_FF a = y_F - G_FP x_P and G_FF b = c_F for the free set (its m coefficients in
    // w_.free) in the blocks' solutions. Free coefficients further than b apart share no entry, so
    // the free set falls into independent blocks, solved several at a time. The entries and
    // right-hand side of a row depend only on the states within b of its coefficient, and its
    // factor and forward substitution on no later row: each block keeps the rows of the last
    // solve before its first coefficient with a state change within b, and a block without one
    // keeps its solution. fresh: nothing is kept. False when a block is singular.
    bool solve_changed_blocks(const double* y, std::size_t m, bool fresh) {
        const std::size_t b = band_;
        const std::size_t* free = w_.free.data();
        std::vector<std::size_t>& changes = w_.changes;
        if (!changes_sorted_) std::sort(changes.begin(), changes.end());
        changes_sorted_ = true;
        const std::size_t* moved = changes.data();
        const std::size_t n_moved = changes.size();
        w_.block_list.clear();
        std::size_t j = 0;  // the first change that can reach the current block or a later one
        for (std::size_t i = 0; i < m;) {
            const std::size_t last = stretch_end(free, i, m, b) - 1;
            BandBlocks::Block block{free[i], free[last] + 1, free[last] + 1};
            if (fresh) {
                block.from = block.begin;
            } else {
                while (j < n_moved && moved[j] + b < free[i]) ++j;
                // The first member within b of a change: members and changes both ascend, so the
                // first change with a member within b has the first such member.
                for (std::size_t jj = j; jj < n_moved && moved[jj] <= free[last] + b; ++jj) {
                    const std::size_t lowest = moved[jj] > b ? moved[jj] - b : 0;
                    const std::size_t* k = std::lower_bound(free + i, free + last + 1, lowest);
                    if (k != free + last + 1 && *k <= moved[jj] + b) {
                        block.from = *k;
                        break;
                    }
                }
            }
            if (block.from < block.end) {
                w_.block_list.push_back(block);
                assemble_block(y, free + i, last + 1 - i, block, fresh ? nullptr : moved + j, fresh ? 0 : n_moved - j);
            }
            i = last + 1;
        }
        for (std::size_t q : changes) w_.moved[q] = 0;
        changes.clear();
        return w_.blocks.factor_and_solve(w_.block_list, w_.free_mask.data(), w_.order, fresh);
    }

    // Holds the rows a block reads (b on either side and the gaps between its `count` members)
    // and sets its rows from block.from on: with `changes` (ascending, the first that can reach
    // the block first), only those within b of a change, as no other row's inputs can differ.
    void assemble_block(const double* y, const std::size_t* members, std::size_t count,
                        const BandBlocks::Block& block, const std::size_t* changes, std::size_t n_changes) {
        const std::size_t b = band_;
        BandBlocks& blocks = w_.blocks;
        for (std::size_t p = block.begin > b ? block.begin - b : 0; p < block.begin; ++p) blocks.hold(p);
        for (std::size_t p = block.end; p < std::min(n_, block.end + b); ++p) blocks.hold(p);
        // The members fall into runs of consecutive coefficients; the gaps between runs are held.
        // Row k of a run [k0, k1) has every coefficient within b free (and reads the band row as it
        // is) exactly when k0 + b <= k < k1 - b.
        for (std::size_t k = 0; k < count;) {
            const std::size_t end = stretch_end(members, k, count, 1);
            if (changes == nullptr) {
                // Every row is set: the inner rows of the run at once.
                const std::size_t inner = std::min(k + b, end), outer = std::max(inner, end > b ? end - b : 0);
                for (std::size_t i = k; i < inner; ++i) set_row(y, members[i]);
                if (inner < outer)
                    blocks.set_band_rows(members[inner], outer - inner, false);
                for (std::size_t i = outer; i < end; ++i) set_row(y, members[i]);
            }
            if (end < count)
                for (std::size_t p = members[end - 1] + 1; p < members[end]; ++p) blocks.hold(p);
            k = end;
        }
        if (changes == nullptr) return;
        // Only the rows within b of a change (from block.from on) can differ: for each change in
        // turn, the members near it not set for an earlier one.
        std::size_t k = static_cast<std::size_t>(std::lower_bound(members, members + count, block.from) - members);
        for (std::size_t j = 0; j < n_changes && k < count; ++j) {
            const std::size_t lowest = changes[j] > b ? changes[j] - b : 0;
            if (members[k] < lowest)
                k = static_cast<std::size_t>(std::lower_bound(members + k, members + count, lowest) - members);
            for (; k < count && members[k] <= changes[j] + b; ++k) {
                const bool inner = k >= b && k + b < count && members[k + b] - members[k - b] == 2 * b;
                if (inner)
                    blocks.set_band_rows(members[k], 1, true);
                else
                    set_row(y, members[k]);
            }
        }
    }

    // Sets row p of the blocks from its band row, with the terms of pinned coefficients moved to
    // the right-hand side. Branch-free over the band: a term that does not apply subtracts +0,
    // which leaves every value as it was.
    void set_row(const double* y, std::size_t p) {
        const std::size_t b = band_, width = 2 * b + 1;
        const double* x = x_;
        const unsigned char* free_mask = w_.free_mask.data();
        const double* g = dense_->rows.data() + p * width;
        const unsigned char* stored = dense_->stored.data() + p * width;
        const std::size_t t0 = p < b ? b - p : 0, t1 = std::min(width, n_ + b - p);
        double row[MAX_BLOCK_BANDWIDTH + 1];
        double rhs = y[p];
        for (std::size_t t = 0; t < t0; ++t) row[t] = 0.0;
        for (std::size_t t = t0; t < b; ++t) {
            const std::size_t q = p + t - b;
            const bool is_free = free_mask[q] != 0;
            row[t] = is_free && stored[t] ? g[t] : 0.0;
            rhs -= !is_free && stored[t] ? g[t] * x[q] : 0.0;
        }
        row[b] = g[b];
        for (std::size_t t = b + 1; t < t1; ++t) {
            const std::size_t q = p + t - b;
            rhs -= free_mask[q] == 0 && stored[t] ? g[t] * x[q] : 0.0;
        }
        w_.blocks.set_row(p, row, rhs, c_[p]);
    }

    // Sets the free coefficients to a - lambda b with lambda chosen to keep the integral m0.
    void set_free(double m0, double& lambda) {
        const std::size_t m = w_.free.size();
        double s_ab = 0.0, s_bb = 0.0, s_fixed = 0.0;
        for (std::size_t i = 0; i < m; ++i) {
            s_ab += w_.a[i] * c_[w_.free[i]];
            s_bb += w_.b[i] * c_[w_.free[i]];
        }
        for (std::size_t p = 0; p < n_; ++p)
            if (w_.state[p] != State::Free) s_fixed += c_[p] * x_[p];
        determined_ = !(s_bb == 0.0 || std::isnan(s_bb));
        lambda = determined_ ? (s_ab + s_fixed - m0) / s_bb : 0.0;
        for (std::size_t i = 0; i < m; ++i) x_[w_.free[i]] = w_.a[i] - lambda * w_.b[i];
    }

    // The optimality test of every coefficient against its bounds; true when a state changed.
    bool update_states(const double* y, double lambda) {
        const double* lo = lo_;
        const double* hi = hi_;
        const double* x = x_;
        const double* c = c_.data();
        const double* d = d_.data();
        State* state = w_.state.data();
        const std::uint64_t* indptr = gram_.indptr.data();
        const std::uint64_t* indices = gram_.indices.data();
        const double* values = gram_.data.data();
        bool changed = false;
        for (std::size_t p = 0; p < n_; ++p) {
            double g = 0.0;
            if (state[p] != State::Free) {
                double gx = 0.0;
                for (std::uint64_t e = indptr[p]; e < indptr[p + 1]; ++e) gx += values[e] * x[indices[e]];
                g = y[p] - gx - lambda * c[p];
            }
            const double low = lo[p & mask_], high = hi[p & mask_];
            State next;
            if (low == high)
                next = State::Lower;
            else if (g + d[p] * (x[p] - high) > 0.0)
                next = State::Upper;
            else if (g + d[p] * (x[p] - low) < 0.0)
                next = State::Lower;
            else
                next = State::Free;
            const bool moves = next != state[p];
            changed = changed || moves;
            state[p] = next;
        }
        return changed;
    }

    double lo(std::size_t p) const { return lo_[p & mask_]; }
    double hi(std::size_t p) const { return hi_[p & mask_]; }

    // Clamps the plain projection, then hands the removed mass to the coefficients that have
    // room for it.
    void fallback() {
        double removed = 0.0;
        for (std::size_t p = 0; p < n_; ++p) {
            x_[p] = clamp_keeping_nan(x0_[p], lo(p), hi(p));
            removed += (x0_[p] - x_[p]) * c_[p];
        }
        if (!(removed > 0.0 || removed < 0.0)) return;
        const bool up = removed > 0.0;
        double room = 0.0;
        for (std::size_t p = 0; p < n_; ++p) room += c_[p] * finite_or_zero(up ? hi(p) - x_[p] : x_[p] - lo(p));
        if (!(room > 0.0)) return;
        const double t = std::min(std::fabs(removed) / room, 1.0);
        for (std::size_t p = 0; p < n_; ++p)
            x_[p] += up ? t * finite_or_zero(hi(p) - x_[p]) : -t * finite_or_zero(x_[p] - lo(p));
    }

    const Csr& gram_;
    const std::vector<double>& d_;
    const std::size_t band_;
    const DenseBand* dense_;
    const std::vector<double>& c_;
    const std::vector<double>& u_;
    const std::size_t n_;
    const double* const lo_;
    const double* const hi_;
    const std::size_t mask_;
    const std::uint64_t* equal_;
    RefinementBuffers& w_;
    const double* x0_ = nullptr;
    double* x_ = nullptr;
    bool determined_ = false;
    bool changes_sorted_ = true;
    bool started_ = false;  // the active set ran from some start
    bool pieces_settled_ = false;  // a test sweep from the current start filled piece_mass and piece_free
};

}  // namespace

DenseBand DenseBand::of(const Csr& matrix, std::size_t b) {
    DenseBand band;
    const std::size_t n = matrix.nrows, width = 2 * b + 1;
    band.bandwidth = b;
    band.rows.assign(n * width, 0.0);
    band.stored.assign(n * width, 0);
    for (std::size_t p = 0; p < n; ++p) {
        const Csr::Row row = matrix.row(p);
        for (std::size_t e = 0; e < row.size; ++e) {
            const std::size_t t = row.indices[e] + b - p;
            band.rows[p * width + t] = row.values[e];
            band.stored[p * width + t] = 1;
        }
    }
    // Slot t > b of row p is slot 2 b - t of row q = p - b + t: equal bits and storage throughout
    // let the lower slots serve both.
    bool symmetric = true;
    for (std::size_t p = 0; p < n && symmetric; ++p)
        for (std::size_t t = b + 1; t < width && p + t - b < n; ++t) {
            const std::size_t q = p + t - b, mirror = q * width + 2 * b - t;
            symmetric = symmetric && band.stored[p * width + t] == band.stored[mirror] &&
                        std::bit_cast<std::uint64_t>(band.rows[p * width + t]) ==
                            std::bit_cast<std::uint64_t>(band.rows[mirror]);
        }
    // Each slot has b zeros after row n - 1, which the shifted reads of the upper slots reach.
    const std::size_t length = n + b, kept = symmetric ? b + 1 : width;
    band.slot_at.resize(width);
    for (std::size_t t = 0; t < width; ++t)
        band.slot_at[t] = t < kept ? t * length : (2 * b - t) * length + (t - b);
    band.slots.assign(kept * length, 0.0);
    for (std::size_t t = 0; t < kept; ++t)
        for (std::size_t p = 0; p < n; ++p) band.slots[t * length + p] = band.rows[p * width + t];
    if (n == 0) return band;
    // Every unknown free, rows from the band, right-hand sides 0.
    BandBlocks whole;
    whole.resize(b, n);
    const std::vector<double> zeros(n, 0.0);
    whole.set_band(band.rows.data(), nullptr);
    whole.set_band_sides(zeros.data(), zeros.data());
    whole.set_band_rows(0, n, false);
    const std::vector<unsigned char> free(n, 1);
    std::vector<std::size_t> order;
    if (whole.factor_and_solve({BandBlocks::Block{0, n, 0}}, free.data(), order, true))
        band.factor_rows = whole.factor_rows();
    return band;
}

SourceRuns SourceRuns::of(const Csr& cross) {
    SourceRuns runs;
    std::vector<std::uint64_t>& cuts = runs.starts;
    std::uint64_t top = 0;
    for (std::size_t p = 0; p < cross.nrows; ++p) {
        const Csr::Row row = cross.row(p);
        if (row.size == 0) continue;
        // Columns ascend strictly, so the row is one run exactly when its span is its size.
        if (row.indices[row.size - 1] - row.indices[0] + 1 != row.size) return {};
        cuts.push_back(row.indices[0]);
        top = std::max(top, row.indices[row.size - 1] + 1);
    }
    if (cuts.empty()) return {};
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    const std::vector<std::uint64_t> row_starts = cuts;
    const auto starts_a_row = [&](std::uint64_t s) {
        return std::binary_search(row_starts.begin(), row_starts.end(), s);
    };
    for (std::size_t p = 0; p < cross.nrows; ++p) {
        const Csr::Row row = cross.row(p);
        if (row.size == 0) continue;
        const std::uint64_t end = row.indices[row.size - 1] + 1;
        if (!starts_a_row(end) && !starts_a_row(end - 1)) cuts.push_back(end);
    }
    cuts.push_back(top);
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    const auto run_at = [&](std::uint64_t s) {
        return static_cast<std::uint64_t>(std::lower_bound(cuts.begin(), cuts.end(), s) - cuts.begin());
    };
    runs.begin.assign(cross.nrows, 0);
    runs.end.assign(cross.nrows, 0);
    runs.head.assign(cross.nrows, 0);
    std::size_t references = 0;
    for (std::size_t p = 0; p < cross.nrows; ++p) {
        const Csr::Row row = cross.row(p);
        if (row.size == 0) continue;
        const std::uint64_t end = row.indices[row.size - 1] + 1, last = run_at(end);
        const bool head = last == cuts.size() || cuts[last] != end;
        runs.begin[p] = run_at(row.indices[0]);
        runs.end[p] = head ? run_at(end - 1) : last;
        runs.head[p] = head ? 1 : 0;
        references += runs.end[p] - runs.begin[p] + runs.head[p];
    }
    // Worth it only when the targets read fewer runs than the rows hold entries.
    if (references + cuts.size() > cross.data.size()) return {};
    return runs;
}

Projection::Projection(Csr gram, BandedCholesky factor, Csr cross, std::vector<double> dst_integrals)
    : gram_(std::move(gram)),
      gram_diagonal_(stored_diagonal(gram_)),
      gram_band_(half_bandwidth(gram_)),
      gram_rows_(gram_band_ <= MAX_BLOCK_BANDWIDTH ? DenseBand::of(gram_, gram_band_) : DenseBand{}),
      gram_factor_(std::move(factor)),
      cross_(std::move(cross)),
      dst_integrals_(std::move(dst_integrals)),
      multiplier_response_(dst_integrals_),
      source_runs_(SourceRuns::of(cross_)) {
    gram_factor_.solve_in_place(multiplier_response_.data());
}

Result<Projection> Projection::make(const Space& src, const Space& dst, CosineWeight omega) {
    SPANLET_TRY(gram, inner_products(dst, dst, omega));
    SPANLET_TRY(factor, BandedCholesky::factor(gram));
    SPANLET_TRY(cross, inner_products(dst, src, omega));
    SPANLET_TRY(masses, parallel_integrals(dst.elements(), omega));
    return Projection(std::move(gram), std::move(factor), std::move(cross), std::move(masses));
}

std::vector<double> Projection::to_dense() const {
    std::vector<double> rows = cross_.transpose().to_dense();  // n_src x n_dst
    solve_rows(gram_factor_, rows, n_src());
    return transposed(rows, n_src(), n_dst());
}

std::vector<double> Projection::apply_last_axis(const double* f, std::size_t k) const {
    std::vector<double> y = cross_.apply_last_axis(f, k, n_src());
    solve_rows(gram_factor_, y, k);
    return y;
}

std::vector<double> Projection::apply_bounded_last_axis(const double* f, std::size_t k,
                                                        const ProjectionBounds& bounds) const {
    const std::size_t n = n_dst(), m = n_src();
    if (n != 0 && k > std::numeric_limits<std::size_t>::max() / n) throw std::bad_alloc();
    std::vector<double> x(k * n);
    // Groups of rows through the cross products and the plain solve (the operations of
    // apply_last_axis, whatever the group) and their bounds, then row by row through the
    // refinement, while the group is in cache. Single rows when groups would leave workers idle.
    constexpr std::size_t MOST = 4;
    const std::size_t size = k >= MOST * worker_count() ? MOST : 1;
    const DenseBand* band = gram_band_ <= MAX_BLOCK_BANDWIDTH ? &gram_rows_ : nullptr;
    parallel_for((k + size - 1) / size, [&](std::size_t group, Scratch& scratch) {
        RefinementBuffers& buffers = scratch.job_buffers<RefinementBuffers>();
        const std::size_t first = group * size, count = std::min(size, k - first);
        const bool local = bounds.kind == ProjectionBounds::Kind::Local;
        for (auto* v : {&buffers.cross_rows, &buffers.plain}) v->resize(size * n);
        // Four shared bounds where the bounds are a range.
        for (auto* v : {&buffers.lo, &buffers.hi}) v->resize(local ? size * n : 4);
        const std::size_t words = (n + 63) / 64;
        buffers.equal.resize(size * words);
        double* rows[MOST];
        const double* sources[MOST];
        double* products[MOST];
        for (std::size_t i = 0; i < count; ++i) {
            rows[i] = buffers.plain.data() + i * n;
            sources[i] = f + (first + i) * m;
            products[i] = buffers.cross_rows.data() + i * n;
        }
        // The cross products by ranges of targets, copied to be solved while in cache; each range's
        // local bounds after them, while the sources they read are in cache, and which of the
        // bounds are equal, while those are.
        constexpr std::size_t TARGETS = 256;
        std::size_t runs_done = 0;
        for (std::size_t begin = 0; begin < n; begin += TARGETS) {
            const std::size_t end = std::min(n, begin + TARGETS);
            cross_.apply_rows(sources, products, count, begin, end);
            for (std::size_t i = 0; i < count; ++i) std::copy(products[i] + begin, products[i] + end, rows[i] + begin);
            if (!local) continue;
            local_bounds(cross_, source_runs_, sources, count, begin, end, buffers.lo.data(), buffers.hi.data(),
                         runs_done, buffers.run_extremes);
            for (std::size_t i = 0; i < count; ++i)
                mark_equal_bounds(buffers.lo.data() + i * n, buffers.hi.data() + i * n, begin, end,
                                  buffers.equal.data() + i * words);
        }
        gram_factor_.solve_in_place(rows, count);
        // Range bounds are the same for every coefficient of every row: one copy of them
        // serves the group (SHARED_BOUND).
        if (!local) {
            std::fill(buffers.lo.begin(), buffers.lo.begin() + 4, bounds.lo);
            std::fill(buffers.hi.begin(), buffers.hi.begin() + 4, bounds.hi);
            std::fill(buffers.equal.begin(), buffers.equal.begin() + static_cast<std::ptrdiff_t>(words),
                      bounds.lo == bounds.hi ? ~std::uint64_t{0} : 0);
        }
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t row = local ? i : 0;
            RowRefinement refinement(gram_, gram_diagonal_, band, dst_integrals_, multiplier_response_,
                                     buffers.lo.data() + row * n, buffers.hi.data() + row * n,
                                     local ? EACH_BOUND : SHARED_BOUND, buffers.equal.data() + row * words, buffers);
            refinement.refine(buffers.cross_rows.data() + i * n, rows[i], x.data() + (first + i) * n);
        }
    });
    return x;
}

}  // namespace spanlet
