// Every way of counting the preliminary search against the straightforward one, on
// random workloads, on the listed index and on the same peptides without a fragment list,
// with the vector loops and with their scalar twins: the shortlists, their counters and
// every reported feature must agree to the bit. The workloads mix sorted and unsorted
// peptide lists with equal masses at the bracket ends, unsorted and duplicate peaks, NaN,
// infinite and zero masses, both tolerance kinds with asymmetric and inverted windows,
// empty brackets, counts that wrap at 65,536, every charge and isotope range, standard
// and chimeric search.
#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "index_build.hpp"
#include "lanes.hpp"
#include "scoring.hpp"

using namespace mesk;

namespace {

using Rng = std::mt19937_64;

float uniform(Rng &rng, float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); }
bool chance(Rng &rng, unsigned percent) { return rng() % 100 < percent; }

constexpr float NAN_F = std::numeric_limits<float>::quiet_NaN();
constexpr float INF_F = std::numeric_limits<float>::infinity();

// An odd value now and then: NaN, an infinity or a zero of either sign.
float odd_value(Rng &rng) {
    const float odd[] = {NAN_F, INF_F, -INF_F, 0.0f, -0.0f};
    return odd[rng() % 5];
}

std::string random_sequence(Rng &rng, size_t length) {
    static const std::string letters = "ACDEFGHIKLMNPQRSTVWYACDEGKLPRSTV" "BJXZa";
    std::string s(length, 'A');
    for (char &c : s) c = letters[rng() % letters.size()];
    return s;
}

// `clean`: finite masses, every ion listed, one modification per residue.
Peptide random_peptide(Rng &rng, size_t length, const std::vector<float> &mass_pool, bool clean = false) {
    std::string seq = random_sequence(rng, length);
    float mass = 18.010565f;
    for (char c : seq) mass += residue_mass(static_cast<uint8_t>(c));
    if (!mass_pool.empty() && chance(rng, 40)) mass = mass_pool[rng() % mass_pool.size()];
    std::vector<float> mods(length, 0.0f);
    if (clean) return make_peptide(std::move(seq), mass, std::move(mods), std::nullopt, std::nullopt);
    if (chance(rng, 2)) mass = odd_value(rng);
    if (chance(rng, 30))
        for (float &m : mods)
            if (chance(rng, 20)) m = chance(rng, 5) ? odd_value(rng) : uniform(rng, -60.0f, 80.0f);
    if (length > 2 && chance(rng, 5)) mods.resize(length - 1);
    if (chance(rng, 5)) mods.push_back(uniform(rng, -5.0f, 5.0f));
    std::optional<float> nterm, cterm;
    if (chance(rng, 15)) nterm = chance(rng, 10) ? -0.0f : uniform(rng, -30.0f, 45.0f);
    if (chance(rng, 15)) cterm = uniform(rng, -30.0f, 45.0f);
    Peptide p = make_peptide(std::move(seq), mass, std::move(mods), nterm, cterm);
    p.decoy = chance(rng, 10);
    p.missed_cleavages = static_cast<uint8_t>(rng() % 3);
    return p;
}

// One random peptide list, built twice: with its fragment list and without.
struct DatabasePair {
    IndexedDatabase listed, lean;
};

DatabasePair random_databases(Rng &rng, bool wrapping) {
    std::vector<Peptide> peptides;
    BuildConfig config;
    if (wrapping) {
        // Few long peptides, so that a window covering everything counts past 65,536.
        for (size_t i = 0, n = 1 + rng() % 3; i < n; ++i) peptides.push_back(random_peptide(rng, 129, {}, true));
        config.ion_kinds = {Kind::B, Kind::Y};
    } else {
        std::vector<float> pool;
        for (int i = 0; i < 6; ++i) pool.push_back(uniform(rng, 400.0f, 2500.0f));
        const size_t n = rng() % 10 == 0 ? rng() % 3 : rng() % 160;
        for (size_t i = 0; i < n; ++i) peptides.push_back(random_peptide(rng, 1 + rng() % 24, pool));
        for (size_t k = 0, kinds = 1 + rng() % 3; k < kinds; ++k) config.ion_kinds.push_back(static_cast<Kind>(rng() % 6));
        config.min_ion_index = rng() % 4;
    }
    if (!chance(rng, 15))
        std::stable_sort(peptides.begin(), peptides.end(),
                         [](const Peptide &a, const Peptide &b) {
                             return total_order_key(a.monoisotopic) < total_order_key(b.monoisotopic);
                         });
    config.bucket_size = 1 + rng() % 64;
    config.generate_decoys = chance(rng, 50);
    DatabasePair pair{build_indexed_database(config, peptides), {}};
    config.fragment_list = false;
    pair.lean = build_indexed_database(config, std::move(peptides));
    return pair;
}

