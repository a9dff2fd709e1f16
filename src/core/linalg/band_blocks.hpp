// A narrow symmetric positive definite band in which some unknowns are held fixed: their rows
// and columns are replaced by those of the identity, so the others fall into independent blocks.
// The blocks are factored and solved for two right-hand sides each, several at a time, and rows
// keep their inputs, factor and solutions from one solve to the next, so that a later solve
// starts each block at its first changed row.
//
// A change stays local in its effect on the bits: the factor and forward substitution of a row
// depend on its own inputs and the b rows before it only, so once b rows in a row come out
// exactly as they were and the next rows' inputs are unchanged, every row up to the next changed
// one would too, and is left as it is; the backward substitution likewise from the other end.
// A change near each end of a long block costs the rows near the ends, not the whole block.
//
// A band factor is a chain: every row waits for the division of the row before. Blocks that
// share no entry have independent chains, so a solve that tracks changes steps a few of them in
// lockstep, which keeps the arithmetic units busy where one block alone would wait on latency. A
// fresh solve copies most rows of a long block from the whole band's factor (set_band) and goes
// block by block: its substitutions alone wait little. Each block gets exactly the operations of
// its own solve, whatever it is grouped with; a held row contributes exact zeros.
#pragma once

#include <algorithm>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace spanlet {

// The widest half-bandwidth handled here.
constexpr std::size_t MAX_BLOCK_BANDWIDTH = 8;

class BandBlocks {
public:
    struct Block {
        std::size_t begin, end;  // the rows from its first to its last free unknown
        std::size_t from;        // rows before it are factored and forward substituted already
    };

    // Room for n unknowns at half-bandwidth b <= MAX_BLOCK_BANDWIDTH. Nothing is kept from
    // before: the next solve computes every row of its blocks.
    void resize(std::size_t b, std::size_t n);

    // The band that rows set with set_band_rows take their entries from, row by row:
    // rows[p * (2 b + 1) + t] = A[p][p - b + t] for t <= b (0 for a column before 0); they are read
    // where a row is factored, never copied. And the factor of the whole band with every unknown
    // free (by stored row, as factor_rows() returns it), or null: a solve that computes every row
    // copies a row of it in place of factoring once the B rows before came out as its rows and
    // the row is the band's. The factor of a row depends on those alone, so the copy has the bits
    // the factoring would give. Long runs of free unknowns then cost their forward and backward
    // substitution only. Both must outlive the solves.
    void set_band(const double* rows, const double* factor_rows) {
        band_ = rows;
        reference_ = factor_rows;
    }
    // The right-hand sides of the rows set with set_band_rows, by unknown: first[p] and second[p]
    // for row p, read where a row is solved, never copied. They must outlive the solves and stay
    // as they are from one solve to the next, which is what lets a row set from the band again
    // keep its inputs.
    void set_band_sides(const double* first, const double* second) {
        band_first_ = first;
        band_second_ = second;
    }
    const std::vector<double>& factor_rows() const { return factor_; }

    // Sets the inputs of row p: entries[t] = A[p][p - b + t] for t < b (0 for a held column or
    // one before 0), entries[b] = A[p][p], and the two right-hand sides. A caller sets every row
    // of a block from its `from` on, and holds the rows within b of a block, before it solves.
    // Inline: the refinement sets and holds rows by the thousand per solve. A row that was the
    // band's kept neither entries nor right-hand sides here, so it counts as changed.
    void set_row(std::size_t p, const double* entries, double first, double second) {
        const std::size_t e = p + bandwidth_, width = bandwidth_ + 1;
        const bool changed = assign(entries_.data() + e * width, entries, width) | assign(&first_[e], &first, 1) |
                             assign(&second_[e], &second, 1);
        dirty_[e] |= static_cast<unsigned char>(changed || banded_[e] != 0);
        held_[e] = 0;
        banded_[e] = 0;
    }
    // Sets rows p .. p + count - 1 as set_row does, with the band's entries (set_band) and
    // right-hand sides (set_band_sides). Without `compare` the rows are not marked as changed: for
    // a solve that computes every row (fresh). With it, a row that was the band's keeps its inputs.
    void set_band_rows(std::size_t p, std::size_t count, bool compare) {
        // Local pointers: byte stores may alias the vectors' storage.
        const std::size_t e = p + bandwidth_;
        unsigned char* dirty = dirty_.data() + e;
        unsigned char* held = held_.data() + e;
        unsigned char* banded = banded_.data() + e;
        if (compare)
            for (std::size_t i = 0; i < count; ++i) dirty[i] |= static_cast<unsigned char>(banded[i] == 0);
        std::fill(held, held + count, 0);
        std::fill(banded, banded + count, 1);
    }
    // Makes row p a held row: the identity row, right-hand sides and solutions 0. A row held
    // since its last hold is left as it is: nothing but set_row writes a held row.
    void hold(std::size_t p) {
        if (held_[p + bandwidth_] == 0) hold_row(p);
    }

