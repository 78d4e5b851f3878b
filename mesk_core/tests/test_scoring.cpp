// Candidate scoring and feature assembly on hand-built databases and spectra: hyperscore
// terms, matched-ion counts and runs, annotations, ranking, and the reported numbers.
#include <cmath>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "check.hpp"
#include "failure.hpp"
#include "ion_series.hpp"
#include "scoring_fixtures.hpp"

using namespace mesk;
using namespace fixtures;

namespace {

const std::string PEPTIDEK = "PEPTIDEK";

// The count term written out independently: ((x ln x - x) + 0.5 ln x) + 0.5 ln(2 pi x).
double stirling(uint64_t n) {
    if (n == 0) return 1.0;
    const double x = static_cast<double>(n);
    return ((x * std::log(x) - x) + 0.5 * std::log(x)) + 0.5 * std::log(6.283185307179586 * x);
}

bool near(double a, double b, double eps) { return std::fabs(a - b) <= eps; }

IndexedDatabase hand_database(std::vector<Peptide> peptides, std::vector<Kind> kinds = {Kind::B, Kind::Y}) {
    IndexedDatabase db;
    db.peptides = std::move(peptides);
    db.ion_kinds = std::move(kinds);
    return db;
}

PreliminaryHit candidate(uint32_t idx, uint8_t charge = 2, int8_t iso = 0, uint16_t matched = 1) {
    return PreliminaryHit{idx, matched, charge, iso};
}

// Every b ion at intensity 10 + i and every y ion at 100 + j (walk order), charge 1.
std::vector<Peak> ladder_peaks(const std::string &sequence, float monoisotopic) {
    std::vector<Peak> peaks;
    const auto b = b_ladder(sequence);
    const auto y = y_ladder(sequence, monoisotopic);
    for (size_t i = 0; i < b.size(); ++i) peaks.push_back({10.0f + static_cast<float>(i), b[i]});
    for (size_t j = 0; j < y.size(); ++j) peaks.push_back({100.0f + static_cast<float>(j), y[j]});
    return sorted_peaks(peaks);
}

}  // namespace

// ---------------------------------------------------------------- hyperscore terms

TEST(count_term_matches_the_tabulated_values) {
    CHECK_BITS(count_term(0), 1.0);
    const double expected[] = {1.0, -0.0810615, 0.9983801, 2.3133877, 3.8504103, 5.5755660};
    for (uint64_t n = 0; n < 6; ++n) CHECK(near(count_term(n), expected[n], 5e-8));
    for (uint64_t n : {1ull, 2ull, 7ull, 150ull, 65535ull}) CHECK_BITS(count_term(n), stirling(n));
}

TEST(separate_intensities_hyperscore) {
    CHECK_BITS(score_type_score(ScoreType::SeparateIntensities, 2, 3, 100.0f, 200.0f), 13.230193187661955);
    // No match at all: ln(1) + 1 + 1.
    CHECK_BITS(score_type_score(ScoreType::SeparateIntensities, 0, 0, 0.0f, 0.0f), 2.0);
    // 1 + I is a 32-bit sum: 1 + 1e-8 rounds to 1, so the log term vanishes.
    CHECK_BITS(score_type_score(ScoreType::SeparateIntensities, 1, 0, 1e-8f, 0.0f), stirling(1) + 1.0);
    CHECK_BITS(score_type_score(ScoreType::SeparateIntensities, 0, 1, 0.0f, 1e-8f), 1.0 + stirling(1));
}

TEST(combined_intensity_hyperscore) {
    // (count(2) + ln(1 + 300) in 32 bits) + count(3)
    const float log_term = std::log1p(100.0f + 200.0f);
    const double expected = (stirling(2) + static_cast<double>(log_term)) + stirling(3);
    CHECK_BITS(score_type_score(ScoreType::CombinedIntensity, 2, 3, 100.0f, 200.0f), expected);
    CHECK(near(expected, 0.9983801 + 5.7071103 + 2.3133877, 1e-6));
}

TEST(non_finite_hyperscores_become_255) {
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    CHECK_BITS(score_type_score(ScoreType::SeparateIntensities, 1, 1, inf, 1.0f), 255.0);
    CHECK_BITS(score_type_score(ScoreType::SeparateIntensities, 1, 1, 1.0f, nan), 255.0);
    CHECK_BITS(score_type_score(ScoreType::SeparateIntensities, 1, 1, -1.0f, 5.0f), 255.0);  // ln(0)
    CHECK_BITS(score_type_score(ScoreType::CombinedIntensity, 1, 1, -1.0f, 0.0f), 255.0);    // ln1p(-1)
    CHECK_BITS(score_type_score(ScoreType::CombinedIntensity, 1, 1, -2.0f, 0.0f), 255.0);    // ln1p(-2)
    CHECK_THROWS(score_type_score(static_cast<ScoreType>(7), 1, 1, 1.0f, 1.0f));
}

