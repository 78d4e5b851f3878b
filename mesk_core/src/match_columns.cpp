// Scoring a batch into per-field columns.
#include "match_columns.hpp"

#include <cmath>
#include <cstring>
#include <optional>
#include <thread>
#include <type_traits>

#include "failure.hpp"
#include "thread_pool.hpp"

namespace mesk {

namespace {

struct Row {
    const Feature *feature;
    const LowResFeatures *low;
    uint32_t spectrum;
};

template <class T>
std::string dtype_of() {
    const char kind = std::is_floating_point_v<T> ? 'f' : (std::is_signed_v<T> ? 'i' : 'u');
    return std::string("=") + kind + std::to_string(sizeof(T));
}

template <class T, class Get>
void add(MatchColumns &out, const char *name, std::span<const Row> rows, Get get) {
    Column column{name, dtype_of<T>(), std::vector<unsigned char>(rows.size() * sizeof(T))};
    unsigned char *cursor = column.bytes.data();
    for (const Row &row : rows) {
        const T value = static_cast<T>(get(row));
        std::memcpy(cursor, &value, sizeof(T));
        cursor += sizeof(T);
    }
    out.columns.push_back(std::move(column));
}

// A feature field, stored with the field's own type.
#define FIELD(name) add<decltype(Feature::name)>(out, #name, rows, [](const Row &r) { return r.feature->name; })
#define LOW(name, field) add<decltype(LowResFeatures::field)>(out, name, rows, [](const Row &r) { return r.low->field; })

}  // namespace

std::vector<SpectrumMatches> score_spectra(const ScorerSettings &settings, const IndexedDatabase &db,
                                           std::span<const std::shared_ptr<const ProcessedSpectrum>> spectra,
                                           size_t threads, const LowResSettings *low_res) {
    if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
    threads = std::min(threads, std::max<size_t>(spectra.size(), 1));
    // One slot per spectrum, written only by the worker that scores it.
    std::vector<SpectrumMatches> results(spectra.size());
    const std::optional<GeneratedPeptides> null =
        low_res ? std::optional<GeneratedPeptides>(std::in_place, db, low_res->null_seed) : std::nullopt;
    run_on_fresh_threads(threads, spectra.size(), [&](size_t i) {
        const std::shared_ptr<const ProcessedSpectrum> &spectrum = spectra[i];
        if (!spectrum) throw Failure("spectrum " + std::to_string(i) + " of the batch is missing");
        const Scorer scorer = Scorer::from_settings(settings, db);
        SpectrumMatches &slot = results[i];
        slot.features = scorer.score(*spectrum);
        if (low_res)
            slot.low_res = low_res->reference_path
                               ? reference_low_res_features(scorer, *spectrum, slot.features, *low_res, *null)
                               : low_res_features(scorer, *spectrum, slot.features, *low_res, *null);
    });
    return results;
}

MatchColumns to_columns(std::span<const SpectrumMatches> matches, bool low_res, bool delta_xcorr) {
    if (matches.size() > UINT32_MAX) throw Failure("more than 2^32 - 1 spectra in one batch; score it in chunks");
    std::vector<Row> rows;
    size_t total = 0;
    for (const SpectrumMatches &m : matches) total += m.features.size();
    rows.reserve(total);
    for (size_t s = 0; s < matches.size(); ++s) {
        const SpectrumMatches &m = matches[s];
        if (low_res && m.low_res.size() != m.features.size())
            throw Failure("low-resolution features missing for spectrum " + std::to_string(s));
        for (size_t j = 0; j < m.features.size(); ++j)
            rows.push_back({&m.features[j], low_res ? &m.low_res[j] : nullptr, static_cast<uint32_t>(s)});
    }

    MatchColumns out;
    out.rows = rows.size();
    add<uint32_t>(out, "spectrum_index", rows, [](const Row &r) { return r.spectrum; });
    FIELD(psm_id);
    FIELD(peptide_idx);
    FIELD(file_id);
    FIELD(rank);
    FIELD(label);
    FIELD(charge);
    FIELD(expmass);
    FIELD(calcmass);
    FIELD(delta_mass);
    FIELD(isotope_error);
    FIELD(rt);
    FIELD(hyperscore);
    FIELD(delta_next);
    FIELD(delta_best);
    FIELD(matched_peaks);
    FIELD(longest_b);
    FIELD(longest_y);
    FIELD(longest_y_pct);
    FIELD(peptide_len);
    FIELD(missed_cleavages);
    FIELD(matched_intensity_pct);
    FIELD(scored_candidates);
    FIELD(poisson);
    FIELD(average_ppm);
    FIELD(ms2_intensity);
    FIELD(aligned_rt);
    FIELD(predicted_rt);
    FIELD(delta_rt_model);
    FIELD(ims);
    FIELD(predicted_ims);
    FIELD(delta_ims_model);
    if (low_res) {
        LOW("xcorr", xcorr);
        if (delta_xcorr) LOW("delta_xcorr", delta_xcorr);
        LOW("log10_evalue", log10_evalue);
        LOW("top_peaks_explained", top_peaks_explained);
        LOW("matched_ion_fraction", matched_ion_fraction);
        add<float>(out, "abs_delta_mass", rows, [](const Row &r) { return std::fabs(r.feature->delta_mass); });
    }
    return out;
}

#undef FIELD
#undef LOW

}  // namespace mesk
