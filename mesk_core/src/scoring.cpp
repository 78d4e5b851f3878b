// Searching one spectrum: preliminary candidates from the fragment index, full candidate
// scores, ranked PSM records, chimeric search, and the batch entry point.
#include "scoring.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <string>

#include "failure.hpp"
#include "ion_series.hpp"
#include "thread_pool.hpp"

namespace mesk {

std::atomic<uint64_t> PSM_COUNTER{1};

namespace {

// Longest run of consecutive matched fragment positions on one ion side. A position
// matched again (another charge, or another kind of the same side) changes nothing.
struct RunTracker {
    uint64_t start = 0;
    uint64_t length = 0;
    uint64_t longest = 0;
    uint64_t last = 0;
    bool seen = false;

    void update(uint64_t position) {
        if (seen && position == last) return;
        if (start + length == position) {
            length += 1;
            longest = std::max(longest, length);
        } else {
            start = position;
            length = 1;
            longest = std::max<uint64_t>(longest, 1);
        }
        last = position;
        seen = true;
    }
};

// Key of the IEEE-754 total order for doubles, compared as signed integers.
int64_t total_order_key(double value) {
    const int64_t s = std::bit_cast<int64_t>(value);
    return s ^ static_cast<int64_t>(static_cast<uint64_t>(s >> 63) >> 1);
}

// base^exponent by square-and-multiply over the exponent's bits, lowest first.
double power_by_squaring(double base, uint32_t exponent) {
    double result = 1.0;
    while (exponent != 0) {
        if (exponent & 1u) result = result * base;
        exponent >>= 1;
        if (exponent != 0) base = base * base;
    }
    return result;
}

const IndexedDatabase &scorer_database(const Scorer &scorer) {
    if (scorer.db == nullptr) throw Failure("scorer has no database");
    return *scorer.db;
}

PeptideView scorer_peptide(const Scorer &scorer, uint32_t peptide_idx) {
    const IndexedDatabase &db = scorer_database(scorer);
    if (peptide_idx >= db.peptides.size())
        throw Failure("peptide index " + std::to_string(peptide_idx) + " outside a database of " +
                      std::to_string(db.peptides.size()) + " peptides");
    return db.peptides.view(peptide_idx);
}

// Keeps the best min(n, shortlist) entries, as a min-heap when the list had to be cut.
void keep_best(std::vector<PreliminaryHit> &list, uint64_t report_psms) {
    const size_t n = list.size();
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, shortlist_size(report_psms)));
    if (n <= k) return;
    bounded_min_heapify(list, n, k);
    list.resize(k);
    list.shrink_to_fit();  // a pass's slot list can be far longer than what it keeps
}

// Appends one pass to the passes merged so far.
void append_pass(PreliminaryHits &merged, PreliminaryHits &&pass) {
    if (merged.candidates.empty())
        merged.candidates = std::move(pass.candidates);
    else
        merged.candidates.insert(merged.candidates.end(), pass.candidates.begin(), pass.candidates.end());
    merged.matched_peaks += pass.matched_peaks;
    merged.scored_candidates += pass.scored_candidates;
}

}  // namespace

double count_term(uint64_t n) {
    if (n == 0) return 1.0;
    const double x = static_cast<double>(n);
    return ((x * std::log(x) - x) + 0.5 * std::log(x)) + 0.5 * std::log(6.283185307179586 * x);
}

double score_type_score(ScoreType type, uint16_t nb, uint16_t ny, float Ib, float Iy) {
    double score = 0.0;
    switch (type) {
        case ScoreType::SeparateIntensities: {
            const float one_plus_y = 1.0f + Iy;
            const float one_plus_b = 1.0f + Ib;
            score = (std::log(static_cast<double>(one_plus_y) * static_cast<double>(one_plus_b)) + count_term(nb)) +
                    count_term(ny);
            break;
        }
        case ScoreType::CombinedIntensity: {
            const float summed = Ib + Iy;
            const float log_one_plus = std::log1p(summed);
            score = (count_term(nb) + static_cast<double>(log_one_plus)) + count_term(ny);
            break;
        }
        default:
            throw Failure("unknown score type " + std::to_string(static_cast<int>(type)));
    }
    if (!std::isfinite(score)) score = 255.0;
    return score;
}

