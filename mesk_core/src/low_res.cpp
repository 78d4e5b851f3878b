// Low-resolution match features: the binned, background-subtracted spectrum and its
// cross-correlation with a peptide's ions, the explained share of the most intense peaks,
// and the expectation value of a cross-correlation among a spectrum's candidates.
#include "low_res.hpp"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <numbers>
#include <string_view>

#include "failure.hpp"
#include "ion_series.hpp"
#include "lanes.hpp"
#ifdef MESK_VECTOR_LANES
#include <immintrin.h>
#endif

namespace mesk {

namespace {

constexpr int64_t BACKGROUND_OFFSETS = 75;  // bins on each side averaged as background
constexpr size_t NORMALISATION_WINDOWS = 10;
constexpr double WINDOW_MAXIMUM = 50.0;
constexpr double NOISE_FLOOR = 0.05;         // of the most intense bin; weaker bins are dropped
constexpr double XCORR_SCALE = 0.005;
// The null distribution needs this many scores for a fit.
constexpr size_t MIN_NULL_SCORES = 20;
// Share of the null whose excess over the rest is fitted as an exponential tail.
constexpr double TAIL_SHARE = 0.1;
// Generated peptides of the null, drawn once per batch with a fixed seed, so every spectrum
// meets the same sequences; their residues come from about this many database peptides.
constexpr size_t GENERATED_RESIDUES = GeneratedPeptides::RESIDUES;
constexpr size_t MAX_GENERATED_PEPTIDES = 2000;
constexpr size_t SAMPLED_PEPTIDES = 4096;
constexpr float WATER_MASS = 18.010565f;
// Peaks above this m/z carry no fragment of an indexed peptide; a corrupt value far out
// must not size the bin array.
constexpr double HIGHEST_BINNED_MZ = 25000.0;

bool usable(const Peak &peak) {
    return std::isfinite(peak.mass) && std::isfinite(peak.intensity) && peak.intensity > 0.0f;
}

// One precursor charge the scorer searches for this precursor: its window and the neutral
// mass at that charge, as its preliminary search enumerates them.
struct Pass {
    uint8_t charge;
    Tolerance window;
    float mass;
};

std::vector<Pass> searched_passes(const Scorer &scorer, const Precursor &precursor) {
    std::vector<Pass> passes;
    scorer.for_each_precursor_charge(
        precursor, [&](uint8_t z, Tolerance window, float mass) { passes.push_back({z, window, mass}); });
    return passes;
}

// Every peptide within a window of the pass (any isotope error the scorer searches),
// ascending and once each.
std::vector<uint32_t> window_candidates(const Scorer &scorer, const Pass &pass) {
    const IndexedDatabase &db = *scorer.db;
    const size_t count = db.peptide_count();
    std::vector<uint32_t> in_window;
    scorer.for_each_isotope_error([&](int8_t e) {
        const float shifted = Scorer::isotope_shifted_mass(pass.mass, e);
        const IndexedQuery query = db.query(shifted, pass.window, scorer.fragment_tol);
        const auto [plo, phi] = pass.window.bounds(shifted);
        for (uint64_t i = query.candidate_lo; i < query.candidate_hi && i < count; ++i) {
            const float m = db.peptides.monoisotopic(i);
            if (plo <= m && m <= phi) in_window.push_back(static_cast<uint32_t>(i));
        }
    });
    std::sort(in_window.begin(), in_window.end());
    in_window.erase(std::unique(in_window.begin(), in_window.end()), in_window.end());
    return in_window;
}

uint64_t splitmix64(uint64_t &state) {
    uint64_t z = (state += 0x9e3779b97f4a7c15ull);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    return z ^ (z >> 31);
}

// Every candidate of one precursor charge, and the peptides its calibration rests on.
struct ChargeCalibration {
    uint8_t charge = 0;
    std::vector<std::pair<uint32_t, double>> candidates;  // peptide index, xcorr
    size_t window_count = 0;                               // distinct candidate peptides
    NullFit fit{{}};
    size_t null_count = 0;                                 // null peptides the fit stands for
};

ChargeCalibration reference_calibrate(const Scorer &scorer, const XcorrSpectrum &spectrum, const Pass &pass,
                                      const LowResSettings &settings, const GeneratedPeptides &null) {
    const IndexedDatabase &db = *scorer.db;
    const unsigned max_charge = scorer.max_fragment_charge_for(pass.charge);
    const float mass = pass.mass;

    ChargeCalibration out;
    out.charge = pass.charge;
    const std::vector<uint32_t> in_window = window_candidates(scorer, pass);
    out.window_count = in_window.size();

    // Every candidate's xcorr, for the delta score.
    for (const uint32_t i : in_window)
        out.candidates.push_back({i, spectrum.score(db.peptides.view(i), db.ion_kinds, max_charge)});
    // The null distribution: generated peptides of the precursor's mass.
    const size_t generated = std::min(null.size(), settings.null_candidates);
    std::vector<double> null_scores;
    null_scores.reserve(generated);
    for (size_t g = 0; g < generated; ++g)
        null_scores.push_back(
            spectrum.score_generated(null.residues(g), null.terminal(g), mass, db.ion_kinds, max_charge));
    out.fit = NullFit(null_scores, true);
    return out;
}

std::atomic<uint64_t> &calibration_count() {
    static std::atomic<uint64_t> count{0};
    return count;
}

std::atomic<uint64_t> &null_scored() {
    static std::atomic<uint64_t> count{0};
    return count;
}

// Whether the fit on more of the null agrees with the fit on less at every probed score: the
// two log10 survivals within `tolerance`, or both so far out in the tail that the match
// stands out of any null whatever its exact value.
bool stable(const NullFit &less, const NullFit &more, std::span<const double> probes, double tolerance,
            double far_tail) {
    for (const double x : probes) {
        const double a = less.log10_survival(x), b = more.log10_survival(x);
        if (!(std::fabs(b - a) <= tolerance) && !(a <= far_tail && b <= far_tail)) return false;
    }
    return true;
}

// The calibration of one charge: its candidates' xcorrs and the null's fit. `probes`: the
// reported matches' xcorrs at this charge, where an adaptive null must be stable.
ChargeCalibration calibrate(const Scorer &scorer, const XcorrSpectrum &spectrum, const Pass &pass,
                            const LowResSettings &settings, const GeneratedPeptides &null,
                            std::span<const double> probes, std::vector<double> &null_scores) {
    const IndexedDatabase &db = *scorer.db;
    const unsigned max_charge = scorer.max_fragment_charge_for(pass.charge);

    ChargeCalibration out;
    out.charge = pass.charge;
    const std::vector<uint32_t> in_window = window_candidates(scorer, pass);
    out.window_count = in_window.size();
    if (settings.window_xcorrs) {
        out.candidates.reserve(in_window.size());
        for (const uint32_t i : in_window)
            out.candidates.push_back({i, spectrum.score_quick(db.peptides.view(i), db.ion_kinds, max_charge)});
    }

    const size_t generated = std::min(null.size(), settings.null_candidates);
    null_scores.resize(generated);
    size_t drawn = settings.adaptive_null ? std::min(generated, settings.null_first_round) : generated;
    spectrum.score_generated_many(null, 0, drawn, pass.mass, db.ion_kinds, max_charge, null_scores.data());
    out.fit = NullFit({null_scores.data(), drawn});
    while (drawn < generated) {
        const size_t more = std::min(generated, 2 * drawn);
        spectrum.score_generated_many(null, drawn, more, pass.mass, db.ion_kinds, max_charge,
                                      null_scores.data() + drawn);
        NullFit fit({null_scores.data(), more});
        drawn = more;
        const bool settled = stable(out.fit, fit, probes, settings.null_stability, settings.null_far_tail);
        out.fit = std::move(fit);
        if (settled) break;
    }
    // A null cut short stands for the whole one: the expectation value counts as many
    // null peptides as a full calibration would.
    out.null_count = drawn < generated ? generated : out.fit.size();
    calibration_count().fetch_add(1, std::memory_order_relaxed);
    null_scored().fetch_add(drawn, std::memory_order_relaxed);
    return out;
}

// Share of the `top` most intense peaks lying within the fragment tolerance of an ion.
float explained_share(std::span<const Peak> top, const PeptideView &peptide, const std::vector<Kind> &kinds,
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
    size_ = bins_.size();
    bins_.push_back(0.0);
}

int64_t XcorrSpectrum::bin_of(double mz) const {
    const double bin = std::floor(mz * inverse_width_ + one_minus_offset_);
    return bin < 0.0 ? -1 : static_cast<int64_t>(bin);
}

double XcorrSpectrum::score(const PeptideView &peptide, const std::vector<Kind> &kinds, unsigned max_charge) const {
    if (size_ == 0) return 0.0;
    double sum = 0.0;
    list_fragments(peptide, kinds, min_ion_index_, [&](const ListedIon &ion) {
        for (unsigned charge = 1; charge <= max_charge; ++charge) {
            const double mz = static_cast<double>(ion.mass) / charge + PROTON_MASS;
            if (std::isfinite(mz) && mz <= HIGHEST_BINNED_MZ) sum += at(bin_of(mz));
        }
    });
    return sum * XCORR_SCALE;
}

double XcorrSpectrum::score_quick(const PeptideView &peptide, const std::vector<Kind> &kinds,
                                  unsigned max_charge) const {
    if (size_ == 0) return 0.0;
    const double *bins = bins_.data();
    const double count = static_cast<double>(size_);
    double sum = 0.0;
    list_fragments(peptide, kinds, min_ion_index_, [&](const ListedIon &ion) {
        const double mass = static_cast<double>(ion.mass);
        for (unsigned charge = 1; charge <= max_charge; ++charge) {
            const double divided = charge == 1 ? mass : charge == 2 ? mass * 0.5 : mass / charge;
            const double mz = divided + PROTON_MASS;
            if (!(std::isfinite(mz) && mz <= HIGHEST_BINNED_MZ)) continue;
            const double bin = std::floor(mz * inverse_width_ + one_minus_offset_);
            if (bin >= 0.0 && bin < count) sum += bins[static_cast<size_t>(bin)];
        }
    });
    return sum * XCORR_SCALE;
}

double XcorrSpectrum::score_generated(std::span<const float> residues, float terminal, float mass,
                                      const std::vector<Kind> &kinds, unsigned max_charge) const {
    if (size_ == 0 || !std::isfinite(mass) || !std::isfinite(terminal)) return 0.0;
    // As many residues as fit within the peptide's mass before the terminal one; what is
    // left over joins the first residue, so the C-terminal ions are those of a real
    // sequence ending in `terminal`.
    size_t fitted = 0;
    float walked = 0.0f;
    const float room = mass - WATER_MASS - terminal;
    while (fitted < residues.size() && walked + residues[fitted] <= room) walked += residues[fitted++];
    if (fitted == 0) return 0.0;
    const size_t length = fitted + 1;
    const float gap = room - walked;
    const auto residue = [&](size_t j) { return j == 0 ? residues[0] + gap : residues[j]; };
    double sum = 0.0;
    for (const Kind kind : kinds) {
        IonLadder<float> ladder = ion_ladder(std::nullopt, mass, kind);
        for (size_t j = 0; j + 1 < length; ++j) {
            const float cumulative = ladder.next(residue(j));
            if (ion_ordinal(kind, j, length) <= min_ion_index_) continue;
            for (unsigned charge = 1; charge <= max_charge; ++charge) {
                const double mz = static_cast<double>(cumulative) / charge + PROTON_MASS;
                if (mz <= HIGHEST_BINNED_MZ) sum += at(bin_of(mz));
            }
        }
    }
    return sum * XCORR_SCALE;
}

#ifdef MESK_VECTOR_LANES
namespace {

// What the lanes read of a binned spectrum.
struct LaneBins {
    const double *bins;
    double count, inverse_width, one_minus_offset;
};

// Adds the bins of four ions (neutral masses, one per lane of `mass`) at fragment charge
// `charge` to `sum`, for the lanes `on` selects: each lane as XcorrSpectrum::score_generated
// adds at(bin_of(mz)), a bin outside the spectrum counting nothing.
__attribute__((target("avx2"), always_inline)) inline __m256d add_bins(__m256d sum, __m256d mass, __m256d on,
                                                                      double charge, const LaneBins &b) {
    // Halving is exact, so charges 1 and 2 need no division.
    const __m256d divided = charge == 1.0   ? mass
                            : charge == 2.0 ? _mm256_mul_pd(mass, _mm256_set1_pd(0.5))
                                            : _mm256_div_pd(mass, _mm256_set1_pd(charge));
    const __m256d mz = _mm256_add_pd(divided, _mm256_set1_pd(static_cast<double>(PROTON_MASS)));
    const __m256d bin = _mm256_floor_pd(_mm256_add_pd(_mm256_mul_pd(mz, _mm256_set1_pd(b.inverse_width)),
                                                      _mm256_set1_pd(b.one_minus_offset)));
    __m256d inside = _mm256_and_pd(on, _mm256_cmp_pd(mz, _mm256_set1_pd(HIGHEST_BINNED_MZ), _CMP_LE_OQ));
    inside = _mm256_and_pd(inside, _mm256_cmp_pd(bin, _mm256_setzero_pd(), _CMP_GE_OQ));
    inside = _mm256_and_pd(inside, _mm256_cmp_pd(bin, _mm256_set1_pd(b.count), _CMP_LT_OQ));
    if (_mm256_movemask_pd(inside) == 0) return sum;
    // Lanes outside read the zero past the last bin. Four loads are quicker than a gather.
    alignas(16) int32_t at[4];
    _mm_store_si128(reinterpret_cast<__m128i *>(at), _mm256_cvttpd_epi32(_mm256_blendv_pd(_mm256_set1_pd(b.count), bin, inside)));
    return _mm256_add_pd(sum, _mm256_set_pd(b.bins[at[3]], b.bins[at[2]], b.bins[at[1]], b.bins[at[0]]));
}

// GeneratedPeptides::fitted for the eight peptides of a group: the running sums within the
// room counted side by side (they never fall, so the count is where the walk stops).
__attribute__((target("avx2"))) void fit_in_lanes(const GeneratedPeptides &null, size_t group, float mass,
                                                  int32_t fitted[8], float gap[8]) {
    alignas(32) float rooms[8];
    for (size_t lane = 0; lane < 8; ++lane) rooms[lane] = mass - WATER_MASS - null.terminal(8 * group + lane);
    const __m256 room = _mm256_load_ps(rooms);
    __m256i count = _mm256_setzero_si256();
    for (size_t k = 1; k <= GeneratedPeptides::RESIDUES; ++k) {
        const __m256i within = _mm256_castps_si256(_mm256_cmp_ps(_mm256_loadu_ps(null.lane_walked(group, k)), room, _CMP_LE_OQ));
        if (_mm256_testz_si256(within, within)) break;
        count = _mm256_sub_epi32(count, within);
    }
    _mm256_storeu_si256(reinterpret_cast<__m256i *>(fitted), count);
    for (size_t lane = 0; lane < 8; ++lane)
        gap[lane] = fitted[lane] == 0 ? 0.0f : rooms[lane] - null.lane_walked(group, static_cast<size_t>(fitted[lane]))[lane];
}

// Sums of the bins of eight generated peptides' ions, one peptide per lane: each lane walks
// its ladders with the steps and in the order of the scalar walk, and adds its bins in that
// order (a lane past its ions adds zero, which leaves a sum of bins as it is).
__attribute__((target("avx2"))) void generated_in_lanes(const LaneBins &b, const GeneratedPeptides &null,
                                                        size_t group, const int32_t fitted[8], const float gap[8],
                                                        float mass, const std::vector<Kind> &kinds,
                                                        unsigned max_charge, size_t min_ion_index, double sums[8]) {
    const __m256i ions = _mm256_loadu_si256(reinterpret_cast<const __m256i *>(fitted));
    int32_t longest = 0;
    for (size_t lane = 0; lane < 8; ++lane) longest = std::max(longest, fitted[lane]);
    const __m256i kept_below = _mm256_sub_epi32(ions, _mm256_set1_epi32(static_cast<int32_t>(
                                                          std::min<size_t>(min_ion_index, INT32_MAX))));
    const __m256 first_gap = _mm256_loadu_ps(gap);
    const __m256 sign = _mm256_set1_ps(-0.0f);
    __m256d sum_lo = _mm256_setzero_pd(), sum_hi = _mm256_setzero_pd();
    for (const Kind kind : kinds) {
        const bool n_terminal = is_n_terminal(kind);
        __m256 ladder = _mm256_set1_ps(ion_start_mass(std::nullopt, mass, kind));
        for (int32_t j = 0; j < longest; ++j) {
            __m256 step = _mm256_loadu_ps(null.lane_residues(group, static_cast<size_t>(j)));
            if (j == 0) step = _mm256_add_ps(step, first_gap);
            ladder = _mm256_add_ps(ladder, n_terminal ? step : _mm256_xor_ps(step, sign));
            // Ions of this walk, and with an ordinal above min_ion_index: j + 1 for an
            // N-terminal kind, fitted - j for a C-terminal one.
            const __m256i j_lanes = _mm256_set1_epi32(j);
            __m256i on = _mm256_cmpgt_epi32(ions, j_lanes);
            if (n_terminal) {
                if (static_cast<size_t>(j) + 1 <= min_ion_index) continue;
            } else {
                on = _mm256_and_si256(on, _mm256_cmpgt_epi32(kept_below, j_lanes));
            }
            if (_mm256_testz_si256(on, on)) continue;
            const __m256d lo = _mm256_cvtps_pd(_mm256_castps256_ps128(ladder));
            const __m256d hi = _mm256_cvtps_pd(_mm256_extractf128_ps(ladder, 1));
            const __m256d on_lo = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_castsi256_si128(on)));
            const __m256d on_hi = _mm256_castsi256_pd(_mm256_cvtepi32_epi64(_mm256_extracti128_si256(on, 1)));
            for (unsigned charge = 1; charge <= max_charge; ++charge) {
                sum_lo = add_bins(sum_lo, lo, on_lo, static_cast<double>(charge), b);
                sum_hi = add_bins(sum_hi, hi, on_hi, static_cast<double>(charge), b);
            }
        }
    }
    _mm256_storeu_pd(sums, sum_lo);
    _mm256_storeu_pd(sums + 4, sum_hi);
}

}  // namespace
#endif

