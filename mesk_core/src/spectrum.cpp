// Most-intense-peak lookup over a spectrum's peaks (ascending by mass).
#include "spectrum.hpp"

#include <algorithm>
#include <cmath>

#include "database.hpp"

namespace mesk {

namespace {

// The last peak of peaks[left, right) with the highest non-negative intensity whose mass
// lies in [lo, hi].
const Peak *most_intense_between(std::span<const Peak> peaks, size_t left, size_t right, float lo, float hi) {
    float best = 0.0f;
    const Peak *result = nullptr;
    for (size_t i = left; i < right; ++i) {
        const Peak &peak = peaks[i];
        if (!(lo <= peak.mass && peak.mass <= hi)) continue;
        // `>=` lets a later peak of equal intensity win; a negative or NaN intensity never does.
        if (peak.intensity >= best) result = &peak;
        if (best <= peak.intensity) best = peak.intensity;
    }
    return result;
}

constexpr size_t STRETCHES_PER_PEAK = 8;  // fine enough that most stretches hold no peak or one
// Fine enough that a narrow window's cells seldom hold a peak it misses.
constexpr size_t CELLS_PER_PEAK = 64;

}  // namespace

const Peak *select_most_intense_peak(std::span<const Peak> peaks, float target, Tolerance tol) {
    const auto [lo, hi] = tol.bounds(target);
    // The bracket walks outward over equal masses in the total order and may start with
    // one peak below the window; the IEEE test drops it (and any NaN mass).
    const auto [left, right] = bracket_range(
        peaks.size(), [&](size_t i) { return total_order_key(peaks[i].mass); }, total_order_key(lo),
        total_order_key(hi));
    return most_intense_between(peaks, left, right, lo, hi);
}

void PeakLookup::assign(std::span<const Peak> peaks) {
    peaks_ = peaks;
    keys_.resize(peaks.size());
    ascending_ = true;
    for (size_t i = 0; i < peaks.size(); ++i) {
        keys_[i] = total_order_key(peaks[i].mass);
        if (i > 0 && keys_[i] < keys_[i - 1]) ascending_ = false;
    }
    stretch_start_.clear();
    occupied_.clear();
    if (!ascending_ || peaks.empty()) return;
    key_min_ = keys_.front();
    const uint64_t span = static_cast<uint64_t>(int64_t{keys_.back()} - key_min_);
    const uint64_t stretches = STRETCHES_PER_PEAK * peaks.size();
    shift_ = 0;
    while ((span >> shift_) >= stretches) ++shift_;
    stretch_start_.assign(static_cast<size_t>((span >> shift_) + 2), 0);
    for (const int32_t key : keys_) ++stretch_start_[stretch(key) + 1];
    for (size_t b = 1; b < stretch_start_.size(); ++b) stretch_start_[b] += stretch_start_[b - 1];

    // Occupied cells, over the keys of the peaks that are not NaN (they sit at the ends).
    size_t first = 0, last = keys_.size();
    while (first < last && std::isnan(peaks[first].mass)) ++first;
    while (last > first && std::isnan(peaks[last - 1].mass)) --last;
    if (first == last) return;
    cell_key_min_ = keys_[first];
    const uint64_t cell_span = static_cast<uint64_t>(int64_t{keys_[last - 1]} - cell_key_min_);
    const uint64_t cells = CELLS_PER_PEAK * (last - first);
    cell_shift_ = 0;
    while ((cell_span >> cell_shift_) >= cells) ++cell_shift_;
    cell_last_ = static_cast<int64_t>(cell_span >> cell_shift_) + 1;
    const size_t words = static_cast<size_t>(cell_last_ + 1) / 64 + 1;  // cells 0 .. cell_last_ + 1
    occupied_.assign(words, 0);
    occupied_before_.resize(words);
    for (size_t i = first; i < last; ++i) {
        const uint64_t c = cell(keys_[i]);
        occupied_[c / 64] |= uint64_t{1} << (c % 64);
    }
    uint32_t before = 0;
    for (size_t w = 0; w < words; ++w) {
        occupied_before_[w] = before;
        for (uint64_t bits = occupied_[w]; bits != 0; bits &= bits - 1) ++before;
    }
}

const Peak *PeakLookup::most_intense_within(float target, Tolerance tol, float lo, float hi) const {
    if (!ascending_) return select_most_intense_peak(peaks_, target, tol);
    if (peaks_.empty()) return nullptr;
    // The positions the bracket search finds on an ascending list: from the last key
    // below lo's to the first above hi's (never before the start).
    const size_t i = first_position(total_order_key(lo), false);
    const size_t left = i == 0 ? 0 : i - 1;
    const size_t right = std::max(left, first_position(total_order_key(hi), true));
    return most_intense_between(peaks_, left, right, lo, hi);
}

}  // namespace mesk
