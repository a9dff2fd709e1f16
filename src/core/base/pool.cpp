#include "core/base/pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <charconv>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <mutex>
#include <optional>
#include <system_error>
#include <thread>

namespace spanlet {
namespace {

using Clock = std::chrono::steady_clock;

// The poll of the innermost CancelScope on this thread, if any.
thread_local CancelScope::Poll scope_poll = nullptr;
thread_local void* scope_context = nullptr;

struct Job {
    detail::RunRange run;
    void* body;
    std::size_t count;
    std::size_t chunk;
    std::size_t threads = 1;
    std::atomic<std::size_t> next{0};
    // A failure ends the job at the next claim, so the range holding the lowest failing index
    // still reaches it; a cancel also ends the ranges being run, after their current item.
    std::atomic<bool> failed{false};
    std::atomic<bool> cancelled{false};
    std::size_t attached = 0;       // workers inside run_items; guarded by the pool mutex

    std::mutex error_mutex;
    std::size_t error_index = 0;
    std::exception_ptr error;

    bool stopped() const {
        return failed.load(std::memory_order_relaxed) || cancelled.load(std::memory_order_relaxed);
    }

    bool has_work() const { return !stopped() && next.load(std::memory_order_relaxed) < count; }

    // At most `claim` items, and no more than a share of what is left: the last claims are short,
    // so that the threads run out of work together rather than one waiting on another's chunk.
    std::size_t share(std::size_t claim) const {
        const std::size_t left = count - std::min(count, next.load(std::memory_order_relaxed));
        return std::clamp<std::size_t>(left / (2 * threads), 1, claim);
    }

    void record(std::size_t index, std::exception_ptr caught) {
        std::lock_guard lock(error_mutex);
        if (!error || index < error_index) {
            error = std::move(caught);
            error_index = index;
        }
        failed.store(true, std::memory_order_relaxed);
    }

    void cancel() { cancelled.store(true, std::memory_order_relaxed); }

    void run_range(detail::Range& range, Scratch& scratch) {
        try {
            run(body, range, scratch);
        } catch (...) {
            record(range.at, std::current_exception());
        }
    }
};

// The calling thread's side of a cancellable job: when its poll is due, and how often to read the
// clock so that polls stay on time without a clock read per item or per row.
class Poller {
public:
    Poller(CancelScope::Poll poll, void* context)
        : poll_(poll), context_(context), last_read_(Clock::now()), due_(last_read_ + INTERVAL) {}

    Clock::time_point due() const { return due_; }

    // Polls if due; true when the job must stop.
    bool poll_if_due(Clock::time_point now) {
        if (now < due_) return false;
        const bool stop = poll_(context_);
        due_ = Clock::now() + INTERVAL;
        return stop;
    }

    // For checks between the rows of a body: reads the clock every `stride_` calls, with the
    // stride adapted so that reads come about every millisecond.
    bool poll_if_due_strided() {
        if (++calls_ < stride_) return false;
        calls_ = 0;
        const Clock::time_point now = Clock::now();
        const Clock::duration since = now - last_read_;
        last_read_ = now;
        if (since < std::chrono::microseconds(500) && stride_ < MAX_STRIDE) stride_ *= 2;
        if (since > std::chrono::milliseconds(2) && stride_ > 1) stride_ /= 2;
        return poll_if_due(now);
    }