    // The solutions of row p, and the same as arrays indexed by p for loops over many rows.
    double first_solution(std::size_t p) const { return first_solution_[p + bandwidth_]; }
    double second_solution(std::size_t p) const { return second_solution_[p + bandwidth_]; }
    const double* first_solutions() const { return first_solution_.data() + bandwidth_; }
    const double* second_solutions() const { return second_solution_.data() + bandwidth_; }

    // Factors A = L D L^T (L unit lower triangular) over rows from .. end - 1 of each block,
    // those with free[p] set (the others must be held rows, as must the b rows on either side),
    // forward substitutes (L z = r) and solves the whole block. False when a pivot D[p] is not
    // above 1e-13 times its diagonal entry (a NaN pivot included); the rows are then left
    // unspecified, and the next solve computes every row again. fresh: every row of every block
    // is computed, with no comparison to what it held.
    bool factor_and_solve(const std::vector<Block>& blocks, const unsigned char* free, std::vector<std::size_t>& order,
                          bool fresh);

    std::size_t bandwidth() const { return bandwidth_; }

private:
    // Sets `to` from `from` (count values); true when some value changed its bits (a NaN counts
    // as unchanged only as the same NaN). Branch-free: most rows are compared only to be written.
    static bool assign(double* to, const double* from, std::size_t count) {
        std::uint64_t difference = 0;
        for (std::size_t t = 0; t < count; ++t) {
            difference |= std::bit_cast<std::uint64_t>(to[t]) ^ std::bit_cast<std::uint64_t>(from[t]);
            to[t] = from[t];
        }
        return difference != 0;
    }
    void hold_row(std::size_t p);
    // The arrays the solves read and write, by stored row p + b, as local pointers (byte stores
    // may alias the vectors' storage).
    struct Arrays {
        const double* entries;
        double* factor;
        const double *first, *second;
        double *first_forward, *second_forward, *first_solution, *second_solution;
    };
    Arrays arrays() {
        return {entries_.data(),        factor_.data(),         first_.data(),           second_.data(),
                first_forward_.data(), second_forward_.data(), first_solution_.data(), second_solution_.data()};
    }
    // The entries of stored row i: the band's for a row set from it.
    template <std::size_t B>
    const double* row_entries(std::size_t i) const {
        return banded_[i] == 0 ? entries_.data() + i * (B + 1) : band_ + (i - B) * (2 * B + 1);
    }
    // The right-hand sides of stored row i (kept: first_ or second_), the band's for a row set
    // from it.
    template <std::size_t B>
    static double row_side(const unsigned char* banded, const double* band_side, const double* kept, std::size_t i) {
        return banded[i] != 0 ? band_side[i - B] : kept[i];
    }

    template <std::size_t B>
    bool solve_group(const Block* const* group, std::size_t lanes, const unsigned char* free);
    template <std::size_t B>
    bool solve_fresh(const Block* const* group, std::size_t lanes, const unsigned char* free);
    template <std::size_t B>
    bool solve_all(const std::vector<Block>& blocks, const std::vector<std::size_t>& order, const unsigned char* free,
                   bool fresh);
    // Every block of `order`, fresh or tracked, at the band's width: the kernels above are inlined
    // into it, and it is built for each instruction set (the substitutions take fused
    // multiply-adds).
    bool solve_blocks(const std::vector<Block>& blocks, const std::vector<std::size_t>& order,
                      const unsigned char* free, bool fresh);

    std::size_t bandwidth_ = 0;
    // By stored row p + b: b held rows before row 0 and after row n - 1 stand for the rows
    // outside the matrix. entries_, first_, second_: the inputs; factor_ (L[p][p - b + t] in
    // slot t < b, 1 / D[p] in slot b), forward_ and solutions: what the last solve made of them.
    std::vector<double> entries_, factor_, first_, second_, first_forward_, second_forward_, first_solution_,
        second_solution_;
    // dirty_: the inputs (or the held state) of a row changed since its block was last solved;
    // changed_: its factor or forward substitution changed in this solve (a held row: its hold).
    std::vector<unsigned char> dirty_, changed_;
    // held_: the row is held and unchanged since (its entries, factor, right-hand sides and
    // solutions those of the identity and 0).
    std::vector<unsigned char> held_;
    // banded_: the row is the band's, set by set_band_rows (its entries_, first_ and second_ are
    // not kept); band_, reference_, band_first_ and band_second_: see set_band and set_band_sides.
    std::vector<unsigned char> banded_;
    const double* band_ = nullptr;
    const double* reference_ = nullptr;
    const double* band_first_ = nullptr;
    const double* band_second_ = nullptr;
};

}  // namespace spanlet