Scorer Scorer::from_settings(const ScorerSettings &settings, const IndexedDatabase &db) {
    Scorer scorer;
    scorer.db = &db;
    scorer.report_psms = settings.report_psms;
    scorer.precursor_tol = settings.precursor_tol;
    scorer.fragment_tol = settings.fragment_tol;
    scorer.max_fragment_charge = settings.max_fragment_charge;
    scorer.min_matched_peaks = settings.min_matched_peaks;
    scorer.ignore_precursor_charge = false;
    scorer.chimera = settings.chimera;
    scorer.wide_window = settings.wide_window;
    scorer.annotate_matches = settings.annotate_matches;
    scorer.score_type = ScoreType::SeparateIntensities;
    scorer.min_isotope_err = settings.min_isotope_err;
    scorer.max_isotope_err = settings.max_isotope_err;
    scorer.min_precursor_charge = settings.min_precursor_charge;
    scorer.max_precursor_charge = settings.max_precursor_charge;
    return scorer;
}

uint8_t Scorer::max_fragment_charge_for(uint8_t z) const {
    // Signed arithmetic: a precursor charge of 0 gives -1 here and ends at 1, not at 255.
    int highest = static_cast<int>(z) - 1;
    if (max_fragment_charge) highest = std::min(highest, static_cast<int>(*max_fragment_charge));
    return static_cast<uint8_t>(std::max(highest, 1));
}

namespace {

// The matches of one candidate, added up in match order: counts, intensity sums and runs
// per ion side, the error sum, and the annotations when asked for.
class MatchTally {
public:
    MatchTally(size_t length, bool annotate) : length_(length) {
        if (annotate) fragments_.emplace();
    }

    void add(Kind kind, size_t position, unsigned charge, float target, const Peak &peak) {
        const bool n_terminal = is_n_terminal(kind);
        uint16_t &matched = n_terminal ? score_.matched_b : score_.matched_y;
        float &summed = n_terminal ? score_.summed_b : score_.summed_y;
        const float intensity = peak.intensity;
        const float observed = peak.mass;
        matched = static_cast<uint16_t>(matched + 1);
        summed = summed + intensity;
        (n_terminal ? b_run_ : y_run_).update(position);
        error_sum_ = error_sum_ + ((std::fabs(target - observed) * intensity) * 2000000.0f) / (target + observed);
        if (fragments_) {
            const size_t ordinal = n_terminal ? position + 1 : (length_ - 1) - position;
            fragments_->kinds.push_back(kind);
            fragments_->charges.push_back(static_cast<int32_t>(charge));
            fragments_->fragment_ordinals.push_back(static_cast<int32_t>(ordinal));
            fragments_->intensities.push_back(intensity);
            fragments_->mz_calculated.push_back(target + PROTON_MASS);
            fragments_->mz_experimental.push_back(observed + PROTON_MASS);
        }
    }

    ScoredCandidate finish(ScoreType type, const PreliminaryHit &hit) {
        Score &score = score_;
        score.hyperscore = score_type_score(type, score.matched_b, score.matched_y, score.summed_b, score.summed_y);
        score.average_ppm = error_sum_ / (score.summed_y + score.summed_b);
        score.longest_b = b_run_.longest;
        score.longest_y = y_run_.longest;
        score.peptide_idx = hit.peptide_idx;
        score.precursor_charge = hit.precursor_charge;
        score.isotope_error = hit.isotope_error;
        return {score, std::move(fragments_)};
    }

private:
    size_t length_;
    Score score_;
    RunTracker b_run_, y_run_;
    float error_sum_ = 0.0f;
    std::optional<Fragments> fragments_;
};

// Per thread: the fragment masses of one ion series and which of their windows may hold
// a peak.
struct SeriesScratch {
    std::vector<float> masses;
    std::vector<uint8_t> maybe;
};

}  // namespace

