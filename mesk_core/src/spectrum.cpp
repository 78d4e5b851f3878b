// Most-intense-peak lookup over a spectrum's peaks (ascending by mass).
#include "spectrum.hpp"

#include "database.hpp"

namespace mesk {

const Peak *select_most_intense_peak(std::span<const Peak> peaks, float target, Tolerance tol) {
    const auto [lo, hi] = tol.bounds(target);
    // The bracket walks outward over equal masses in the total order and may start with
    // one peak below the window; the IEEE test below drops it (and any NaN mass).
    const auto [left, right] = bracket_range(
        peaks.size(), [&](size_t i) { return total_order_key(peaks[i].mass); }, total_order_key(lo),
        total_order_key(hi));

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

}  // namespace mesk
