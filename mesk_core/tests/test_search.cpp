// Whole-spectrum search against built indexes: preliminary passes over charges and isotope
// errors, the shortlist, standard and chimeric search, dispatch failures, and batches.
#include <algorithm>
#include <cmath>
#include <functional>
#include <limits>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "check.hpp"
#include "failure.hpp"
#include "ion_series.hpp"
#include "scoring_fixtures.hpp"

using namespace mesk;
using namespace fixtures;

namespace {

const std::string PEPTIDEK = "PEPTIDEK";
// Given a mass 1 Da above PEPTIDEK's so that both share a precursor window; no fragment of
// one lies within 6 Da of a fragment of the other.
const std::string NAMELESS = "NAMELESS";
const PreliminaryHit UNMATCHED_SLOT{};

std::string failure_message(const std::function<void()> &body) {
    try {
        body();
    } catch (const Failure &e) {
        return e.what();
    } catch (...) {
        return "<other exception>";
    }
    return "<no failure>";
}

std::vector<Peak> ladder(const std::string &sequence, float monoisotopic, float intensity) {
    std::vector<Peak> peaks;
    for (float m : b_ladder(sequence)) peaks.push_back({intensity, m});
    for (float m : y_ladder(sequence, monoisotopic)) peaks.push_back({intensity, m});
    return peaks;
}

std::vector<PreliminaryHit> matched_only(std::vector<PreliminaryHit> list) {
    std::erase_if(list, [](const PreliminaryHit &h) { return h.peptide_idx == UNMATCHED; });
    std::sort(list.begin(), list.end());
    return list;
}

// Every field but psm_id, floats by bit pattern.
bool same_apart_from_psm_id(const Feature &a, const Feature &b) {
    using check::same_bits;
    return a.file_id == b.file_id && a.spec_id == b.spec_id && a.rank == b.rank && a.label == b.label &&
           same_bits(a.hyperscore, b.hyperscore) && same_bits(a.delta_mass, b.delta_mass) &&
           a.matched_peaks == b.matched_peaks && a.peptide_len == b.peptide_len && same_bits(a.expmass, b.expmass) &&
           same_bits(a.calcmass, b.calcmass) && a.charge == b.charge && same_bits(a.rt, b.rt) &&
           same_bits(a.ims, b.ims) && same_bits(a.isotope_error, b.isotope_error) &&
           same_bits(a.average_ppm, b.average_ppm) && same_bits(a.delta_next, b.delta_next) &&
           same_bits(a.delta_best, b.delta_best) && a.longest_b == b.longest_b && a.longest_y == b.longest_y &&
           same_bits(a.longest_y_pct, b.longest_y_pct) && a.missed_cleavages == b.missed_cleavages &&
           same_bits(a.matched_intensity_pct, b.matched_intensity_pct) &&
           a.scored_candidates == b.scored_candidates && same_bits(a.poisson, b.poisson) &&
           same_bits(a.ms2_intensity, b.ms2_intensity) && a.fragments.has_value() == b.fragments.has_value() &&
           a.peptide_idx == b.peptide_idx;
}

bool same_lists(const std::vector<Feature> &a, const std::vector<Feature> &b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!same_apart_from_psm_id(a[i], b[i])) return false;
    return true;
}

// Narrow precursor window, charge taken from the precursor, single isotope pass.
Scorer narrow_scorer(const IndexedDatabase &db) {
    Scorer s = scorer_for(db);
    s.wide_window = false;
    s.precursor_tol = Tolerance::da(-0.01f, 0.01f);
    s.min_isotope_err = 0;
    s.max_isotope_err = 0;
    return s;
}

}  // namespace

// ---------------------------------------------------------------- preliminary search