ScoredCandidate Scorer::score_candidate(std::span<const Peak> peaks, const PreliminaryHit &hit) const {
    const IndexedDatabase &database = scorer_database(*this);
    const PeptideView peptide = scorer_peptide(*this, hit.peptide_idx);
    const unsigned max_charge = max_fragment_charge_for(hit.precursor_charge);
    MatchTally tally(peptide.length(), annotate_matches);
    for (const Kind kind : database.ion_kinds) {
        walk_ion_series(peptide, kind, [&](size_t position, float fragment_mass) {
            for (unsigned charge = 1; charge <= max_charge; ++charge) {
                const float target = fragment_mass / static_cast<float>(charge);
                if (const Peak *peak = select_most_intense_peak(peaks, target, fragment_tol))
                    tally.add(kind, position, charge, target, *peak);
            }
        });
    }
    return tally.finish(score_type, hit);
}

ScoredCandidate Scorer::score_candidate_with(const PeakLookup &lookup, const PreliminaryHit &hit) const {
    const IndexedDatabase &database = scorer_database(*this);
    const PeptideView peptide = scorer_peptide(*this, hit.peptide_idx);
    const unsigned max_charge = max_fragment_charge_for(hit.precursor_charge);
    MatchTally tally(peptide.length(), annotate_matches);
    thread_local SeriesScratch scratch;
    const size_t ions = peptide.length() > 1 ? peptide.length() - 1 : 0;
    if (scratch.masses.size() < ions) scratch.masses.resize(ions);
    const size_t stride = PeakLookup::screen_stride(ions);
    if (scratch.maybe.size() < stride * max_charge) scratch.maybe.resize(stride * max_charge);
    float *const masses = scratch.masses.data();
    const uint8_t *const maybe = scratch.maybe.data();
    for (const Kind kind : database.ion_kinds) {
        // The whole series first, so that its windows are screened together; then the
        // matches in the same order as one lookup after another.
        walk_ion_series(peptide, kind, [&](size_t position, float fragment_mass) { masses[position] = fragment_mass; });
        lookup.screen(masses, ions, max_charge, fragment_tol, scratch.maybe.data());
        for (size_t position = 0; position < ions; ++position) {
            for (unsigned charge = 1; charge <= max_charge; ++charge) {
                if (!PeakLookup::screened_in(maybe, stride, position, charge)) continue;
                const float target = masses[position] / static_cast<float>(charge);
                if (const Peak *peak = lookup.most_intense(target, fragment_tol))
                    tally.add(kind, position, charge, target, *peak);
            }
        }
    }
    return tally.finish(score_type, hit);
}

std::vector<ScoredCandidate> score_preliminary_list(const Scorer &scorer, const ProcessedSpectrum &spectrum,
                                                    std::span<const PreliminaryHit> candidates) {
    std::vector<ScoredCandidate> kept;
    kept.reserve(candidates.size());
    // Kept by the thread, so that its tables are allocated once rather than per round.
    thread_local PeakLookup lookup;
    const bool reference = scorer.search_path == SearchPath::Reference;
    if (!reference) lookup.assign(spectrum.peaks);
    for (const PreliminaryHit &hit : candidates) {
        if (hit.peptide_idx == UNMATCHED) continue;
        ScoredCandidate scored =
            reference ? scorer.score_candidate(spectrum.peaks, hit) : scorer.score_candidate_with(lookup, hit);
        const uint16_t matched = static_cast<uint16_t>(scored.first.matched_b + scored.first.matched_y);
        if (matched >= scorer.min_matched_peaks) kept.push_back(std::move(scored));
    }
    return kept;
}