// ---------------------------------------------------------------- configuration

TEST(scorer_from_settings_copies_settings_and_fixes_the_rest) {
    IndexedDatabase db;
    ScorerSettings settings;
    settings.report_psms = 9;
    settings.precursor_tol = Tolerance::ppm(-5.0f, 7.0f);
    settings.fragment_tol = Tolerance::da(-0.02f, 0.03f);
    settings.max_fragment_charge = std::nullopt;
    settings.min_matched_peaks = 4;
    settings.wide_window = false;
    settings.chimera = false;
    settings.annotate_matches = true;
    settings.min_isotope_err = -2;
    settings.max_isotope_err = 1;
    settings.min_precursor_charge = 1;
    settings.max_precursor_charge = 6;
    const Scorer s = Scorer::from_settings(settings, db);
    CHECK(s.db == &db);
    CHECK_EQ(s.report_psms, 9u);
    CHECK(s.precursor_tol.unit == Tolerance::Unit::Ppm && s.precursor_tol.minus == -5.0f && s.precursor_tol.plus == 7.0f);
    CHECK(s.fragment_tol.unit == Tolerance::Unit::Da && s.fragment_tol.minus == -0.02f && s.fragment_tol.plus == 0.03f);
    CHECK(!s.max_fragment_charge.has_value());
    CHECK_EQ(s.min_matched_peaks, 4);
    CHECK(!s.wide_window && !s.chimera && s.annotate_matches && !s.ignore_precursor_charge);
    CHECK(s.score_type == ScoreType::SeparateIntensities);
    CHECK_EQ(int(s.min_isotope_err), -2);
    CHECK_EQ(int(s.max_isotope_err), 1);
    CHECK_EQ(int(s.min_precursor_charge), 1);
    CHECK_EQ(int(s.max_precursor_charge), 6);
}

TEST(highest_fragment_charge_rule) {
    IndexedDatabase db;
    Scorer s = scorer_for(db);
    s.max_fragment_charge = std::nullopt;
    CHECK_EQ(int(s.max_fragment_charge_for(1)), 1);
    CHECK_EQ(int(s.max_fragment_charge_for(2)), 1);
    CHECK_EQ(int(s.max_fragment_charge_for(4)), 3);
    CHECK_EQ(int(s.max_fragment_charge_for(255)), 254);
    CHECK_EQ(int(s.max_fragment_charge_for(0)), 1);  // never below 1, even for charge 0
    s.max_fragment_charge = 2;
    CHECK_EQ(int(s.max_fragment_charge_for(4)), 2);
    CHECK_EQ(int(s.max_fragment_charge_for(3)), 2);
    CHECK_EQ(int(s.max_fragment_charge_for(2)), 1);
    s.max_fragment_charge = 0;
    CHECK_EQ(int(s.max_fragment_charge_for(5)), 1);
}

// ---------------------------------------------------------------- candidate scoring

TEST(full_ladder_matches_every_b_and_y_ion_once) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = hand_database({make(PEPTIDEK, mono)});
    Scorer scorer = scorer_for(db);
    scorer.annotate_matches = true;
    const auto peaks = ladder_peaks(PEPTIDEK, mono);
    const auto [score, fragments] = scorer.score_candidate(peaks, candidate(0, 2, 1));

    CHECK_EQ(score.matched_b, 7);
    CHECK_EQ(score.matched_y, 7);
    CHECK_EQ(score.longest_b, 7u);
    CHECK_EQ(score.longest_y, 7u);
    CHECK_BITS(score.summed_b, 91.0f);   // 10 + ... + 16
    CHECK_BITS(score.summed_y, 721.0f);  // 100 + ... + 106
    CHECK_BITS(score.average_ppm, 0.0f);  // every peak sits exactly on its fragment
    CHECK_BITS(score.hyperscore, (std::log(722.0 * 92.0) + stirling(7)) + stirling(7));
    CHECK_EQ(score.peptide_idx, 0u);
    CHECK_EQ(int(score.precursor_charge), 2);
    CHECK_EQ(int(score.isotope_error), 1);

    // 14 annotations: b1 .. b7, then y7 .. y1, all at charge 1.
    CHECK(fragments.has_value());
    const auto b = b_ladder(PEPTIDEK);
    const auto y = y_ladder(PEPTIDEK, mono);
    CHECK_EQ(fragments->charges.size(), 14u);
    CHECK_EQ(fragments->kinds.size(), 14u);
    CHECK_EQ(fragments->intensities.size(), 14u);
    CHECK_EQ(fragments->mz_experimental.size(), 14u);
    for (size_t i = 0; i < 7; ++i) {
        CHECK(fragments->kinds[i] == Kind::B);
        CHECK(fragments->kinds[7 + i] == Kind::Y);
        CHECK_EQ(fragments->fragment_ordinals[i], int32_t(i + 1));
        CHECK_EQ(fragments->fragment_ordinals[7 + i], int32_t(7 - i));
        CHECK_EQ(fragments->charges[i], 1);
        CHECK_EQ(fragments->charges[7 + i], 1);
        CHECK_BITS(fragments->intensities[i], 10.0f + float(i));
        CHECK_BITS(fragments->intensities[7 + i], 100.0f + float(i));
        CHECK_BITS(fragments->mz_calculated[i], b[i] + PROTON_MASS);
        CHECK_BITS(fragments->mz_calculated[7 + i], y[i] + PROTON_MASS);
        CHECK_BITS(fragments->mz_experimental[i], b[i] + PROTON_MASS);
    }

    // Without annotation the same score and no fragments.
    scorer.annotate_matches = false;
    const auto [plain, none] = scorer.score_candidate(peaks, candidate(0, 2, 1));
    CHECK(!none.has_value());
    CHECK_BITS(plain.hyperscore, score.hyperscore);
}

