// The null fit behind the expectation value, on constructed score distributions, the
// generated peptides of the null, the binned spectrum on damaged peak lists, the
// candidates a calibration draws on against the preliminary search's, and the fast
// features (lanes, the adaptive null) against their straightforward twins on random data.
#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <map>
#include <numbers>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
#include "ion_series.hpp"
#include "lanes.hpp"
#include "low_res.hpp"
#include "scoring_fixtures.hpp"

using namespace mesk;

namespace {

// n scores whose share above x is exp(-rate x) for x >= 0: the quantiles of an
// exponential distribution, (i + 0.5) / n apart.
std::vector<double> exponential_scores(size_t n, double rate) {
    std::vector<double> scores;
    for (size_t i = 0; i < n; ++i) scores.push_back(-std::log((static_cast<double>(i) + 0.5) / n) / rate);
    return scores;
}

}  // namespace

TEST(fit_recovers_an_exponential_tail) {
    const NullFit fit(exponential_scores(10000, 4.0));
    CHECK(fit.fitted());
    CHECK(std::fabs(fit.rate() - 4.0) < 0.1);
    // The share at or above x is exp(-4x): log10 of it is -4x / ln 10, within and far past the data.
    for (const double x : {1.0, 2.0, 5.0}) CHECK(std::fabs(fit.log10_survival(x) + 4.0 * x / std::log(10.0)) < 0.05);
    // Below the threshold the empirical share stands; a share is never above one.
    CHECK(std::fabs(fit.log10_survival(std::log(2.0) / 4.0) - std::log10(0.5)) < 0.01);
    CHECK(fit.log10_survival(-5.0) == 0.0);
}

TEST(survival_never_rises_with_the_score) {
    const NullFit fit(exponential_scores(997, 2.5));
    double last = 0.0;
    for (double x = -1.0; x < 6.0; x += 0.001) {
        const double s = fit.log10_survival(x);
        CHECK(s <= last + 1e-12);
        last = s;
    }
}

TEST(few_or_flat_scores_fall_back_to_the_empirical_share) {
    const NullFit few(std::vector<double>{1.0, 2.0, 3.0});
    CHECK(!few.fitted());
    CHECK(std::fabs(few.log10_survival(2.0) - std::log10(2.0 / 3.0)) < 1e-12);
    CHECK(std::fabs(few.log10_survival(5.0) - std::log10(1.0 / 3.0)) < 1e-12);
    CHECK_EQ(few.log10_survival(0.0), 0.0);

    const NullFit flat(std::vector<double>(500, 0.25));
    CHECK(!flat.fitted());
    CHECK_EQ(flat.log10_survival(0.25), 0.0);

    const NullFit empty(std::vector<double>{});
    CHECK_EQ(empty.log10_survival(1.0), 0.0);
}

TEST(non_finite_scores_are_left_out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const NullFit fit(std::vector<double>{nan, 1.0, inf, 2.0, -inf});
    CHECK_EQ(fit.size(), 2u);
    CHECK(std::fabs(fit.log10_survival(2.0) - std::log10(1.0 / 2.0)) < 1e-12);
    CHECK_EQ(fit.log10_survival(nan), 0.0);
}

TEST(a_generated_peptide_scores_as_the_same_peptide_from_the_index) {
    // PEPTIDEK as a generated sequence (residue masses, then residues past its mass that
    // must be left out, and the terminal K) against the same peptide scored the usual way.
    const LowResSettings settings;
    const Peptide peptide = fixtures::make("PEPTIDEK", fixtures::residue_sum_mass("PEPTIDEK"));
    const PeptideStore stored(std::vector<Peptide>{peptide});
    std::vector<Peak> peaks;
    for (int i = 0; i < 40; ++i) peaks.push_back({100.0f + 23.7f * static_cast<float>(i), 100.0f + 37.0f * (i % 7)});
    const XcorrSpectrum binned(peaks, settings);
    std::vector<float> residues;
    for (const char r : std::string("PEPTIDE")) residues.push_back(residue_mass(static_cast<uint8_t>(r)));
    residues.push_back(residue_mass('W'));
    const float lysine = residue_mass('K');
    const std::vector<Kind> kinds = {Kind::B, Kind::Y};
    for (const unsigned charge : {1u, 2u}) {
        const double indexed = binned.score(stored.view(0), kinds, charge);
        CHECK(std::fabs(binned.score_generated(residues, lysine, peptide.monoisotopic, kinds, charge) - indexed) <
              1e-9);
    }
    // A mass with no room for a bond scores nothing.
    CHECK_EQ(binned.score_generated(residues, lysine, 150.0f, kinds, 2), 0.0);
}