TEST(isotope_passes_shift_the_precursor_mass) {
    // Peptides placed exactly on the centres of the passes e = 2, 1, 0, -1 and on e = -3,
    // which is outside the searched range -1 .. 3.
    const float mz = 464.7f;
    const float centre = (mz - PROTON_MASS) * 2.0f;
    std::vector<Peptide> peptides;
    for (int e : {2, 1, 0, -1, -3}) peptides.push_back(make(PEPTIDEK, centre + static_cast<float>(e) * -ISOTOPE_SPACING));
    const IndexedDatabase db = build(peptides);
    Scorer scorer = narrow_scorer(db);
    scorer.min_isotope_err = -1;
    scorer.max_isotope_err = 3;
    std::vector<Peak> peaks;
    for (float m : b_ladder(PEPTIDEK)) peaks.push_back({5.0f, m});
    const ProcessedSpectrum s = spectrum("iso", peaks, {precursor(mz, 2)});

    const PreliminaryHits hits = scorer.initial_hits(s, s.precursors[0]);
    CHECK_EQ(hits.matched_peaks, 28u);
    CHECK_EQ(hits.scored_candidates, 4u);
    // Pass order e = -1 .. 3; each pass brackets the peptide below and above its window.
    const std::vector<PreliminaryHit> expected = {
        UNMATCHED_SLOT, {3, 7, 2, -1}, UNMATCHED_SLOT,   // e = -1: slots 2 3 4
        UNMATCHED_SLOT, {2, 7, 2, 0},  UNMATCHED_SLOT,   // e = 0:  slots 1 2 3
        UNMATCHED_SLOT, {1, 7, 2, 1},  UNMATCHED_SLOT,   // e = 1:  slots 0 1 2
        {0, 7, 2, 2},   UNMATCHED_SLOT,                  // e = 2:  slots 0 1
        UNMATCHED_SLOT};                                 // e = 3:  nothing in reach
    CHECK(hits.candidates == expected);

    // min = max = 2: one pass at the unshifted mass, entries carry isotope error 0.
    scorer.min_isotope_err = 2;
    scorer.max_isotope_err = 2;
    const PreliminaryHits single = scorer.initial_hits(s, s.precursors[0]);
    CHECK(single.candidates == (std::vector<PreliminaryHit>{UNMATCHED_SLOT, {2, 7, 2, 0}, UNMATCHED_SLOT}));

    // min > max: no pass at all.
    scorer.min_isotope_err = 1;
    scorer.max_isotope_err = 0;
    const PreliminaryHits none = scorer.initial_hits(s, s.precursors[0]);
    CHECK(none.candidates.empty());
    CHECK_EQ(none.matched_peaks + none.scored_candidates, 0u);
}

TEST(wide_window_scales_the_isolation_window_by_charge) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = build({make(PEPTIDEK, mono)});
    Scorer scorer = scorer_for(db);  // wide window on
    scorer.min_isotope_err = 0;
    scorer.max_isotope_err = 0;
    const auto peaks = sorted_peaks(ladder(PEPTIDEK, mono, 3.0f));

    // Default window +-2.4 Da times 2 reaches 4 Da off; the precursor's own charge (3) is ignored.
    ProcessedSpectrum s = spectrum("w", peaks, {precursor(precursor_mz(mono + 4.0f, 2), 3)});
    PreliminaryHits hits = scorer.initial_hits(s, s.precursors[0]);
    CHECK(matched_only(hits.candidates) == (std::vector<PreliminaryHit>{{0, 14, 2, 0}}));
    CHECK_EQ(hits.matched_peaks, 14u);
    CHECK_EQ(hits.scored_candidates, 1u);

    // Isolation window Da(-0.5, 0.5) scaled by 2: 0.9 Da off is inside, 1.1 Da off is not.
    s.precursors[0] = precursor(precursor_mz(mono + 0.9f, 2), 2);
    s.precursors[0].isolation_window = Tolerance::da(-0.5f, 0.5f);
    CHECK_EQ(matched_only(scorer.initial_hits(s, s.precursors[0]).candidates).size(), 1u);
    s.precursors[0].mz = precursor_mz(mono + 1.1f, 2);
    CHECK(matched_only(scorer.initial_hits(s, s.precursors[0]).candidates).empty());

    // A ppm window is scaled too: 500 ppm of ~928 Da times 2 is ~0.93 Da.
    s.precursors[0].mz = precursor_mz(mono + 0.9f, 2);
    s.precursors[0].isolation_window = Tolerance::ppm(-500.0f, 500.0f);
    CHECK_EQ(matched_only(scorer.initial_hits(s, s.precursors[0]).candidates).size(), 1u);
    s.precursors[0].isolation_window = Tolerance::ppm(-250.0f, 250.0f);
    CHECK(matched_only(scorer.initial_hits(s, s.precursors[0]).candidates).empty());
}

