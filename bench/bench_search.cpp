// Scoring benchmark on the synthetic database of the index benchmark: simulated spectra
// scored on one thread and through the 32-thread batch, candidates per spectrum, and heap
// allocations per spectrum with 150 and with 300 peaks (the count must not grow with the
// peaks: nothing is allocated per peak or per fragment lookup).
//
// Usage: bench_search [proteins [spectra]]   (defaults 20000 and 2000)
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "index_logic.hpp"
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

// Mean heap allocations of one search of each spectrum.
double allocations_per_spectrum(const Scorer &scorer, const std::vector<ProcessedSpectrum> &spectra, size_t count) {
    uint64_t total = 0;
    for (size_t i = 0; i < count; ++i) {
        const uint64_t before = allocations.load();
        const auto features = scorer.score(spectra[i]);
        total += allocations.load() - before;
    }
    return double(total) / double(count);
}

}  // namespace

int main(int argc, char **argv) {
    const size_t proteins = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 20000;
    const size_t count = argc > 2 ? std::strtoul(argv[2], nullptr, 10) : 2000;

    const BuildConfig config = synthetic::index_config();
    const IndexedDatabase db = build_indexed_database(config, synthetic::generate(proteins));
    std::printf("database: %zu peptides with decoys, %zu fragments\n", db.peptides.size(), db.fragments.size());

    const std::vector<ProcessedSpectrum> spectra = simulate_all(db, count, 150);
    ScorerSettings settings;  // defaults: wide window, chimera, 5 PSMs, isotope errors -1 to 3
    settings.precursor_tol = Tolerance::ppm(-10.0f, 10.0f);
    settings.fragment_tol = Tolerance::ppm(-10.0f, 10.0f);
    const Scorer scorer = Scorer::from_settings(settings, db);

    double hit = 0, shortlisted = 0;
    for (const ProcessedSpectrum &s : spectra) {
        const PreliminaryHits hits = scorer.initial_hits(s, s.precursors.front());
        hit += double(hits.scored_candidates);
        for (const PreliminaryHit &h : hits.candidates) shortlisted += h.peptide_idx != UNMATCHED;
    }
    std::printf("spectra: %zu, 150 peaks each, precursor charges 2-4\n", spectra.size());
    std::printf("candidates per spectrum: %.0f hit in the index, %.1f kept for full scoring (scored again in each chimeric round)\n",
                hit / double(count), shortlisted / double(count));

    auto t0 = std::chrono::steady_clock::now();
    size_t reported = 0;
    for (const ProcessedSpectrum &s : spectra) {
        const auto features = scorer.score(s);
        reported += features.size();
    }
    const double single = seconds_since(t0);

    std::vector<std::shared_ptr<const ProcessedSpectrum>> shared;
    for (const ProcessedSpectrum &s : spectra) shared.push_back(std::make_shared<const ProcessedSpectrum>(s));
    t0 = std::chrono::steady_clock::now();
    const auto batch = score_batch(settings, db, shared);
    const double parallel = seconds_since(t0);
    size_t batch_reported = 0;
    for (const auto &features : batch) batch_reported += features.size();
    if (batch_reported != reported) std::printf("warning: batch reported %zu PSMs, one thread %zu\n", batch_reported, reported);

    std::printf("one thread: %.1f spectra/s; batch of 32 threads: %.1f spectra/s; ratio %.2f\n",
                double(count) / single, double(count) / parallel, single / parallel);
    std::printf("PSMs reported per spectrum: %.2f\n", double(reported) / double(count));

    const size_t sample = std::min<size_t>(count, 200);
    // The same spectra with 150 more noise peaks each.
    synthetic::Rng rng{11};
    std::vector<ProcessedSpectrum> denser(spectra.begin(), spectra.begin() + long(sample));
    for (ProcessedSpectrum &s : denser) {
        const float top = s.peaks.back().mass;
        for (int i = 0; i < 150; ++i) s.peaks.push_back({100.0f, float(100.0 + rng.uniform() * (top - 100.0))});
        std::sort(s.peaks.begin(), s.peaks.end(), [](const Peak &a, const Peak &b) { return a.mass < b.mass; });
    }
    std::printf("heap allocations per search: %.1f with 150 peaks, %.1f with 300 peaks\n",
                allocations_per_spectrum(scorer, spectra, sample), allocations_per_spectrum(scorer, denser, sample));
    return 0;
}
