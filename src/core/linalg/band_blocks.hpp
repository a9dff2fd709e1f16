// A narrow symmetric positive definite band in which some unknowns are held fixed: their rows
// and columns are replaced by those of the identity, so the others fall into independent blocks.
// The blocks are factored and solved for two right-hand sides each, several at a time, and rows
// keep their factor from one solve to the next, so that a later solve starts each block at its
// first changed row.
//
// A band factor is a chain: every row waits for the division of the row before. Blocks that share no entry have independent chains, so stepping a few of them in
// lockstep keeps the arithmetic units busy where one block alone would wait on latency. Each
// block gets exactly the operations of its own solve, whatever it is grouped with; a held row
// contributes exact zeros.
#pragma once

#include <cstddef>
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

    // Room for n unknowns at half-bandwidth b <= MAX_BLOCK_BANDWIDTH. Rows keep what they held
    // (nothing meaningful after a change of size): a caller writes every row it solves, and
    // holds the other rows within b of a block before it solves.
    void resize(std::size_t b, std::size_t n);

    // Row p: the entries A[p][p - b + t] in slot t < b (0 for a held column or one before 0),
    // A[p][p] in slot b. Once factored as A = L D L^T with L unit lower triangular:
    // L[p][p - b + t] in slot t, 1 / D[p] in slot b.
    double* row(std::size_t p) { return rows_.data() + (p + bandwidth_) * (bandwidth_ + 1); }
    // The right-hand sides of row p, replaced by the forward substitution.
    double& first(std::size_t p) { return first_[p + bandwidth_]; }
    double& second(std::size_t p) { return second_[p + bandwidth_]; }
    double first_solution(std::size_t p) const { return first_solution_[p + bandwidth_]; }
    double second_solution(std::size_t p) const { return second_solution_[p + bandwidth_]; }
    // The same as arrays indexed by p, for loops over many rows.
    const double* first_solutions() const { return first_solution_.data() + bandwidth_; }
    const double* second_solutions() const { return second_solution_.data() + bandwidth_; }
    // Makes row p a held row: the identity row, right-hand sides and solutions 0.
    void hold(std::size_t p);

    // Factors rows from .. end - 1 of each block, those with free[p] set (the others must be held
    // rows, as must the b rows on either side), forward substitutes them (L z = r) and solves
    // the whole block. False when a pivot D[p] is not above 1e-13 times its diagonal entry (a
    // NaN pivot included); the rows are then left unspecified.
    bool factor_and_solve(const std::vector<Block>& blocks, const unsigned char* free, std::vector<std::size_t>& order);

    std::size_t bandwidth() const { return bandwidth_; }

private:
    template <std::size_t B>
    bool solve_group(const Block* const* group, std::size_t lanes, const unsigned char* free);
    template <std::size_t B>
    bool solve_all(const std::vector<Block>& blocks, const std::vector<std::size_t>& order, const unsigned char* free);

    std::size_t bandwidth_ = 0;
    // b held rows before row 0 and after row n - 1 stand for the rows outside the matrix.
    std::vector<double> rows_, first_, second_, first_solution_, second_solution_;
};

}  // namespace spanlet