void Scorer::build_features(const ProcessedSpectrum &spectrum, const PreliminaryHits &hits, uint64_t limit,
                            std::vector<Feature> &out, float precursor_mz) const {
    if (spectrum.precursors.empty()) throw Failure("missing MS1 precursor for " + spectrum.id);

    std::vector<ScoredCandidate> scored = score_preliminary_list(*this, spectrum, hits.candidates);
    std::stable_sort(scored.begin(), scored.end(), [](const ScoredCandidate &a, const ScoredCandidate &b) {
        return total_order_key(a.first.hyperscore) > total_order_key(b.first.hyperscore);
    });

    const size_t n = scored.size();
    const size_t count = static_cast<size_t>(std::min<uint64_t>(n, limit));
    if (count == 0) return;

    const float neutral_mass = precursor_mz - PROTON_MASS;
    const double lambda = static_cast<double>(hits.matched_peaks) / static_cast<double>(hits.scored_candidates);
    const double exp_minus_lambda = std::exp(-lambda);
    const double best = scored.front().first.hyperscore;
    const float ims = spectrum.precursors.front().inverse_ion_mobility.value_or(0.0f);

    for (size_t j = 0; j < count; ++j) {
        const Score &s = scored[j].first;
        const PeptideView peptide = scorer_peptide(*this, s.peptide_idx);
        const uint64_t psm_id = PSM_COUNTER.fetch_add(1, std::memory_order_relaxed);
        const double next = j + 1 < n ? scored[j + 1].first.hyperscore : 0.0;
        const uint16_t k = static_cast<uint16_t>(s.matched_b + s.matched_y);

        double probability = (power_by_squaring(lambda, k) * exp_minus_lambda) / std::exp(count_term(k));
        if (std::isinf(probability)) probability = 0.0;

        const float expmass = static_cast<float>(s.precursor_charge) * neutral_mass;
        const float iso = static_cast<float>(s.isotope_error) * ISOTOPE_SPACING;
        const float calcmass = peptide.monoisotopic;
        const float delta_mass = (((expmass - calcmass) - iso) * 2000000.0f) / ((expmass - iso) + calcmass);

        const uint64_t peptide_len = peptide.length();
        const float longest_y_pct = static_cast<float>(s.longest_y) / static_cast<float>(peptide_len);
        const float ms2_intensity = s.summed_b + s.summed_y;
        const float matched_intensity_pct = (ms2_intensity * 100.0f) / spectrum.total_ion_current;

        Feature f;
        f.file_id = spectrum.file_id;
        f.spec_id = spectrum.id;
        f.psm_id = psm_id;
        f.rank = static_cast<uint32_t>(j + 1);
        f.label = peptide.decoy ? -1 : 1;
        f.hyperscore = s.hyperscore;
        f.delta_mass = delta_mass;
        f.matched_peaks = k;
        f.peptide_len = peptide_len;
        f.expmass = expmass;
        f.calcmass = calcmass;
        f.charge = s.precursor_charge;
        f.rt = spectrum.scan_start_time;
        f.aligned_rt = spectrum.scan_start_time;
        f.predicted_rt = 0.0f;
        f.delta_rt_model = 0.999f;
        f.ims = ims;
        f.predicted_ims = 0.0f;
        f.delta_ims_model = 0.999f;
        f.isotope_error = iso;
        f.average_ppm = s.average_ppm;
        f.delta_next = s.hyperscore - next;
        f.delta_best = best - s.hyperscore;
        f.longest_b = static_cast<uint32_t>(s.longest_b);
        f.longest_y = static_cast<uint32_t>(s.longest_y);
        f.longest_y_pct = longest_y_pct;
        f.missed_cleavages = peptide.missed_cleavages;
        f.matched_intensity_pct = matched_intensity_pct;
        f.scored_candidates = static_cast<uint32_t>(hits.scored_candidates);
        f.poisson = std::log10(probability);
        f.discriminant_score = 0.0f;
        f.posterior_error = 1.0f;
        f.spectrum_q = 1.0f;
        f.peptide_q = 1.0f;
        f.protein_q = 1.0f;
        f.ms2_intensity = ms2_intensity;
        f.fragments = std::move(scored[j].second);
        f.peptide_idx = s.peptide_idx;
        out.push_back(std::move(f));
    }
}

PreliminaryHits Scorer::initial_hits(const ProcessedSpectrum &spectrum, const Precursor &precursor) const {
    if (search_path == SearchPath::Reference) {
        if (!scorer_database(*this).fragment_list)
            throw Failure("the reference search reads the fragment list, which this database leaves out");
        return reference_initial_hits(spectrum, precursor);
    }
    return shared_pass_hits(spectrum.peaks, precursor);
}

