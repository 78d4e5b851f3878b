// Match features that hold up on low-resolution (ion-trap) fragment spectra: a fast
// cross-correlation on unit-mass bins, the share of the most intense peaks a peptide
// explains, and the calibration of the cross-correlation against a null distribution of
// the spectrum as an expectation value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "scoring.hpp"

namespace mesk {

// Seed of the generated peptides behind the expectation value. Any fixed seed gives
// deterministic features; other seeds show how much a result owes to the draw.
inline constexpr uint64_t DEFAULT_NULL_SEED = 0x6d65736b6e756c6cull;

struct LowResSettings {
    float bin_width = 1.0005f;        // m/z width of one bin
    float bin_offset = 0.4f;          // where a bin starts, as a fraction of its width
    size_t min_ion_index = 0;         // ions of this many residues or fewer are left out
    size_t top_peaks = 20;            // most intense peaks for the explained share
    size_t null_candidates = 2000;    // generated peptides behind a calibration (at most 2000)
    uint64_t null_seed = DEFAULT_NULL_SEED;  // draws the generated peptides' residues
    // Draw the null in rounds (256 generated peptides, then doubling up to null_candidates)
    // and stop once the tail fit is stable: two successive fits agree, at every reported
    // match's xcorr of that charge, on log10 of the survival within null_stability (or both
    // put it below 10^null_far_tail). Off: every calibration scores all null_candidates
    // peptides.
    bool adaptive_null = true;
    double null_stability = 0.05;
    size_t null_first_round = 256;    // null peptides of the first round
    double null_far_tail = -6.0;      // log10 survival below which two fits need not agree
    // Score every candidate in the precursor windows for delta_xcorr. Off (high-resolution
    // spectra, where delta_xcorr was measured to add nothing), the candidates are only
    // counted for the expectation value, delta_xcorr stays NaN and every other feature keeps
    // its value to the bit.
    bool window_xcorrs = true;
    // Compute the features by reference_low_res_features (benchmarks and differential tests).
    bool reference_path = false;
};

// What each reported match gains.
struct LowResFeatures {
    double xcorr = 0.0;
    double delta_xcorr = 0.0;         // xcorr less the best (positive) xcorr of any other candidate (NaN: not scored)
    double log10_evalue = 0.0;        // candidates expected to score at least this xcorr by chance, log10
    float top_peaks_explained = 0.0f; // share of the most intense peaks within reach of an ion
    float matched_ion_fraction = 0.0f;// matched peaks over theoretical ions searched
};

class GeneratedPeptides;

// A spectrum prepared for the fast cross-correlation: square-rooted intensities on unit
// bins, scaled to 50 within each of ten windows, less the mean of the +-75 neighbouring
// bins. The cross-correlation of a peptide is then 0.005 times the sum of the bins its
// ions fall in.
class XcorrSpectrum {
public:
    XcorrSpectrum(std::span<const Peak> peaks, const LowResSettings &settings);

    // Bin of a singly protonated m/z; negative below the first bin.
    int64_t bin_of(double mz) const;
    double at(int64_t bin) const { return bin >= 0 && static_cast<size_t>(bin) < size_ ? bins_[bin] : 0.0; }
    size_t size() const { return size_; }

    // Cross-correlation of one peptide's ions (kinds in order, fragment charges 1 .. max_charge).
    double score(const PeptideView &peptide, const std::vector<Kind> &kinds, unsigned max_charge) const;

    // score() to the bit, quicker: no division for fragment charges 1 and 2 (halving is
    // exact), the bin found in line.
    double score_quick(const PeptideView &peptide, const std::vector<Kind> &kinds, unsigned max_charge) const;

    // The same for a generated peptide of neutral mass `mass` that ends in a residue of mass
    // `terminal`: as many of `residues` (masses) as fit before it, the first one taking up
    // the mass left over.
    double score_generated(std::span<const float> residues, float terminal, float mass,
                           const std::vector<Kind> &kinds, unsigned max_charge) const;