TEST(generated_peptides_draw_residues_from_the_database) {
    // Every peptide ends in K or R, and C carries its fixed modification: the generated
    // peptides end in K or R and hold only residues (with modifications) of the index.
    std::vector<Peptide> peptides;
    for (const std::string_view sequence : {"ACDGK", "GGCSTR", "LLMNPK", "WYEHVR"}) {
        Peptide p = fixtures::make(sequence, fixtures::residue_sum_mass(sequence));
        for (size_t j = 0; j < sequence.size(); ++j)
            if (sequence[j] == 'C') p.modifications[j] = 57.021464f;
        peptides.push_back(p);
    }
    const IndexedDatabase db = fixtures::build(peptides);
    std::vector<float> interior, terminal = {residue_mass('K'), residue_mass('R')};
    for (const char r : std::string_view("ACDGGGCSTLLMNPWYEHV"))
        interior.push_back(residue_mass(static_cast<uint8_t>(r)) + (r == 'C' ? 57.021464f : 0.0f));
    const auto among = [](const std::vector<float> &pool, float mass) {
        return std::find(pool.begin(), pool.end(), mass) != pool.end();
    };
    const GeneratedPeptides null(db, DEFAULT_NULL_SEED);
    CHECK_EQ(null.size(), size_t{2000});
    std::set<float> seen;
    for (size_t g = 0; g < null.size(); ++g) {
        CHECK(among(terminal, null.terminal(g)));
        for (const float mass : null.residues(g)) {
            CHECK(among(interior, mass));
            seen.insert(mass);
        }
    }
    CHECK(seen.count(residue_mass('C') + 57.021464f) == 1 && seen.count(residue_mass('C')) == 0);

    // A fixed seed gives the same peptides; another seed others.
    const GeneratedPeptides same(db, DEFAULT_NULL_SEED), other(db, 7);
    const auto residues_of = [](const GeneratedPeptides &n, size_t g) {
        const std::span<const float> r = n.residues(g);
        return std::vector<float>(r.begin(), r.end());
    };
    CHECK(residues_of(null, 5) == residues_of(same, 5) && null.terminal(9) == same.terminal(9));
    CHECK(residues_of(null, 5) != residues_of(other, 5));

    // Without peptides, the twenty standard residues.
    const IndexedDatabase empty = fixtures::build({});
    const GeneratedPeptides uniform(empty, DEFAULT_NULL_SEED);
    std::vector<float> standard;
    for (const char r : std::string_view("ACDEFGHIKLMNPQRSTVWY")) standard.push_back(residue_mass(static_cast<uint8_t>(r)));
    for (size_t g = 0; g < 50; ++g) {
        CHECK(among(standard, uniform.terminal(g)));
        for (const float mass : uniform.residues(g)) CHECK(among(standard, mass));
    }
}

TEST(damaged_peaks_are_skipped_by_the_binned_spectrum) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const LowResSettings settings;
    const PeptideStore stored(std::vector<Peptide>{fixtures::make("PEPTIDEK", fixtures::residue_sum_mass("PEPTIDEK"))});
    const PeptideView peptide = stored.view(0);
    const std::vector<Kind> kinds = {Kind::B, Kind::Y};

    const XcorrSpectrum empty(std::vector<Peak>{}, settings);
    CHECK_EQ(empty.score(peptide, kinds, 2), 0.0);

    // A mass far out of range must not size the bins; NaN, infinite and negative values
    // count for nothing.
    const std::vector<Peak> damaged = {{nan, 300.0f}, {10.0f, nan}, {-5.0f, 400.0f}, {inf, 500.0f},
                                       {20.0f, 1e30f}, {20.0f, inf}, {20.0f, -inf}, {30.0f, 226.0f}};
    const XcorrSpectrum binned(damaged, settings);
    CHECK(binned.size() < 500);
    CHECK(std::isfinite(binned.score(peptide, kinds, 2)));
    const XcorrSpectrum clean(std::vector<Peak>{{30.0f, 226.0f}}, settings);
    CHECK_EQ(binned.score(peptide, kinds, 2), clean.score(peptide, kinds, 2));
}

