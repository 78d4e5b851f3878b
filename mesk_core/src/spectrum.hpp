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

// select_most_intense_peak over one peak list, with the two binary searches replaced by
// a table of where each stretch of the total-order key begins: the same peaks are
// examined in the same order, so the answer is the same. Holds for a list ascending in
// the total order; any other list falls back to select_most_intense_peak.
class PeakLookup {
public:
    void assign(std::span<const Peak> peaks);
    const Peak *most_intense(float target, Tolerance tol) const;

private:
    size_t first_not_below(int32_t key) const;  // first position whose key is >= key
    size_t first_above(int32_t key) const;      // first position whose key is > key

    std::span<const Peak> peaks_;
    std::vector<int32_t> keys_;
    std::vector<uint32_t> stretch_start_;  // first position of each stretch of keys
    int64_t key_min_ = 0;
    unsigned shift_ = 0;
    bool ascending_ = false;
};

}  // namespace mesk
