// Independent diagonal blocks of a narrow symmetric positive definite band, factored and solved
// for two right-hand sides each, several blocks at a time.
//
// A single band factor is a chain: every row waits for the square root and the divisions of the
// row before. Blocks that share no entry have independent chains, so stepping a few of them in
// lockstep keeps the arithmetic units busy where one block alone would wait on latency. Each
// block gets exactly the operations of its own solve, whatever it is grouped with.
#pragma once

#include <cstddef>
#include <vector>

namespace spanlet {

// The widest half-bandwidth handled here.
constexpr std::size_t MAX_BLOCK_BANDWIDTH = 8;

// The rows of every block with b rows of zeros before, between and after the blocks:
// [b zero rows][block 0][b zero rows][block 1] ... [b zero rows]. Row r holds b + 1 slots, the
// entries A[r][r - b + t] in slot t < b (0 for a column before its block or not stored) and
// A[r][r] in slot b.
//
// Row i of the factor depends on rows up to i only, so a block whose leading rows (entries and
// right-hand sides) match an earlier solve can start from that solve's factored rows: block_done
// counts the leading rows already factored and forward substituted.
struct BandBlocks {
    std::size_t bandwidth = 0;
    // (b + 1) per row. Once factored: L[r][r - b + t] in slot t, 1 / L[r][r] in slot b.
    std::vector<double> rows;
    // Right-hand sides by row (0 in the zero rows), replaced by the forward substitution.
    std::vector<double> first, second;
    // The solutions by row (0 in the zero rows).
    std::vector<double> first_solution, second_solution;
    // First row, row count and rows already factored of each block.
    std::vector<std::size_t> block_row, block_size, block_done;

    // Lays out `sizes` blocks of half-bandwidth b <= MAX_BLOCK_BANDWIDTH, every value zero and no
    // row done; keeps the storage.
    void reset(std::size_t b, const std::vector<std::size_t>& sizes);
    double* row(std::size_t r) { return rows.data() + r * (bandwidth + 1); }

    // Factors and forward substitutes the rows not done of the blocks listed in `which` (indices
    // into block_row), then writes their solutions. False when a reduced pivot is not above 1e-13
    // times its diagonal entry (a NaN pivot included); the blocks are then left unspecified.
    bool factor_and_solve(const std::vector<std::size_t>& which, std::vector<std::size_t>& order);
};

}  // namespace spanlet
