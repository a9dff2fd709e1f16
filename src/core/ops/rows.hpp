// The row-assembly engine behind every sparse matrix of the operations: rows in blocks on the
// pool, candidates from the support index, exact zeros dropped.
#pragma once

#include <cstdint>
#include <vector>

#include "core/base/parallel_rows.hpp"
#include "core/spaces/space.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

// Consecutive rows: row_sizes[r] entries of indices and values for each, row after row.
struct RowBlock {
    std::vector<std::uint64_t> row_sizes;
    std::vector<std::uint64_t> indices;
    std::vector<double> values;
    // Exact zeros among the values, which RowBlocks::write leaves out: an assembly that sums into
    // every candidate's slot hands its slots over as they are instead of copying the rest out.
    std::uint64_t zeros = 0;
};

// Joins the blocks (which hold no zeros) in index order into one matrix.
Csr join_blocks(std::vector<RowBlock>& blocks, std::uint64_t nrows, std::uint64_t ncols);

// The blocks of rows of an nrows x ncols matrix, in index order, before they are joined: the count
// of stored entries comes first, so that a caller makes the result's arrays once, uninitialised,
// and each entry is copied once, on the pool.
struct RowBlocks {
    std::vector<RowBlock> blocks;
    std::uint64_t nrows = 0, ncols = 0;

    std::uint64_t stored() const;
    // Fills out (nrows + 1 offsets, stored() entries) block by block on the pool, leaving out the
    // zeros and releasing each block once copied.
    void write(RowArrays out);
    // The same into a matrix of its own.
    Csr join();
};

// Builds an nrows x b.size() matrix on the pool. For row i, `interval(i)` gives the support to
// search in b and `value(i, j, knots)` the entry for candidate j (a Result<double>).
template <class Interval, class Value>
Result<Csr> sparse_rows(std::size_t nrows, const Space& b, Interval interval, Value value) {
    const RowTasks split = RowTasks::blocks(nrows);
    std::vector<RowBlock> blocks(split.count());
    SPANLET_TRY_STATUS(parallel_rows(split, [&](std::size_t k, std::size_t i, Scratch& scratch) -> Status {
        RowBlock& block = blocks[k];
        const Support s = interval(i);
        candidates(b, scratch.candidates, s.lo, s.hi);
        std::uint64_t stored = 0;
        for (std::uint64_t j : scratch.candidates) {
            Result<double> v = value(i, j, scratch.knots);
            if (!v) return std::move(v).error();
            if (v.value() != 0.0) {
                block.indices.push_back(j);
                block.values.push_back(v.value());
                ++stored;
            }
        }
        block.row_sizes.push_back(stored);
        return success();
    }));
    return join_blocks(blocks, nrows, b.size());
}

}  // namespace spanlet