TEST(precursor_charge_selection_without_wide_window) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = build({make(PEPTIDEK, mono)});
    Scorer scorer = narrow_scorer(db);
    const auto peaks = sorted_peaks(ladder(PEPTIDEK, mono, 3.0f));
    // The peptide sits at charge 2; the precursor claims charge 3.
    const ProcessedSpectrum s = spectrum("c", peaks, {precursor(precursor_mz(mono, 2), 3)});
    PreliminaryHits hits = scorer.initial_hits(s, s.precursors[0]);
    CHECK(matched_only(hits.candidates).empty());
    CHECK_EQ(hits.matched_peaks, 0u);
    // Ignoring the precursor's charge searches 2 .. 4 and finds it at 2.
    scorer.ignore_precursor_charge = true;
    hits = scorer.initial_hits(s, s.precursors[0]);
    CHECK(matched_only(hits.candidates) == (std::vector<PreliminaryHit>{{0, 14, 2, 0}}));
    // No charge at all: the configured range.
    scorer.ignore_precursor_charge = false;
    const ProcessedSpectrum uncharged = spectrum("c0", peaks, {precursor(precursor_mz(mono, 2))});
    CHECK(matched_only(scorer.initial_hits(uncharged, uncharged.precursors[0]).candidates) ==
          (std::vector<PreliminaryHit>{{0, 14, 2, 0}}));
    // An empty charge range: no pass, nothing counted.
    scorer.min_precursor_charge = 3;
    scorer.max_precursor_charge = 2;
    hits = scorer.initial_hits(uncharged, uncharged.precursors[0]);
    CHECK(hits.candidates.empty());
    CHECK_EQ(hits.matched_peaks + hits.scored_candidates, 0u);
}

TEST(fragment_charges_follow_the_precursor_charge) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = build({make(PEPTIDEK, mono)});
    Scorer scorer = narrow_scorer(db);
    // Only triply charged b ions in the spectrum.
    std::vector<Peak> peaks;
    for (float m : b_ladder(PEPTIDEK)) peaks.push_back({2.0f, m / 3.0f});
    const ProcessedSpectrum s = spectrum("z", sorted_peaks(peaks), {precursor(precursor_mz(mono, 4), 4)});
    scorer.max_fragment_charge = 2;  // charges 1, 2
    CHECK(matched_only(scorer.initial_hits(s, s.precursors[0]).candidates).empty());
    scorer.max_fragment_charge = std::nullopt;  // charges 1, 2, 3
    const auto found = matched_only(scorer.initial_hits(s, s.precursors[0]).candidates);
    CHECK_EQ(found.size(), 1u);
    CHECK(!found.empty() && found[0].matched == 7 && found[0].precursor_charge == 4);
    // Precursor charge 1: fragment charge 1 only, even without a cap.
    const ProcessedSpectrum z1 = spectrum("z1", sorted_peaks(peaks), {precursor(precursor_mz(mono, 1), 1)});
    CHECK(matched_only(scorer.initial_hits(z1, z1.precursors[0]).candidates).empty());
}

TEST(one_peak_on_a_b_and_a_y_ion_counts_twice) {
    // GA with mass 2 x G: b1 and y1 are both exactly the G residue mass.
    const float g = residue_mass('G');
    const IndexedDatabase db = build({make("GA", g * 2.0f)});
    const Scorer scorer = narrow_scorer(db);
    const ProcessedSpectrum s = spectrum("ga", {{1.0f, g}}, {precursor(precursor_mz(g * 2.0f, 2), 2)});
    const PreliminaryHits hits = scorer.initial_hits(s, s.precursors[0]);
    CHECK(matched_only(hits.candidates) == (std::vector<PreliminaryHit>{{0, 2, 2, 0}}));
    CHECK_EQ(hits.matched_peaks, 2u);
    CHECK_EQ(hits.scored_candidates, 1u);
}

TEST(no_peaks_or_no_peptides_give_only_unmatched_slots) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = build({make(PEPTIDEK, mono)});
    const Scorer scorer = narrow_scorer(db);
    const ProcessedSpectrum s = spectrum("e", {}, {precursor(precursor_mz(mono, 2), 2)});
    PreliminaryHits hits = scorer.initial_hits(s, s.precursors[0]);
    CHECK(!hits.candidates.empty());
    CHECK(matched_only(hits.candidates).empty());
    CHECK_EQ(hits.matched_peaks + hits.scored_candidates, 0u);

    const IndexedDatabase empty = build({});
    const Scorer on_empty = narrow_scorer(empty);
    const ProcessedSpectrum p = spectrum("e2", ladder(PEPTIDEK, mono, 1.0f), {precursor(500.0f, 2)});
    hits = on_empty.initial_hits(p, p.precursors[0]);
    CHECK(hits.candidates == (std::vector<PreliminaryHit>{UNMATCHED_SLOT}));  // one slot for the empty bracket
    CHECK(on_empty.score(p).empty());
}