Tolerance random_tolerance(Rng &rng, bool ppm, float scale) {
    float minus = -uniform(rng, 0.0f, scale), plus = uniform(rng, 0.0f, scale);
    if (chance(rng, 10)) std::swap(minus, plus);  // inverted: an empty window
    if (chance(rng, 10)) minus = -plus;
    if (chance(rng, 5)) (chance(rng, 50) ? minus : plus) = 0.0f;
    return ppm ? Tolerance::ppm(minus * 200.0f, plus * 200.0f) : Tolerance::da(minus, plus);
}

// A spectrum of one stored peptide (when there is one): peaks at its indexed fragments,
// at other peptides' fragments and at random masses.
ProcessedSpectrum random_spectrum(Rng &rng, const IndexedDatabase &db, bool wrapping) {
    ProcessedSpectrum s;
    s.id = "w";
    const size_t target = db.peptides.empty() ? 0 : rng() % db.peptides.size();
    std::vector<float> own;
    for (const Theoretical &t : db.fragments)
        if (t.peptide_idx == target) own.push_back(t.fragment_mass);
    const size_t peaks = wrapping ? 256 : rng() % 90;
    for (size_t i = 0; i < peaks; ++i) {
        const float charge = static_cast<float>(1 + (chance(rng, 25) ? rng() % 3 : 0));
        float fragment = uniform(rng, 0.0f, 3000.0f);
        if (!own.empty() && chance(rng, 50)) fragment = own[rng() % own.size()];
        else if (!db.fragments.empty() && chance(rng, 50)) fragment = db.fragments[rng() % db.fragments.size()].fragment_mass;
        float mass = fragment / charge * (1.0f + uniform(rng, -8e-6f, 8e-6f));
        if (chance(rng, 2) && !wrapping) mass = odd_value(rng);
        const float intensity = chance(rng, 3) ? 0.0f : uniform(rng, 1.0f, 1000.0f);
        s.peaks.push_back({intensity, mass});
        if (chance(rng, 5) && !wrapping) s.peaks.push_back(s.peaks.back());  // duplicate
    }
    if (!chance(rng, 15))
        std::sort(s.peaks.begin(), s.peaks.end(), [](const Peak &a, const Peak &b) {
            return total_order_key(a.mass) < total_order_key(b.mass);
        });
    float tic = 0.0f;
    for (const Peak &p : s.peaks) tic += p.intensity;
    s.total_ion_current = tic;

    Precursor precursor;
    const uint8_t z = wrapping ? 2 : static_cast<uint8_t>(1 + rng() % 4);
    float mass = db.peptides.empty() || chance(rng, 10) ? uniform(rng, 300.0f, 3000.0f) : db.peptides.monoisotopic(target);
    if (chance(rng, 40)) mass += static_cast<float>(static_cast<int>(rng() % 5) - 1) * ISOTOPE_SPACING;
    precursor.mz = mass / static_cast<float>(z) + PROTON_MASS;
    if (chance(rng, 70)) precursor.charge = z;
    if (chance(rng, 20)) precursor.isolation_window = random_tolerance(rng, false, 3.0f);
    s.precursors.push_back(precursor);
    return s;
}