namespace {

// The peptides the preliminary search finds, by precursor charge.
std::map<uint8_t, std::vector<uint32_t>> preliminary_candidates(const Scorer &scorer, const ProcessedSpectrum &s) {
    std::map<uint8_t, std::set<uint32_t>> found;
    for (const PreliminaryHit &hit : scorer.initial_hits(s, s.precursors.front()).candidates)
        if (hit.peptide_idx != UNMATCHED) found[hit.precursor_charge].insert(hit.peptide_idx);
    std::map<uint8_t, std::vector<uint32_t>> out;
    for (const auto &[z, set] : found) out[z].assign(set.begin(), set.end());
    return out;
}

}  // namespace

TEST(calibrations_draw_on_the_precursor_brackets_of_the_preliminary_search) {
    // Peptides around the precursor's neutral mass at charges 1 to 5, shifted by whole
    // isotope errors from -3 to 5 and by offsets just inside and outside the windows below.
    // Every peptide opens with glycine, whose b1 ion is the spectrum's one peak: a peptide
    // is a preliminary candidate exactly when a precursor pass brackets it.
    const float mz = 500.0f;
    std::vector<float> masses;
    for (unsigned z = 1; z <= 5; ++z)
        for (int e = -3; e <= 5; ++e)
            for (const float offset : {0.0f, 0.004f, -0.009f, 0.02f, 0.9f, -1.2f, 1.6f, -2.3f, 2.5f, 6.0f, -9.5f})
                masses.push_back((mz - PROTON_MASS) * static_cast<float>(z) - static_cast<float>(e) * ISOTOPE_SPACING +
                                 offset);
    std::sort(masses.begin(), masses.end());
    std::vector<Peptide> peptides;
    for (const float mass : masses) peptides.push_back(fixtures::make("GPEPTIDEK", mass));
    const IndexedDatabase db = fixtures::build(peptides);

    struct Case {
        const char *name;
        bool wide_window;
        std::optional<uint8_t> charge;
        std::optional<Tolerance> isolation_window;
        int8_t min_isotope_err, max_isotope_err;
    };
    const Case cases[] = {
        {"wide window, default isolation", true, std::nullopt, std::nullopt, -1, 3},
        {"wide window, the precursor's isolation window", true, 3, Tolerance::da(-1.0f, 1.5f), -1, 3},
        {"known charge", false, 3, std::nullopt, -1, 3},
        {"unknown charge", false, std::nullopt, std::nullopt, -1, 3},
        {"unknown charge, one isotope error", false, std::nullopt, std::nullopt, 2, 2},
        {"unknown charge, no isotope error", false, std::nullopt, std::nullopt, 1, 0},
    };
    for (const Case &c : cases) {
        Scorer scorer = fixtures::scorer_for(db);
        scorer.report_psms = 100000;  // nothing is cut from the preliminary list
        scorer.wide_window = c.wide_window;
        scorer.min_precursor_charge = 1;
        scorer.max_precursor_charge = 5;
        scorer.min_isotope_err = c.min_isotope_err;
        scorer.max_isotope_err = c.max_isotope_err;
        Precursor precursor = fixtures::precursor(mz, c.charge);
        precursor.isolation_window = c.isolation_window;
        const ProcessedSpectrum s = fixtures::spectrum("scan=1", {{100.0f, residue_mass('G')}}, {precursor});

        const auto expected = preliminary_candidates(scorer, s);
        size_t found = 0;
        for (unsigned z = 0; z <= 6; ++z) {
            const auto it = expected.find(static_cast<uint8_t>(z));
            const std::vector<uint32_t> searched = it == expected.end() ? std::vector<uint32_t>{} : it->second;
            const std::vector<uint32_t> calibrated = calibration_candidates(scorer, precursor, static_cast<uint8_t>(z));
            if (calibrated != searched) check::fail(__FILE__, __LINE__, std::string(c.name) + ", charge " + std::to_string(z));
            found += searched.size();
        }
        // Each case finds some peptides, but never all of them.
        const bool empty_range = c.min_isotope_err > c.max_isotope_err;
        CHECK(empty_range ? found == 0 : found > 0 && found < peptides.size());
    }
}

