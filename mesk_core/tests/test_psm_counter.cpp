// The PSM serial number of a fresh process: the first PSM gets 1, the next 2.
#include <vector>

#include "check.hpp"
#include "scoring_fixtures.hpp"

using namespace mesk;
using namespace fixtures;

TEST(first_psm_of_the_process_is_number_one) {
    CHECK_EQ(PSM_COUNTER.load(), 1u);
    const float mono = residue_sum_mass("PEPTIDEK");
    IndexedDatabase db;
    db.peptides = {make("PEPTIDEK", mono)};
    db.ion_kinds = {Kind::B, Kind::Y};
    Scorer scorer = scorer_for(db);
    scorer.min_matched_peaks = 0;
    const ProcessedSpectrum s = spectrum("first", {}, {precursor(500.0f, 2)});
    const PreliminaryHits hits{{PreliminaryHit{0, 1, 2, 0}, PreliminaryHit{0, 1, 2, 1}}, 2, 1};
    std::vector<Feature> out;
    scorer.build_features(s, hits, 2, out, 500.0f);
    CHECK_EQ(out.size(), 2u);
    CHECK_EQ(out[0].psm_id, 1u);
    CHECK_EQ(out[1].psm_id, 2u);
    CHECK_EQ(PSM_COUNTER.load(), 3u);
}