Scorer random_scorer(Rng &rng, const IndexedDatabase &db, bool wrapping) {
    Scorer scorer;
    scorer.db = &db;
    scorer.report_psms = rng() % 61;
    scorer.precursor_tol = random_tolerance(rng, chance(rng, 50), chance(rng, 50) ? 0.05f : 3.0f);
    scorer.fragment_tol = wrapping ? Tolerance::da(-100000.0f, 100000.0f) : random_tolerance(rng, chance(rng, 50), 0.1f);
    if (chance(rng, 25)) scorer.max_fragment_charge = std::nullopt;
    else scorer.max_fragment_charge = static_cast<uint8_t>(1 + rng() % 3);
    scorer.min_matched_peaks = static_cast<uint16_t>(rng() % 4);
    scorer.wide_window = chance(rng, 40);
    scorer.chimera = chance(rng, 40);
    scorer.annotate_matches = chance(rng, 30);
    scorer.min_isotope_err = static_cast<int8_t>(static_cast<int>(rng() % 6) - 3);
    scorer.max_isotope_err = static_cast<int8_t>(static_cast<int>(rng() % 7) - 2);
    scorer.min_precursor_charge = static_cast<uint8_t>(rng() % 4);
    scorer.max_precursor_charge = static_cast<uint8_t>(scorer.min_precursor_charge + rng() % 4);
    if (wrapping) {
        scorer.max_fragment_charge = 1;
        scorer.wide_window = true;
        scorer.min_precursor_charge = scorer.max_precursor_charge = 2;
    }
    return scorer;
}

bool same_hits(const PreliminaryHits &a, const PreliminaryHits &b) {
    return a.candidates == b.candidates && a.matched_peaks == b.matched_peaks &&
           a.scored_candidates == b.scored_candidates;
}

template <class T>
bool same_list(const std::vector<T> &a, const std::vector<T> &b) {
    return a.size() == b.size() && (a.empty() || std::memcmp(a.data(), b.data(), a.size() * sizeof(T)) == 0);
}

// Every field, floats by their bits; PSM numbers relative to the first of each call.
bool same_features(const std::vector<Feature> &a, const std::vector<Feature> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        const Feature &x = a[i], &y = b[i];
        using check::same_bits;
        const bool fields =
            x.spec_id == y.spec_id && x.psm_id - a[0].psm_id == y.psm_id - b[0].psm_id && x.rank == y.rank &&
            x.label == y.label && same_bits(x.hyperscore, y.hyperscore) && same_bits(x.delta_mass, y.delta_mass) &&
            x.matched_peaks == y.matched_peaks && x.peptide_len == y.peptide_len && same_bits(x.expmass, y.expmass) &&
            same_bits(x.calcmass, y.calcmass) && x.charge == y.charge && same_bits(x.isotope_error, y.isotope_error) &&
            same_bits(x.average_ppm, y.average_ppm) && same_bits(x.delta_next, y.delta_next) &&
            same_bits(x.delta_best, y.delta_best) && x.longest_b == y.longest_b && x.longest_y == y.longest_y &&
            same_bits(x.longest_y_pct, y.longest_y_pct) && x.missed_cleavages == y.missed_cleavages &&
            same_bits(x.matched_intensity_pct, y.matched_intensity_pct) &&
            x.scored_candidates == y.scored_candidates && same_bits(x.poisson, y.poisson) &&
            same_bits(x.ms2_intensity, y.ms2_intensity) && x.peptide_idx == y.peptide_idx &&
            x.fragments.has_value() == y.fragments.has_value();
        if (!fields) return false;
        if (x.fragments) {
            const Fragments &f = *x.fragments, &g = *y.fragments;
            if (!same_list(f.charges, g.charges) || !same_list(f.kinds, g.kinds) ||
                !same_list(f.fragment_ordinals, g.fragment_ordinals) || !same_list(f.intensities, g.intensities) ||
                !same_list(f.mz_calculated, g.mz_calculated) || !same_list(f.mz_experimental, g.mz_experimental))
                return false;
        }
    }
    return true;
}