TEST(shortlist_keeps_the_best_max_50_or_twice_report_psms) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = build(std::vector<Peptide>(120, make(PEPTIDEK, mono)));
    Scorer scorer = narrow_scorer(db);
    const ProcessedSpectrum s = spectrum("k", sorted_peaks(ladder(PEPTIDEK, mono, 1.0f)),
                                         {precursor(precursor_mz(mono, 2), 2)});
    auto indices = [](const std::vector<PreliminaryHit> &list) {
        std::set<uint32_t> out;
        for (const auto &h : list) out.insert(h.peptide_idx);
        return out;
    };
    auto range = [](uint32_t lo, uint32_t hi) {
        std::set<uint32_t> out;
        for (uint32_t i = lo; i < hi; ++i) out.insert(i);
        return out;
    };

    scorer.report_psms = 5;  // k = 50: equal counts, so the 50 highest peptide indices
    PreliminaryHits hits = scorer.initial_hits(s, s.precursors[0]);
    CHECK_EQ(hits.candidates.size(), 50u);
    CHECK(indices(hits.candidates) == range(70, 120));
    for (size_t i = 1; i < hits.candidates.size(); ++i) CHECK(!(hits.candidates[i] < hits.candidates[(i - 1) / 2]));
    CHECK_EQ(hits.scored_candidates, 120u);  // counters describe the whole search
    CHECK_EQ(hits.matched_peaks, 120u * 14u);

    // A pass without any hit returns its slots as they are, uncut.
    const ProcessedSpectrum blank = spectrum("k0", {{1.0f, 5000.0f}}, s.precursors);
    const float neutral = (s.precursors[0].mz - PROTON_MASS) * 2.0f;
    const PreliminaryHits zero = scorer.matched_peaks_with_isotope(blank.peaks, 2, scorer.precursor_tol, neutral, 0);
    CHECK_EQ(zero.candidates.size(), 121u);
    CHECK(matched_only(zero.candidates).empty());
    CHECK_EQ(zero.matched_peaks + zero.scored_candidates, 0u);

    scorer.report_psms = 40;  // k = 80
    CHECK(indices(scorer.initial_hits(s, s.precursors[0]).candidates) == range(40, 120));

    // A report_psms whose double overflows 64 bits keeps everything instead of wrapping to a tiny k.
    for (uint64_t huge : {std::numeric_limits<uint64_t>::max(), (std::numeric_limits<uint64_t>::max() / 2) + 1}) {
        scorer.report_psms = huge;
        hits = scorer.initial_hits(s, s.precursors[0]);
        CHECK_EQ(hits.candidates.size(), 121u);  // 120 peptides and the slot at the bracket end
        CHECK_EQ(matched_only(hits.candidates).size(), 120u);
    }
}

