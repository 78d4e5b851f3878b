// A batch of spectra scored into columns: one contiguous array per match field, rows in
// spectrum order and, within a spectrum, in rank order.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "low_res.hpp"
#include "scoring.hpp"

namespace mesk {

// One numeric column: its name, its element type as a numpy type string (native byte
// order), and the elements' bytes.
struct Column {
    std::string name;
    std::string dtype;
    std::vector<unsigned char> bytes;
};

struct MatchColumns {
    size_t rows = 0;
    std::vector<Column> columns;
};

// The reported matches of one spectrum, with their low-resolution features (empty when
// those were not asked for).
struct SpectrumMatches {
    std::vector<Feature> features;
    std::vector<LowResFeatures> low_res;
};

// Scores every spectrum as the batch entry point does (same matches, same numbers, same
// order) on `threads` threads made for this call (0: one per processor), adding the
// low-resolution features when `low_res` is given. The first failure fails the batch.
std::vector<SpectrumMatches> score_spectra(const ScorerSettings &settings, const IndexedDatabase &db,
                                           std::span<const std::shared_ptr<const ProcessedSpectrum>> spectra,
                                           size_t threads, const LowResSettings *low_res);

// The matches as columns, plus `spectrum_index`, the position of each row's spectrum in
// `matches`. Low-resolution columns are present when every spectrum carries them;
// `delta_xcorr` only with `delta_xcorr` (off when LowResSettings::window_xcorrs was).
MatchColumns to_columns(std::span<const SpectrumMatches> matches, bool low_res, bool delta_xcorr = true);

}  // namespace mesk
