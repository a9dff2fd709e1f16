// Rows of a result computed on the pool, each row by a callback that may fail. Whatever the
// scheduling, the error of the lowest failing row is the one returned, so a failure, like every
// result, never depends on the number of threads.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <optional>
#include <vector>

#include "core/base/error.hpp"
#include "core/base/pool.hpp"

namespace spanlet {

// How rows are split into tasks. Contiguous blocks suit results appended row by row (each task
// appends to buffers of its own, joined in index order); rows dealt in turn (t, t + T, ...)
// spread the short rows at the end of a triangle evenly. Many short tasks keep each one brief,
// so that the workers stay balanced and an interrupt is seen soon.
class RowTasks {
public:
    // At most ROWS_PER_BLOCK rows a block, and at least MIN_BLOCKS blocks when there are rows
    // enough, so that a few expensive rows still spread over the workers.
    static constexpr std::size_t ROWS_PER_BLOCK = 512;
    static constexpr std::size_t MIN_BLOCKS = 64;

    static RowTasks blocks(std::size_t rows) {
        return {rows, std::clamp<std::size_t>(rows / MIN_BLOCKS, 1, ROWS_PER_BLOCK), false};
    }
    static RowTasks dealt(std::size_t rows, std::size_t tasks) { return {rows, std::max<std::size_t>(tasks, 1), true}; }

    std::size_t rows() const { return rows_; }
    std::size_t count() const { return dealt_ ? std::min(rows_, size_) : (rows_ + size_ - 1) / size_; }
    std::size_t first(std::size_t task) const { return dealt_ ? task : task * size_; }
    std::size_t end(std::size_t task) const { return dealt_ ? rows_ : std::min(rows_, (task + 1) * size_); }
    std::size_t stride() const { return dealt_ ? size_ : 1; }

private:
    RowTasks(std::size_t rows, std::size_t size, bool dealt) : rows_(rows), size_(size), dealt_(dealt) {}

    std::size_t rows_, size_;  // size: rows per block, or the number of tasks rows are dealt to
    bool dealt_;
};

// Runs row(task, i, scratch) -> Status for every row i on the pool, the rows of one task in
// ascending order with the worker's scratch. A failing row ends its task, and tasks skip rows
// beyond the lowest failure seen so far.
template <class Row>
Status parallel_rows(const RowTasks& split, Row&& row) {
    const std::size_t rows = split.rows(), tasks = split.count();
    if (rows == 0) return success();
    std::vector<std::optional<Error>> failures(tasks);
    std::vector<std::size_t> failed_row(tasks, rows);
    std::atomic<std::size_t> lowest_failure{rows};
    parallel_for(tasks, [&](std::size_t t, Scratch& scratch) {
        for (std::size_t i = split.first(t); i < split.end(t); i += split.stride()) {
            if (i >= lowest_failure.load(std::memory_order_relaxed) || stop_requested()) return;
            Status status = row(t, i, scratch);
            if (status) continue;
            failures[t] = std::move(status).error();
            failed_row[t] = i;
            std::size_t seen = lowest_failure.load(std::memory_order_relaxed);
            while (i < seen && !lowest_failure.compare_exchange_weak(seen, i, std::memory_order_relaxed)) {
            }
            return;
        }
    });
    const auto first = std::min_element(failed_row.begin(), failed_row.end());
    if (*first == rows) return success();
    return std::move(*failures[static_cast<std::size_t>(first - failed_row.begin())]);
}

}  // namespace spanlet