    // score_generated of the generated peptides [first, last) of `null`, into out[0 ..
    // last - first): eight peptides at once where the processor allows (each lane takes the
    // scalar walk's steps in its order, so the scores are the same to the bit).
    void score_generated_many(const GeneratedPeptides &null, size_t first, size_t last, float mass,
                              const std::vector<Kind> &kinds, unsigned max_charge, double *out) const;

private:
    double inverse_width_;
    double one_minus_offset_;
    size_t min_ion_index_;
    std::vector<double> bins_;  // size_ bins, then a zero that a lane outside the spectrum reads
    size_t size_ = 0;
};

// The generated peptides behind a calibration, made to resemble the candidates: residues
// (with their modifications) drawn from those of database peptides, and each peptide closed
// by a database peptide's C-terminal residue, so that the null shares the candidates'
// C-terminal ions (every y ion of a tryptic peptide holds its K or R). Without database
// peptides, residues are drawn uniformly from the twenty standard ones. Made once per batch
// of spectra.
class GeneratedPeptides {
public:
    // Peptides side by side in the lane layout.
    static constexpr size_t LANES = 8;

    GeneratedPeptides(const IndexedDatabase &db, uint64_t seed);
    size_t size() const { return terminals_.size(); }
    std::span<const float> residues(size_t g) const;
    float terminal(size_t g) const { return terminals_[g]; }
    // Residue j of peptides LANES * group .. LANES * group + LANES - 1, side by side.
    const float *lane_residues(size_t group, size_t j) const;
    // Their running sums after k residues (k = 0 .. 160), side by side: a peptide of mass m
    // takes the residues whose running sum stays within m less water and its terminal residue.
    const float *lane_walked(size_t group, size_t k) const;
    static constexpr size_t RESIDUES = 160;  // drawn per peptide

private:
    std::vector<float> residues_;
    std::vector<float> terminals_;
    std::vector<float> walked_;        // per peptide: running sums of its residues, from 0
    std::vector<float> lane_residues_; // residues_ regrouped: group, position, lane
    std::vector<float> lane_walked_;   // walked_ regrouped the same way
};

// Survival of a score under a spectrum's null distribution: the cross-correlations of
// generated peptides of the precursor's mass. Above the score that a tenth of the null
// exceeds, the survival is exponential, at the rate that the excesses over that threshold
// give by maximum likelihood (one over their mean); below it, and when no fit could be made
// (fewer than 20 scores, or none spread), it is the empirical share of null scores at or
// above the score.
class NullFit {
public:
    // `order_all`: sort the whole null (the straightforward way; the same fit and survival).
    explicit NullFit(std::span<const double> null_scores, bool order_all = false);

    // log10 of the share of null scores expected at or above `score` (at most 0).
    double log10_survival(double score) const;
    bool fitted() const { return fitted_; }
    double threshold() const { return threshold_; }
    double rate() const { return rate_; }
    size_t size() const { return sorted_.size(); }

private:
    std::vector<double> sorted_;  // finite scores: descending, or with a fit the tail and threshold first
    double threshold_ = 0.0, rate_ = 0.0, tail_share_ = 1.0;
    bool fitted_ = false;
    bool ordered_ = true;         // sorted_ descending throughout
};

// The peptides a calibration at precursor charge `charge` draws on: those within a
// precursor window that the scorer's preliminary search tries at that charge (any isotope
// error), ascending; none for a charge it does not try.
std::vector<uint32_t> calibration_candidates(const Scorer &scorer, const Precursor &precursor, uint8_t charge);

// Features of the reported matches of one spectrum (one entry per feature, same order):
// the binned spectrum made once, each charge's candidates and null scored once, a reported
// match's xcorr taken from its charge's candidates, the null scored in lanes and, with
// settings.adaptive_null, drawn until its tail fit is stable.
std::vector<LowResFeatures> low_res_features(const Scorer &scorer, const ProcessedSpectrum &spectrum,
                                             std::span<const Feature> features, const LowResSettings &settings,
                                             const GeneratedPeptides &null);

// The straightforward computation the one above must equal to the bit with adaptive_null
// off: every score made where it is needed, one ion at a time, every null peptide drawn.
std::vector<LowResFeatures> reference_low_res_features(const Scorer &scorer, const ProcessedSpectrum &spectrum,
                                                       std::span<const Feature> features,
                                                       const LowResSettings &settings, const GeneratedPeptides &null);

// Calibrations made and null peptides scored by low_res_features in this process so far
// (for benchmarks and tests of the adaptive null).
uint64_t calibrations_made();
uint64_t null_peptides_scored();

}  // namespace mesk
