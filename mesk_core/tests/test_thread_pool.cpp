// Pool sizing from the environment, the persistent pool's work sharing and failure
// handling, and the fresh threads of a batch.
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "check.hpp"
#include "failure.hpp"
#include "thread_pool.hpp"

using namespace mesk;

// Runs first, before anything else in this program touches the process-wide pool.
TEST(global_pool_sized_from_environment_once) {
    setenv("RAYON_NUM_THREADS", "3", 1);
    setenv("RAYON_RS_NUM_CPUS", "5", 1);
    WorkerPool &pool = global_pool();
    CHECK_EQ(pool.size(), size_t{3});
    setenv("RAYON_NUM_THREADS", "1", 1);
    CHECK(&global_pool() == &pool);  // created once, kept
    CHECK_EQ(global_pool().size(), size_t{3});
    unsetenv("RAYON_NUM_THREADS");
    unsetenv("RAYON_RS_NUM_CPUS");
}

TEST(pool_size_rules) {
    // RAYON_NUM_THREADS: a positive count wins; 0 means the processor count.
    CHECK_EQ(pool_size_from_env("4", "6", 8), size_t{4});
    CHECK_EQ(pool_size_from_env("+4", nullptr, 8), size_t{4});
    CHECK_EQ(pool_size_from_env("64", nullptr, 2), size_t{64});
    CHECK_EQ(pool_size_from_env("0", "6", 8), size_t{8});
    CHECK_EQ(pool_size_from_env("000", "6", 8), size_t{8});
    // Not a count: fall back to RAYON_RS_NUM_CPUS when that is positive.
    for (const char *bad : {"", "abc", "-2", " 4", "4 ", "4x", "1.5", "+", "99999999999999999999999"})
        CHECK_EQ(pool_size_from_env(bad, "6", 8), size_t{6});
    CHECK_EQ(pool_size_from_env(nullptr, "6", 8), size_t{6});
    // Neither usable: the processor count, and 1 when that is unknown.
    for (const char *bad : {(const char *)nullptr, "0", "x", "-1", ""}) {
        CHECK_EQ(pool_size_from_env(nullptr, bad, 8), size_t{8});
        CHECK_EQ(pool_size_from_env("junk", bad, 8), size_t{8});
        CHECK_EQ(pool_size_from_env(nullptr, bad, 0), size_t{1});
    }
    CHECK_EQ(pool_size_from_env("0", nullptr, 0), size_t{1});
}

TEST(parallel_for_covers_each_index_once) {
    for (size_t threads : {0, 1, 2, 7}) {
        WorkerPool pool(threads);
        CHECK_EQ(pool.size(), threads == 0 ? size_t{1} : threads);
        for (size_t n : {0, 1, 2, 15, 1000, 100003}) {
            for (size_t grain : {0, 1, 7, 1000, 1000000}) {
                std::vector<std::atomic<int>> hits(n);
                std::atomic<bool> bad_chunk{false}, on_caller{false};
                const auto caller = std::this_thread::get_id();
                pool.parallel_for(n, grain, [&](size_t b, size_t e) {
                    if (b >= e || e > n || (grain != 0 && e - b > grain)) bad_chunk = true;
                    if (std::this_thread::get_id() == caller) on_caller = true;
                    for (size_t i = b; i < e; ++i) hits[i].fetch_add(1);
                });
                bool once = true;
                for (auto &h : hits) once = once && h.load() == 1;
                CHECK(once);
                CHECK(!bad_chunk);
                CHECK(!on_caller);
            }
        }
    }
}

// A failing task in a range of FAILURE_RANGE tasks of 200 us each must stop the hand-out
// of further tasks: fewer than STOPPED_EARLY of them start. The other workers start a few
// while the failure travels to the pool. The bound is a tenth of the range, and leaves room
// for the failing thread to wait its turn for a processor on a busy machine: the three
// other workers would have to run on without it for about 0.6 s to reach the bound.
constexpr size_t FAILURE_RANGE = 100000;
constexpr int STOPPED_EARLY = FAILURE_RANGE / 10;

TEST(parallel_for_failure_is_rethrown_after_all_workers_finish) {
    WorkerPool pool(4);
    std::atomic<int> started{0}, finished{0};
    std::string message;
    try {
        pool.parallel_for(FAILURE_RANGE, 1, [&](size_t b, size_t) {
            ++started;
            if (b == 3) throw std::invalid_argument("chunk 3 failed");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            ++finished;
        });
    } catch (const std::invalid_argument &e) {
        message = e.what();
    }
    CHECK_EQ(message, std::string("chunk 3 failed"));
    // Every chunk that started has finished, and the failure stopped the hand-out early.
    CHECK_EQ(finished.load(), started.load() - 1);
    CHECK(started.load() < STOPPED_EARLY);

    // Several failures: one of them comes back; the pool stays usable.
    CHECK_THROWS(pool.parallel_for(100, 1, [](size_t, size_t) { throw Failure("every chunk fails"); }));
    std::atomic<size_t> sum{0};
    pool.parallel_for(1000, 0, [&](size_t b, size_t e) {
        for (size_t i = b; i < e; ++i) sum += i;
    });
    CHECK_EQ(sum.load(), size_t{999 * 1000 / 2});
}

