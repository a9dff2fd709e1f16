// The row-assembly engine behind every sparse matrix of the operations: rows in blocks on the
// pool, candidates from the support index, exact zeros dropped.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/base/pool.hpp"
#include "core/spaces/space.hpp"
#include "core/linalg/sparse.hpp"

namespace spanlet {

// Rows are computed in blocks so that each task appends to its own buffers; the blocks are joined
// in index order, so the result never depends on the number of threads. Blocks hold at most
// ROWS_PER_BLOCK rows, and there are at least MIN_BLOCKS of them when rows allow, so that a few
// expensive rows still spread over the workers and an interrupt is seen between blocks.
constexpr std::size_t ROWS_PER_BLOCK = 512;
constexpr std::size_t MIN_BLOCKS = 64;

struct Blocking {
    std::size_t rows, size;

    explicit Blocking(std::size_t nrows)
        : rows(nrows), size(std::clamp<std::size_t>(nrows / MIN_BLOCKS, 1, ROWS_PER_BLOCK)) {}
    std::size_t count() const { return (rows + size - 1) / size; }
    std::size_t first(std::size_t k) const { return k * size; }
    std::size_t last(std::size_t k) const { return std::min(rows, (k + 1) * size); }
};

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
    const Blocking blocking(nrows);
    std::vector<RowBlock> blocks(blocking.count());
    parallel_for(blocks.size(), [&](std::size_t k, Scratch& scratch) {
        RowBlock& block = blocks[k];
        const std::size_t first = blocking.first(k), last = blocking.last(k);
        block.row_sizes.reserve(last - first);
        for (std::size_t i = first; i < last; ++i) {
            if (stop_requested()) return;
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