TEST(combined_intensity_scorer_uses_the_combined_formula) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = hand_database({make(PEPTIDEK, mono)});
    Scorer scorer = scorer_for(db);
    scorer.score_type = ScoreType::CombinedIntensity;
    const auto [score, fragments] = scorer.score_candidate(ladder_peaks(PEPTIDEK, mono), candidate(0));
    CHECK_BITS(score.hyperscore, (stirling(7) + static_cast<double>(std::log1p(91.0f + 721.0f))) + stirling(7));
}

TEST(fragment_matched_at_two_charges_counts_twice_but_runs_once) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = hand_database({make(PEPTIDEK, mono)});
    Scorer scorer = scorer_for(db);
    scorer.max_fragment_charge = std::nullopt;
    scorer.annotate_matches = true;
    const float b2 = b_ladder(PEPTIDEK)[1];
    const float half = b2 / 2.0f;
    const std::vector<Peak> peaks = {{7.0f, half}, {5.0f, b2}};
    // Precursor charge 3: fragment charges 1 and 2.
    const auto [score, fragments] = scorer.score_candidate(peaks, candidate(0, 3));
    CHECK_EQ(score.matched_b, 2);
    CHECK_EQ(score.matched_y, 0);
    CHECK_BITS(score.summed_b, 12.0f);
    CHECK_EQ(score.longest_b, 1u);
    CHECK(fragments->charges == (std::vector<int32_t>{1, 2}));
    CHECK(fragments->fragment_ordinals == (std::vector<int32_t>{2, 2}));
    CHECK_BITS(fragments->mz_calculated[1], half + PROTON_MASS);
    CHECK_BITS(fragments->mz_experimental[1], half + PROTON_MASS);
    // Precursor charge 2 looks at charge 1 only.
    const auto [single, unused] = scorer.score_candidate(peaks, candidate(0, 2));
    CHECK_EQ(single.matched_b, 1);
    CHECK_BITS(single.summed_b, 5.0f);

    // b1 .. b4, with b3 also doubly charged: the repeat inside the run does not break it.
    const auto b = b_ladder(PEPTIDEK);
    const std::vector<Peak> run_peaks =
        sorted_peaks({{1.0f, b[0]}, {1.0f, b[1]}, {1.0f, b[2]}, {1.0f, b[2] / 2.0f}, {1.0f, b[3]}});
    const auto [run, unused_run] = scorer.score_candidate(run_peaks, candidate(0, 3));
    CHECK_EQ(run.matched_b, 5);
    CHECK_EQ(run.longest_b, 4u);
}

TEST(longest_run_over_gaps_and_across_kinds_of_one_side) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const auto b = b_ladder(PEPTIDEK);
    {
        // Positions 0, 1, 2 then 5, 6: longest run 3.
        const IndexedDatabase db = hand_database({make(PEPTIDEK, mono)});
        const Scorer scorer = scorer_for(db);
        const std::vector<Peak> peaks = {{1.0f, b[0]}, {1.0f, b[1]}, {1.0f, b[2]}, {1.0f, b[5]}, {1.0f, b[6]}};
        const auto [score, f] = scorer.score_candidate(peaks, candidate(0));
        CHECK_EQ(score.matched_b, 5);
        CHECK_EQ(score.longest_b, 3u);
        CHECK_EQ(score.longest_y, 0u);
    }
    {
        // a1, a2 (positions 0, 1) then b3, b4 (positions 2, 3): the B walk continues the A run.
        const IndexedDatabase db = hand_database({make(PEPTIDEK, mono)}, {Kind::A, Kind::B});
        const Scorer scorer = scorer_for(db);
        float a = A_ION_OFFSET;
        std::vector<float> a_ions;
        for (char c : PEPTIDEK.substr(0, 2)) a_ions.push_back(a = a + residue_mass(uint8_t(c)));
        const std::vector<Peak> peaks = {{1.0f, a_ions[0]}, {1.0f, a_ions[1]}, {1.0f, b[2]}, {1.0f, b[3]}};
        const auto [score, f] = scorer.score_candidate(peaks, candidate(0));
        CHECK_EQ(score.matched_b, 4);
        CHECK_EQ(score.longest_b, 4u);
    }
    {
        // A kind listed twice restarts at position 0: a new run, counted again.
        const IndexedDatabase db = hand_database({make(PEPTIDEK, mono)}, {Kind::B, Kind::B});
        const Scorer scorer = scorer_for(db);
        const std::vector<Peak> peaks = {{1.0f, b[0]}, {1.0f, b[1]}, {1.0f, b[4]}};
        const auto [score, f] = scorer.score_candidate(peaks, candidate(0));
        CHECK_EQ(score.matched_b, 6);
        CHECK_EQ(score.longest_b, 2u);
    }
}

