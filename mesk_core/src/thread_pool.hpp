// Worker threads: the process-wide pool that index building hands its phases to, and
// the short-lived batch pool of one scoring call. A failure on any worker is carried
// back to the calling thread and rethrown there once every worker is done.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <exception>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

namespace mesk {

class WorkerPool {
public:
    explicit WorkerPool(size_t threads);
    ~WorkerPool();
    WorkerPool(const WorkerPool &) = delete;
    WorkerPool &operator=(const WorkerPool &) = delete;

    size_t size() const { return workers_.size(); }

    // Calls body(begin, end) over consecutive chunks of [0, n), at most `grain` items a
    // chunk (0 picks a size), on the pool's workers; the calling thread only waits.
    // After the first exception no further chunk starts; it is rethrown here.
    void parallel_for(size_t n, size_t grain, const std::function<void(size_t, size_t)> &body);

private:
    void work();

    std::vector<std::thread> workers_;
    std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    // The job in flight (one at a time; callers are serialised by job_mutex_).
    std::mutex job_mutex_;
    const std::function<void(size_t, size_t)> *body_ = nullptr;
    size_t n_ = 0, grain_ = 1, next_ = 0, active_ = 0;
    unsigned long generation_ = 0;
    std::exception_ptr error_;
    bool stop_ = false;
};

// Worker count from RAYON_NUM_THREADS, then RAYON_RS_NUM_CPUS, then the processor count
// (`available`, 0 when unknown, which counts as 1). Null pointers mean unset.
size_t pool_size_from_env(const char *num_threads, const char *rs_num_cpus, size_t available);

// The process-wide pool, created on first use and kept for the life of the process.
WorkerPool &global_pool();

// Runs task(i) for every i in [0, n) on `threads` new threads made for this call, each
// index exactly once. The threads end before this returns. The first exception thrown by
// a task stops further tasks from starting and is rethrown here; a thread that cannot be
// started throws Failure("Failed to build Rayon thread pool: <cause>").
void run_on_fresh_threads(size_t threads, size_t n, const std::function<void(size_t)> &task);

}  // namespace mesk
