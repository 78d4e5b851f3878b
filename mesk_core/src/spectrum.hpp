// Spectrum, peak and precursor records, and the most-intense-peak lookup.
#pragma once

#include <algorithm>
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
    uint64_t stretch(int32_t key) const { return static_cast<uint64_t>(int64_t{key} - key_min_) >> shift_; }

    // First position whose key is > `key` (`above`) or >= `key`. Keys of earlier
    // stretches are below `key` and those of later ones above it, so only the key's own
    // stretch (a peak or two) is read.
    size_t first_position(int32_t key, bool above) const {
        if (key < key_min_ || (!above && key == key_min_)) return 0;
        const uint64_t b = stretch(key);
        if (b + 1 >= stretch_start_.size()) return keys_.size();
        size_t j = stretch_start_[b];
        const size_t end = stretch_start_[b + 1];
        if (end - j > 8) {  // a crowded stretch: search by halving
            const int32_t *k = keys_.data();
            const int32_t *found = above ? std::upper_bound(k + j, k + end, key) : std::lower_bound(k + j, k + end, key);
            return static_cast<size_t>(found - k);
        }
        if (above)
            while (j < end && keys_[j] <= key) ++j;
        else
            while (j < end && keys_[j] < key) ++j;
        return j;
    }

    std::span<const Peak> peaks_;
    std::vector<int32_t> keys_;
    std::vector<uint32_t> stretch_start_;  // first position of each stretch of keys
    int64_t key_min_ = 0;
    unsigned shift_ = 0;
    bool ascending_ = false;
};

}  // namespace mesk
