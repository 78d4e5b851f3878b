// Preliminary hits and the bounded min-heap that keeps the best k of them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <tuple>

namespace mesk {

inline constexpr uint32_t UNMATCHED = 0xFFFFFFFFu;

// One candidate peptide of one (precursor charge, isotope error) pass.
struct PreliminaryHit {
    uint32_t peptide_idx = UNMATCHED;
    uint16_t matched = 0;
    uint8_t precursor_charge = 0;
    int8_t isotope_error = 0;

    // Greater is better: more hits, then higher peptide index, charge, isotope error.
    friend bool operator<(const PreliminaryHit &a, const PreliminaryHit &b) {
        return std::tie(a.matched, a.peptide_idx, a.precursor_charge, a.isotope_error) <
               std::tie(b.matched, b.peptide_idx, b.precursor_charge, b.isotope_error);
    }
    friend bool operator==(const PreliminaryHit &, const PreliminaryHit &) = default;
};

// Restores the min-heap property of list[0, n) below `root`.
void sift_down(std::span<PreliminaryHit> list, size_t n, size_t root);

// Leaves the k greatest of list[0, n) in list[0, k) as a min-heap (no-op when n <= k).
void bounded_min_heapify(std::span<PreliminaryHit> list, size_t n, size_t k);

}  // namespace mesk