TEST(preliminary_counts_agree_with_a_brute_force_scan) {
    std::mt19937 rng(2024);
    const std::string letters = "ACDEFGHIKLMNPQRSTVWY";
    for (int round = 0; round < 12; ++round) {
        std::vector<Peptide> peptides;
        for (int i = 0; i < 300; ++i) {
            std::string seq;
            const size_t length = 4 + rng() % 8;
            for (size_t j = 0; j < length; ++j) seq += letters[rng() % letters.size()];
            // Masses on a coarse grid so that windows catch several peptides and ties.
            peptides.push_back(make(seq, 600.0f + static_cast<float>(rng() % 400) * 0.5f));
        }
        std::stable_sort(peptides.begin(), peptides.end(),
                         [](const Peptide &a, const Peptide &b) { return a.monoisotopic < b.monoisotopic; });
        const IndexedDatabase db = build(peptides, {Kind::B, Kind::Y}, 1 + rng() % 16);

        Scorer scorer = scorer_for(db);
        scorer.wide_window = false;
        scorer.precursor_tol = Tolerance::da(-1.5f, 1.5f);
        scorer.fragment_tol = rng() % 2 ? Tolerance::da(-0.05f, 0.05f) : Tolerance::ppm(-40.0f, 40.0f);
        scorer.report_psms = std::numeric_limits<uint64_t>::max();
        scorer.max_fragment_charge = std::nullopt;
        const uint8_t z = static_cast<uint8_t>(2 + rng() % 2);
        const float mz = 650.0f / static_cast<float>(z) + PROTON_MASS + static_cast<float>(rng() % 200) * 0.5f / z;

        // Peaks: fragments of random peptides (some at charge 2) plus noise.
        std::vector<Peak> peaks;
        for (int i = 0; i < 60; ++i) {
            const Peptide &p = db.peptides[rng() % db.peptides.size()];
            std::vector<float> masses;
            list_fragments(p, db.ion_kinds, 0, [&](const ListedIon &ion) { masses.push_back(ion.mass); });
            const float charge = (rng() % 4 == 0) ? 2.0f : 1.0f;
            peaks.push_back({1.0f, masses[rng() % masses.size()] / charge});
        }
        for (int i = 0; i < 40; ++i) peaks.push_back({1.0f, 50.0f + static_cast<float>(rng() % 100000) / 100.0f});
        const ProcessedSpectrum s = spectrum("bf", peaks, {precursor(mz, z)});

        const PreliminaryHits hits = scorer.initial_hits(s, s.precursors[0]);

        std::vector<PreliminaryHit> expected;
        uint64_t total = 0;
        const float neutral = (mz - PROTON_MASS) * static_cast<float>(z);
        const unsigned max_charge = static_cast<unsigned>(z) - 1;
        for (int e = scorer.min_isotope_err; e <= scorer.max_isotope_err; ++e) {
            const auto [plo, phi] = scorer.precursor_tol.bounds(neutral + static_cast<float>(e) * -ISOTOPE_SPACING);
            for (uint32_t idx = 0; idx < db.peptides.size(); ++idx) {
                const Peptide &p = db.peptides[idx];
                if (!(plo <= p.monoisotopic && p.monoisotopic <= phi)) continue;
                uint64_t count = 0;
                list_fragments(p, db.ion_kinds, 0, [&](const ListedIon &ion) {
                    for (const Peak &peak : peaks)
                        for (unsigned c = 1; c <= std::max(max_charge, 1u); ++c) {
                            const auto [flo, fhi] = scorer.fragment_tol.bounds(static_cast<float>(c) * peak.mass);
                            if (flo <= ion.mass && ion.mass <= fhi) ++count;
                        }
                });
                total += count;
                if (count) expected.push_back({idx, static_cast<uint16_t>(count), z, static_cast<int8_t>(e)});
            }
        }
        std::sort(expected.begin(), expected.end());
        CHECK(matched_only(hits.candidates) == expected);
        CHECK_EQ(hits.matched_peaks, total);
        CHECK_EQ(hits.scored_candidates, static_cast<uint64_t>(expected.size()));
    }
}

// ---------------------------------------------------------------- dispatch and standard search

TEST(score_refuses_non_ms2_scans_and_missing_precursors) {
    const IndexedDatabase db = build({make(PEPTIDEK, residue_sum_mass(PEPTIDEK))});
    Scorer scorer = scorer_for(db);
    ProcessedSpectrum s = spectrum("scan=5", {}, {});
    for (bool chimera : {true, false}) {
        scorer.chimera = chimera;
        CHECK_EQ(failure_message([&] { scorer.score(s); }), std::string("missing MS1 precursor for scan=5"));
    }
    CHECK_EQ(failure_message([&] { scorer.score_standard(s); }), std::string("missing MS1 precursor for scan=5"));
    CHECK_EQ(failure_message([&] { scorer.score_chimera_fast(s); }), std::string("missing MS1 precursor for scan=5"));
    s.level = 1;
    s.precursors.push_back(precursor(500.0f, 2));
    const std::string message = failure_message([&] { scorer.score(s); });
    CHECK_EQ(message, std::string("internal bug, trying to score a non-MS2 scan! (level 1, expected 2)"));
}

