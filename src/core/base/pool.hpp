// The process-wide worker pool: data-parallel maps over an index range.
//
// Started on first use with one worker per CPU the process may run on, at most
// SPANLET_NUM_THREADS when that environment variable holds a positive integer. Results are written by
// index by the caller's body, so they never depend on the number of threads. Several threads may
// run jobs at once; the calling thread takes part in its own job, which guarantees progress.
#pragma once

#include <any>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <exception>
#include <memory>
#include <type_traits>
#include <vector>

namespace spanlet {

// Per-thread buffers reused from item to item: no allocation in the steady state.
struct Scratch {
    std::vector<std::uint64_t> candidates;
    std::vector<double> knots;
    std::vector<double> buffer;

    // Buffers of an operation's own type T (default-constructible and copyable): made on a
    // worker's first item of a job, reused for its later items, dropped when it leaves the job.
    template <class T>
    T& job_buffers() {
        if (T* kept = std::any_cast<T>(&job_buffers_)) return *kept;
        return job_buffers_.emplace<T>();
    }
    void drop_job_buffers() { job_buffers_.reset(); }

private:
    std::any job_buffers_;
};

// Thrown by parallel_for when the caller's poll asked to stop (see CancelScope).
struct Cancelled : std::exception {
    const char* what() const noexcept override { return "cancelled"; }
};

// While alive, every parallel_for started on this thread calls poll(context) from this thread
// about every POLL_INTERVAL of work (between items, never inside one and never while the pool is
// locked). When poll returns true the job stops: remaining items are skipped, each worker ends
// after its current item, and parallel_for throws Cancelled once no worker touches the job.
// Scopes nest; the innermost applies. Items of a nested parallel_for run inline and are not polled.
class CancelScope {
public:
    using Poll = bool (*)(void* context);
    static constexpr double POLL_INTERVAL = 0.05;  // seconds

    CancelScope(Poll poll, void* context) noexcept;
    ~CancelScope();
    CancelScope(const CancelScope&) = delete;
    CancelScope& operator=(const CancelScope&) = delete;

private:
    Poll saved_poll_;
    void* saved_context_;
};

// For bodies with long items: true once the job running on this thread is cancelled (on the
// job's caller this also polls when due). The body then returns early; the job's results are
// dropped, so what it leaves behind does not matter. Outside a job it is always false.
bool stop_requested();

namespace detail {

// A contiguous run of items handed to the body: items begin..end-1 in order, stopping before the
// next one once `stop` is set. `at` is the item being run, so a throwing item can be named.
struct Range {
    std::size_t begin, end, at;
    const std::atomic<bool>* stop;
};

using RunRange = void (*)(void* body, Range& range, Scratch& scratch);

// The pool's side of parallel_for: runs `run` over ranges that together cover [0, count).
void run_ranges(std::size_t count, RunRange run, void* body);

template <class Body>
void run_range(void* body, Range& range, Scratch& scratch) {
    Body& b = *static_cast<Body*>(body);
    for (range.at = range.begin; range.at < range.end; ++range.at) {
        if (range.stop->load(std::memory_order_relaxed)) return;
        b(range.at, scratch);
    }
}

}  // namespace detail

// Runs body(i, scratch) for every i in [0, count) on the process-wide pool and returns when all are done.
// Each worker passes its own Scratch, reused from item to item. The body is called directly inside a
// loop over a range of items, with no indirection per item. If body throws (e.g. std::bad_alloc), the
// remaining items may be skipped and the exception of the lowest failing index is rethrown on the caller.
// A call from inside a body runs inline and serially.
template <class Body>
void parallel_for(std::size_t count, Body&& body) {
    using Type = std::remove_reference_t<Body>;
    detail::run_ranges(count, &detail::run_range<Type>,
                       const_cast<void*>(static_cast<const void*>(std::addressof(body))));
}

// Threads that compute a job: the caller and the background workers together, as many as the CPUs
// in sched_getaffinity at pool start, capped by SPANLET_NUM_THREADS; starts the pool if needed.
std::size_t worker_count();

}  // namespace spanlet