TEST(window_ties_zero_and_negative_intensities) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = hand_database({make(PEPTIDEK, mono)});
    Scorer scorer = scorer_for(db);
    scorer.annotate_matches = true;
    const float b1 = b_ladder(PEPTIDEK)[0];
    {
        // Two equally intense peaks around b1: the later one is the observed mass.
        const float early = b1 - 0.004f, late = b1 + 0.003f;
        const std::vector<Peak> peaks = {{9.0f, early}, {9.0f, late}};
        const auto [score, fragments] = scorer.score_candidate(peaks, candidate(0));
        CHECK_EQ(score.matched_b, 1);
        CHECK_BITS(fragments->mz_experimental[0], late + PROTON_MASS);
        const float error = ((std::fabs(b1 - late) * 9.0f) * 2000000.0f) / (b1 + late);
        CHECK_BITS(score.average_ppm, (0.0f + error) / (0.0f + 9.0f));
    }
    {
        // Mass error: (|t - o| * I) * 2e6 first, then the division; other groupings differ here.
        const float observed = b1 + 0.0019f;
        const float intensity = 77.7f;
        const std::vector<Peak> peaks = {{intensity, observed}};
        const auto [score, fragments] = scorer.score_candidate(peaks, candidate(0));
        const float error = ((std::fabs(b1 - observed) * intensity) * 2000000.0f) / (b1 + observed);
        CHECK_BITS(score.average_ppm, error / intensity);
        CHECK(!check::same_bits(error, (std::fabs(b1 - observed) * (intensity * 2000000.0f)) / (b1 + observed)));
    }
    {
        // Intensity 0.0 still matches; the error sum and intensity sum are both 0, so NaN.
        const std::vector<Peak> peaks = {{0.0f, b1}};
        const auto [score, fragments] = scorer.score_candidate(peaks, candidate(0));
        CHECK_EQ(score.matched_b, 1);
        CHECK(std::isnan(score.average_ppm));
        CHECK_BITS(score.hyperscore, (std::log(1.0 * 1.0) + stirling(1)) + stirling(0));
    }
    {
        // Only negative intensity in the window: no match, hyperscore 2, NaN error, empty lists.
        const std::vector<Peak> peaks = {{-4.0f, b1}};
        const auto [score, fragments] = scorer.score_candidate(peaks, candidate(0));
        CHECK_EQ(score.matched_b + score.matched_y, 0);
        CHECK_BITS(score.hyperscore, 2.0);
        CHECK(std::isnan(score.average_ppm));
        CHECK(fragments.has_value() && fragments->charges.empty() && fragments->mz_calculated.empty());
    }
    {
        // No peaks at all.
        const auto [score, fragments] = scorer.score_candidate({}, candidate(0));
        CHECK_EQ(score.matched_b + score.matched_y, 0);
        CHECK_EQ(score.longest_b + score.longest_y, 0u);
    }
}