void Scorer::for_each_precursor_charge(const Precursor &precursor,
                                       const std::function<void(uint8_t, Tolerance, float)> &visit) const {
    const float neutral_mz = precursor.mz - PROTON_MASS;
    auto pass = [&](uint8_t z, Tolerance tol) { visit(z, tol, neutral_mz * static_cast<float>(z)); };
    if (wide_window) {
        const Tolerance window = precursor.isolation_window.value_or(Tolerance::da(-2.4f, 2.4f));
        for (unsigned z = min_precursor_charge; z <= max_precursor_charge; ++z)
            pass(static_cast<uint8_t>(z), window.scaled(static_cast<float>(z)));
    } else if (precursor.charge && !ignore_precursor_charge) {
        pass(*precursor.charge, precursor_tol);
    } else {
        for (unsigned z = min_precursor_charge; z <= max_precursor_charge; ++z)
            pass(static_cast<uint8_t>(z), precursor_tol);
    }
}

PreliminaryHits Scorer::reference_initial_hits(const ProcessedSpectrum &spectrum, const Precursor &precursor) const {
    PreliminaryHits merged;
    for_each_precursor_charge(precursor, [&](uint8_t z, Tolerance tol, float mass) {
        append_pass(merged, matched_peaks(spectrum.peaks, z, tol, mass));
    });
    keep_best(merged.candidates, report_psms);
    return merged;
}

PreliminaryHits Scorer::matched_peaks(std::span<const Peak> peaks, uint8_t z, Tolerance tol, float mass) const {
    // A single pass is the charge's list as it stands; several are merged and cut again.
    if (single_isotope_pass()) return matched_peaks_with_isotope(peaks, z, tol, mass, 0);
    PreliminaryHits merged;
    for_each_isotope_error(
        [&](int8_t e) { append_pass(merged, matched_peaks_with_isotope(peaks, z, tol, mass, e)); });
    keep_best(merged.candidates, report_psms);
    return merged;
}

PreliminaryHits Scorer::matched_peaks_with_isotope(std::span<const Peak> peaks, uint8_t z, Tolerance tol, float mass,
                                                   int8_t isotope_error) const {
    const IndexedDatabase &database = scorer_database(*this);
    const IndexedQuery query = database.query(isotope_shifted_mass(mass, isotope_error), tol, fragment_tol);
    const unsigned max_charge = max_fragment_charge_for(z);

    const uint64_t first = query.candidate_lo;
    if (query.candidate_hi < first) throw Failure("inverted peptide bracket from the index query");
    // One slot more than the bracket, so that position candidate_hi has a slot too.
    const uint64_t slot_count = query.candidate_hi - first + 1;

    PreliminaryHits result;
    result.candidates.resize(static_cast<size_t>(slot_count));
    PreliminaryHit *const slots = result.candidates.data();
    for (const Peak &peak : peaks) {
        for (unsigned charge = 1; charge <= max_charge; ++charge) {
            PageSearch search = query.page_search(static_cast<float>(charge) * peak.mass);
            while (const Theoretical *fragment = search.next()) {
                const uint64_t offset = static_cast<uint64_t>(fragment->peptide_idx) - first;
                if (offset >= slot_count) throw Failure("index query yielded a peptide outside its bracket");
                PreliminaryHit &slot = slots[offset];
                if (slot.matched == 0) {
                    result.scored_candidates += 1;
                    slot.peptide_idx = fragment->peptide_idx;
                    slot.precursor_charge = z;
                    slot.isotope_error = isotope_error;
                }
                slot.matched = static_cast<uint16_t>(slot.matched + 1);
                result.matched_peaks += 1;
            }
        }
    }
    if (result.matched_peaks == 0) return result;
    keep_best(result.candidates, report_psms);
    return result;
}

std::vector<Feature> Scorer::score(const ProcessedSpectrum &spectrum) const {
    if (spectrum.level != 2)
        throw Failure("internal bug, trying to score a non-MS2 scan! (level " + std::to_string(spectrum.level) +
                      ", expected 2)");
    return chimera ? score_chimera_fast(spectrum) : score_standard(spectrum);
}

std::vector<Feature> Scorer::score_standard(const ProcessedSpectrum &spectrum) const {
    if (spectrum.precursors.empty()) throw Failure("missing MS1 precursor for " + spectrum.id);
    const Precursor &precursor = spectrum.precursors.front();
    const PreliminaryHits hits = initial_hits(spectrum, precursor);

    // Room for what can be reported: never more than the scorable candidates, whatever
    // report_psms says.
    const auto scorable = static_cast<uint64_t>(std::count_if(
        hits.candidates.begin(), hits.candidates.end(), [](const PreliminaryHit &h) { return h.peptide_idx != UNMATCHED; }));
    std::vector<Feature> features;
    features.reserve(static_cast<size_t>(std::min(report_psms, scorable)));
    build_features(spectrum, hits, report_psms, features, precursor.mz);
    return features;
}

