// Spectrum, peak and precursor records, and the most-intense-peak lookup.
#pragma once

#include <algorithm>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "database.hpp"  // total_order_key
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
//
// Most windows of a candidate's fragments hold no peak at all. A bitmap of the cells of
// the key range that hold a peak, with running counts of its set bits, tells that from
// the window's bounds alone, with no branch on the peaks.
class PeakLookup {
public:
    void assign(std::span<const Peak> peaks);

    const Peak *most_intense(float target, Tolerance tol) const {
        const auto [lo, hi] = tol.bounds(target);
        if (surely_empty(lo, hi)) return nullptr;
        return most_intense_within(target, tol, lo, hi);
    }

    // Screens the windows of a series of fragment masses: for masses[0, count) and
    // charges 1 .. max_charge, clears the bit of (position, charge) in `maybe` when no
    // peak can lie in the window of tol around masses[position] / charge, and sets it when
    // one may (then most_intense tells). `maybe` holds screen_stride(count) bytes per charge.
    void screen(const float *masses, size_t count, unsigned max_charge, Tolerance tol, uint8_t *maybe) const;
    static size_t screen_stride(size_t count) { return (count + 7) / 8; }
    static bool screened_in(const uint8_t *maybe, size_t stride, size_t position, unsigned charge) {
        return (maybe[(charge - 1) * stride + position / 8] >> (position % 8)) & 1;
    }

private:
    const Peak *most_intense_within(float target, Tolerance tol, float lo, float hi) const;

    // Whether no peak can satisfy lo <= mass <= hi. Key order agrees with IEEE order on
    // everything but NaN (which fails every test anyway) and the two zeros, so a window
    // with a zero bound is left to the full test.
    bool surely_empty(float lo, float hi) const {
        if (occupied_.empty() || lo == 0.0f || hi == 0.0f) return false;
        const uint64_t a = cell(total_order_key(lo)), b = cell(total_order_key(hi));
        if (a > b) return true;
        const uint64_t from_a = ~uint64_t{0} << (a % 64), to_b = ~uint64_t{0} >> (63 - b % 64);
        const size_t wa = a / 64, wb = b / 64;
        if (wa == wb) return (occupied_[wa] & from_a & to_b) == 0;
        return (occupied_[wa] & from_a) == 0 && (occupied_[wb] & to_b) == 0 &&
               occupied_before_[wb] == occupied_before_[wa + 1];
    }
    // Cell of a key: 0 below the peaks' range, then one cell per 2^cell_shift_ keys, the
    // last one above the range.
    uint64_t cell(int32_t key) const {
        const int64_t d = std::max<int64_t>(int64_t{key} - cell_key_min_, -1);
        return static_cast<uint64_t>(1 + std::min<int64_t>(d >> cell_shift_, cell_last_));
    }

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

    // Cells holding a peak of non-NaN mass, 64 to a word (empty when the list does not
    // ascend), and per word the occupied cells in the words before it.
    std::vector<uint64_t> occupied_;
    std::vector<uint32_t> occupied_before_;
    int64_t cell_key_min_ = 0;
    int64_t cell_last_ = 0;
    unsigned cell_shift_ = 0;
};

}  // namespace mesk