void XcorrSpectrum::score_generated_many(const GeneratedPeptides &null, size_t first, size_t last, float mass,
                                         const std::vector<Kind> &kinds, unsigned max_charge, double *out) const {
    last = std::min(last, null.size());
    if (first >= last) return;
#ifdef MESK_VECTOR_LANES
    constexpr size_t LANES = GeneratedPeptides::LANES;
    if (vector_lanes() && size_ != 0 && std::isfinite(mass) && size_ < (size_t{1} << 30)) {
        const LaneBins b{bins_.data(), static_cast<double>(size_), inverse_width_, one_minus_offset_};
        size_t g = first;
        // Up to the first whole group one at a time, then eight at a time.
        for (; g < last && g % LANES != 0; ++g)
            out[g - first] = score_generated(null.residues(g), null.terminal(g), mass, kinds, max_charge);
        for (; g + LANES <= last; g += LANES) {
            int32_t fitted[LANES];
            float gap[LANES];
            fit_in_lanes(null, g / LANES, mass, fitted, gap);
            double sums[LANES];
            generated_in_lanes(b, null, g / LANES, fitted, gap, mass, kinds, max_charge, min_ion_index_, sums);
            for (size_t lane = 0; lane < LANES; ++lane)
                out[g + lane - first] = fitted[lane] == 0 ? 0.0 : sums[lane] * XCORR_SCALE;
        }
        for (; g < last; ++g)
            out[g - first] = score_generated(null.residues(g), null.terminal(g), mass, kinds, max_charge);
        return;
    }
#endif
    for (size_t g = first; g < last; ++g)
        out[g - first] = score_generated(null.residues(g), null.terminal(g), mass, kinds, max_charge);
}