struct Tally {
    size_t workloads = 0, wrapped = 0, hits = 0, mismatches = 0, lean = 0;
};

void run_workload(Rng &rng, const DatabasePair &dbs, bool wrapping, Tally &tally) {
    const IndexedDatabase &db = dbs.listed;
    const ProcessedSpectrum spectrum = random_spectrum(rng, db, wrapping);
    Scorer scorer = random_scorer(rng, db, wrapping);
    const Precursor &precursor = spectrum.precursors.front();
    scorer.search_path = SearchPath::Reference;
    const PreliminaryHits expected = scorer.initial_hits(spectrum, precursor);
    const std::vector<Feature> expected_features = scorer.score(spectrum);
    ++tally.workloads;
    tally.hits += expected.matched_peaks != 0;
    for (const PreliminaryHit &h : expected.candidates) tally.wrapped += h.matched == 0 && h.peptide_idx != UNMATCHED;

    tally.lean += !dbs.lean.fragment_list;
    for (const bool lanes : {true, false}) {
        use_vector_lanes(lanes);
        for (const IndexedDatabase *searched : {&dbs.listed, &dbs.lean}) {
            scorer.db = searched;
            for (SearchPath path : {SearchPath::Auto, SearchPath::Index, SearchPath::Candidates}) {
                scorer.search_path = path;
                const PreliminaryHits hits = scorer.initial_hits(spectrum, precursor);
                const bool hits_agree = same_hits(hits, expected);
                const bool features_agree =
                    path != SearchPath::Auto || same_features(scorer.score(spectrum), expected_features);
                if (!hits_agree || !features_agree) {
                    if (++tally.mismatches <= 5)
                        check::fail(__FILE__, __LINE__,
                                    std::string(searched == &dbs.lean ? "without fragment list, " : "") +
                                        "search path " + std::to_string(static_cast<int>(path)) +
                                        (lanes ? "" : " (scalar)") + " differs from the reference (" +
                                        (hits_agree ? "features" : "shortlist") + ") in workload " +
                                        std::to_string(tally.workloads));
                }
            }
        }
    }
    use_vector_lanes(true);
}

}  // namespace

TEST(every_search_path_equals_the_reference_on_random_workloads) {
    Rng rng(20261207);
    Tally tally;
    constexpr size_t DATABASES = 220, WORKLOADS_PER_DATABASE = 50;
    for (size_t d = 0; d < DATABASES; ++d) {
        const bool wrapping = d % 20 == 7;
        const DatabasePair dbs = random_databases(rng, wrapping);
        // The lean build leaves out exactly the fragment list, unless an ion weighs zero.
        CHECK(!dbs.lean.fragment_list ? dbs.lean.fragments.empty() && dbs.lean.bucket_minima.empty()
                                         : dbs.lean.fragments.size() == dbs.listed.fragments.size());
        CHECK_EQ(dbs.lean.peptide_count(), dbs.listed.peptide_count());
        for (size_t w = 0; w < (wrapping ? 5 : WORKLOADS_PER_DATABASE); ++w) run_workload(rng, dbs, wrapping, tally);
    }
    std::printf("workloads %zu (%zu without fragment list), with hits %zu, wrapped slots %zu\n", tally.workloads,
                tally.lean, tally.hits, tally.wrapped);
    CHECK(tally.workloads >= 10000);
    CHECK(tally.lean > tally.workloads / 2);
    CHECK_EQ(tally.mismatches, size_t{0});
    // The workloads reach what they are meant to: matches, and counts that wrapped to a
    // matched count of zero.
    CHECK(tally.hits > tally.workloads / 5);
    CHECK(tally.wrapped > 0);
}