namespace {

using Rng = std::mt19937_64;

float uniform(Rng &rng, float lo, float hi) { return std::uniform_real_distribution<float>(lo, hi)(rng); }

std::string random_sequence(Rng &rng, size_t length, std::string_view letters = "ACDEFGHIKLMNPQRSTVWY") {
    std::string s(length, 'A');
    for (char &c : s) c = letters[rng() % letters.size()];
    return s;
}

// Tryptic-looking peptides of 7 to 30 residues, some with a modified residue, sorted by mass.
std::vector<Peptide> random_peptides(Rng &rng, size_t count) {
    std::vector<Peptide> peptides;
    for (size_t i = 0; i < count; ++i) {
        std::string sequence = random_sequence(rng, 6 + rng() % 24) + (rng() % 2 ? "K" : "R");
        Peptide p = fixtures::make(sequence, fixtures::residue_sum_mass(sequence), rng() % 2 == 0);
        for (size_t j = 0; j < sequence.size(); ++j)
            if (sequence[j] == 'C') p.modifications[j] = 57.021464f;
            else if (sequence[j] == 'M' && rng() % 3 == 0) p.modifications[j] = 15.994915f;
        peptides.push_back(std::move(p));
    }
    std::sort(peptides.begin(), peptides.end(), [](const Peptide &a, const Peptide &b) { return a.monoisotopic < b.monoisotopic; });
    return peptides;
}

// An ion-trap-like spectrum of `peptide` (its b and y ions at charge 1 and 2, some left
// out, shifted within half a dalton) among noise peaks, with its precursor at charge z.
ProcessedSpectrum random_spectrum(Rng &rng, const std::string &id, const PeptideView &peptide, unsigned z) {
    std::vector<Peak> peaks;
    for (const Kind kind : {Kind::B, Kind::Y})
        walk_ion_series(peptide, kind, [&](size_t, float mass) {
            for (unsigned charge = 1; charge <= 2; ++charge)
                if (rng() % 10 < 7)
                    peaks.push_back({mass / static_cast<float>(charge) + uniform(rng, -0.4f, 0.4f),
                                     uniform(rng, 10.0f, 1000.0f)});
        });
    const size_t noise = 20 + rng() % 120;
    for (size_t i = 0; i < noise; ++i) peaks.push_back({uniform(rng, 100.0f, 2000.0f), uniform(rng, 1.0f, 300.0f)});
    return fixtures::spectrum(id, fixtures::sorted_peaks(std::move(peaks)),
                              {fixtures::precursor(fixtures::precursor_mz(peptide.monoisotopic, z), static_cast<uint8_t>(z))});
}

bool same_bits(double a, double b) { return std::memcmp(&a, &b, sizeof a) == 0; }
bool same_bits(float a, float b) { return std::memcmp(&a, &b, sizeof a) == 0; }

}  // namespace