GeneratedPeptides::GeneratedPeptides(const IndexedDatabase &db, uint64_t seed)
    : residues_(MAX_GENERATED_PEPTIDES * GENERATED_RESIDUES), terminals_(MAX_GENERATED_PEPTIDES) {
    // Residue masses, with their modifications, of peptides spread evenly over the index:
    // the C-terminal ones apart from the others.
    std::vector<float> interior, terminal;
    const size_t count = db.peptide_count();
    const size_t step = std::max<size_t>(1, count / SAMPLED_PEPTIDES);
    for (size_t i = 0; i < count; i += step) {
        const PeptideView peptide = db.peptides.view(i);
        const size_t length = peptide.length();
        ResidueSteps steps(peptide);
        for (size_t j = 0; j < length; ++j) {
            float mass = steps.next();
            if (j == 0) mass += peptide.nterm.value_or(0.0f);
            if (j + 1 == length) mass += peptide.cterm.value_or(0.0f);
            if (!std::isfinite(mass) || mass <= 0.0f) continue;
            (j + 1 == length ? terminal : interior).push_back(mass);
        }
    }
    // Without peptides to draw from, residues are drawn uniformly from the standard ones.
    constexpr std::string_view standard = "ACDEFGHIKLMNPQRSTVWY";
    uint64_t state = seed;
    const auto draw = [&](const std::vector<float> &pool) {
        const uint64_t r = splitmix64(state);
        return pool.empty() ? residue_mass(static_cast<uint8_t>(standard[r % standard.size()])) : pool[r % pool.size()];
    };
    for (float &m : residues_) m = draw(interior);
    for (float &t : terminals_) t = draw(terminal);

    // Made once per batch, for every spectrum: the running sums that fit a peptide to a
    // mass, and the residues side by side for the lanes.
    walked_.resize(MAX_GENERATED_PEPTIDES * (GENERATED_RESIDUES + 1));
    for (size_t g = 0; g < MAX_GENERATED_PEPTIDES; ++g) {
        float *sums = walked_.data() + g * (GENERATED_RESIDUES + 1);
        float walked = 0.0f;
        sums[0] = walked;
        for (size_t j = 0; j < GENERATED_RESIDUES; ++j) sums[j + 1] = walked = walked + residues_[g * GENERATED_RESIDUES + j];
    }
    static_assert(MAX_GENERATED_PEPTIDES % LANES == 0);
    lane_residues_.resize(residues_.size());
    lane_walked_.resize(walked_.size());
    for (size_t g = 0; g < MAX_GENERATED_PEPTIDES; ++g) {
        for (size_t j = 0; j < GENERATED_RESIDUES; ++j)
            lane_residues_[((g / LANES) * GENERATED_RESIDUES + j) * LANES + g % LANES] = residues_[g * GENERATED_RESIDUES + j];
        for (size_t k = 0; k <= GENERATED_RESIDUES; ++k)
            lane_walked_[((g / LANES) * (GENERATED_RESIDUES + 1) + k) * LANES + g % LANES] =
                walked_[g * (GENERATED_RESIDUES + 1) + k];
    }
}