TEST(standard_search_ranks_the_matching_peptide_first) {
    const float a = residue_sum_mass(PEPTIDEK);
    const float b = a + 1.0f;
    const IndexedDatabase db = build({make(PEPTIDEK, a), make(NAMELESS, b)});
    Scorer scorer = scorer_for(db);
    scorer.chimera = false;
    scorer.min_isotope_err = 0;
    scorer.max_isotope_err = 0;
    std::vector<Peak> peaks = ladder(PEPTIDEK, a, 20.0f);
    const auto extra = ladder(NAMELESS, b, 1.0f);
    peaks.insert(peaks.end(), extra.begin(), extra.begin() + 4);  // b1 .. b4 of the second peptide
    const ProcessedSpectrum s = spectrum("std", sorted_peaks(peaks), {precursor(precursor_mz(a, 2), 2)});
    const auto features = scorer.score(s);
    CHECK_EQ(features.size(), 2u);
    CHECK_EQ(features[0].peptide_idx, 0u);
    CHECK_EQ(features[0].matched_peaks, 14u);
    CHECK_EQ(features[1].peptide_idx, 1u);
    CHECK_EQ(features[1].matched_peaks, 4u);
    CHECK_EQ(features[0].rank, 1u);
    CHECK_EQ(features[1].rank, 2u);
    CHECK(features[0].psm_id + 1 == features[1].psm_id);
    CHECK_BITS(features[1].delta_best, features[0].hyperscore - features[1].hyperscore);
    CHECK_BITS(features[0].delta_next, features[0].hyperscore - features[1].hyperscore);
    CHECK_EQ(features[0].scored_candidates, 2u);

    // report_psms 1 keeps the best; 0 reports nothing and takes no PSM number.
    scorer.report_psms = 1;
    CHECK_EQ(scorer.score(s).size(), 1u);
    scorer.report_psms = 0;
    const uint64_t before = PSM_COUNTER.load();
    CHECK(scorer.score(s).empty());
    CHECK_EQ(PSM_COUNTER.load(), before);
    // A huge report_psms reserves only what can be filled and scores normally.
    scorer.report_psms = std::numeric_limits<uint64_t>::max();
    CHECK_EQ(scorer.score(s).size(), 2u);

    // Further precursors are ignored.
    scorer.report_psms = 5;
    ProcessedSpectrum two = s;
    two.precursors.push_back(precursor(precursor_mz(b, 3), 3));
    CHECK(same_lists(scorer.score(two), scorer.score(s)));
}

// ---------------------------------------------------------------- chimeric search

namespace {

struct Chimera {
    float mass_a = residue_sum_mass(PEPTIDEK);
    float mass_b = mass_a + 1.0f;
    IndexedDatabase db = build({make(PEPTIDEK, mass_a), make(NAMELESS, mass_b)});
    // PEPTIDEK at intensity 100, NAMELESS at 10; caller's total ion current is not their sum.
    ProcessedSpectrum spectrum_ab = [this] {
        std::vector<Peak> peaks = ladder(PEPTIDEK, mass_a, 100.0f);
        const auto second = ladder(NAMELESS, mass_b, 10.0f);
        peaks.insert(peaks.end(), second.begin(), second.end());
        return spectrum("chimera", sorted_peaks(peaks), {precursor(precursor_mz(mass_a, 2), 2)}, 5000.0f);
    }();
};

}  // namespace

TEST(chimera_fixture_fragments_are_apart) {
    // The two ladders share no fragment window, so each peak explains one ion only.
    const Chimera c;
    for (size_t i = 1; i < c.spectrum_ab.peaks.size(); ++i)
        CHECK(c.spectrum_ab.peaks[i].mass - c.spectrum_ab.peaks[i - 1].mass > 0.05f);
}

TEST(chimeric_search_reports_both_coisolated_peptides) {
    const Chimera c;
    Scorer scorer = scorer_for(c.db);
    scorer.report_psms = 2;
    const ProcessedSpectrum original = c.spectrum_ab;
    const auto features = scorer.score(c.spectrum_ab);
    CHECK_EQ(features.size(), 2u);
    CHECK_EQ(features[0].peptide_idx, 0u);
    CHECK_EQ(features[1].peptide_idx, 1u);
    CHECK_EQ(features[0].rank, 1u);
    CHECK_EQ(features[1].rank, 2u);
    CHECK_EQ(features[0].matched_peaks, 14u);
    CHECK_EQ(features[1].matched_peaks, 14u);
    CHECK_BITS(features[0].delta_best, 0.0);
    CHECK_BITS(features[1].delta_best, 0.0);
    CHECK(features[0].psm_id < features[1].psm_id);
    CHECK_EQ(features[0].scored_candidates, features[1].scored_candidates);
    // Rank 1 against the caller's total ion current, rank 2 against what remained.
    CHECK_BITS(features[0].matched_intensity_pct, (1400.0f * 100.0f) / 5000.0f);
    CHECK_BITS(features[1].matched_intensity_pct, 100.0f);
    // The caller's spectrum is untouched.
    CHECK_EQ(c.spectrum_ab.peaks.size(), original.peaks.size());
    CHECK_BITS(c.spectrum_ab.total_ion_current, 5000.0f);

    scorer.report_psms = 1;
    CHECK_EQ(scorer.score(c.spectrum_ab).size(), 1u);
    scorer.report_psms = 0;
    CHECK(scorer.score(c.spectrum_ab).empty());
    // Once both are removed nothing is left to report.
    scorer.report_psms = 5;
    CHECK_EQ(scorer.score(c.spectrum_ab).size(), 2u);
}