    // Items the caller claims at a time: pieces of one to a few milliseconds, never more than a
    // worker's chunk.
    static std::size_t next_claim(std::size_t claim, Clock::duration took, std::size_t chunk) {
        if (took < std::chrono::milliseconds(1)) return std::min(chunk, 2 * claim);
        if (took > std::chrono::milliseconds(4)) return std::max<std::size_t>(1, claim / 2);
        return claim;
    }

private:
    static constexpr auto INTERVAL =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(CancelScope::POLL_INTERVAL));
    static constexpr std::size_t MAX_STRIDE = 1 << 16;
    CancelScope::Poll poll_;
    void* context_;
    std::size_t stride_ = 1, calls_ = 0;
    Clock::time_point last_read_, due_;
};

// The job this thread is running items of (a nested parallel_for then runs inline), and the
// poller when this thread is the job's cancellable caller.
thread_local Job* running_job = nullptr;
thread_local Poller* running_poller = nullptr;

class BodyScope {
public:
    BodyScope(Job& job, Poller* poller) : job_(running_job), poller_(running_poller) {
        running_job = &job;
        running_poller = poller;
    }
    ~BodyScope() {
        running_job = job_;
        running_poller = poller_;
    }
    BodyScope(const BodyScope&) = delete;
    BodyScope& operator=(const BodyScope&) = delete;

private:
    Job* job_;
    Poller* poller_;
};

// Drops the job's own buffers from the worker's scratch when the worker leaves the job.
class JobBuffersScope {
public:
    explicit JobBuffersScope(Scratch& scratch) : scratch_(scratch) {}
    ~JobBuffersScope() { scratch_.drop_job_buffers(); }
    JobBuffersScope(const JobBuffersScope&) = delete;
    JobBuffersScope& operator=(const JobBuffersScope&) = delete;

private:
    Scratch& scratch_;
};

// Claims items from the job until none are left or it stops. Workers claim chunks, shorter ones
// towards the end; the caller of a cancellable job claims short pieces and polls between them.
void run_items(Job& job, Scratch& scratch, Poller* poller) {
    JobBuffersScope buffers(scratch);
    BodyScope scope(job, poller);
    detail::Range range{0, 0, 0, &job.cancelled};
    std::size_t claim = poller != nullptr ? 1 : job.chunk;
    while (!job.stopped()) {
        const std::size_t take = job.share(claim);
        range.begin = job.next.fetch_add(take, std::memory_order_relaxed);
        if (range.begin >= job.count) return;
        range.end = std::min(job.count, range.begin + take);
        if (poller == nullptr) {
            job.run_range(range, scratch);
            continue;
        }
        const Clock::time_point start = Clock::now();
        job.run_range(range, scratch);
        const Clock::time_point finish = Clock::now();
        claim = Poller::next_claim(claim, finish - start, job.chunk);
        if (!job.stopped() && poller->poll_if_due(finish)) job.cancel();
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

    // The threads that compute a job: the caller and the background threads.
    std::size_t workers() {
        std::lock_guard lock(mutex_);
        start_locked();
        return started_ + 1;
    }

    void run(std::size_t count, detail::RunRange run, void* body, Scratch& scratch) {
        Job job;
        job.run = run;
        job.body = body;
        job.count = count;
        std::size_t helpers;
        {
            std::lock_guard lock(mutex_);
            start_locked();
            // A few chunks per thread balances uneven items without much contention.
            job.chunk = std::max<std::size_t>(1, count / ((started_ + 1) * 4));
            job.threads = started_ + 1;
            helpers = std::min(started_, (count + job.chunk - 1) / job.chunk - 1);
            if (helpers > 0) jobs_.push_back(&job);
        }
        for (std::size_t i = 0; i < helpers; ++i) work_.notify_one();
        std::optional<Poller> poller;
        if (scope_poll != nullptr) poller.emplace(scope_poll, scope_context);
        run_items(job, scratch, poller ? &*poller : nullptr);
        if (helpers > 0) {
            std::unique_lock lock(mutex_);
            jobs_.erase(std::find(jobs_.begin(), jobs_.end(), &job));
            // Workers touch the job only while attached; it lives on this stack.
            const auto detached = [&] { return job.attached == 0; };
            if (!poller) {
                done_.wait(lock, detached);
            } else {
                // The poll runs unlocked: it may wait for the interpreter lock.
                while (!done_.wait_until(lock, poller->due(), detached)) {
                    if (job.stopped()) {
                        done_.wait(lock, detached);
                        break;
                    }
                    lock.unlock();
                    const bool stop = poller->poll_if_due(Clock::now());
                    lock.lock();
                    if (stop) job.cancel();
                }
            }
        }
        if (job.cancelled.load(std::memory_order_relaxed)) throw Cancelled();
        if (job.error) std::rethrow_exception(job.error);
    }

private:
    void start_locked() {
        if (starting_done_) return;
        starting_done_ = true;
        // The caller always works on its own job, so it counts as one of the target's threads;
        // fewer threads than asked is fine.
        try {
            for (; started_ + 1 < target_; ++started_) std::thread([this] { worker(); }).detach();
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
            run_items(*job, scratch, nullptr);
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

CancelScope::CancelScope(Poll poll, void* context) noexcept : saved_poll_(scope_poll), saved_context_(scope_context) {
    scope_poll = poll;
    scope_context = context;
}

CancelScope::~CancelScope() {
    scope_poll = saved_poll_;
    scope_context = saved_context_;
}

bool stop_requested() {
    Job* job = running_job;
    if (job == nullptr) return false;
    if (job->cancelled.load(std::memory_order_relaxed)) return true;
    if (running_poller == nullptr || !running_poller->poll_if_due_strided()) return false;
    job->cancel();
    return true;
}

namespace detail {

void run_ranges(std::size_t count, RunRange run, void* body) {
    if (count == 0) return;
    thread_local Scratch caller_scratch;
    if (Job* outer = running_job) {
        // Nested: the enclosing body owns the thread's scratch, so use a fresh one; the items
        // stop with the enclosing job.
        Scratch scratch;
        BodyScope scope(*outer, nullptr);
        Range all{0, count, 0, &outer->cancelled};
        run(body, all, scratch);
        return;
    }
    if (count > 1) {
        pool().run(count, run, body, caller_scratch);
        return;
    }
    // One item runs here, still cancellable between the steps that check stop_requested.
    Job job;
    job.run = run;
    job.body = body;
    job.count = job.chunk = 1;
    std::optional<Poller> poller;
    if (scope_poll != nullptr) poller.emplace(scope_poll, scope_context);
    {
        JobBuffersScope buffers(caller_scratch);
        BodyScope scope(job, poller ? &*poller : nullptr);
        Range one{0, 1, 0, &job.cancelled};
        run(body, one, caller_scratch);
    }
    if (job.cancelled.load(std::memory_order_relaxed)) throw Cancelled();
}

}  // namespace detail

std::size_t worker_count() { return pool().workers(); }

}  // namespace spanlet
