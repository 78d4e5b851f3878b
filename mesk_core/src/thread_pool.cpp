// The persistent worker pool of index building, its sizing from the environment, and
// the per-call fresh threads of batch scoring.
#include "thread_pool.hpp"

#include <pthread.h>
#include <sched.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <limits>
#include <string>
#include <system_error>
#include <utility>

#include "failure.hpp"

namespace mesk {

namespace {

// The pool whose worker is running on this thread, if any: a parallel_for issued from
// inside a job of the same pool runs inline instead of waiting on itself.
thread_local const WorkerPool *current_pool = nullptr;

}  // namespace

WorkerPool::WorkerPool(size_t threads) {
    const size_t count = std::max<size_t>(threads, 1);
    workers_.reserve(count);
    try {
        for (size_t i = 0; i < count; ++i) workers_.emplace_back([this] { work(); });
    } catch (const std::system_error &e) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        for (auto &w : workers_) w.join();
        throw Failure(std::string("Failed to build Rayon thread pool: ") + e.what());
    }
}

WorkerPool::~WorkerPool() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stop_ = true;
    }
    wake_.notify_all();
    for (auto &w : workers_) w.join();
}

void WorkerPool::parallel_for(size_t n, size_t grain, const std::function<void(size_t, size_t)> &body) {
    if (n == 0) return;
    if (grain == 0) grain = std::max<size_t>(1, n / (workers_.size() * 16));
    if (current_pool == this) {
        // Called from one of our own workers: the other workers may all be busy with
        // the enclosing job, so run the whole range here.
        for (size_t begin = 0; begin < n; begin += std::min(grain, n - begin))
            body(begin, begin + std::min(grain, n - begin));
        return;
    }

    std::lock_guard<std::mutex> job(job_mutex_);
    std::unique_lock<std::mutex> lock(mutex_);
    body_ = &body;
    n_ = n;
    grain_ = grain;
    next_ = 0;
    active_ = workers_.size();
    error_ = nullptr;
    ++generation_;
    wake_.notify_all();
    done_.wait(lock, [this] { return active_ == 0; });
    body_ = nullptr;
    std::exception_ptr error = std::exchange(error_, nullptr);
    lock.unlock();
    if (error) std::rethrow_exception(error);
}

void WorkerPool::work() {
    current_pool = this;
    unsigned long seen = 0;
    std::unique_lock<std::mutex> lock(mutex_);
    for (;;) {
        wake_.wait(lock, [&] { return stop_ || generation_ != seen; });
        if (stop_) return;
        seen = generation_;
        // Take chunks until the range is exhausted or some chunk has failed.
        while (!error_ && next_ < n_) {
            const size_t begin = next_;
            const size_t end = begin + std::min(grain_, n_ - begin);
            next_ = end;
            lock.unlock();
            std::exception_ptr failure;
            try {
                (*body_)(begin, end);
            } catch (...) {
                failure = std::current_exception();
            }
            lock.lock();
            if (failure && !error_) error_ = std::move(failure);
        }
        if (--active_ == 0) done_.notify_one();
    }
}

namespace {

// A decimal count: an optional '+', then digits only, fitting a machine word.
bool parse_count(const char *text, size_t &value) {
    if (text == nullptr) return false;
    const char *p = text;
    if (*p == '+') ++p;
    if (*p == '\0') return false;
    size_t v = 0;
    for (; *p != '\0'; ++p) {
        if (*p < '0' || *p > '9') return false;
        const size_t digit = static_cast<size_t>(*p - '0');
        if (v > (std::numeric_limits<size_t>::max() - digit) / 10) return false;
        v = v * 10 + digit;
    }
    value = v;
    return true;
}

size_t available_processors() {
    cpu_set_t set;
    CPU_ZERO(&set);
    if (sched_getaffinity(0, sizeof(set), &set) == 0) {
        const int count = CPU_COUNT(&set);
        if (count > 0) return static_cast<size_t>(count);
    }
    return std::thread::hardware_concurrency();  // 0 when unknown
}

}  // namespace

size_t pool_size_from_env(const char *num_threads, const char *rs_num_cpus, size_t available) {
    const size_t processors = available == 0 ? 1 : available;
    size_t value = 0;
    if (parse_count(num_threads, value)) return value == 0 ? processors : value;
    if (parse_count(rs_num_cpus, value) && value > 0) return value;
    return processors;
}

namespace {

// The process-wide pool. Never destroyed: joining workers during static destruction at
// interpreter exit could hang or touch freed state, so it is deliberately leaked.
std::atomic<WorkerPool *> process_pool{nullptr};
std::mutex *process_pool_mutex = new std::mutex;

// A child forked from a threaded process has none of its parent's workers; a pool that
// waited for them would wait forever. The child forgets the pool (and a creation lock
// that some other parent thread may have held) and makes its own on first use.
void forget_pool_in_child() {
    process_pool.store(nullptr, std::memory_order_relaxed);
    process_pool_mutex = new std::mutex;
}

}  // namespace

WorkerPool &global_pool() {
    if (WorkerPool *pool = process_pool.load(std::memory_order_acquire)) return *pool;
    static const bool fork_handler = pthread_atfork(nullptr, nullptr, forget_pool_in_child) == 0;
    (void)fork_handler;
    std::lock_guard<std::mutex> lock(*process_pool_mutex);
    if (WorkerPool *pool = process_pool.load(std::memory_order_acquire)) return *pool;
    auto *pool = new WorkerPool(
        pool_size_from_env(std::getenv("RAYON_NUM_THREADS"), std::getenv("RAYON_RS_NUM_CPUS"), available_processors()));
    process_pool.store(pool, std::memory_order_release);
    return *pool;
}

void run_on_fresh_threads(size_t threads, size_t n, const std::function<void(size_t)> &task) {
    const size_t count = std::max<size_t>(threads, 1);
    std::mutex mutex;
    std::condition_variable gate;
    bool opened = false, abandoned = false;
    std::atomic<size_t> next{0};
    std::atomic<bool> failed{false};
    std::exception_ptr error;

    // Every thread waits at the gate until all of them exist, so nothing runs when the
    // pool cannot be built in full.
    auto worker = [&] {
        {
            std::unique_lock<std::mutex> lock(mutex);
            gate.wait(lock, [&] { return opened; });
            if (abandoned) return;
        }
        for (;;) {
            if (failed.load(std::memory_order_relaxed)) return;
            const size_t i = next.fetch_add(1, std::memory_order_relaxed);
            if (i >= n) return;
            try {
                task(i);
            } catch (...) {
                std::lock_guard<std::mutex> lock(mutex);
                if (!error) error = std::current_exception();
                failed.store(true, std::memory_order_relaxed);
                return;
            }
        }
    };

    std::vector<std::thread> pool;
    pool.reserve(count);
    std::string cause;
    try {
        for (size_t t = 0; t < count; ++t) pool.emplace_back(worker);
    } catch (const std::system_error &e) {
        cause = e.what();
        std::lock_guard<std::mutex> lock(mutex);
        abandoned = true;
    }
    {
        std::lock_guard<std::mutex> lock(mutex);
        opened = true;
    }
    gate.notify_all();
    for (auto &t : pool) t.join();
    if (abandoned) throw Failure("Failed to build Rayon thread pool: " + cause);
    if (error) std::rethrow_exception(error);
}

}  // namespace mesk