TEST(inline_ion_masses_equal_the_ion_series) {
    // Random peptides with modifications and terminal shifts, all six kinds: every annotated
    // m/z must be the ion series mass plus one proton, bit for bit.
    std::mt19937 rng(99);
    const std::string letters = "ACDEFGHIKLMNPQRSTVWYbx";
    for (int round = 0; round < 50; ++round) {
        std::string sequence;
        const size_t length = 2 + rng() % 14;
        for (size_t i = 0; i < length; ++i) sequence += letters[rng() % letters.size()];
        std::vector<float> mods(length);
        for (float &m : mods) m = (rng() % 3 == 0) ? static_cast<float>(rng() % 8000) / 97.0f : 0.0f;
        const std::optional<float> nterm = rng() % 2 ? std::optional<float>(42.010565f) : std::nullopt;
        Peptide p = make_peptide(sequence, 900.0f + static_cast<float>(rng() % 3000) / 7.0f, mods, nterm, std::nullopt);
        const std::vector<Kind> kinds = {Kind::A, Kind::B, Kind::C, Kind::X, Kind::Y, Kind::Z};

        std::vector<float> expected;
        std::vector<Peak> peaks;
        for (Kind kind : kinds) {
            IonSeries series(p, kind);
            while (auto ion = series.next()) {
                expected.push_back(ion->mass + PROTON_MASS);
                peaks.push_back({1.0f, ion->mass});
            }
        }
        const IndexedDatabase db = hand_database({p}, kinds);
        Scorer scorer = scorer_for(db);
        scorer.annotate_matches = true;
        scorer.fragment_tol = Tolerance::da(-0.001f, 0.001f);
        const auto [score, fragments] = scorer.score_candidate(sorted_peaks(peaks), candidate(0));
        CHECK_EQ(fragments->mz_calculated.size(), expected.size());
        if (fragments->mz_calculated.size() != expected.size()) continue;
        for (size_t i = 0; i < expected.size(); ++i) CHECK_BITS(fragments->mz_calculated[i], expected[i]);
    }
}

TEST(candidate_errors_are_failures_not_crashes) {
    Peptide short_mods = make(PEPTIDEK, 900.0f);
    short_mods.modifications.resize(3);
    const IndexedDatabase db = hand_database({short_mods});
    const Scorer scorer = scorer_for(db);
    const std::vector<Peak> peaks = {{1.0f, 97.05276f}};
    CHECK_THROWS(scorer.score_candidate(peaks, candidate(0)));
    CHECK_THROWS(scorer.score_candidate(peaks, candidate(1)));  // beyond the peptide list
    Scorer detached = scorer;
    detached.db = nullptr;
    CHECK_THROWS(detached.score_candidate(peaks, candidate(0)));
}

TEST(preliminary_list_skips_unmatched_slots_and_drops_weak_candidates) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const auto b = b_ladder(PEPTIDEK);
    // Peptide 0 keeps the real mass (b1 and y7 match); peptide 1 is shifted so only b1 matches.
    const IndexedDatabase db = hand_database({make(PEPTIDEK, mono), make(PEPTIDEK, mono + 50.0f)});
    Scorer scorer = scorer_for(db);
    const auto y = y_ladder(PEPTIDEK, mono);
    const ProcessedSpectrum s = spectrum("s", sorted_peaks({{3.0f, b[0]}, {4.0f, y[0]}}), {precursor(500.0f, 2)});
    const std::vector<PreliminaryHit> candidates = {PreliminaryHit{}, candidate(1), PreliminaryHit{}, candidate(0),
                                                    candidate(1, 2, 1)};
    scorer.min_matched_peaks = 1;
    auto kept = score_preliminary_list(scorer, s, candidates);
    CHECK_EQ(kept.size(), 3u);  // candidate order, unmatched slots skipped
    CHECK_EQ(kept[0].first.peptide_idx, 1u);
    CHECK_EQ(kept[1].first.peptide_idx, 0u);
    CHECK_EQ(kept[2].first.peptide_idx, 1u);
    CHECK_EQ(int(kept[2].first.isotope_error), 1);
    scorer.min_matched_peaks = 2;
    kept = score_preliminary_list(scorer, s, candidates);
    CHECK_EQ(kept.size(), 1u);
    CHECK_EQ(kept[0].first.peptide_idx, 0u);
    scorer.min_matched_peaks = 3;  // 1 + 1 falls short
    CHECK(score_preliminary_list(scorer, s, candidates).empty());
    scorer.min_matched_peaks = 0;  // everything but the unmatched slots, even without matches
    CHECK_EQ(score_preliminary_list(scorer, s, candidates).size(), 3u);
    CHECK(score_preliminary_list(scorer, s, {}).empty());
}

// ---------------------------------------------------------------- feature assembly

namespace {

// Prefixes of PEPTIDEK matching 7, 6, ..., 1 b ions; masses far away so that no y ion matches.
IndexedDatabase prefix_database() {
    std::vector<Peptide> peptides;
    for (size_t length = 8; length >= 2; --length)
        peptides.push_back(make(PEPTIDEK.substr(0, length), 5000.0f + static_cast<float>(length)));
    return hand_database(std::move(peptides));
}

std::vector<Peak> b_peaks() {
    std::vector<Peak> peaks;
    const auto b = b_ladder(PEPTIDEK);
    for (size_t i = 0; i < b.size(); ++i) peaks.push_back({10.0f + static_cast<float>(i), b[i]});
    return peaks;
}

PreliminaryHits hits_of(std::vector<PreliminaryHit> candidates, uint64_t matched = 20, uint64_t scored = 10) {
    return PreliminaryHits{std::move(candidates), matched, scored};
}

}  // namespace