TEST(parallel_for_nested_and_concurrent_callers) {
    WorkerPool pool(2);
    // A job that issues another job on the same pool completes (it runs inline).
    std::atomic<int> inner{0};
    pool.parallel_for(8, 1, [&](size_t, size_t) {
        pool.parallel_for(10, 3, [&](size_t b, size_t e) { inner += int(e - b); });
    });
    CHECK_EQ(inner.load(), 80);
    // Two threads sharing the pool: their jobs run one after the other, both in full.
    std::atomic<long> total{0};
    auto caller = [&] {
        for (int r = 0; r < 50; ++r)
            pool.parallel_for(1000, 10, [&](size_t b, size_t e) { total += long(e - b); });
    };
    std::thread t1(caller), t2(caller);
    t1.join();
    t2.join();
    CHECK_EQ(total.load(), 100000L);
    // Pools come and go cleanly.
    for (int r = 0; r < 20; ++r) {
        WorkerPool p(3);
        p.parallel_for(10, 1, [](size_t, size_t) {});
    }
}

TEST(fresh_threads_run_every_index_once) {
    for (size_t threads : {1, 4, 32}) {
        for (size_t n : {0, 1, 31, 1000}) {
            std::vector<std::atomic<int>> hits(n);
            std::mutex m;
            std::set<std::thread::id> ids;
            run_on_fresh_threads(threads, n, [&](size_t i) {
                hits[i].fetch_add(1);
                std::lock_guard<std::mutex> lock(m);
                ids.insert(std::this_thread::get_id());
            });
            bool once = true;
            for (auto &h : hits) once = once && h.load() == 1;
            CHECK(once);
            CHECK(ids.size() <= threads);
            CHECK(!ids.count(std::this_thread::get_id()));
        }
    }
}

TEST(fresh_threads_failure_stops_handing_out) {
    std::atomic<int> started{0}, finished{0};
    std::string message;
    try {
        run_on_fresh_threads(4, FAILURE_RANGE, [&](size_t i) {
            ++started;
            if (i == 10) throw std::runtime_error("spectrum 10 failed");
            std::this_thread::sleep_for(std::chrono::microseconds(200));
            ++finished;
        });
    } catch (const std::runtime_error &e) {
        message = e.what();
    }
    CHECK_EQ(message, std::string("spectrum 10 failed"));
    CHECK_EQ(finished.load(), started.load() - 1);
    CHECK(started.load() < STOPPED_EARLY);
}

namespace {

// Runs `body` in a child process and returns its exit status (0 = passed).
template <class Body>
int in_child(Body body) {
    const pid_t pid = fork();
    if (pid == 0) _exit(body());
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 100;
}

// 0 when run_on_fresh_threads reports the failed start and ran no task.
int expect_start_failure(size_t threads) {
    std::atomic<int> ran{0};
    try {
        run_on_fresh_threads(threads, 1000, [&](size_t) { ++ran; });
    } catch (const Failure &e) {
        const std::string prefix = "Failed to build Rayon thread pool: ";
        const std::string what = e.what();
        if (what.compare(0, prefix.size(), prefix) != 0 || what.size() == prefix.size()) return 2;
        return ran.load() == 0 ? 0 : 3;
    } catch (...) {
        return 4;
    }
    return 1;
}

}  // namespace

TEST(global_pool_in_a_forked_child) {
#if defined(__SANITIZE_THREAD__)
    return;  // the thread sanitizer cannot start threads in a child forked from a threaded process
#endif
    // The parent's workers exist before the fork; the child has none of them and must
    // still get its work done rather than wait forever.
    std::atomic<int> parent_sum{0};
    global_pool().parallel_for(10, 1, [&](size_t b, size_t e) { parent_sum += int(e - b); });
    CHECK_EQ(parent_sum.load(), 10);
    const pid_t pid = fork();
    if (pid == 0) {
        std::atomic<size_t> sum{0};
        global_pool().parallel_for(1000, 1, [&](size_t b, size_t e) {
            for (size_t i = b; i < e; ++i) sum += i;
        });
        _exit(sum.load() == 999 * 1000 / 2 ? 0 : 1);
    }
    // Waits long enough for a child that a busy machine keeps waiting for a processor; a
    // hung child is the only one that takes this long.
    int status = -1;
    for (int waited_ms = 0; waited_ms < 120000; waited_ms += 10) {
        if (waitpid(pid, &status, WNOHANG) == pid) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    if (status == -1) {
        kill(pid, SIGKILL);
        waitpid(pid, &status, 0);
        CHECK(!"the forked child hung");
    } else {
        CHECK(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    }
}

TEST(fresh_threads_that_cannot_start) {
#if defined(__SANITIZE_THREAD__)
    return;  // the thread sanitizer cannot start threads in a child forked from a threaded process
#endif
    // No thread can get its stack: the very first start fails.
    const int none = in_child([] {
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size_t{1} << 46);
        if (pthread_setattr_default_np(&attr) != 0) return 10;
        return expect_start_failure(4);
    });
    CHECK_EQ(none, 0);
#if !defined(__SANITIZE_ADDRESS__)
    // Room for a few stacks only: the threads already started are stopped and joined.
    const int some = in_child([] {
        struct rlimit limit;
        getrlimit(RLIMIT_AS, &limit);
        size_t vm_kb = 0;
        if (FILE *f = std::fopen("/proc/self/status", "r")) {
            char line[256];
            while (std::fgets(line, sizeof line, f))
                if (std::sscanf(line, "VmSize: %zu kB", &vm_kb) == 1) break;
            std::fclose(f);
        }
        if (vm_kb == 0) return 11;
        pthread_attr_t attr;
        pthread_attr_init(&attr);
        pthread_attr_setstacksize(&attr, size_t{256} << 20);
        if (pthread_setattr_default_np(&attr) != 0) return 10;
        limit.rlim_cur = vm_kb * 1024 + (size_t{900} << 20);
        if (setrlimit(RLIMIT_AS, &limit) != 0) return 12;
        return expect_start_failure(32);
    });
    CHECK_EQ(some, 0);
#endif
}
