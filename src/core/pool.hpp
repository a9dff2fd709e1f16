// The process-wide worker pool: data-parallel maps over an index range.
//
// Started on first use with one worker per CPU the process may run on, at most
// SPANLET_NUM_THREADS when that environment variable holds a positive integer. Results are written by
// index by the caller's body, so they never depend on the number of threads. Several threads may
// run jobs at once; the calling thread takes part in its own job, which guarantees progress.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace spanlet {

// Per-thread buffers reused from item to item: no allocation in the steady state.
struct Scratch {
    std::vector<std::uint64_t> candidates;
    std::vector<double> knots;
    std::vector<double> buffer;
};

// Runs body(i, scratch) for every i in [0, count) on the process-wide pool and returns when all are done.
// Each worker passes its own Scratch, reused from item to item. If body throws (e.g. std::bad_alloc), the
// remaining items may be skipped and the exception of the lowest failing index is rethrown on the caller.
// A call from inside a body runs inline and serially.
void parallel_for(std::size_t count, const std::function<void(std::size_t, Scratch&)>& body);

// Threads of the pool (CPUs in sched_getaffinity at pool start, capped by SPANLET_NUM_THREADS);
// starts the pool if needed.
std::size_t worker_count();

}  // namespace spanlet