TEST(generated_peptides_score_the_same_in_lanes_and_one_at_a_time) {
    // The lanes against the scalar walk, to the bit: random spectra and precursor masses
    // (some too light for a single bond), both usual ion pairs and a longer kind list,
    // ions left out by ordinal, fragment charges 1 to 3, and ranges that start and end
    // inside a group of lanes.
    Rng rng(11);
    const IndexedDatabase db = fixtures::build(random_peptides(rng, 300));
    const GeneratedPeptides null(db, DEFAULT_NULL_SEED);
    const std::vector<std::vector<Kind>> kind_lists = {{Kind::B, Kind::Y}, {Kind::Y, Kind::B}, {Kind::A, Kind::Y, Kind::C, Kind::Z}};
    size_t compared = 0;
    for (int round = 0; round < 40; ++round) {
        LowResSettings settings;
        settings.min_ion_index = rng() % 4;
        std::vector<Peak> peaks;
        const size_t count = rng() % 200;
        for (size_t i = 0; i < count; ++i) peaks.push_back({uniform(rng, 50.0f, 4000.0f), uniform(rng, 0.5f, 1e4f)});
        const XcorrSpectrum binned(fixtures::sorted_peaks(peaks), settings);
        const float mass = round % 10 == 0 ? uniform(rng, 100.0f, 300.0f) : uniform(rng, 500.0f, 6000.0f);
        const std::vector<Kind> &kinds = kind_lists[rng() % kind_lists.size()];
        const unsigned max_charge = 1 + rng() % 3;
        const size_t first = rng() % 40, last = std::min(null.size(), first + 8 + rng() % 900);
        std::vector<double> lanes(last - first), scalar(last - first);
        use_vector_lanes(true);
        binned.score_generated_many(null, first, last, mass, kinds, max_charge, lanes.data());
        use_vector_lanes(false);
        binned.score_generated_many(null, first, last, mass, kinds, max_charge, scalar.data());
        use_vector_lanes(true);
        for (size_t g = first; g < last; ++g) {
            const double walked = binned.score_generated(null.residues(g), null.terminal(g), mass, kinds, max_charge);
            if (!same_bits(lanes[g - first], walked) || !same_bits(scalar[g - first], walked))
                check::fail(__FILE__, __LINE__, "round " + std::to_string(round) + ", peptide " + std::to_string(g));
            compared += walked != 0.0;
        }
    }
    CHECK(compared > 1000);  // most scores are not trivially zero
}

TEST(features_equal_the_reference_path_with_the_whole_null) {
    // Every feature of every reported match, to the bit, against the straightforward path:
    // with the whole null drawn, with an adaptive null that never settles, in lanes and
    // without; precursor charges 1 to 4 and the charge of the spectrum left unknown.
    Rng rng(5);
    const IndexedDatabase db = fixtures::build(random_peptides(rng, 2000), {Kind::B, Kind::Y}, 64);
    const GeneratedPeptides null(db, DEFAULT_NULL_SEED);
    Scorer scorer = fixtures::scorer_for(db);
    scorer.fragment_tol = Tolerance::da(-0.5f, 0.5f);
    scorer.precursor_tol = Tolerance::da(-1.5f, 1.5f);  // many candidates per charge
    scorer.report_psms = 5;
    scorer.min_precursor_charge = 1;
    scorer.max_precursor_charge = 4;

    size_t matches = 0, calibrated = 0;
    for (int s = 0; s < 60; ++s) {
        const PeptideView peptide = db.peptides.view(rng() % db.peptide_count());
        ProcessedSpectrum spectrum = random_spectrum(rng, "scan=" + std::to_string(s), peptide, 1 + rng() % 4);
        if (s % 5 == 0) spectrum.precursors.front().charge.reset();
        const std::vector<Feature> features = scorer.score(spectrum);
        LowResSettings settings;
        settings.min_ion_index = s % 3;
        const std::vector<LowResFeatures> reference = reference_low_res_features(scorer, spectrum, features, settings, null);
        for (int variant = 0; variant < 3; ++variant) {
            LowResSettings fast = settings;
            fast.adaptive_null = variant == 1;
            fast.null_stability = -1.0;  // never stable: every round is drawn
            use_vector_lanes(variant != 2);
            const std::vector<LowResFeatures> got = low_res_features(scorer, spectrum, features, fast, null);
            use_vector_lanes(true);
            CHECK_EQ(got.size(), reference.size());
            for (size_t j = 0; j < got.size() && j < reference.size(); ++j) {
                const LowResFeatures &a = got[j], &b = reference[j];
                if (!same_bits(a.xcorr, b.xcorr) || !same_bits(a.delta_xcorr, b.delta_xcorr) ||
                    !same_bits(a.log10_evalue, b.log10_evalue) || !same_bits(a.top_peaks_explained, b.top_peaks_explained) ||
                    !same_bits(a.matched_ion_fraction, b.matched_ion_fraction))
                    check::fail(__FILE__, __LINE__, "spectrum " + std::to_string(s) + ", match " + std::to_string(j) +
                                                        ", variant " + std::to_string(variant));
                calibrated += variant == 0 && b.log10_evalue != 0.0;
            }
        }
        matches += features.size();
    }
    CHECK(matches > 100 && calibrated > 100);
}

