#include "core/ops/interval_assembly.hpp"

#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstdint>
#include <limits>

#include "core/elements/local.hpp"
#include "core/integration/quadrature.hpp"
#include "core/ops/rows.hpp"

namespace spanlet {

namespace {

// Products of two cubics have degree 6, which the 4-point rule integrates exactly.
constexpr std::size_t NODES = 4;
constexpr std::size_t NO_ROW = SIZE_MAX;

// An element alive on the current knot interval, with its values at the rule's nodes there.
struct Live {
    std::uint64_t index;  // in its own side
    std::size_t row;      // its row in the block, or NO_ROW for a column that is no row
    const Element* element;
    double hi;
    LocalEvaluator at;    // kept from interval to interval while the element is alive
    double values[NODES];
};

// A worker's buffers, kept from block to block.
struct Buffers {
    std::vector<std::uint64_t> candidates;  // of every row of the block, row after row, each ascending
    std::vector<std::size_t> row_start;     // row r's candidates are [row_start[r], row_start[r + 1])
    std::vector<double> sums;               // the entries, beside their candidates
    std::vector<std::uint64_t> columns;     // the elements of b any row of the block meets, ascending
    std::vector<std::uint64_t> a_order, b_order;  // rows and columns by lower support end
    std::vector<double> a_lo, a_hi;               // the rows' supports
    std::vector<double> knots, a_knots, b_knots;
    std::vector<Live> live_a, live_b;
};

// Sorts v by `less` and drops equal neighbours (by ==). The lists gathered here come element after
// element along the axis and are nearly sorted, which insertion handles in linear time; a list
// that needs more moves than the budget goes to std::sort.
template <class T, class Less>
void sort_unique(std::vector<T>& v, Less less) {
    std::size_t budget = 8 * v.size() + 64, kept = 0;
    for (std::size_t i = 0; i < v.size(); ++i) {
        const T x = v[i];
        std::size_t k = kept;
        while (k > 0 && less(x, v[k - 1]) && budget > 0) {
            --k;
            --budget;
        }
        if (budget == 0) {
            v.erase(v.begin() + static_cast<std::ptrdiff_t>(kept), v.begin() + static_cast<std::ptrdiff_t>(i));
            std::sort(v.begin(), v.end(), less);
            v.erase(std::unique(v.begin(), v.end()), v.end());
            return;
        }
        if ((k > 0 && v[k - 1] == x) || (k < kept && v[k] == x)) continue;
        std::copy_backward(v.begin() + static_cast<std::ptrdiff_t>(k), v.begin() + static_cast<std::ptrdiff_t>(kept),
                           v.begin() + static_cast<std::ptrdiff_t>(kept + 1));
        v[k] = x;
        ++kept;
    }
    v.resize(kept);
}

// Appends to the ascending, distinct `columns` the values of the ascending list c[0..n) that it
// lacks, or returns false where one of them would go before its last value. Neighbouring rows share
// most of their candidates, so a row's list is checked against the short tail of `columns` from its
// first value on, found a step or two from where the previous row's was (`from`, a hint); a row
// out of order costs a binary search.
bool append_new(std::vector<std::uint64_t>& columns, const std::uint64_t* c, std::size_t n, std::size_t& from) {
    if (n == 0) return true;
    std::size_t k = 0;
    if (!columns.empty() && c[0] <= columns.back()) {
        const std::uint64_t* v = columns.data();
        const std::size_t size = columns.size();
        std::size_t at = std::min(from, size - 1);
        if (v[at] > c[0]) {
            at = static_cast<std::size_t>(std::lower_bound(v, v + at, c[0]) - v);
        } else {
            for (std::size_t steps = 0; v[at] < c[0]; ++at) {
                if (++steps > 2 * n + 8) {
                    at = static_cast<std::size_t>(std::lower_bound(v + at, v + size, c[0]) - v);
                    break;
                }
            }
        }
        from = at;
        if (size - at <= n && std::equal(c, c + (size - at), v + at)) {
            k = size - at;
        } else {
            for (const std::uint64_t last = columns.back(); k < n && c[k] <= last; ++k) {
                while (columns[at] < c[k]) ++at;
                if (columns[at] != c[k]) return false;
            }
        }
    } else {
        from = columns.size();
    }
    columns.insert(columns.end(), c + k, c + n);
    return true;
}

// The breakpoints of an element strictly inside (lo, hi): its support ends and its pieces' ends.
void element_knots(const Element& e, std::vector<double>& out, double lo, double hi) {
    const Support s = support(e);
    if (lo < s.lo && s.lo < hi) out.push_back(s.lo);
    if (lo < s.hi && s.hi < hi) out.push_back(s.hi);
    push_knots(e, out, lo, hi);
}

// The breakpoints strictly inside (lo, hi) of every element of the space that meets [lo, hi], sorted
// and distinct. An open knot vector lists them once for all its B-splines, exactly: the elements'
// own piece ends are those knots rounded through the elements' variables. Taken from whole spaces,
// a pair's knot intervals do not depend on the block of rows nor on which space gives the rows, so
// that swapping the spaces transposes the matrix bit for bit.
void side_knots(const Space& space, std::vector<std::uint64_t>& meeting, std::vector<double>& out, double lo,
                double hi) {
    out.clear();
    const KnotVector* kv = space.knot_vector();
    if (kv && !kv->wraps()) {
        const std::vector<double>& breaks = kv->breaks();
        for (auto it = std::upper_bound(breaks.begin(), breaks.end(), lo); it != breaks.end() && *it < hi; ++it)
            out.push_back(*it);
        return;
    }
    candidates(space, meeting, lo, hi);
    for (const std::uint64_t i : meeting) element_knots(space.elements()[i], out, lo, hi);
    sort_unique(out, TotalOrderLess{});
}

// The knot intervals of a block: lo, hi and the knots of both sides between them, merged. As for
// a single pair, an interval wider than the largest double is halved.
void merge_knots(Buffers& w, double lo, double hi, bool one_side) {
    std::vector<double>& k = w.knots;
    k.clear();
    k.push_back(lo);
    if (one_side) {
        k.insert(k.end(), w.b_knots.begin(), w.b_knots.end());
    } else {
        std::merge(w.a_knots.begin(), w.a_knots.end(), w.b_knots.begin(), w.b_knots.end(), std::back_inserter(k),
                   TotalOrderLess{});
    }
    if (hi > lo) k.push_back(hi);
    k.erase(std::unique(k.begin(), k.end()), k.end());
    if (!std::isfinite(k.back() - k.front()))
        for (std::size_t j = 0; j + 1 < k.size(); ++j)
            if (std::isfinite(k[j]) && std::isfinite(k[j + 1]) && !std::isfinite(k[j + 1] - k[j]))
                k.insert(k.begin() + static_cast<std::ptrdiff_t>(j + 1), k[j] * 0.5 + k[j + 1] * 0.5);
}

inline void evaluate_at(Live& e, double z, const double* s) {
    e.at.move_to(z);
    e.at.values<NODES>(s, e.values);
}

// The pair's integral over the interval [z, z + length]: the same rule sum, in the same order, as
// the pairwise path forms on this interval. Symmetric in x and y bit for bit, as products commute.
inline double pair_integral(const Live& x, const Live& y, const Rule& rule, double z, double length) {
    const double h = length * 0.5;
    double sum = 0.0;
    for (std::size_t k = 0; k < NODES; ++k) sum += rule.weights[k] * (x.values[k] * y.values[k]);
    if (std::fabs(sum) >= SMALLEST_PLAIN_SUM && std::fabs(sum) <= std::numeric_limits<double>::max()) return h * sum;
    // True while every product has an exact zero factor: then nothing underflowed.
    bool vanishes = true;
    for (std::size_t k = 0; k < NODES; ++k) vanishes = vanishes && (x.values[k] == 0.0 || y.values[k] == 0.0);
    if (std::isfinite(sum) && (std::fabs(sum) >= SMALLEST_PLAIN_SUM || vanishes)) return h * sum;
    const Element* pair[2] = {x.element, y.element};
    return scaled_product_rule(rule, pair, z, length);
}

// Adds `part` to the entry of column `column` in row `row` of the block.
inline void add_to(Buffers& w, std::size_t row, std::uint64_t column, double part) {
    const std::uint64_t* c = w.candidates.data() + w.row_start[row];
    const std::size_t n = w.row_start[row + 1] - w.row_start[row];
    if (n == 0) return;
    std::size_t slot = column - c[0];
    if (!(column >= c[0] && slot < n && c[slot] == column)) {
        slot = static_cast<std::size_t>(std::lower_bound(c, c + n, column) - c);
        // Both alive on one interval, their supports meet: the column is a candidate of the row.
        assert(slot < n && c[slot] == column);
        if (!(slot < n && c[slot] == column)) return;
    }
    w.sums[w.row_start[row] + slot] += part;
}

// Keeps the live elements that reach past z, in their order.
void drop_ended(std::vector<Live>& live, double z) {
    live.erase(std::remove_if(live.begin(), live.end(), [z](const Live& e) { return !(z < e.hi); }), live.end());
}

// Sorts `order` by the lower ends given for its entries, keeping ties in index order.
template <class Lower>
void sort_by_lower(std::vector<std::uint64_t>& order, Lower lower) {
    auto less = [&](std::uint64_t i, std::uint64_t j) { return total_order_less(lower(i), lower(j)); };
    if (!std::is_sorted(order.begin(), order.end(), less)) std::stable_sort(order.begin(), order.end(), less);
}

// Rows first..end-1 of a against b into the worker's buffers: w.sums beside w.candidates, row r's
// from w.row_start[r] on.
void assemble_block(const Space& a_space, const Space& b, std::size_t first, std::size_t end, Buffers& w,
                    Scratch& scratch) {
    const std::vector<Element>& a = a_space.elements();
    const bool same = &a == &b.elements();
    const std::size_t rows = end - first;
    const SupportIndex& index = b.index();
    // The index holds every element's support.
    const SupportIndex& a_index = a_space.index();
    w.candidates.clear();
    w.row_start.assign(1, 0);
    w.a_lo.resize(rows);
    w.a_hi.resize(rows);
    double lo = INFINITY, hi = -INFINITY;
    for (std::size_t r = 0; r < rows; ++r) {
        const Support s{a_index.lower[first + r], a_index.upper[first + r]};
        w.a_lo[r] = s.lo;
        w.a_hi[r] = s.hi;
        lo = std::min(lo, s.lo);
        hi = std::max(hi, s.hi);
        candidates(b, scratch.candidates, s.lo, s.hi);
        w.candidates.insert(w.candidates.end(), scratch.candidates.begin(), scratch.candidates.end());
        w.row_start.push_back(w.candidates.size());
    }
    w.sums.assign(w.candidates.size(), 0.0);
    w.columns.clear();
    const std::uint64_t* c = w.candidates.data();
    for (std::size_t r = 0, from = 0; r < rows; ++r) {
        if (append_new(w.columns, c + w.row_start[r], w.row_start[r + 1] - w.row_start[r], from)) continue;
        w.columns.assign(w.candidates.begin(), w.candidates.end());
        sort_unique(w.columns, std::less<std::uint64_t>{});
        break;
    }

    if (!same) {
        w.a_order.resize(rows);
        for (std::size_t r = 0; r < rows; ++r) w.a_order[r] = r;
        side_knots(a_space, scratch.candidates, w.a_knots, lo, hi);
        sort_by_lower(w.a_order, [&](std::uint64_t r) { return w.a_lo[r]; });
    }
    side_knots(b, scratch.candidates, w.b_knots, lo, hi);
    merge_knots(w, lo, hi, same);
    w.b_order.assign(w.columns.begin(), w.columns.end());
    sort_by_lower(w.b_order, [&](std::uint64_t j) { return index.lower[j]; });

    const Rule& rule = gl4();
    w.live_a.clear();
    w.live_b.clear();
    std::size_t next_a = 0, next_b = 0;
    const std::vector<double>& k = w.knots;
    for (std::size_t q = 0; q + 1 < k.size(); ++q) {
        const double z = k[q], length = k[q + 1] - z, h = length * 0.5;
        drop_ended(w.live_b, z);
        for (; next_b < w.b_order.size() && !(z < index.lower[w.b_order[next_b]]); ++next_b) {
            const std::uint64_t j = w.b_order[next_b];
            if (!(z < index.upper[j])) continue;
            const Element& element = b.elements()[j];
            Live e{j, same && j >= first && j < end ? j - first : NO_ROW, &element, index.upper[j], {element, z}, {}};
            // Kept in index order, the order of each row's candidates.
            auto at = std::upper_bound(w.live_b.begin(), w.live_b.end(), j,
                                       [](std::uint64_t i, const Live& l) { return i < l.index; });
            w.live_b.insert(at, e);
        }
        if (!same) {
            drop_ended(w.live_a, z);
            for (; next_a < rows && !(z < w.a_lo[w.a_order[next_a]]); ++next_a) {
                const std::uint64_t r = w.a_order[next_a];
                const Element& element = a[first + r];
                if (z < w.a_hi[r]) w.live_a.push_back(Live{first + r, r, &element, w.a_hi[r], {element, z}, {}});
            }
            if (w.live_a.empty()) continue;
        }
        double s[NODES];
        for (std::size_t n = 0; n < NODES; ++n) s[n] = h + h * rule.nodes[n];
        for (Live& e : w.live_b) evaluate_at(e, z, s);
        if (same) {
            // A pair of rows is integrated once for both its entries.
            for (auto x = w.live_b.begin(); x != w.live_b.end(); ++x) {
                if (x->row == NO_ROW) continue;
                for (auto y = w.live_b.begin(); y != w.live_b.end(); ++y) {
                    if (y->row != NO_ROW && y < x) continue;
                    const double part = pair_integral(*x, *y, rule, z, length);
                    add_to(w, x->row, y->index, part);
                    if (y->row != NO_ROW && y != x) add_to(w, y->row, x->index, part);
                }
            }
        } else {
            for (Live& x : w.live_a) {
                evaluate_at(x, z, s);
                for (const Live& y : w.live_b) add_to(w, x.row, y.index, pair_integral(x, y, rule, z, length));
            }
        }
    }

}

// The rows the worker's buffers hold, as they are, zeros among them, into `block`; the worker
// starts its next block on fresh buffers of the same size.
void hand_over(Buffers& w, std::size_t rows, RowBlock& block) {
    block.row_sizes.resize(rows);
    for (std::size_t r = 0; r < rows; ++r) block.row_sizes[r] = w.row_start[r + 1] - w.row_start[r];
    block.zeros = static_cast<std::uint64_t>(std::count(w.sums.begin(), w.sums.end(), 0.0));
    const std::size_t size = w.candidates.size();
    block.indices = std::move(w.candidates);
    block.values = std::move(w.sums);
    w.candidates = {};
    w.sums = {};
    w.candidates.reserve(size);
    w.sums.reserve(size);
}

// Rows first..end-1 of a against b, in runs of rows whose supports follow one another along the
// axis, take(begin, stop) called once each run [begin, stop) is in the worker's buffers: the
// interval walk of a run covers the run's span, and rows listed out of order (a shuffled space)
// would make every block's span the whole axis, its knots and live elements those of every row. A
// run ends where the next row's support lies before the run's span or starts further past it than
// the span is long. The entries do not depend on the runs: a pair's knot intervals are those of
// both spaces inside their common support, whatever run takes the pair, and a pair split between
// runs of one space is integrated symmetrically.
// ordered: a's elements are listed by lower support end, so that a block's span holds its own
// rows alone, and a block is one run.
template <class Take>
void assemble_rows(const Space& a_space, const Space& b, std::size_t first, std::size_t end, bool ordered, Buffers& w,
                   Scratch& scratch, Take take) {
    if (ordered) {
        assemble_block(a_space, b, first, end, w, scratch);
        take(first, end);
        return;
    }
    const SupportIndex& index = a_space.index();
    for (std::size_t begin = first; begin < end;) {
        std::size_t stop = begin + 1;
        double lo = index.lower[begin], hi = index.upper[begin];
        for (; stop < end; ++stop) {
            const double next_lo = index.lower[stop], next_hi = index.upper[stop];
            if (next_hi < lo || next_lo > hi + (hi - lo)) break;
            lo = std::min(lo, next_lo);
            hi = std::max(hi, next_hi);
        }
        assemble_block(a_space, b, begin, stop, w, scratch);
        take(begin, stop);
        begin = stop;
    }
}

// Rows first..end-1 of a against b into `block`.
void assemble_rows(const Space& a_space, const Space& b, std::size_t first, std::size_t end, bool ordered, Buffers& w,
                   RowBlock& block, Scratch& scratch) {
    RowBlock run;
    assemble_rows(a_space, b, first, end, ordered, w, scratch, [&](std::size_t begin, std::size_t stop) {
        if (begin == first) {
            hand_over(w, stop - begin, block);
            return;
        }
        hand_over(w, stop - begin, run);
        block.row_sizes.insert(block.row_sizes.end(), run.row_sizes.begin(), run.row_sizes.end());
        block.indices.insert(block.indices.end(), run.indices.begin(), run.indices.end());
        block.values.insert(block.values.end(), run.values.begin(), run.values.end());
        block.zeros += run.zeros;
    });
}

// Rows first..end-1, in the worker's buffers, into `out`: row i's entries that are not exact
// zeros from out.indptr[i] on, into the out.indptr[i + 1] - out.indptr[i] slots planned for it.
// A row with fewer fills its other slots with zeros and sets `short_rows`; false where a row has
// more.
bool write_rows(const Buffers& w, std::size_t first, std::size_t end, RowArrays out, bool& short_rows) {
    for (std::size_t r = 0; r < end - first; ++r) {
        std::uint64_t at = out.indptr[first + r];
        const std::uint64_t stop = out.indptr[first + r + 1];
        for (std::size_t k = w.row_start[r]; k < w.row_start[r + 1]; ++k) {
            if (w.sums[k] == 0.0) continue;
            if (at == stop) return false;
            out.indices[at] = w.candidates[k];
            out.data[at] = w.sums[k];
            ++at;
        }
        short_rows = short_rows || at < stop;
        for (; at < stop; ++at) {
            out.indices[at] = 0;
            out.data[at] = 0.0;
        }
    }
    return true;
}

// Drops the zeros write_rows left, row by row, moving every entry down to follow the one before
// and setting the row ends; returns the entries kept.
std::uint64_t drop_zeros(std::size_t nrows, RowArrays out) {
    std::uint64_t at = 0, from = 0;
    for (std::size_t i = 0; i < nrows; ++i) {
        const std::uint64_t stop = out.indptr[i + 1];
        for (; from < stop; ++from) {
            if (out.data[from] == 0.0) continue;
            out.indices[at] = out.indices[from];
            out.data[at] = out.data[from];
            ++at;
        }
        out.indptr[i + 1] = at;
    }
    return at;
}

// Whether the space's elements are listed by lower support end, none of them kept apart as wide.
bool listed_in_order(const Space& space) {
    const std::vector<std::uint64_t>& order = space.index().order;
    if (order.size() != space.size()) return false;
    for (std::size_t k = 0; k < order.size(); ++k)
        if (order[k] != k) return false;
    return true;
}

bool piecewise_polynomial(const Element& e) {
    if (std::holds_alternative<Delta>(e.kind) || !is_polynomial(e)) return false;
    const Support s = support(e);
    return std::isfinite(s.lo) && std::isfinite(s.hi);
}

// A B-spline space that keeps its knot vector holds shaped elements on finite knots only, so it
// needs no pass over its elements: on large spaces that pass is a serial share of the call.
bool piecewise_polynomial(const Space& space) {
    const std::vector<Element>& e = space.elements();
    return space.knot_vector() != nullptr || std::all_of(e.begin(), e.end(), [](const Element& x) {
               return piecewise_polynomial(x);
           });
}

}  // namespace

bool interval_products_apply(const std::vector<Element>& a, const Space& b, CosineWeight omega) {
    if (omega) return false;
    return std::all_of(a.begin(), a.end(), [](const Element& x) { return piecewise_polynomial(x); }) &&
           (&a == &b.elements() || piecewise_polynomial(b));
}

bool interval_products_apply(const Space& a, const Space& b, CosineWeight omega) {
    return !omega && piecewise_polynomial(a) && (&a == &b || piecewise_polynomial(b));
}

std::uint64_t interval_plan(const Space& a, const Space& b, std::uint64_t* indptr) {
    const RowTasks split = RowTasks::blocks(a.size());
    const SupportIndex& rows = a.index();
    indptr[0] = 0;
    parallel_for(split.count(), [&](std::size_t t, Scratch&) {
        OverlapCounter overlapping(b);
        for (std::size_t i = split.first(t); i < split.end(t); ++i)
            indptr[i + 1] = overlapping.count(rows.lower[i], rows.upper[i]);
    });
    for (std::size_t i = 0; i < a.size(); ++i) indptr[i + 1] += indptr[i];
    return indptr[a.size()];
}

std::optional<std::uint64_t> interval_products_into(const Space& a, const Space& b, RowArrays out) {
    const RowTasks split = RowTasks::blocks(a.size());
    const bool ordered = listed_in_order(a);
    std::atomic<bool> short_rows{false}, overfull{false};
    parallel_for(split.count(), [&](std::size_t t, Scratch& scratch) {
        if (stop_requested()) return;
        Buffers& w = scratch.job_buffers<Buffers>();
        bool short_here = false;
        assemble_rows(a, b, split.first(t), split.end(t), ordered, w, scratch, [&](std::size_t begin, std::size_t stop) {
            if (!write_rows(w, begin, stop, out, short_here)) overfull = true;
        });
        if (short_here) short_rows = true;
    });
    if (overfull) return std::nullopt;
    return short_rows ? drop_zeros(a.size(), out) : out.indptr[a.size()];
}

RowBlocks interval_products(const Space& a, const Space& b) {
    const RowTasks split = RowTasks::blocks(a.size());
    RowBlocks rows{std::vector<RowBlock>(split.count()), a.size(), b.size()};
    const bool ordered = listed_in_order(a);
    parallel_for(split.count(), [&](std::size_t t, Scratch& scratch) {
        if (stop_requested()) return;
        assemble_rows(a, b, split.first(t), split.end(t), ordered, scratch.job_buffers<Buffers>(), rows.blocks[t],
                      scratch);
    });
    return rows;
}

}  // namespace spanlet