std::vector<Feature> Scorer::score_chimera_fast(const ProcessedSpectrum &spectrum) const {
    if (spectrum.precursors.empty()) throw Failure("missing MS1 precursor for " + spectrum.id);
    const IndexedDatabase &database = scorer_database(*this);
    const Precursor precursor = spectrum.precursors.front();

    ProcessedSpectrum working = spectrum;
    const PreliminaryHits hits = initial_hits(working, precursor);

    std::vector<Feature> features;
    if (report_psms == 0) return features;

    // Every reported PSM with a matched fragment removes at least one peak, so at most
    // `peaks` of them differ. After that, or once a PSM without matches is reported, the
    // spectrum stops changing and each further iteration repeats the same PSM. Room is
    // reserved for the distinct ones only, and repeats stop at a ceiling, so an enormous
    // `report_psms` cannot exhaust memory or loop without end.
    constexpr uint64_t REPEAT_CEILING = 4096;
    const uint64_t distinct = static_cast<uint64_t>(spectrum.peaks.size()) + 1;
    const uint64_t limit = std::min(report_psms, std::max(distinct, REPEAT_CEILING));
    features.reserve(static_cast<size_t>(std::min(limit, distinct)));

    // Allocated once per thread, not per spectrum: the more peaks, the more a spectrum
    // would otherwise grow them.
    thread_local std::vector<Peak> removal;
    thread_local PeakLookup lookup;
    for (;;) {
        const size_t before = features.size();
        build_features(working, hits, 1, features, precursor.mz);
        if (features.size() == before) break;
        Feature &feature = features.back();

        // Peaks explaining the reported peptide, looked up on the unchanged peak list.
        const PeptideView peptide = scorer_peptide(*this, feature.peptide_idx);
        const unsigned max_charge = max_fragment_charge_for(feature.charge);
        removal.clear();
        const bool reference = search_path == SearchPath::Reference;
        if (!reference) lookup.assign(working.peaks);
        for (const Kind kind : database.ion_kinds) {
            walk_ion_series(peptide, kind, [&](size_t, float fragment_mass) {
                for (unsigned charge = 1; charge <= max_charge; ++charge) {
                    const float target = fragment_mass / static_cast<float>(charge);
                    if (const Peak *peak = reference ? select_most_intense_peak(working.peaks, target, fragment_tol)
                                                     : lookup.most_intense(target, fragment_tol))
                        removal.push_back(*peak);
                }
            });
        }
        // IEEE equality on both values: identical peaks all go, NaN never matches.
        std::erase_if(working.peaks, [&](const Peak &peak) {
            return std::any_of(removal.begin(), removal.end(), [&](const Peak &r) {
                return peak.intensity == r.intensity && peak.mass == r.mass;
            });
        });
        float total = -0.0f;
        for (const Peak &peak : working.peaks) total = total + peak.intensity;
        working.total_ion_current = total;

        feature.rank = static_cast<uint32_t>(before + 1);
        if (features.size() >= limit) break;
    }
    return features;
}

std::vector<std::vector<Feature>> score_batch(const ScorerSettings &settings, const IndexedDatabase &db,
                                              std::span<const std::shared_ptr<const ProcessedSpectrum>> spectra) {
    constexpr size_t BATCH_THREADS = 32;
    // One slot per spectrum, written only by the worker that scores it.
    std::vector<std::vector<Feature>> results(spectra.size());
    run_on_fresh_threads(BATCH_THREADS, spectra.size(), [&](size_t i) {
        const std::shared_ptr<const ProcessedSpectrum> &spectrum = spectra[i];
        if (!spectrum) throw Failure("spectrum " + std::to_string(i) + " of the batch is missing");
        const Scorer scorer = Scorer::from_settings(settings, db);
        results[i] = scorer.score(*spectrum);
    });
    return results;
}

}  // namespace mesk