TEST(features_are_ranked_by_hyperscore_with_gaps_to_neighbours) {
    const IndexedDatabase db = prefix_database();
    Scorer scorer = scorer_for(db);
    scorer.min_matched_peaks = 1;
    const ProcessedSpectrum s = spectrum("scan=3", b_peaks(), {precursor(500.0f, 2)});
    // Peptide i matches 7 - i b ions; candidates in scrambled order.
    const auto hits = hits_of({candidate(3), candidate(6), candidate(0), candidate(5), candidate(1), candidate(4),
                               candidate(2)});
    std::vector<Feature> out;
    const uint64_t before = PSM_COUNTER.load();
    scorer.build_features(s, hits, 5, out, 500.0f);
    CHECK_EQ(out.size(), 5u);
    CHECK_EQ(PSM_COUNTER.load(), before + 5);
    double sixth = 0.0;
    {
        const auto [score6, f6] = scorer.score_candidate(s.peaks, candidate(5));
        sixth = score6.hyperscore;
    }
    for (uint32_t r = 0; r < 5; ++r) {
        const Feature &f = out[r];
        CHECK_EQ(f.rank, r + 1);
        CHECK_EQ(f.peptide_idx, r);
        CHECK_EQ(f.matched_peaks, 7 - r);
        CHECK_EQ(f.psm_id, before + r);
        CHECK_BITS(f.delta_best, out[0].hyperscore - f.hyperscore);
        if (r + 1 < 5) CHECK_BITS(f.delta_next, f.hyperscore - out[r + 1].hyperscore);
    }
    CHECK_BITS(out[0].delta_best, 0.0);
    CHECK(out[0].hyperscore > out[1].hyperscore);
    // The last reported feature measures its gap to the best unreported candidate.
    CHECK_BITS(out[4].delta_next, out[4].hyperscore - sixth);
}

TEST(single_candidate_and_ties_keep_candidate_order) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = hand_database({make(PEPTIDEK, mono), make(PEPTIDEK, mono)});
    const Scorer scorer = scorer_for(db);
    const ProcessedSpectrum s = spectrum("t", ladder_peaks(PEPTIDEK, mono), {precursor(500.0f, 2)});
    {
        std::vector<Feature> out;
        scorer.build_features(s, hits_of({candidate(1)}), 5, out, 500.0f);
        CHECK_EQ(out.size(), 1u);
        CHECK_BITS(out[0].delta_next, out[0].hyperscore);
        CHECK_BITS(out[0].delta_best, 0.0);
    }
    {
        // Equal hyperscores: the earlier candidate ranks first, whatever its index.
        std::vector<Feature> out;
        scorer.build_features(s, hits_of({candidate(1), candidate(0)}), 5, out, 500.0f);
        CHECK_EQ(out.size(), 2u);
        CHECK_EQ(out[0].peptide_idx, 1u);
        CHECK_EQ(out[1].peptide_idx, 0u);
        CHECK_BITS(out[0].delta_next, 0.0);
        CHECK(out[0].psm_id + 1 == out[1].psm_id);
    }
}

TEST(many_equal_hyperscores_keep_candidate_order) {
    // Enough equal entries that an unstable sort would reorder them.
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = hand_database(std::vector<Peptide>(64, make(PEPTIDEK, mono)));
    const Scorer scorer = scorer_for(db);
    const ProcessedSpectrum s = spectrum("eq", ladder_peaks(PEPTIDEK, mono), {precursor(500.0f, 2)});
    std::vector<PreliminaryHit> candidates;
    std::vector<uint32_t> order;
    for (uint32_t i = 0; i < 64; ++i) order.push_back((i * 37) % 64);
    for (uint32_t idx : order) candidates.push_back(candidate(idx));
    std::vector<Feature> out;
    scorer.build_features(s, hits_of(candidates), 64, out, 500.0f);
    CHECK_EQ(out.size(), 64u);
    for (size_t i = 0; i < out.size(); ++i) CHECK_EQ(out[i].peptide_idx, order[i]);
}

TEST(nothing_survives_nothing_is_appended) {
    const IndexedDatabase db = prefix_database();
    Scorer scorer = scorer_for(db);
    scorer.min_matched_peaks = 8;
    const ProcessedSpectrum s = spectrum("u", b_peaks(), {precursor(500.0f, 2)});
    std::vector<Feature> out(2);
    out[0].spec_id = "kept";
    const uint64_t before = PSM_COUNTER.load();
    scorer.build_features(s, hits_of({candidate(0), candidate(1)}), 5, out, 500.0f);
    CHECK_EQ(out.size(), 2u);
    CHECK_EQ(out[0].spec_id, std::string("kept"));
    CHECK_EQ(PSM_COUNTER.load(), before);
    // Limit 0 and an empty candidate list append nothing either.
    scorer.min_matched_peaks = 1;
    scorer.build_features(s, hits_of({candidate(0)}), 0, out, 500.0f);
    scorer.build_features(s, hits_of({}), 5, out, 500.0f);
    CHECK_EQ(out.size(), 2u);
    CHECK_EQ(PSM_COUNTER.load(), before);
    // Existing entries stay in front of new ones.
    scorer.build_features(s, hits_of({candidate(0)}), 5, out, 500.0f);
    CHECK_EQ(out.size(), 3u);
    CHECK_EQ(out[2].rank, 1u);
}