const float *GeneratedPeptides::lane_walked(size_t group, size_t k) const {
    return lane_walked_.data() + (group * (GENERATED_RESIDUES + 1) + k) * LANES;
}

std::span<const float> GeneratedPeptides::residues(size_t g) const {
    return {residues_.data() + g * GENERATED_RESIDUES, GENERATED_RESIDUES};
}

const float *GeneratedPeptides::lane_residues(size_t group, size_t j) const {
    return lane_residues_.data() + (group * GENERATED_RESIDUES + j) * LANES;
}

NullFit::NullFit(std::span<const double> null_scores, bool order_all) {
    for (const double score : null_scores)
        if (std::isfinite(score)) sorted_.push_back(score);
    const size_t k = sorted_.size();
    if (k < MIN_NULL_SCORES || order_all) std::sort(sorted_.begin(), sorted_.end(), std::greater<>());
    if (k < MIN_NULL_SCORES) return;
    // The threshold: the score that TAIL_SHARE of the null exceeds; the excesses over it
    // are taken as exponential, with the rate of their mean. Only the tail needs its
    // order: the scores above the threshold, descending, then the threshold.
    const size_t tail = std::max<size_t>(2, static_cast<size_t>(static_cast<double>(k) * TAIL_SHARE));
    if (!order_all) {
        std::nth_element(sorted_.begin(), sorted_.begin() + static_cast<ptrdiff_t>(tail), sorted_.end(), std::greater<>());
        std::sort(sorted_.begin(), sorted_.begin() + static_cast<ptrdiff_t>(tail), std::greater<>());
    }
    threshold_ = sorted_[tail];
    double excess = 0.0;
    for (size_t i = 0; i < tail; ++i) excess += sorted_[i] - threshold_;
    excess /= static_cast<double>(tail);
    tail_share_ = static_cast<double>(tail) / static_cast<double>(k);
    rate_ = excess > 0.0 ? 1.0 / excess : 0.0;
    fitted_ = rate_ > 0.0 && std::isfinite(rate_);
    // Below the threshold the empirical share is read by halving the descending list.
    ordered_ = order_all || !fitted_;
    if (!order_all && !fitted_) std::sort(sorted_.begin() + static_cast<ptrdiff_t>(tail), sorted_.end(), std::greater<>());
}

