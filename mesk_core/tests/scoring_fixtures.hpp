// Hand-made peptides, fragment ladders and spectra for the scoring tests. Fragment masses
// are computed here from the residue table with the 32-bit steps of an ion ladder, apart
// from the code under test.
#pragma once

#include <algorithm>
#include <cmath>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "database.hpp"
#include "index_build.hpp"
#include "peptide.hpp"
#include "scoring.hpp"
#include "spectrum.hpp"

namespace fixtures {

using namespace mesk;

// Residues plus water, added in sequence order in 32-bit floats.
inline float residue_sum_mass(std::string_view sequence) {
    float mass = 18.010565f;
    for (char c : sequence) mass = mass + residue_mass(static_cast<uint8_t>(c));
    return mass;
}

inline Peptide make(std::string_view sequence, float monoisotopic, bool decoy = false) {
    Peptide p = make_peptide(std::string(sequence), monoisotopic, std::nullopt, std::nullopt, std::nullopt);
    p.decoy = decoy;
    return p;
}

// b ions b1 .. b(L-1): running sum of residue masses from 0.0.
inline std::vector<float> b_ladder(std::string_view sequence) {
    std::vector<float> out;
    float mass = 0.0f;
    for (size_t i = 0; i + 1 < sequence.size(); ++i) {
        mass = mass + residue_mass(static_cast<uint8_t>(sequence[i]));
        out.push_back(mass);
    }
    return out;
}

// y ions in walk order, ordinals L-1 .. 1: the full mass minus one residue at a time.
inline std::vector<float> y_ladder(std::string_view sequence, float monoisotopic) {
    std::vector<float> out;
    float mass = monoisotopic;
    for (size_t i = 0; i + 1 < sequence.size(); ++i) {
        mass = mass - residue_mass(static_cast<uint8_t>(sequence[i]));
        out.push_back(mass);
    }
    return out;
}

inline std::vector<Peak> sorted_peaks(std::vector<Peak> peaks) {
    std::stable_sort(peaks.begin(), peaks.end(), [](const Peak &a, const Peak &b) { return a.mass < b.mass; });
    return peaks;
}

inline ProcessedSpectrum spectrum(std::string id, std::vector<Peak> peaks, std::vector<Precursor> precursors,
                                  float total_ion_current = 1000.0f) {
    ProcessedSpectrum s;
    s.id = std::move(id);
    s.file_id = 7;
    s.scan_start_time = 12.5f;
    s.total_ion_current = total_ion_current;
    s.precursors = std::move(precursors);
    s.peaks = std::move(peaks);
    return s;
}

inline Precursor precursor(float mz, std::optional<uint8_t> charge = std::nullopt) {
    Precursor p;
    p.mz = mz;
    p.charge = charge;
    return p;
}

// m/z of a precursor of charge z whose neutral mass is `mass`.
inline float precursor_mz(float mass, unsigned z) { return mass / static_cast<float>(z) + PROTON_MASS; }

// Scorer over a hand-built database with the defaults of the Python front end.
inline Scorer scorer_for(const IndexedDatabase &db) {
    ScorerSettings settings;
    settings.precursor_tol = Tolerance::ppm(-10.0f, 10.0f);
    settings.fragment_tol = Tolerance::da(-0.01f, 0.01f);
    return Scorer::from_settings(settings, db);
}

inline IndexedDatabase build(std::vector<Peptide> peptides, std::vector<Kind> kinds = {Kind::B, Kind::Y},
                             size_t bucket_size = 4) {
    BuildConfig config;
    config.ion_kinds = std::move(kinds);
    config.decoy_tag = "rev_";
    config.bucket_size = bucket_size;
    config.min_ion_index = 0;
    return build_indexed_database(std::move(config), std::move(peptides));
}

}  // namespace fixtures
