// Spectrum, peak and precursor records, and the most-intense-peak lookup.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "tolerance.hpp"

namespace mesk {

struct Peak {
    float intensity;
    float mass;  // m/z exactly as given; no charge or proton correction
};

struct Precursor {
    float mz = 0.0f;
    std::optional<uint8_t> charge;
    std::optional<float> intensity;
    std::optional<Tolerance> isolation_window;
    std::optional<float> inverse_ion_mobility;
};

// One MS2 scan, immutable once built and shared read-only between scoring threads.
struct ProcessedSpectrum {
    std::string id;
    uint64_t file_id = 0;
    float scan_start_time = 0.0f;
    float total_ion_current = 0.0f;
    uint8_t level = 2;
    std::vector<Precursor> precursors;
    std::vector<Peak> peaks;  // caller's order; lookups expect ascending mass
};

// The last peak with the highest non-negative intensity whose mass lies in the window
// of `tol` around `target`, or nullptr.
const Peak *select_most_intense_peak(std::span<const Peak> peaks, float target, Tolerance tol);

}  // namespace mesk