double NullFit::log10_survival(double score) const {
    const size_t k = sorted_.size();
    if (k == 0 || std::isnan(score)) return 0.0;
    if (fitted_ && score > threshold_)
        return std::log10(tail_share_) - rate_ * (score - threshold_) / std::numbers::ln10;
    // Null scores at or above `score`: counted where only the tail is in order, else found
    // by halving the descending list.
    const size_t at_or_above =
        !ordered_ ? static_cast<size_t>(std::count_if(sorted_.begin(), sorted_.end(), [&](double s) { return s >= score; }))
                : static_cast<size_t>(std::upper_bound(sorted_.begin(), sorted_.end(), score, std::greater<>()) -
                                      sorted_.begin());
    return std::log10(static_cast<double>(std::max<size_t>(at_or_above, 1)) / static_cast<double>(k));
}

std::vector<uint32_t> calibration_candidates(const Scorer &scorer, const Precursor &precursor, uint8_t charge) {
    if (scorer.db == nullptr) throw Failure("scorer has no database");
    for (const Pass &pass : searched_passes(scorer, precursor))
        if (pass.charge == charge) return window_candidates(scorer, pass);
    return {};
}

std::vector<LowResFeatures> low_res_features(const Scorer &scorer, const ProcessedSpectrum &spectrum,
                                             std::span<const Feature> features, const LowResSettings &settings,
                                             const GeneratedPeptides &null) {
    std::vector<LowResFeatures> out(features.size());
    if (features.empty()) return out;
    if (scorer.db == nullptr) throw Failure("scorer has no database");
    if (spectrum.precursors.empty()) throw Failure("missing MS1 precursor for " + spectrum.id);
    const IndexedDatabase &db = *scorer.db;
    const Precursor &precursor = spectrum.precursors.front();
    // Made once for the spectrum: every candidate, charge and null peptide reads it.
    const XcorrSpectrum binned(spectrum.peaks, settings);

    std::vector<Peak> top;
    for (const Peak &peak : spectrum.peaks)
        if (usable(peak)) top.push_back(peak);
    const size_t kept = std::min(settings.top_peaks, top.size());
    std::partial_sort(top.begin(), top.begin() + kept, top.end(),
                      [](const Peak &a, const Peak &b) { return a.intensity > b.intensity; });
    top.resize(kept);

    // Each reported match's xcorr first: the adaptive null must be stable where they lie.
    std::vector<double> xcorrs(features.size(), 0.0);
    for (size_t j = 0; j < features.size(); ++j) {
        const Feature &f = features[j];
        if (f.peptide_idx >= db.peptide_count()) continue;
        xcorrs[j] =
            binned.score_quick(db.peptides.view(f.peptide_idx), db.ion_kinds, scorer.max_fragment_charge_for(f.charge));
    }

    // One calibration per precursor charge that a reported match carries.
    const std::vector<Pass> passes = searched_passes(scorer, precursor);
    std::vector<ChargeCalibration> calibrations;
    std::vector<double> probes, null_scores;
    auto calibration_for = [&](uint8_t charge) -> const ChargeCalibration * {
        for (const ChargeCalibration &c : calibrations)
            if (c.charge == charge) return &c;
        for (const Pass &pass : passes)
            if (pass.charge == charge) {
                probes.clear();
                for (size_t j = 0; j < features.size(); ++j)
                    if (features[j].charge == charge && features[j].peptide_idx < db.peptide_count())
                        probes.push_back(xcorrs[j]);
                calibrations.push_back(calibrate(scorer, binned, pass, settings, null, probes, null_scores));
                return &calibrations.back();
            }
        return nullptr;
    };

    for (size_t j = 0; j < features.size(); ++j) {
        const Feature &f = features[j];
        if (f.peptide_idx >= db.peptide_count()) continue;
        const PeptideView peptide = db.peptides.view(f.peptide_idx);
        const unsigned max_charge = scorer.max_fragment_charge_for(f.charge);
        LowResFeatures &low = out[j];
        low.xcorr = xcorrs[j];
        low.top_peaks_explained =
            explained_share(top, peptide, db.ion_kinds, max_charge, settings.min_ion_index, scorer.fragment_tol);
        const size_t ions = db.ion_kinds.size() * (peptide.length() > 1 ? peptide.length() - 1 : 0) * max_charge;
        low.matched_ion_fraction = ions ? static_cast<float>(f.matched_peaks) / static_cast<float>(ions) : 0.0f;

        const ChargeCalibration *calibration = calibration_for(f.charge);
        if (!calibration) continue;
        if (settings.window_xcorrs) {
            double best_other = 0.0;  // no other candidate, or none above zero: the xcorr itself
            for (const auto &[index, xcorr] : calibration->candidates)
                if (index != f.peptide_idx) best_other = std::max(best_other, xcorr);
            low.delta_xcorr = low.xcorr - best_other;
        } else {
            low.delta_xcorr = std::numeric_limits<double>::quiet_NaN();
        }
        const double candidates =
            static_cast<double>(std::max({calibration->window_count, calibration->null_count, size_t{1}}));
        low.log10_evalue = std::log10(candidates) + calibration->fit.log10_survival(low.xcorr);
    }
    return out;
}

uint64_t calibrations_made() { return calibration_count().load(std::memory_order_relaxed); }

uint64_t null_peptides_scored() { return null_scored().load(std::memory_order_relaxed); }

std::vector<LowResFeatures> reference_low_res_features(const Scorer &scorer, const ProcessedSpectrum &spectrum,
                                                       std::span<const Feature> features,
                                                       const LowResSettings &settings, const GeneratedPeptides &null) {
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
                calibrations.push_back(reference_calibrate(scorer, binned, pass, settings, null));
                return &calibrations.back();
            }
        return nullptr;
    };

    for (size_t j = 0; j < features.size(); ++j) {
        const Feature &f = features[j];
        if (f.peptide_idx >= db.peptide_count()) continue;
        const PeptideView peptide = db.peptides.view(f.peptide_idx);
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
        const double candidates =
            static_cast<double>(std::max({calibration->window_count, calibration->fit.size(), size_t{1}}));
        low.log10_evalue = std::log10(candidates) + calibration->fit.log10_survival(low.xcorr);
    }
    return out;
}

}  // namespace mesk