TEST(chimeric_removal_takes_only_the_most_intense_peak_of_a_window) {
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = build({make(PEPTIDEK, mono)});
    Scorer scorer = scorer_for(db);
    scorer.min_matched_peaks = 1;
    scorer.report_psms = 3;
    const float b3 = b_ladder(PEPTIDEK)[2];
    std::vector<Peak> peaks = ladder(PEPTIDEK, mono, 50.0f);
    {
        // A weaker neighbour inside b3's window survives the first removal and is reported again.
        std::vector<Peak> with_neighbour = peaks;
        with_neighbour.push_back({5.0f, b3 + 0.004f});
        const ProcessedSpectrum s = spectrum("n", sorted_peaks(with_neighbour), {precursor(precursor_mz(mono, 2), 2)});
        const auto features = scorer.score(s);
        CHECK_EQ(features.size(), 2u);
        CHECK_EQ(features[0].matched_peaks, 14u);
        CHECK(features.size() == 2 && features[1].matched_peaks == 1 && features[1].rank == 2);
        CHECK(features.size() == 2 && check::same_bits(features[1].ms2_intensity, 5.0f));
    }
    {
        // Same mass, lower intensity: not equal to the removed peak, so it stays.
        std::vector<Peak> same_mass = peaks;
        same_mass.push_back({5.0f, b3});
        const ProcessedSpectrum s = spectrum("m", sorted_peaks(same_mass), {precursor(precursor_mz(mono, 2), 2)});
        const auto features = scorer.score(s);
        CHECK_EQ(features.size(), 2u);
        CHECK(features.size() == 2 && features[1].matched_peaks == 1);
    }
    {
        // An exact duplicate of a matched peak goes with it.
        std::vector<Peak> with_twin = peaks;
        with_twin.push_back({50.0f, b3});
        const ProcessedSpectrum s = spectrum("d", sorted_peaks(with_twin), {precursor(precursor_mz(mono, 2), 2)});
        CHECK_EQ(scorer.score(s).size(), 1u);
    }
}

TEST(chimeric_removal_covers_every_fragment_charge) {
    // Precursor charge 3: b ions at charge 1 and y ions at charge 2 are all matched, and
    // all removed, so nothing qualifies on the second iteration.
    const float mono = residue_sum_mass(PEPTIDEK);
    const IndexedDatabase db = build({make(PEPTIDEK, mono)});
    Scorer scorer = scorer_for(db);
    scorer.min_matched_peaks = 1;
    scorer.report_psms = 3;
    scorer.min_isotope_err = 0;
    scorer.max_isotope_err = 0;
    std::vector<Peak> peaks;
    for (float m : b_ladder(PEPTIDEK)) peaks.push_back({4.0f, m});
    for (float m : y_ladder(PEPTIDEK, mono)) peaks.push_back({6.0f, m / 2.0f});
    const ProcessedSpectrum s = spectrum("z3", sorted_peaks(peaks), {precursor(precursor_mz(mono, 3))});
    const auto features = scorer.score(s);
    CHECK_EQ(features.size(), 1u);
    CHECK(!features.empty() && features[0].charge == 3 && features[0].matched_peaks == 14);
}

TEST(chimeric_search_without_a_match_threshold_terminates) {
    // With min_matched_peaks 0 a candidate without matches still qualifies; once the spectrum
    // stops changing every iteration reports the same PSM again.
    const Chimera c;
    Scorer scorer = scorer_for(c.db);
    scorer.min_matched_peaks = 0;
    scorer.min_isotope_err = 0;
    scorer.max_isotope_err = 0;
    scorer.report_psms = 5;
    auto features = scorer.score(c.spectrum_ab);
    CHECK_EQ(features.size(), 5u);
    for (size_t i = 0; i < features.size(); ++i) CHECK_EQ(features[i].rank, uint32_t(i + 1));
    CHECK(features.size() == 5 && features[2].matched_peaks == 0);
    for (size_t i = 3; i < features.size(); ++i) {
        Feature repeat = features[i];
        repeat.rank = features[2].rank;
        CHECK(same_apart_from_psm_id(repeat, features[2]));
    }
    // An unbounded report_psms stops repeating at a ceiling of 4096 features instead of
    // looping until memory runs out.
    scorer.report_psms = std::numeric_limits<uint64_t>::max();
    features = scorer.score(c.spectrum_ab);
    CHECK_EQ(features.size(), 4096u);
    CHECK(features.size() > 3 && features[0].peptide_idx == 0 && features[1].peptide_idx == 1);
    CHECK(!features.empty() && features.back().matched_peaks == 0 && features.back().rank == 4096u);
}

