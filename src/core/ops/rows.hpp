// The row-assembly engine behind every sparse matrix of the operations: rows in blocks on the
// pool, candidates from the support index, exact zeros dropped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/pool.hpp"
#include "core/space.hpp"
#include "core/sparse.hpp"

namespace spanlet {

// Rows are computed in fixed blocks so that each task appends to its own buffers; the blocks are
// joined in index order, so the result never depends on the number of threads.
constexpr std::size_t ROWS_PER_BLOCK = 512;

struct RowBlock {
    std::vector<std::uint64_t> row_sizes;
    std::vector<std::uint64_t> indices;
    std::vector<double> values;
    std::optional<Error> error;
};

// Joins the blocks in index order into one matrix, or returns the first block's error.
Result<Csr> join_blocks(std::vector<RowBlock>& blocks, std::uint64_t nrows, std::uint64_t ncols);

// Builds an nrows x b.size() matrix on the pool. For row i, `interval(i)` gives the support to
// search in b and `value(i, j, knots)` the entry for candidate j (a Result<double>).
template <class Interval, class Value>
Result<Csr> sparse_rows(std::size_t nrows, const Space& b, Interval interval, Value value) {
    std::vector<RowBlock> blocks((nrows + ROWS_PER_BLOCK - 1) / ROWS_PER_BLOCK);
    parallel_for(blocks.size(), [&](std::size_t k, Scratch& scratch) {
        RowBlock& block = blocks[k];
        const std::size_t first = k * ROWS_PER_BLOCK, last = std::min(nrows, first + ROWS_PER_BLOCK);
        block.row_sizes.reserve(last - first);
        for (std::size_t i = first; i < last; ++i) {
            const Support s = interval(i);
            candidates(b, scratch.candidates, s.lo, s.hi);
            std::uint64_t stored = 0;
            for (std::uint64_t j : scratch.candidates) {
                Result<double> v = value(i, j, scratch.knots);
                if (!v) {
                    block.error = std::move(v).error();
                    return;
                }
                if (v.value() != 0.0) {
                    block.indices.push_back(j);
                    block.values.push_back(v.value());
                    ++stored;
                }
            }
            block.row_sizes.push_back(stored);
        }
    });
    return join_blocks(blocks, nrows, b.size());
}

}  // namespace spanlet
