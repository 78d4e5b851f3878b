// Scoring one spectrum against the index: preliminary candidates, full candidate scores,
// ranked PSM records, chimeric search, and the batch entry point.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "database.hpp"
#include "heap.hpp"
#include "spectrum.hpp"
#include "tolerance.hpp"

namespace mesk {

// Matched fragment ions of one PSM, six parallel lists in match order.
struct Fragments {
    std::vector<int32_t> charges;
    std::vector<Kind> kinds;
    std::vector<int32_t> fragment_ordinals;
    std::vector<float> intensities;
    std::vector<float> mz_calculated;
    std::vector<float> mz_experimental;
};

// One reported peptide-spectrum match.
struct Feature {
    uint64_t file_id = 0;
    std::string spec_id;
    uint64_t psm_id = 0;
    uint32_t rank = 0;
    int32_t label = 1;
    double hyperscore = 0.0;
    float delta_mass = 0.0f;
    uint32_t matched_peaks = 0;
    uint64_t peptide_len = 0;
    float expmass = 0.0f;
    float calcmass = 0.0f;
    uint8_t charge = 0;
    float rt = 0.0f;
    float aligned_rt = 0.0f;
    float predicted_rt = 0.0f;
    float delta_rt_model = 0.999f;
    float ims = 0.0f;
    float predicted_ims = 0.0f;
    float delta_ims_model = 0.999f;
    float isotope_error = 0.0f;
    float average_ppm = 0.0f;
    double delta_next = 0.0;
    double delta_best = 0.0;
    uint32_t longest_b = 0;
    uint32_t longest_y = 0;
    float longest_y_pct = 0.0f;
    uint8_t missed_cleavages = 0;
    float matched_intensity_pct = 0.0f;
    uint32_t scored_candidates = 0;
    double poisson = 0.0;
    float discriminant_score = 0.0f;
    float posterior_error = 1.0f;
    float spectrum_q = 1.0f;
    float peptide_q = 1.0f;
    float protein_q = 1.0f;
    float ms2_intensity = 0.0f;
    std::optional<Fragments> fragments;
    uint32_t peptide_idx = 0;
};

// Process-wide PSM serial number; the first PSM gets 1.
extern std::atomic<uint64_t> PSM_COUNTER;

enum class ScoreType : uint8_t { SeparateIntensities = 0, CombinedIntensity = 1 };

// Stirling-style count term: 1.0 for 0, else (x ln x - x) + 0.5 ln x + 0.5 ln(2 pi x).
double count_term(uint64_t n);

// Hyperscore of nb/ny matched ions with summed intensities Ib/Iy; 255.0 when not finite.
double score_type_score(ScoreType type, uint16_t nb, uint16_t ny, float Ib, float Iy);

// Full score of one candidate.
struct Score {
    uint64_t longest_b = 0;
    uint64_t longest_y = 0;
    double hyperscore = 0.0;
    uint32_t peptide_idx = 0;
    float summed_b = 0.0f;
    float summed_y = 0.0f;
    float average_ppm = 0.0f;
    uint16_t matched_b = 0;
    uint16_t matched_y = 0;
    uint8_t precursor_charge = 0;
    int8_t isotope_error = 0;
};

using ScoredCandidate = std::pair<Score, std::optional<Fragments>>;

struct PreliminaryHits {
    std::vector<PreliminaryHit> candidates;
    uint64_t matched_peaks = 0;
    uint64_t scored_candidates = 0;
};

// Search settings as configured from Python.
struct ScorerSettings {
    uint64_t report_psms = 5;
    Tolerance precursor_tol;
    Tolerance fragment_tol;
    std::optional<uint8_t> max_fragment_charge = 2;
    uint16_t min_matched_peaks = 3;
    bool wide_window = true;
    bool chimera = true;
    bool annotate_matches = false;
    int8_t min_isotope_err = -1;
    int8_t max_isotope_err = 3;
    uint8_t min_precursor_charge = 2;
    uint8_t max_precursor_charge = 4;
};

// How the preliminary search counts matched fragments. Every choice gives the same
// results to the bit; all but Auto are for tests and benchmarks. A database without its
// fragment list (IndexedDatabase::fragment_list false) counts every pass from the
// candidates whatever the choice, and refuses Reference.
enum class SearchPath : uint8_t {
    Auto,        // shared isotope passes, each group counted the cheaper way
    Reference,   // one page search per (pass, peak, fragment charge), as simple as it gets
    Index,       // shared isotope passes, always counted from the index
    Candidates,  // shared isotope passes, counted from the candidates wherever that is exact
};

struct Scorer {
    const IndexedDatabase *db = nullptr;
    uint64_t report_psms = 5;
    Tolerance precursor_tol;
    Tolerance fragment_tol;
    std::optional<uint8_t> max_fragment_charge;
    uint16_t min_matched_peaks = 3;
    bool ignore_precursor_charge = false;
    bool chimera = true;
    bool wide_window = true;
    bool annotate_matches = false;
    ScoreType score_type = ScoreType::SeparateIntensities;
    int8_t min_isotope_err = -1;
    int8_t max_isotope_err = 3;
    uint8_t min_precursor_charge = 2;
    uint8_t max_precursor_charge = 4;
    SearchPath search_path = SearchPath::Auto;

