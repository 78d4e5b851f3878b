// Most-intense-peak lookup over a spectrum's peaks (ascending by mass).
#include "spectrum.hpp"

#include <algorithm>
#include <cmath>

#include "database.hpp"
#include "lanes.hpp"
#ifdef MESK_VECTOR_LANES
#include <immintrin.h>
#endif

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

#ifdef MESK_VECTOR_LANES
namespace {

// The occupancy cells of eight keys at once, as PeakLookup::cell computes them.
__attribute__((target("avx2"), always_inline)) inline __m256i cells_of(__m256 value, __m256i key_min, __m128i shift,
                                                                        __m256i last) {
    const __m256i bits = _mm256_castps_si256(value);
    const __m256i key = _mm256_xor_si256(bits, _mm256_srli_epi32(_mm256_srai_epi32(bits, 31), 1));
    const __m256i below = _mm256_cmpgt_epi32(key_min, key);
    // Above key_min the difference fits 32 unsigned bits.
    const __m256i cell = _mm256_min_epu32(_mm256_srl_epi32(_mm256_sub_epi32(key, key_min), shift), last);
    return _mm256_andnot_si256(below, _mm256_add_epi32(cell, _mm256_set1_epi32(1)));
}

// Whether the occupancy bit of each of eight cells is set, as all-ones lanes.
__attribute__((target("avx2"), always_inline)) inline __m256i occupied_lanes(const int *words, __m256i cell) {
    const __m256i word = _mm256_i32gather_epi32(words, _mm256_srli_epi32(cell, 5), 4);
    const __m256i bit = _mm256_srlv_epi32(word, _mm256_and_si256(cell, _mm256_set1_epi32(31)));
    return _mm256_cmpeq_epi32(_mm256_and_si256(bit, _mm256_set1_epi32(1)), _mm256_set1_epi32(1));
}

// PeakLookup::screen eight masses at a time: the same 32-bit divisions and window
// arithmetic per lane. A window whose bounds fall in the same or neighbouring cells is
// settled by their two bits; a wider one is left set.
__attribute__((target("avx2"))) void screen_in_lanes(const float *masses, size_t count, unsigned max_charge,
                                                     Tolerance tol, uint8_t *maybe, const uint64_t *occupied,
                                                     int64_t key_min, unsigned shift, int64_t last) {
    const size_t stride = PeakLookup::screen_stride(count);
    const __m256i key_min_v = _mm256_set1_epi32(static_cast<int32_t>(key_min));
    const __m128i shift_v = _mm_cvtsi32_si128(static_cast<int>(shift));
    const __m256i last_v = _mm256_set1_epi32(static_cast<int32_t>(last));
    const int *const words = reinterpret_cast<const int *>(occupied);
    const bool ppm = tol.unit == Tolerance::Unit::Ppm;
    const __m256 minus = _mm256_set1_ps(tol.minus), plus = _mm256_set1_ps(tol.plus);
    const __m256 million = _mm256_set1_ps(1000000.0f), zero = _mm256_setzero_ps();
    const __m256i one = _mm256_set1_epi32(1);
    for (unsigned charge = 1; charge <= max_charge; ++charge) {
        const __m256 c = _mm256_set1_ps(static_cast<float>(charge));
        uint8_t *out = maybe + (charge - 1) * stride;
        for (size_t i = 0; i < count; i += 8) {
            __m256 mass;
            if (count - i >= 8) {
                mass = _mm256_loadu_ps(masses + i);
            } else {
                alignas(32) float tail[8] = {};
                std::copy(masses + i, masses + count, tail);
                mass = _mm256_load_ps(tail);
            }
            const __m256 target = _mm256_div_ps(mass, c);
            __m256 lo, hi;
            if (ppm) {
                lo = _mm256_add_ps(target, _mm256_div_ps(_mm256_mul_ps(minus, target), million));
                hi = _mm256_add_ps(target, _mm256_div_ps(_mm256_mul_ps(plus, target), million));
            } else {
                lo = _mm256_add_ps(target, minus);
                hi = _mm256_add_ps(target, plus);
            }
            const __m256 zero_bound =
                _mm256_or_ps(_mm256_cmp_ps(lo, zero, _CMP_EQ_OQ), _mm256_cmp_ps(hi, zero, _CMP_EQ_OQ));
            const __m256i a = cells_of(lo, key_min_v, shift_v, last_v), b = cells_of(hi, key_min_v, shift_v, last_v);
            const __m256i span = _mm256_sub_epi32(b, a);
            const __m256i inverted = _mm256_cmpgt_epi32(_mm256_setzero_si256(), span);
            const __m256i wide = _mm256_cmpgt_epi32(span, one);
            const __m256i held = _mm256_or_si256(occupied_lanes(words, a), occupied_lanes(words, b));
            const __m256i may = _mm256_andnot_si256(inverted, _mm256_or_si256(wide, held));
            const int lanes = _mm256_movemask_ps(_mm256_or_ps(zero_bound, _mm256_castsi256_ps(may)));
            out[i / 8] = static_cast<uint8_t>(lanes);
        }
    }
}

}  // namespace
#endif

void PeakLookup::screen(const float *masses, size_t count, unsigned max_charge, Tolerance tol, uint8_t *maybe) const {
    const size_t stride = screen_stride(count);
    if (occupied_.empty()) {
        std::fill(maybe, maybe + stride * max_charge, uint8_t{0xFF});
        return;
    }
#ifdef MESK_VECTOR_LANES
    if (vector_lanes())
        return screen_in_lanes(masses, count, max_charge, tol, maybe, occupied_.data(), cell_key_min_, cell_shift_,
                               cell_last_);
#endif
    for (unsigned charge = 1; charge <= max_charge; ++charge) {
        uint8_t *out = maybe + (charge - 1) * stride;
        std::fill(out, out + stride, uint8_t{0});
        for (size_t i = 0; i < count; ++i) {
            const auto [lo, hi] = tol.bounds(masses[i] / static_cast<float>(charge));
            if (!surely_empty(lo, hi)) out[i / 8] |= static_cast<uint8_t>(1u << (i % 8));
        }
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