TEST(poisson_term_examples) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const auto b = b_ladder(PEPTIDEK);
    const auto y = y_ladder(PEPTIDEK, mono);
    const IndexedDatabase db = hand_database({make(PEPTIDEK, mono)});
    Scorer scorer = scorer_for(db);
    scorer.min_matched_peaks = 0;
    std::vector<Feature> out;
    // k = 3 (b1, b2, y7) with lambda = 20 / 10.
    const ProcessedSpectrum three = spectrum("p", sorted_peaks({{1.0f, b[0]}, {1.0f, b[1]}, {1.0f, y[0]}}),
                                             {precursor(500.0f, 2)});
    scorer.build_features(three, hits_of({candidate(0)}, 20, 10), 1, out, 500.0f);
    CHECK_EQ(out[0].matched_peaks, 3u);
    CHECK(near(out[0].poisson, -0.9701905, 5e-8));
    CHECK_BITS(out[0].poisson, -0.970190484162512);
    // k = 0: P = exp(-lambda) / e.
    const ProcessedSpectrum none = spectrum("p0", {}, {precursor(500.0f, 2)});
    scorer.build_features(none, hits_of({candidate(0)}, 20, 10), 1, out, 500.0f);
    CHECK_EQ(out[1].matched_peaks, 0u);
    CHECK(near(out[1].poisson, -1.3028835, 1e-7));
    CHECK_BITS(out[1].poisson, std::log10(std::exp(-2.0) / std::exp(1.0)));
    // lambda 0 with matches: P = 0, poisson -inf.
    scorer.build_features(three, hits_of({candidate(0)}, 0, 10), 1, out, 500.0f);
    CHECK(std::isinf(out[2].poisson) && out[2].poisson < 0);
    // lambda 2.3, k = 3: lambda^3 by square-and-multiply is one bit away from a correctly
    // rounded power here.
    scorer.build_features(three, hits_of({candidate(0)}, 23, 10), 1, out, 500.0f);
    CHECK_BITS(out.back().poisson, -0.9183853076726526);
    out.pop_back();
    // Zero scored candidates: lambda is 0/0, NaN passes through.
    scorer.build_features(three, hits_of({candidate(0)}, 0, 0), 1, out, 500.0f);
    CHECK(std::isnan(out[3].poisson));
}

TEST(infinite_poisson_probability_becomes_zero) {
    // 158 matched ions with lambda 700: lambda^158 overflows while exp(-700) and
    // exp(count(158)) stay finite, so P is +inf, replaced by 0, and log10 gives -inf.
    const std::string glycines(80, 'G');
    const float mono = residue_sum_mass(glycines);
    const IndexedDatabase db = hand_database({make(glycines, mono)});
    const Scorer scorer = scorer_for(db);
    std::vector<Peak> peaks;
    for (float m : b_ladder(glycines)) peaks.push_back({1.0f, m});
    for (float m : y_ladder(glycines, mono)) peaks.push_back({1.0f, m});
    const ProcessedSpectrum s = spectrum("g", sorted_peaks(peaks), {precursor(500.0f, 2)});
    std::vector<Feature> out;
    scorer.build_features(s, hits_of({candidate(0)}, 7000, 10), 1, out, 500.0f);
    CHECK_EQ(out[0].matched_peaks, 158u);
    CHECK(std::isinf(std::pow(700.0, 158)) && std::isfinite(std::exp(stirling(158))));
    CHECK(std::isinf(out[0].poisson) && out[0].poisson < 0);
}

TEST(precursor_mass_error_example) {
    // m/z 500.0, charge 2, isotope error 1, monoisotopic 997.0.
    Peptide p = make("GA", 997.0f);
    const IndexedDatabase db = hand_database({p});
    Scorer scorer = scorer_for(db);
    scorer.min_matched_peaks = 0;
    const ProcessedSpectrum s = spectrum("m", {}, {precursor(500.0f, 2)});
    std::vector<Feature> out;
    scorer.build_features(s, hits_of({candidate(0, 2, 1)}), 1, out, 500.0f);
    const Feature &f = out[0];
    CHECK_BITS(f.expmass, 997.9854736328125f);
    CHECK_BITS(f.isotope_error, 1.00335f);
    CHECK_BITS(f.calcmass, 997.0f);
    CHECK_BITS(f.delta_mass, -17.93033790588379f);
    CHECK(near(f.delta_mass, -17.930, 5e-4));
    CHECK_EQ(int(f.charge), 2);
    // Negative isotope error: iso = -1.00335.
    scorer.build_features(s, hits_of({candidate(0, 3, -1)}), 1, out, 500.0f);
    const float expmass = 3.0f * (500.0f - PROTON_MASS);
    const float iso = -1.0f * ISOTOPE_SPACING;
    CHECK_BITS(out[1].isotope_error, iso);
    CHECK_BITS(out[1].delta_mass, (((expmass - 997.0f) - iso) * 2000000.0f) / ((expmass - iso) + 997.0f));
}

