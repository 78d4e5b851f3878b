// The survival fit behind the expectation value, on constructed score distributions, and
// the binned spectrum on damaged peak lists.
#include <cmath>
#include <limits>
#include <vector>

#include "check.hpp"
#include "low_res.hpp"
#include "scoring_fixtures.hpp"

using namespace mesk;

namespace {

// Scores whose share at or above x is 10^-x at every bin edge x = 0.1 k up to 2.9: the
// counts of each 0.1-wide bin put at its centre, the last bin holding all the rest, plus
// one outstanding best score.
std::vector<double> log_linear_scores(double total) {
    std::vector<double> scores;
    for (int k = 0; k < 30; ++k) {
        const double lo = 0.1 * k, hi = 0.1 * (k + 1);
        const double rest = k == 29 ? 0.0 : std::pow(10.0, -hi);
        const long count = std::lround(total * (std::pow(10.0, -lo) - rest));
        for (long i = 0; i < count; ++i) scores.push_back(lo + 0.05);
    }
    scores.push_back(9.0);
    return scores;
}

}  // namespace

TEST(fit_recovers_a_log_linear_tail) {
    const TailFit fit(log_linear_scores(100000.0));
    CHECK(fit.fitted());
    CHECK(std::fabs(fit.slope() + 1.0) < 0.02);
    CHECK(std::fabs(fit.intercept()) < 0.05);
    // Far beyond the data the fit extrapolates; the outstanding score is not believed.
    CHECK(std::fabs(fit.log10_survival(2.0) + 2.0) < 0.05);
    CHECK(std::fabs(fit.log10_survival(9.0) + 9.0) < 0.3);
    // A share is never above one.
    CHECK(fit.log10_survival(-5.0) == 0.0);
}

TEST(survival_never_rises_with_the_score) {
    const TailFit fit(log_linear_scores(5000.0));
    double last = 0.0;
    for (double x = -1.0; x < 6.0; x += 0.01) {
        const double s = fit.log10_survival(x);
        CHECK(s <= last + 1e-12);
        last = s;
    }
}

TEST(few_or_flat_scores_fall_back_to_the_empirical_share) {
    const TailFit few({1.0, 2.0, 3.0});
    CHECK(!few.fitted());
    CHECK(std::fabs(few.log10_survival(2.0) - std::log10(2.0 / 3.0)) < 1e-12);
    CHECK(std::fabs(few.log10_survival(5.0) - std::log10(1.0 / 3.0)) < 1e-12);
    CHECK_EQ(few.log10_survival(0.0), 0.0);

    const TailFit flat(std::vector<double>(500, 0.25));
    CHECK(!flat.fitted());
    CHECK_EQ(flat.log10_survival(0.25), 0.0);

    const TailFit empty({});
    CHECK_EQ(empty.log10_survival(1.0), 0.0);
}

TEST(non_finite_scores_are_left_out) {
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    const TailFit fit({nan, 1.0, inf, 2.0, -inf});
    CHECK(std::fabs(fit.log10_survival(2.0) - std::log10(1.0 / 2.0)) < 1e-12);
    CHECK_EQ(fit.log10_survival(nan), 0.0);
}

TEST(damaged_peaks_are_skipped_by_the_binned_spectrum) {
    const float nan = std::numeric_limits<float>::quiet_NaN();
    const float inf = std::numeric_limits<float>::infinity();
    const LowResSettings settings;
    const Peptide peptide = fixtures::make("PEPTIDEK", fixtures::residue_sum_mass("PEPTIDEK"));
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