    static Scorer from_settings(const ScorerSettings &settings, const IndexedDatabase &db);

    // Highest fragment charge for a precursor charge z: z - 1, capped, never below 1.
    uint8_t max_fragment_charge_for(uint8_t z) const;

    std::vector<Feature> score(const ProcessedSpectrum &spectrum) const;
    std::vector<Feature> score_standard(const ProcessedSpectrum &spectrum) const;
    std::vector<Feature> score_chimera_fast(const ProcessedSpectrum &spectrum) const;

    PreliminaryHits initial_hits(const ProcessedSpectrum &spectrum, const Precursor &precursor) const;
    // Calls visit(z, precursor window, neutral mass at z) for each precursor charge the
    // preliminary search tries, in order.
    void for_each_precursor_charge(const Precursor &precursor,
                                   const std::function<void(uint8_t, Tolerance, float)> &visit) const;
    // Whether each precursor charge is searched once, at its unshifted mass: one isotope
    // error configured, whichever it is.
    bool single_isotope_pass() const { return min_isotope_err == max_isotope_err; }
    // Calls visit(isotope error) for each pass of a precursor charge, in order: 0 alone for a
    // single pass, none for an empty range.
    template <class Visit>
    void for_each_isotope_error(Visit &&visit) const {
        if (single_isotope_pass()) {
            visit(int8_t{0});
            return;
        }
        for (int e = min_isotope_err; e <= max_isotope_err; ++e) visit(static_cast<int8_t>(e));
    }
    // Centre of the precursor window of a pass: the neutral mass less the isotope error's
    // whole isotope spacings.
    static float isotope_shifted_mass(float mass, int8_t isotope_error) {
        return mass + static_cast<float>(isotope_error) * -ISOTOPE_SPACING;
    }
    // The straightforward preliminary search that every faster path must equal.
    PreliminaryHits reference_initial_hits(const ProcessedSpectrum &spectrum, const Precursor &precursor) const;
    // Shared isotope passes (preliminary.cpp).
    PreliminaryHits shared_pass_hits(std::span<const Peak> peaks, const Precursor &precursor) const;
    PreliminaryHits matched_peaks(std::span<const Peak> peaks, uint8_t z, Tolerance tol, float mass) const;
    PreliminaryHits matched_peaks_with_isotope(std::span<const Peak> peaks, uint8_t z, Tolerance tol, float mass,
                                               int8_t isotope_error) const;

    ScoredCandidate score_candidate(std::span<const Peak> peaks, const PreliminaryHit &hit) const;
    // The same score, the peaks read through a lookup table of the same peak list.
    ScoredCandidate score_candidate_with(const PeakLookup &lookup, const PreliminaryHit &hit) const;

    void build_features(const ProcessedSpectrum &spectrum, const PreliminaryHits &hits, uint64_t limit,
                        std::vector<Feature> &out, float precursor_mz) const;
};

std::vector<ScoredCandidate> score_preliminary_list(const Scorer &scorer, const ProcessedSpectrum &spectrum,
                                                    std::span<const PreliminaryHit> candidates);

// Scores every spectrum on a pool of 32 threads made for this call; one result list per
// spectrum, in input order. The first failure fails the whole batch.
std::vector<std::vector<Feature>> score_batch(const ScorerSettings &settings, const IndexedDatabase &db,
                                              std::span<const std::shared_ptr<const ProcessedSpectrum>> spectra);

}  // namespace mesk
