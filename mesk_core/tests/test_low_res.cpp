// The null fit behind the expectation value, on constructed score distributions, the
// generated peptides of the null, the binned spectrum on damaged peak lists, and the
// candidates a calibration draws on against the preliminary search's.
#include <algorithm>
#include <cmath>
#include <limits>
#include <map>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "check.hpp"
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
