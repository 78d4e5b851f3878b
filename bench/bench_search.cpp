// Scoring benchmark on the synthetic database of the index benchmark: for each setting,
// simulated spectra scored on one thread by the search and by the reference search (same
// run, alternating rounds, CPU time of the thread), the 32-thread batch against one
// thread (wall clock, and CPU time per spectrum), candidates per spectrum, and heap
// allocations per spectrum with 150 and with 300 peaks (nothing is allocated per peak or
// per fragment lookup; the chimeric search allocates a few per match it reports).
//
// Usage: bench_search [proteins [spectra [rounds]]]   (defaults 20000, 2000 and 3)
// BENCH_ONLY=k measures setting k alone; BENCH_NO_REFERENCE=1 skips the reference path;
// BENCH_PATH=k forces a SearchPath (0 Auto, 1 Reference, 2 Index, 3 Candidates).
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "index_build.hpp"
#include "scoring.hpp"
#include "synthetic_db.hpp"

using namespace mesk;

namespace {
std::atomic<uint64_t> allocations{0};
}

void *operator new(size_t n) {
    allocations.fetch_add(1, std::memory_order_relaxed);
    if (void *p = std::malloc(n ? n : 1)) return p;
    throw std::bad_alloc();
}
void operator delete(void *p) noexcept { std::free(p); }
void operator delete(void *p, size_t) noexcept { std::free(p); }

namespace {

double seconds_since(std::chrono::steady_clock::time_point t0) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
}

std::vector<ProcessedSpectrum> simulate_all(const IndexedDatabase &db, size_t count, size_t peaks) {
    synthetic::Rng rng{7};
    std::vector<ProcessedSpectrum> spectra;
    while (spectra.size() < count) {
        const Peptide p = db.peptides[rng.next() % db.peptides.size()];
        if (p.decoy) continue;
        const auto charge = static_cast<uint8_t>(2 + rng.next() % 3);
        spectra.push_back(synthetic::simulate(rng, p, charge, peaks, "scan=" + std::to_string(spectra.size())));
    }
    return spectra;
}

// Mean heap allocations of one search of each spectrum, and mean matches reported (each
// round of the chimeric search allocates a few: denser spectra may report more matches).
std::pair<double, double> allocations_per_spectrum(const Scorer &scorer, const std::vector<ProcessedSpectrum> &spectra,
                                                   size_t count) {
    uint64_t total = 0, reported = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t before = allocations.load();
        const auto features = scorer.score(spectra[i]);
        total += allocations.load() - before;
        reported += features.size();
    }
    return {double(total) / double(count), double(reported) / double(count)};
}

// CPU time of the calling thread: time the scheduler gave to other developers' jobs on
// the shared machine is not counted.
double thread_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// CPU time of every thread of the process.
double process_seconds() {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return double(ts.tv_sec) + double(ts.tv_nsec) * 1e-9;
}

// One thread's spectra per CPU second over `spectra`, and the PSMs it reported.
std::pair<double, std::vector<std::vector<Feature>>> rate(const Scorer &scorer,
                                                          const std::vector<ProcessedSpectrum> &spectra) {
    std::vector<std::vector<Feature>> out;
    out.reserve(spectra.size());
    const double t0 = thread_seconds();
    for (const ProcessedSpectrum &s : spectra) out.push_back(scorer.score(s));
    return {double(spectra.size()) / (thread_seconds() - t0), std::move(out)};
}

// Same PSMs to the bit in the fields that depend on the preliminary search.
bool same_results(const std::vector<std::vector<Feature>> &a, const std::vector<std::vector<Feature>> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i].size() != b[i].size()) return false;
        for (size_t j = 0; j < a[i].size(); ++j) {
            const Feature &x = a[i][j], &y = b[i][j];
            if (x.peptide_idx != y.peptide_idx || x.scored_candidates != y.scored_candidates ||
                std::memcmp(&x.hyperscore, &y.hyperscore, sizeof(double)) != 0 ||
                std::memcmp(&x.poisson, &y.poisson, sizeof(double)) != 0 || x.charge != y.charge ||
                x.isotope_error != y.isotope_error)
                return false;
        }
    }
    return true;
}

struct Setting {
    const char *name;
    ScorerSettings settings;
    const char *target;
};