TEST(an_adaptive_null_stops_early_and_keeps_the_count_of_the_whole_null) {
    // On spectra of real peptides the tail fit settles well before 2,000 peptides; the
    // expectation value then stays close to the whole null's, which counts 2,000 null
    // peptides whatever was drawn, and every other feature is unchanged.
    Rng rng(23);
    const IndexedDatabase db = fixtures::build(random_peptides(rng, 1000), {Kind::B, Kind::Y}, 64);
    const GeneratedPeptides null(db, DEFAULT_NULL_SEED);
    Scorer scorer = fixtures::scorer_for(db);
    scorer.fragment_tol = Tolerance::da(-0.5f, 0.5f);
    scorer.report_psms = 3;
    LowResSettings full, adaptive;
    full.adaptive_null = false;
    size_t close = 0, compared = 0;
    uint64_t full_drawn = 0, adaptive_drawn = 0;
    for (int s = 0; s < 40; ++s) {
        const ProcessedSpectrum spectrum =
            random_spectrum(rng, "scan=" + std::to_string(s), db.peptides.view(rng() % db.peptide_count()), 2 + rng() % 2);
        const std::vector<Feature> features = scorer.score(spectrum);
        uint64_t before = null_peptides_scored();
        const std::vector<LowResFeatures> whole = low_res_features(scorer, spectrum, features, full, null);
        full_drawn += null_peptides_scored() - before;
        before = null_peptides_scored();
        const std::vector<LowResFeatures> cut = low_res_features(scorer, spectrum, features, adaptive, null);
        adaptive_drawn += null_peptides_scored() - before;
        for (size_t j = 0; j < whole.size(); ++j) {
            CHECK(same_bits(whole[j].xcorr, cut[j].xcorr) && same_bits(whole[j].delta_xcorr, cut[j].delta_xcorr));
            CHECK(std::isfinite(cut[j].log10_evalue) && cut[j].log10_evalue <= std::log10(2000.0) + 1e-9);
            close += std::fabs(whole[j].log10_evalue - cut[j].log10_evalue) <= 0.3;
            ++compared;
        }
    }
    CHECK(compared > 50);
    CHECK(close * 10 >= compared * 9);
    CHECK(adaptive_drawn * 2 < full_drawn);
}

TEST(the_fit_equals_one_made_on_the_whole_sorted_null) {
    // The fit orders only its tail; threshold, rate and every survival must be those of
    // the whole null sorted, to the bit, ties and scores at the threshold included.
    Rng rng(3);
    for (int round = 0; round < 200; ++round) {
        const size_t n = 20 + rng() % 2100;
        std::vector<double> scores(n);
        for (double &s : scores) s = round % 4 == 0 ? std::floor(uniform(rng, 0.0f, 20.0f)) / 8.0 : uniform(rng, -1.0f, 3.0f);
        const NullFit fit(scores), whole(scores, true);
        std::vector<double> sorted = scores;
        std::sort(sorted.begin(), sorted.end(), std::greater<>());
        const size_t tail = std::max<size_t>(2, static_cast<size_t>(static_cast<double>(n) * 0.1));
        double excess = 0.0;
        for (size_t i = 0; i < tail; ++i) excess += sorted[i] - sorted[tail];
        excess /= static_cast<double>(tail);
        CHECK(same_bits(fit.threshold(), sorted[tail]));
        CHECK(same_bits(fit.rate(), excess > 0.0 ? 1.0 / excess : 0.0));
        for (int probe = 0; probe < 20; ++probe) {
            const double x = probe < 10 ? sorted[rng() % n] : uniform(rng, -1.5f, 4.0f);
            const size_t at_or_above = static_cast<size_t>(std::count_if(sorted.begin(), sorted.end(), [&](double s) { return s >= x; }));
            const double expected =
                fit.fitted() && x > sorted[tail]
                    ? std::log10(static_cast<double>(tail) / static_cast<double>(n)) - fit.rate() * (x - sorted[tail]) / std::numbers::ln10
                    : std::log10(static_cast<double>(std::max<size_t>(at_or_above, 1)) / static_cast<double>(n));
            if (!same_bits(fit.log10_survival(x), expected) || !same_bits(whole.log10_survival(x), expected))
                check::fail(__FILE__, __LINE__, "round " + std::to_string(round));
        }
    }
}