// ---------------------------------------------------------------- batch

TEST(batch_keeps_input_order_and_matches_single_scoring) {
    const Chimera c;
    ScorerSettings settings;
    settings.precursor_tol = Tolerance::ppm(-10.0f, 10.0f);
    settings.fragment_tol = Tolerance::da(-0.01f, 0.01f);
    const Scorer scorer = Scorer::from_settings(settings, c.db);

    std::vector<std::shared_ptr<const ProcessedSpectrum>> spectra;
    const auto only_b = sorted_peaks(ladder(NAMELESS, c.mass_b, 10.0f));
    spectra.push_back(std::make_shared<const ProcessedSpectrum>(c.spectrum_ab));
    spectra.push_back(std::make_shared<const ProcessedSpectrum>(spectrum("empty", {}, {precursor(500.0f, 2)})));
    spectra.push_back(std::make_shared<const ProcessedSpectrum>(
        spectrum("b", only_b, {precursor(precursor_mz(c.mass_b, 2), 2)})));
    spectra.push_back(spectra[0]);  // the same spectrum twice is scored twice

    const auto results = score_batch(settings, c.db, spectra);
    CHECK_EQ(results.size(), 4u);
    if (results.size() != 4) return;
    CHECK(!results[0].empty());
    CHECK(results[1].empty());
    CHECK(!results[2].empty() && results[2][0].spec_id == "b" && results[2][0].peptide_idx == 1);
    for (size_t i = 0; i < spectra.size(); ++i) CHECK(same_lists(results[i], scorer.score(*spectra[i])));
    CHECK(same_lists(results[0], results[3]));
    CHECK(results[0][0].psm_id != results[3][0].psm_id);

    CHECK(score_batch(settings, c.db, {}).empty());
}

TEST(one_failing_spectrum_fails_the_whole_batch) {
    const Chimera c;
    ScorerSettings settings;
    settings.precursor_tol = Tolerance::ppm(-10.0f, 10.0f);
    settings.fragment_tol = Tolerance::da(-0.01f, 0.01f);
    std::vector<std::shared_ptr<const ProcessedSpectrum>> spectra(
        40, std::make_shared<const ProcessedSpectrum>(c.spectrum_ab));
    spectra[17] = std::make_shared<const ProcessedSpectrum>(spectrum("no-precursor-17", c.spectrum_ab.peaks, {}));
    CHECK_EQ(failure_message([&] { score_batch(settings, c.db, spectra); }),
             std::string("missing MS1 precursor for no-precursor-17"));
    spectra[17] = nullptr;
    CHECK_THROWS(score_batch(settings, c.db, spectra));
}

TEST(psm_ids_are_unique_across_batch_threads) {
    const Chimera c;
    ScorerSettings settings;
    settings.precursor_tol = Tolerance::ppm(-10.0f, 10.0f);
    settings.fragment_tol = Tolerance::da(-0.01f, 0.01f);
    settings.min_matched_peaks = 0;
    settings.min_isotope_err = 0;
    settings.max_isotope_err = 0;
    std::vector<std::shared_ptr<const ProcessedSpectrum>> spectra(
        300, std::make_shared<const ProcessedSpectrum>(c.spectrum_ab));
    const uint64_t before = PSM_COUNTER.load();
    const auto results = score_batch(settings, c.db, spectra);
    std::set<uint64_t> ids;
    size_t count = 0;
    for (const auto &list : results) {
        for (size_t i = 0; i < list.size(); ++i) {
            ids.insert(list[i].psm_id);
            if (i > 0) CHECK(list[i - 1].psm_id < list[i].psm_id);  // increasing with rank
        }
        count += list.size();
    }
    CHECK_EQ(count, 300u * 5u);
    CHECK_EQ(ids.size(), count);
    CHECK_EQ(PSM_COUNTER.load(), before + count);
    CHECK(*ids.begin() >= before && *ids.rbegin() < before + count);
}
