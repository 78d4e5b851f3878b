// Low-resolution match features: the binned, background-subtracted spectrum and its
// cross-correlation with a peptide's ions, the explained share of the most intense peaks,
// and the expectation value of a cross-correlation among a spectrum's candidates.
#include "low_res.hpp"

#include <algorithm>
#include <cmath>

#include "failure.hpp"
#include "ion_series.hpp"

namespace mesk {

namespace {

constexpr int64_t BACKGROUND_OFFSETS = 75;  // bins on each side averaged as background
constexpr size_t NORMALISATION_WINDOWS = 10;
constexpr double WINDOW_MAXIMUM = 50.0;
constexpr double NOISE_FLOOR = 0.05;         // of the most intense bin; weaker bins are dropped
constexpr double XCORR_SCALE = 0.005;
// Null distribution: scores are counted in bins of 0.1; a fit needs this many scores and
// this many consecutive non-empty bins above the fullest one.
constexpr double HISTOGRAM_BIN = 0.1;
constexpr double MAX_BINS = 1000.0;
constexpr size_t MIN_NULL_SCORES = 20;
constexpr size_t MIN_FITTED_BINS = 3;
// Peaks above this m/z carry no fragment of an indexed peptide; a corrupt value far out
// must not size the bin array.
constexpr double HIGHEST_BINNED_MZ = 25000.0;

bool usable(const Peak &peak) {
    return std::isfinite(peak.mass) && std::isfinite(peak.intensity) && peak.intensity > 0.0f;
}

// The precursor charges and windows that the scorer searches for this precursor, with
// the same rules as its preliminary search.
struct Pass {
    uint8_t charge;
    Tolerance window;
};

std::vector<Pass> searched_passes(const Scorer &scorer, const Precursor &precursor) {
    std::vector<Pass> passes;
    if (scorer.wide_window) {
        const Tolerance window = precursor.isolation_window.value_or(Tolerance::da(-2.4f, 2.4f));
        for (unsigned z = scorer.min_precursor_charge; z <= scorer.max_precursor_charge; ++z)
            passes.push_back({static_cast<uint8_t>(z), window.scaled(static_cast<float>(z))});
    } else if (precursor.charge && !scorer.ignore_precursor_charge) {
        passes.push_back({*precursor.charge, scorer.precursor_tol});
    } else {
        for (unsigned z = scorer.min_precursor_charge; z <= scorer.max_precursor_charge; ++z)
            passes.push_back({static_cast<uint8_t>(z), scorer.precursor_tol});
    }
    return passes;
}

std::vector<int8_t> searched_isotope_errors(const Scorer &scorer) {
    if (scorer.min_isotope_err == scorer.max_isotope_err) return {0};
    std::vector<int8_t> errors;
    for (int e = scorer.min_isotope_err; e <= scorer.max_isotope_err; ++e) errors.push_back(static_cast<int8_t>(e));
    return errors;
}

// Every candidate of one precursor charge, and the peptides its calibration rests on.
struct ChargeCalibration {
    uint8_t charge = 0;
    std::vector<std::pair<uint32_t, double>> candidates;  // peptide index, xcorr
    size_t window_count = 0;                               // distinct candidate peptides
    TailFit fit{{}};
};

ChargeCalibration calibrate(const Scorer &scorer, const XcorrSpectrum &spectrum, const Precursor &precursor,
                            const Pass &pass, const LowResSettings &settings) {
    const IndexedDatabase &db = *scorer.db;
    const size_t count = db.peptide_count();
    const unsigned max_charge = scorer.max_fragment_charge_for(pass.charge);
    const float mass = (precursor.mz - PROTON_MASS) * static_cast<float>(pass.charge);

    ChargeCalibration out;
    out.charge = pass.charge;
    size_t lo = count, hi = 0;
    std::vector<uint32_t> in_window;
    for (const int8_t e : searched_isotope_errors(scorer)) {
        const float shifted = mass + static_cast<float>(e) * -ISOTOPE_SPACING;
        const IndexedQuery query = db.query(shifted, pass.window, scorer.fragment_tol);
        const auto [plo, phi] = pass.window.bounds(shifted);
        for (uint64_t i = query.candidate_lo; i < query.candidate_hi && i < count; ++i) {
            const float m = db.peptide_at(i).monoisotopic;
            if (plo <= m && m <= phi) in_window.push_back(static_cast<uint32_t>(i));
        }
        lo = std::min<size_t>(lo, query.candidate_lo);
        hi = std::max<size_t>(hi, std::min<uint64_t>(query.candidate_hi, count));
    }
    std::sort(in_window.begin(), in_window.end());
    in_window.erase(std::unique(in_window.begin(), in_window.end()), in_window.end());
    out.window_count = in_window.size();
    if (lo > hi) lo = hi;

    // The null distribution: the precursor window, widened on both sides by the nearest
    // peptides in index order (mass order) until it holds enough of them.
    const size_t wanted = std::min(settings.null_candidates, count);
    if (hi - lo < wanted) {
        const size_t missing = wanted - (hi - lo);
        const size_t above = std::min(count - hi, missing - std::min(lo, missing / 2));
        const size_t below = std::min(lo, missing - above);
        lo -= below;
        hi += above;
    }
    std::vector<double> null_scores;
    null_scores.reserve(hi - lo);
    size_t next_candidate = 0;
    for (size_t i = lo; i < hi; ++i) {
        const double xcorr = spectrum.score(db.peptide_at(i), db.ion_kinds, max_charge);
        null_scores.push_back(xcorr);
        while (next_candidate < in_window.size() && in_window[next_candidate] < i) ++next_candidate;
        if (next_candidate < in_window.size() && in_window[next_candidate] == i) out.candidates.push_back({i, xcorr});
    }
    out.fit = TailFit(std::move(null_scores));
    return out;
}

// Share of the `top` most intense peaks lying within the fragment tolerance of an ion.
float explained_share(std::span<const Peak> top, const Peptide &peptide, const std::vector<Kind> &kinds,
                      unsigned max_charge, size_t min_ion_index, Tolerance tol) {
    if (top.empty()) return 0.0f;
    std::vector<bool> explained(top.size(), false);
    list_fragments(peptide, kinds, min_ion_index, [&](const ListedIon &ion) {
        for (unsigned charge = 1; charge <= max_charge; ++charge) {
            const auto [lo, hi] = tol.bounds(ion.mass / static_cast<float>(charge));
            for (size_t i = 0; i < top.size(); ++i)
                if (lo <= top[i].mass && top[i].mass <= hi) explained[i] = true;
        }
    });
    const auto hits = std::count(explained.begin(), explained.end(), true);
    return static_cast<float>(hits) / static_cast<float>(top.size());
}

}  // namespace

XcorrSpectrum::XcorrSpectrum(std::span<const Peak> peaks, const LowResSettings &settings)
    : inverse_width_(1.0 / settings.bin_width),
      one_minus_offset_(1.0 - settings.bin_offset),
      min_ion_index_(settings.min_ion_index) {
    if (!(settings.bin_width > 0.0f) || !std::isfinite(settings.bin_width))
        throw Failure("bin width must be a positive number of m/z units");
    int64_t last = -1;
    for (const Peak &peak : peaks) {
        if (!usable(peak)) continue;
        const double mz = static_cast<double>(peak.mass) + PROTON_MASS;
        if (mz <= HIGHEST_BINNED_MZ) last = std::max(last, bin_of(mz));
    }
    if (last < 0) return;

    std::vector<double> raw(static_cast<size_t>(last) + 1, 0.0);
    for (const Peak &peak : peaks) {
        if (!usable(peak)) continue;
        const double mz = static_cast<double>(peak.mass) + PROTON_MASS;
        const int64_t bin = mz <= HIGHEST_BINNED_MZ ? bin_of(mz) : -1;
        if (bin < 0) continue;
        raw[bin] = std::max(raw[bin], std::sqrt(static_cast<double>(peak.intensity)));
    }
    const double floor = NOISE_FLOOR * *std::max_element(raw.begin(), raw.end());

    // Scaled within windows, then extended past the last peak so that ions beyond it still
    // see the background of the peaks below them.
    const size_t width = (raw.size() + NORMALISATION_WINDOWS - 1) / NORMALISATION_WINDOWS;
    std::vector<double> scaled(raw.size() + BACKGROUND_OFFSETS, 0.0);
    for (size_t start = 0; start < raw.size(); start += width) {
        const size_t end = std::min(raw.size(), start + width);
        const double top = *std::max_element(raw.begin() + start, raw.begin() + end);
        if (top <= 0.0) continue;
        for (size_t i = start; i < end; ++i)
            if (raw[i] > floor) scaled[i] = raw[i] / top * WINDOW_MAXIMUM;
    }

    const auto n = static_cast<int64_t>(scaled.size());
    std::vector<double> prefix(scaled.size() + 1, 0.0);
    for (int64_t i = 0; i < n; ++i) prefix[i + 1] = prefix[i] + scaled[i];
    bins_.resize(scaled.size());
    for (int64_t i = 0; i < n; ++i) {
        const int64_t from = std::max<int64_t>(0, i - BACKGROUND_OFFSETS);
        const int64_t to = std::min<int64_t>(n, i + BACKGROUND_OFFSETS + 1);
        const double others = (prefix[to] - prefix[from]) - scaled[i];
        bins_[i] = scaled[i] - others / static_cast<double>(2 * BACKGROUND_OFFSETS);
    }
}

int64_t XcorrSpectrum::bin_of(double mz) const {
    const double bin = std::floor(mz * inverse_width_ + one_minus_offset_);
    return bin < 0.0 ? -1 : static_cast<int64_t>(bin);
}

double XcorrSpectrum::score(const Peptide &peptide, const std::vector<Kind> &kinds, unsigned max_charge) const {
    if (bins_.empty()) return 0.0;
    double sum = 0.0;
    list_fragments(peptide, kinds, min_ion_index_, [&](const ListedIon &ion) {
        for (unsigned charge = 1; charge <= max_charge; ++charge) {
            const double mz = static_cast<double>(ion.mass) / charge + PROTON_MASS;
            if (std::isfinite(mz) && mz <= HIGHEST_BINNED_MZ) sum += at(bin_of(mz));
        }
    });
    return sum * XCORR_SCALE;
}

TailFit::TailFit(std::vector<double> null_scores) : sorted_(std::move(null_scores)) {
    std::erase_if(sorted_, [](double s) { return !std::isfinite(s); });
    std::sort(sorted_.begin(), sorted_.end(), std::greater<>());
    const size_t k = sorted_.size();
    if (k < MIN_NULL_SCORES) return;
    // Histogram of the scores (negative ones counted at zero), the best score left out: it
    // is often the spectrum's true peptide rather than a draw from the null.
    std::vector<size_t> counts;
    for (size_t r = 1; r < k; ++r) {
        const auto bin = static_cast<size_t>(std::min(std::max(sorted_[r], 0.0) / HISTOGRAM_BIN, MAX_BINS - 1.0));
        if (bin >= counts.size()) counts.resize(bin + 1, 0);
        ++counts[bin];
    }
    // The fitted stretch: the bins above the fullest one, up to the first empty bin.
    const size_t mode = static_cast<size_t>(std::max_element(counts.begin(), counts.end()) - counts.begin());
    size_t last = mode + 1;
    while (last < counts.size() && counts[last] > 0) ++last;
    if (last - (mode + 1) < MIN_FITTED_BINS) return;
    std::vector<size_t> survival(counts.size() + 1, 0);
    for (size_t b = counts.size(); b-- > 0;) survival[b] = survival[b + 1] + counts[b];
    double sx = 0, sy = 0, sxx = 0, sxy = 0;
    const double n = static_cast<double>(last - (mode + 1));
    for (size_t b = mode + 1; b < last; ++b) {
        const double x = static_cast<double>(b) * HISTOGRAM_BIN;
        const double y = std::log10(static_cast<double>(survival[b]) / static_cast<double>(k));
        sx += x;
        sy += y;
        sxx += x * x;
        sxy += x * y;
    }
    const double var = sxx - sx * sx / n;
    if (!(var > 0.0)) return;
    slope_ = (sxy - sx * sy / n) / var;
    intercept_ = (sy - slope_ * sx) / n;
    fit_from_ = static_cast<double>(mode + 1) * HISTOGRAM_BIN;
    fitted_ = slope_ < 0.0 && std::isfinite(slope_) && std::isfinite(intercept_);
}

double TailFit::log10_survival(double score) const {
    const size_t k = sorted_.size();
    if (k == 0 || std::isnan(score)) return 0.0;
    // Null scores at or above `score` (the list is descending).
    const size_t at_or_above = static_cast<size_t>(
        std::upper_bound(sorted_.begin(), sorted_.end(), score, std::greater<>()) - sorted_.begin());
    const double empirical = std::log10(static_cast<double>(std::max<size_t>(at_or_above, 1)) / static_cast<double>(k));
    // The lesser of the two from the fitted stretch on, so the survival never rises.
    if (fitted_ && score >= fit_from_) return std::min({0.0, empirical, intercept_ + slope_ * score});
    return empirical;
}

std::vector<LowResFeatures> low_res_features(const Scorer &scorer, const ProcessedSpectrum &spectrum,
                                             std::span<const Feature> features, const LowResSettings &settings) {
    std::vector<LowResFeatures> out(features.size());
    if (features.empty()) return out;
    if (scorer.db == nullptr) throw Failure("scorer has no database");
    if (spectrum.precursors.empty()) throw Failure("missing MS1 precursor for " + spectrum.id);
    const IndexedDatabase &db = *scorer.db;
    const Precursor &precursor = spectrum.precursors.front();
    const XcorrSpectrum binned(spectrum.peaks, settings);

    std::vector<Peak> top;
    for (const Peak &peak : spectrum.peaks)
        if (usable(peak)) top.push_back(peak);
    const size_t kept = std::min(settings.top_peaks, top.size());
    std::partial_sort(top.begin(), top.begin() + kept, top.end(),
                      [](const Peak &a, const Peak &b) { return a.intensity > b.intensity; });
    top.resize(kept);

    // Calibrations are made once per precursor charge that a reported match carries.
    const std::vector<Pass> passes = searched_passes(scorer, precursor);
    std::vector<ChargeCalibration> calibrations;
    auto calibration_for = [&](uint8_t charge) -> const ChargeCalibration * {
        for (const ChargeCalibration &c : calibrations)
            if (c.charge == charge) return &c;
        for (const Pass &pass : passes)
            if (pass.charge == charge) {
                calibrations.push_back(calibrate(scorer, binned, precursor, pass, settings));
                return &calibrations.back();
            }
        return nullptr;
    };

    for (size_t j = 0; j < features.size(); ++j) {
        const Feature &f = features[j];
        if (f.peptide_idx >= db.peptide_count()) continue;
        const Peptide peptide = db.peptide_at(f.peptide_idx);
        const unsigned max_charge = scorer.max_fragment_charge_for(f.charge);
        LowResFeatures &low = out[j];
        low.xcorr = binned.score(peptide, db.ion_kinds, max_charge);
        low.top_peaks_explained =
            explained_share(top, peptide, db.ion_kinds, max_charge, settings.min_ion_index, scorer.fragment_tol);
        const size_t ions = db.ion_kinds.size() * (peptide.length() > 1 ? peptide.length() - 1 : 0) * max_charge;
        low.matched_ion_fraction = ions ? static_cast<float>(f.matched_peaks) / static_cast<float>(ions) : 0.0f;

        const ChargeCalibration *calibration = calibration_for(f.charge);
        if (!calibration) continue;
        double best_other = 0.0;  // no other candidate, or none above zero: the xcorr itself
        for (const auto &[index, xcorr] : calibration->candidates)
            if (index != f.peptide_idx) best_other = std::max(best_other, xcorr);
        low.delta_xcorr = low.xcorr - best_other;
        const double candidates = static_cast<double>(std::max<size_t>(calibration->window_count, 1));
        low.log10_evalue = std::log10(candidates) + calibration->fit.log10_survival(low.xcorr);
    }
    return out;
}

}  // namespace mesk