TEST(feature_fields_copied_fixed_and_derived) {
    const float mono = residue_sum_mass(PEPTIDEK);
    Peptide decoy = make(PEPTIDEK, mono, true);
    decoy.missed_cleavages = 2;
    const IndexedDatabase db = hand_database({make(PEPTIDEK, mono), decoy});
    Scorer scorer = scorer_for(db);
    scorer.annotate_matches = true;
    Precursor first = precursor(500.0f, 2);
    first.inverse_ion_mobility = 0.875f;
    ProcessedSpectrum s = spectrum("controller=0 scan=17", ladder_peaks(PEPTIDEK, mono), {first, precursor(800.0f)},
                                   2000.0f);
    s.file_id = 3;
    s.scan_start_time = 33.25f;
    std::vector<Feature> out;
    scorer.build_features(s, hits_of({candidate(1), candidate(0)}, 20, (1ull << 32) + 5), 2, out, 500.0f);
    CHECK_EQ(out.size(), 2u);
    const Feature &d = out[0];  // equal scores: the decoy came first
    CHECK_EQ(d.label, -1);
    CHECK_EQ(out[1].label, 1);
    CHECK_EQ(d.spec_id, std::string("controller=0 scan=17"));
    CHECK_EQ(d.file_id, 3u);
    CHECK_EQ(d.peptide_len, 8u);
    CHECK_EQ(int(d.missed_cleavages), 2);
    CHECK_EQ(d.scored_candidates, 5u);  // low 32 bits
    CHECK_BITS(d.rt, 33.25f);
    CHECK_BITS(d.aligned_rt, 33.25f);
    CHECK_BITS(d.ims, 0.875f);
    CHECK_EQ(d.longest_b, 7u);
    CHECK_EQ(d.longest_y, 7u);
    CHECK_BITS(d.longest_y_pct, 7.0f / 8.0f);
    CHECK_BITS(d.ms2_intensity, 91.0f + 721.0f);
    CHECK_BITS(d.matched_intensity_pct, (812.0f * 100.0f) / 2000.0f);
    CHECK_BITS(d.average_ppm, 0.0f);
    CHECK_BITS(d.predicted_rt, 0.0f);
    CHECK_BITS(d.delta_rt_model, 0.999f);
    CHECK_BITS(d.predicted_ims, 0.0f);
    CHECK_BITS(d.delta_ims_model, 0.999f);
    CHECK_BITS(d.discriminant_score, 0.0f);
    CHECK_BITS(d.posterior_error, 1.0f);
    CHECK_BITS(d.spectrum_q, 1.0f);
    CHECK_BITS(d.peptide_q, 1.0f);
    CHECK_BITS(d.protein_q, 1.0f);
    CHECK(d.fragments.has_value() && d.fragments->charges.size() == 14);

    // No ion mobility gives 0.0; a total ion current of 0 gives a non-finite percentage.
    s.precursors[0].inverse_ion_mobility.reset();
    s.total_ion_current = 0.0f;
    scorer.annotate_matches = false;
    scorer.build_features(s, hits_of({candidate(0)}), 1, out, 500.0f);
    CHECK_BITS(out[2].ims, 0.0f);
    CHECK(std::isinf(out[2].matched_intensity_pct));
    CHECK(!out[2].fragments.has_value());
    // Nothing matched and no intensity current: 0 * 100 / 0 is NaN.
    scorer.min_matched_peaks = 0;
    s.peaks.clear();
    scorer.build_features(s, hits_of({candidate(0)}), 1, out, 500.0f);
    CHECK(std::isnan(out[3].matched_intensity_pct));
}

TEST(feature_assembly_refuses_broken_inputs) {
    const IndexedDatabase db = prefix_database();
    const Scorer scorer = scorer_for(db);
    std::vector<Feature> out;
    const ProcessedSpectrum no_precursor = spectrum("np", b_peaks(), {});
    CHECK_THROWS(scorer.build_features(no_precursor, hits_of({candidate(0)}), 1, out, 500.0f));
    const ProcessedSpectrum s = spectrum("bad", b_peaks(), {precursor(500.0f, 2)});
    CHECK_THROWS(scorer.build_features(s, hits_of({candidate(99)}), 1, out, 500.0f));
    CHECK(out.empty());
}
