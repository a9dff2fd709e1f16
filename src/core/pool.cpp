#include "core/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>

namespace spanlet {
namespace {

using Body = std::function<void(std::size_t, Scratch&)>;

struct Job {
    const Body* body;
    std::size_t count;
    std::size_t chunk;
    std::atomic<std::size_t> next{0};
    std::atomic<bool> failed{false};
    std::size_t attached = 0;  // workers inside run_chunks; guarded by the pool mutex

    std::mutex error_mutex;
    std::size_t error_index = 0;
    std::exception_ptr error;

    bool has_work() const {
        return !failed.load(std::memory_order_relaxed) && next.load(std::memory_order_relaxed) < count;
    }

    void record(std::size_t index, std::exception_ptr caught) {
        std::lock_guard lock(error_mutex);
        if (!error || index < error_index) {
            error = std::move(caught);
            error_index = index;
        }
        failed.store(true, std::memory_order_relaxed);
    }
};

// True while this thread runs a body: a nested parallel_for then runs inline.
thread_local bool inside_body = false;

class BodyScope {
public:
    BodyScope() : saved_(inside_body) { inside_body = true; }
    ~BodyScope() { inside_body = saved_; }
    BodyScope(const BodyScope&) = delete;
    BodyScope& operator=(const BodyScope&) = delete;

private:
    bool saved_;
};

void run_chunks(Job& job, Scratch& scratch) {
    BodyScope scope;
    for (;;) {
        if (job.failed.load(std::memory_order_relaxed)) return;
        const std::size_t begin = job.next.fetch_add(job.chunk, std::memory_order_relaxed);
        if (begin >= job.count) return;
        const std::size_t end = std::min(job.count, begin + job.chunk);
        for (std::size_t i = begin; i < end; ++i) {
            try {
                (*job.body)(i, scratch);
            } catch (...) {
                job.record(i, std::current_exception());
                return;
            }
        }
    }
}

std::size_t available_cpus() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof set, &set) == 0) return std::max(1, CPU_COUNT(&set));
    // More CPUs than a cpu_set_t describes: ask with a larger dynamic set.
    for (int cpus = 2 * CPU_SETSIZE; cpus <= (1 << 20); cpus *= 2) {
        cpu_set_t* dynamic = CPU_ALLOC(cpus);
        if (dynamic == nullptr) break;
        const std::size_t size = CPU_ALLOC_SIZE(cpus);
        CPU_ZERO_S(size, dynamic);
        const bool ok = sched_getaffinity(0, size, dynamic) == 0;
        const int count = ok ? CPU_COUNT_S(size, dynamic) : 0;
        CPU_FREE(dynamic);
        if (ok) return std::max(1, count);
    }
    return std::max(1u, std::thread::hardware_concurrency());
}

// Workers for a new pool: the CPUs the process may run on, capped by SPANLET_NUM_THREADS for
// processes that share the machine (multiprocessing, dask workers). A value that is not a
// positive decimal integer is ignored.
std::size_t worker_target() {
    const std::size_t cpus = available_cpus();
    const char* text = std::getenv("SPANLET_NUM_THREADS");
    if (text == nullptr) return cpus;
    const char* end = text + std::strlen(text);
    std::size_t cap = 0;
    const auto [last, error] = std::from_chars(text, end, cap);
    if (error != std::errc() || last != end || cap == 0) return cpus;
    return std::min(cpus, cap);
}

class Pool {
public:
    explicit Pool(std::size_t target) : target_(target) {}

    std::size_t workers() {
        std::lock_guard lock(mutex_);
        start_locked();
        return started_;
    }

    void run(std::size_t count, const Body& body, Scratch& scratch) {
        Job job;
        job.body = &body;
        job.count = count;
        std::size_t helpers;
        {
            std::lock_guard lock(mutex_);
            start_locked();
            // A few chunks per thread balances uneven items without much contention.
            job.chunk = std::max<std::size_t>(1, count / ((started_ + 1) * 4));
            helpers = std::min(started_, (count + job.chunk - 1) / job.chunk - 1);
            if (helpers > 0) jobs_.push_back(&job);
        }
        for (std::size_t i = 0; i < helpers; ++i) work_.notify_one();
        run_chunks(job, scratch);
        if (helpers > 0) {
            std::unique_lock lock(mutex_);
            jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
            // Workers touch the job only while attached; it lives on this stack.
            done_.wait(lock, [&] { return job.attached == 0; });
        }
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    void start_locked() {
        if (starting_done_) return;
        starting_done_ = true;
        // Fewer threads than asked is fine: the caller always works on its own job.
        try {
            for (; started_ < target_; ++started_) std::thread([this] { worker(); }).detach();
        } catch (const std::system_error&) {
        }
    }

    Job* find_job() {
        for (Job* job : jobs_)
            if (job->has_work()) return job;
        return nullptr;
    }

    void worker() {
        Scratch scratch;
        std::unique_lock lock(mutex_);
        for (;;) {
            Job* job = nullptr;
            work_.wait(lock, [&] { return (job = find_job()) != nullptr; });
            ++job->attached;
            lock.unlock();
            run_chunks(*job, scratch);
            lock.lock();
            if (--job->attached == 0) done_.notify_all();
        }
    }

    const std::size_t target_;
    std::size_t started_ = 0;
    bool starting_done_ = false;
    std::mutex mutex_;
    std::condition_variable work_;
    std::condition_variable done_;
    std::vector<Job*> jobs_;
};

// The pool is never destroyed: its detached workers wait on it until the process ends.
std::atomic<Pool*> current_pool{nullptr};

// In a child after fork the parent's workers do not exist and the pool's mutex may be held by a
// thread that is gone: abandon that pool so the next use builds a fresh one.
void forget_pool_in_child() { current_pool.store(nullptr, std::memory_order_relaxed); }

Pool& pool() {
    Pool* existing = current_pool.load(std::memory_order_acquire);
    if (existing != nullptr) return *existing;
    static const bool registered = [] {
        pthread_atfork(nullptr, nullptr, forget_pool_in_child);
        return true;
    }();
    (void)registered;
    // No lock here (a child could inherit it locked): racing builders keep the first pool, and
    // a losing pool has not started any thread yet.
    auto* fresh = new Pool(worker_target());
    if (current_pool.compare_exchange_strong(existing, fresh, std::memory_order_acq_rel)) return *fresh;
    delete fresh;
    return *existing;
}

}  // namespace

void parallel_for(std::size_t count, const Body& body) {
    if (count == 0) return;
    thread_local Scratch caller_scratch;
    if (inside_body) {
        // Nested: the enclosing body owns the thread's scratch, so use a fresh one.
        Scratch scratch;
        for (std::size_t i = 0; i < count; ++i) body(i, scratch);
        return;
    }
    if (count == 1) {
        BodyScope scope;
        body(0, caller_scratch);
        return;
    }
    pool().run(count, body, caller_scratch);
}

std::size_t worker_count() { return pool().workers(); }

}  // namespace spanlet