double median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// Rates of both paths over the same spectra, each round back to back so that the load of
// the shared machine weighs on both alike; the ratio is taken per round. Results of the two
// paths are compared each round.
void compare(const char *name, const Scorer &fast, const Scorer &reference,
             const std::vector<ProcessedSpectrum> &spectra, int rounds, const char *target) {
    std::vector<double> fast_rates, reference_rates, ratios;
    bool same = true;
    for (int r = 0; r < rounds; ++r) {
        auto [reference_rate, expected] = std::getenv("BENCH_NO_REFERENCE") ? rate(fast, {}) : rate(reference, spectra);
        auto [fast_rate, got] = rate(fast, spectra);
        same = same && (expected.empty() || same_results(expected, got));
        fast_rates.push_back(fast_rate);
        reference_rates.push_back(reference_rate);
        ratios.push_back(fast_rate / reference_rate);
    }
    std::printf("  %-52s new %8.1f  reference %8.1f  new/reference %5.2f [%.2f - %.2f]", name, median(fast_rates),
                median(reference_rates), median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                *std::max_element(ratios.begin(), ratios.end()));
    if (target) std::printf(" (target %s)", target);
    std::printf("%s\n", same ? "" : "  RESULTS DIFFER");
}

}  // namespace

int main(int argc, char **argv) {
    const size_t proteins = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    const size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;
    const int rounds = argc > 3 ? std::max(1, std::atoi(argv[3])) : 3;

    const BuildConfig config = synthetic::index_config();
    const IndexedDatabase db = build_indexed_database(config, synthetic::generate(proteins));
    std::printf("database: %zu peptides with decoys, %zu fragments\n", db.peptides.size(), db.fragments.size());

    const std::vector<ProcessedSpectrum> spectra = simulate_all(db, count, 150);
    std::printf("spectra: %zu, 150 peaks each, precursor charges 2-4\n", spectra.size());

    ScorerSettings defaults;  // wide window, chimera, 5 PSMs, isotope errors -1 to 3
    defaults.precursor_tol = Tolerance::ppm(-10.0f, 10.0f);
    defaults.fragment_tol = Tolerance::ppm(-10.0f, 10.0f);
    ScorerSettings narrow = defaults;
    narrow.wide_window = false;
    narrow.chimera = false;
    narrow.report_psms = 1;
    ScorerSettings ion_trap = defaults;
    ion_trap.fragment_tol = Tolerance::da(-0.5f, 0.5f);
    ScorerSettings ion_trap_narrow = narrow;
    ion_trap_narrow.fragment_tol = Tolerance::da(-0.5f, 0.5f);
    ScorerSettings no_chimera = defaults;
    no_chimera.chimera = false;
    const Setting settings[] = {{"default settings, fragments +-10 ppm", defaults, ">= 3.0"},
                                {"narrow: no wide window, no chimera, 1 PSM, +-10 ppm", narrow, ">= 4.0"},
                                {"default settings, fragments +-0.5 Da (ion trap)", ion_trap, "-"},
                                {"narrow, fragments +-0.5 Da (ion trap)", ion_trap_narrow, "-"},
                                {"default settings without chimeric search", no_chimera, "-"}};

    const Scorer scorer = Scorer::from_settings(defaults, db);
    double hit = 0, shortlisted = 0;
    for (const ProcessedSpectrum &s : spectra) {
        if (std::getenv("BENCH_ONLY")) break;
        const PreliminaryHits hits = scorer.initial_hits(s, s.precursors.front());
        hit += double(hits.scored_candidates);
        for (const PreliminaryHit &h : hits.candidates) shortlisted += h.peptide_idx != UNMATCHED;
    }
    std::printf("candidates per spectrum (default settings): %.0f hit in the index, %.1f kept for full scoring\n",
                hit / double(count), shortlisted / double(count));

    std::printf("\none thread, spectra per CPU second (median of %d rounds; ratio min - max over rounds in brackets):\n", rounds);
    const char *only = std::getenv("BENCH_ONLY");  // a setting's number, to profile it alone
    for (const Setting &setting : settings) {
        if (only && std::atoi(only) != int(&setting - settings)) continue;
        Scorer fast = Scorer::from_settings(setting.settings, db);
        if (const char *path = std::getenv("BENCH_PATH")) fast.search_path = SearchPath(std::atoi(path));
        Scorer reference = fast;
        reference.search_path = SearchPath::Reference;
        compare(setting.name, fast, reference, spectra, rounds, setting.target);
    }

    // Narrow searches run on an index without its fragment list unless asked otherwise:
    // the same peptides built that way, against the reference on the listed index.
    if (!only || std::atoi(only) == 1 || std::atoi(only) == 3) {
        BuildConfig lean_config = config;
        lean_config.fragment_list = false;
        const IndexedDatabase lean = build_indexed_database(lean_config, synthetic::generate(proteins));
        std::printf("\nnarrow settings on the index without its fragment list (%zu peptides), against the reference on "
                    "the listed index:\n",
                    lean.peptide_count());
        for (const int k : {1, 3}) {
            if (only && std::atoi(only) != k) continue;
            const Setting &setting = settings[k];
            const Scorer fast = Scorer::from_settings(setting.settings, lean);
            Scorer reference = Scorer::from_settings(setting.settings, db);
            reference.search_path = SearchPath::Reference;
            compare(setting.name, fast, reference, spectra, rounds, nullptr);
        }
    }

    std::vector<std::shared_ptr<const ProcessedSpectrum>> shared;
    for (const ProcessedSpectrum &s : spectra) shared.push_back(std::make_shared<const ProcessedSpectrum>(s));
    // Wall clock shows the scaling only while both cores are free; the CPU time the batch
    // spends per spectrum against one thread's shows, whatever the load, whether the
    // threads get in each other's way (shared memory lines, the allocator).
    std::vector<double> ratios, cpu_ratios;
    double single_rate = 0, batch_rate = 0;
    for (int r = 0; r < (only ? 0 : rounds); ++r) {
        auto t0 = std::chrono::steady_clock::now();
        double c0 = thread_seconds();
        for (const ProcessedSpectrum &s : spectra) (void)scorer.score(s);
        const double single = double(count) / seconds_since(t0);
        const double single_cpu = thread_seconds() - c0;
        t0 = std::chrono::steady_clock::now();
        c0 = process_seconds();
        const auto batch = score_batch(defaults, db, shared);
        const double parallel = double(count) / seconds_since(t0);
        cpu_ratios.push_back((process_seconds() - c0) / single_cpu);
        ratios.push_back(parallel / single);
        single_rate = single;
        batch_rate = parallel;
    }
    if (!only)
        std::printf("\ndefault settings, new path, wall clock: one thread %.1f spectra/s; batch of 32 threads %.1f spectra/s; "
                    "batch/single %.2f [%.2f - %.2f] (target >= 1.8 on two free cores); CPU time per spectrum, "
                    "batch/single %.2f [%.2f - %.2f]\n",
                    single_rate, batch_rate, median(ratios), *std::min_element(ratios.begin(), ratios.end()),
                    *std::max_element(ratios.begin(), ratios.end()), median(cpu_ratios),
                    *std::min_element(cpu_ratios.begin(), cpu_ratios.end()),
                    *std::max_element(cpu_ratios.begin(), cpu_ratios.end()));

    const size_t sample = std::min<size_t>(count, 200);
    // The same spectra with 150 more noise peaks each.
    synthetic::Rng rng{11};
    std::vector<ProcessedSpectrum> denser(spectra.begin(), spectra.begin() + long(sample));
    for (ProcessedSpectrum &s : denser) {
        const float top = s.peaks.back().mass;
        for (int i = 0; i < 150; ++i) s.peaks.push_back({100.0f, float(100.0 + rng.uniform() * (top - 100.0))});
        std::sort(s.peaks.begin(), s.peaks.end(), [](const Peak &a, const Peak &b) { return a.mass < b.mass; });
    }
    for (const Setting &setting : settings) {
        if (only && std::atoi(only) != int(&setting - settings)) continue;
        const Scorer fast = Scorer::from_settings(setting.settings, db);
        Scorer reference = fast;
        reference.search_path = SearchPath::Reference;
        const auto [fast_150, matches_150] = allocations_per_spectrum(fast, spectra, sample);
        const auto [fast_300, matches_300] = allocations_per_spectrum(fast, denser, sample);
        std::printf("heap allocations per search, %s: new %.1f with 150 peaks (%.2f matches reported), %.1f with 300 "
                    "peaks (%.2f matches); reference %.1f and %.1f\n",
                    setting.name, fast_150, matches_150, fast_300, matches_300,
                    allocations_per_spectrum(reference, spectra, sample).first,
                    allocations_per_spectrum(reference, denser, sample).first);
    }
    return 0;
}
