// Index build benchmark on a synthetic tryptic database: build time against a
// single-threaded std::sort of the same fragments, index size and peak build memory.
//
// Usage: bench_index [proteins [builds]]   (defaults 20000 and 3)
#include <malloc.h>
#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "database.hpp"
#include "index_build.hpp"
#include "ion_series.hpp"
#include "synthetic_db.hpp"
#include "thread_pool.hpp"

using namespace mesk;

namespace {

size_t status_kb(const char *field) {
    std::ifstream in("/proc/self/status");
    std::string line;
    const std::string key = std::string(field) + ":";
    while (std::getline(in, line))
        if (line.compare(0, key.size(), key) == 0) return std::strtoull(line.c_str() + key.size(), nullptr, 10);
    return 0;
}

bool reset_peak() {
    std::ofstream out("/proc/self/clear_refs");
    out << "5";
    return bool(out);
}

// Heap bytes glibc actually holds for a block (payload plus its chunk header).
size_t block_bytes(const void *p) { return p ? malloc_usable_size(const_cast<void *>(p)) + sizeof(size_t) : 0; }

// Bytes the finished index occupies: its arrays plus everything held for the peptides.
size_t index_bytes(const IndexedDatabase &db) {
    return sizeof(db) + block_bytes(db.fragments.data()) + block_bytes(db.bucket_minima.data()) +
           block_bytes(db.bucket_fences.data()) + block_bytes(db.ion_kinds.data()) + db.peptides.heap_bytes();
}

// User plus system time of every thread of the process so far.
double cpu_seconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) * 1e-6;
}

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

}  // namespace

int main(int argc, char **argv) {
    const size_t proteins = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 20000;
    const int builds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
    auto t0 = std::chrono::steady_clock::now();
    const std::vector<Peptide> input = synthetic::generate(proteins);
    std::printf("generated %zu target peptides from %zu proteins in %.2f s\n", input.size(), proteins, seconds_since(t0));
    std::printf("worker pool: %zu threads\n", global_pool().size());

    const BuildConfig config = synthetic::index_config();

    std::vector<double> times, cpu_times;
    size_t peak_growth_kb = 0, retained_kb = 0, input_kb = 0;
    IndexedDatabase db;
    for (int run = 0; run < builds; ++run) {
        db = IndexedDatabase{};
        malloc_trim(0);
        const size_t before_copy_kb = status_kb("VmRSS");
        std::vector<Peptide> copy = input;  // the build takes its list over
        const size_t base_kb = status_kb("VmRSS");
        input_kb = base_kb > before_copy_kb ? base_kb - before_copy_kb : 0;
        const bool peak_ok = reset_peak();
        t0 = std::chrono::steady_clock::now();
        const double c0 = cpu_seconds();
        db = build_indexed_database(config, std::move(copy));
        times.push_back(seconds_since(t0));
        cpu_times.push_back(cpu_seconds() - c0);
        const size_t hwm = status_kb("VmHWM");
        if (peak_ok && hwm > base_kb) peak_growth_kb = std::max(peak_growth_kb, hwm - base_kb);
        retained_kb = status_kb("VmRSS") - base_kb;
        std::printf("build %d: %.3f s (cpu %.3f s)\n", run + 1, times.back(), cpu_times.back());
    }
    std::sort(times.begin(), times.end());
    std::sort(cpu_times.begin(), cpu_times.end());
    const double build_s = times[times.size() / 2];
    const double build_cpu = cpu_times[cpu_times.size() / 2];

    const size_t n = db.fragments.size();
    const size_t index = index_bytes(db);
    const size_t bucket_bytes = db.bucket_minima.size() * sizeof(float) + db.bucket_fences.size() * sizeof(uint32_t);
    const double per_fragment = double(n * sizeof(Theoretical) + bucket_bytes) / double(n);
    const size_t records = index - n * sizeof(Theoretical) - bucket_bytes;
    std::printf("peptides (with decoys): %zu\n", db.peptides.size());
    std::printf("bytes per peptide record (everything the index holds per peptide): %.1f (target <= 96)\n",
                double(db.peptides.heap_bytes()) / double(db.peptides.size()));
    std::printf("fragments: %zu in %zu buckets\n", n, db.bucket_minima.size());
    std::printf("build time (median of %zu): %.3f s\n", times.size(), build_s);
    std::printf("index bytes per fragment (entries, bucket minima and fences): %.5f\n", per_fragment);
    std::printf("finished index: %.1f MiB (fragments %.1f MiB, peptide records %.1f MiB); RSS kept after build %.1f MiB\n",
                index / 1048576.0, n * 8 / 1048576.0, records / 1048576.0, retained_kb / 1024.0);
    std::printf("build peak memory growth: %.1f MiB = %.2f x finished index (%.2f x counting the %.1f MiB input list "
                "handed to the build)\n",
                peak_growth_kb / 1024.0, peak_growth_kb * 1024.0 / double(index),
                (peak_growth_kb + input_kb) * 1024.0 / double(index), input_kb / 1024.0);

    // The same fragments in listing order, sorted by mass on one thread.
    std::vector<Theoretical> unsorted;
    unsorted.reserve(n);
    for (size_t i = 0; i < db.peptides.size(); ++i)
        list_fragments(db.peptides.view(i), config.ion_kinds, config.min_ion_index,
                       [&](const ListedIon &ion) { unsorted.push_back(Theoretical{uint32_t(i), ion.mass}); });
    db = IndexedDatabase{};
    t0 = std::chrono::steady_clock::now();
    const double c0 = cpu_seconds();
    std::sort(unsorted.begin(), unsorted.end(), [](const Theoretical &a, const Theoretical &b) {
        return total_order_key(a.fragment_mass) < total_order_key(b.fragment_mass);
    });
    const double sort_s = seconds_since(t0);
    const double sort_cpu = cpu_seconds() - c0;
    std::printf("std::sort of %zu entries by mass, one thread: %.3f s (cpu %.3f s)\n", unsorted.size(), sort_s, sort_cpu);
    std::printf("build / std::sort: %.3f (target <= 0.25); cpu time of all build threads / std::sort: %.3f\n",
                build_s / sort_s, build_cpu / sort_cpu);
    std::printf("peak / index: %.2f (target <= 2)\n", peak_growth_kb * 1024.0 / double(index));
    return 0;
}