// Each batch thread keeps its search buffers from one spectrum to the next: a batch of
// varied spectra must score each one as a search of that spectrum alone does, on both
// builds of the index.
TEST(batch_threads_score_varied_spectra_as_single_searches) {
    Rng rng(5150);
    for (int round = 0; round < 4; ++round) {
        const DatabasePair dbs = random_databases(rng, false);
        const IndexedDatabase &db = round % 2 ? dbs.lean : dbs.listed;
        const Scorer drawn = random_scorer(rng, db, false);
        ScorerSettings settings;
        settings.report_psms = drawn.report_psms % 8;  // chimeric search runs once per reported PSM
        settings.precursor_tol = drawn.precursor_tol;
        settings.fragment_tol = drawn.fragment_tol;
        settings.max_fragment_charge = drawn.max_fragment_charge;
        settings.min_matched_peaks = drawn.min_matched_peaks;
        settings.wide_window = drawn.wide_window;
        settings.chimera = drawn.chimera;
        settings.annotate_matches = drawn.annotate_matches;
        settings.min_isotope_err = drawn.min_isotope_err;
        settings.max_isotope_err = drawn.max_isotope_err;
        settings.min_precursor_charge = drawn.min_precursor_charge;
        settings.max_precursor_charge = drawn.max_precursor_charge;
        std::vector<std::shared_ptr<const ProcessedSpectrum>> spectra;
        for (int i = 0; i < 150; ++i)
            spectra.push_back(std::make_shared<const ProcessedSpectrum>(random_spectrum(rng, dbs.listed, false)));
        const auto batch = score_batch(settings, db, spectra);
        const Scorer scorer = Scorer::from_settings(settings, db);
        size_t mismatches = 0;
        for (size_t i = 0; i < spectra.size(); ++i) {
            std::vector<Feature> alone = scorer.score(*spectra[i]), together = batch[i];
            // PSM numbers interleave across threads; everything else must agree.
            for (Feature &f : alone) f.psm_id = 0;
            for (Feature &f : together) f.psm_id = 0;
            mismatches += !same_features(alone, together);
        }
        CHECK_EQ(mismatches, size_t{0});
    }
}

TEST(streaming_selection_equals_heap_selection) {
    Rng rng(99);
    for (int round = 0; round < 2000; ++round) {
        const size_t n = rng() % 200, k = 1 + rng() % 60;
        std::vector<PreliminaryHit> list;
        StreamingBest best;
        best.reset(k);
        while (list.size() < n) {
            PreliminaryHit h;
            if (!chance(rng, 40)) h = {static_cast<uint32_t>(rng() % 50), static_cast<uint16_t>(rng() % 4), 2, 0};
            const size_t copies = 1 + (chance(rng, 30) ? rng() % 40 : 0);
            best.push_copies(h, copies);
            list.insert(list.end(), copies, h);
        }
        if (list.size() > k) {
            bounded_min_heapify(list, list.size(), k);
            list.resize(k);
        }
        CHECK(best.list() == list);
    }
}

TEST(a_zero_mass_ion_keeps_the_fragment_list) {
    // b1 of GAK with G's mass taken off weighs exactly zero: only the listed index's
    // bucket order decides whether a window bounded by zero matches it.
    const float g = residue_mass(static_cast<uint8_t>('G'));
    std::vector<Peptide> peptides{make_peptide("GAK", 300.0f, std::vector<float>{-g, 0.0f, 0.0f}, std::nullopt, std::nullopt)};
    BuildConfig config;
    config.ion_kinds = {Kind::B, Kind::Y};
    config.bucket_size = 4;
    config.fragment_list = false;
    const IndexedDatabase db = build_indexed_database(config, std::move(peptides));
    CHECK(db.fragment_list);
    CHECK_EQ(db.fragments.size(), size_t{4});

    std::vector<Peptide> plain{make_peptide("GAK", 300.0f, std::nullopt, std::nullopt, std::nullopt)};
    const IndexedDatabase lean = build_indexed_database(config, std::move(plain));
    CHECK(!lean.fragment_list && lean.fragments.empty());
    Scorer scorer;
    scorer.db = &lean;
    scorer.search_path = SearchPath::Reference;
    ProcessedSpectrum spectrum;
    spectrum.id = "s";
    spectrum.precursors.push_back(Precursor{});
    CHECK_THROWS(scorer.initial_hits(spectrum, spectrum.precursors.front()));
}
