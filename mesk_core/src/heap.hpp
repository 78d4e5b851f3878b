// Preliminary hits and the bounded min-heap that keeps the best k of them.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <span>
#include <tuple>
#include <vector>

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

// Size of the preliminary shortlist, max(50, 2 * report_psms); saturates instead of
// wrapping for very large report_psms.
uint64_t shortlist_size(uint64_t report_psms);

// bounded_min_heapify fed one hit at a time: after any sequence of pushes, list() is
// exactly what bounded_min_heapify(list, n, k) followed by keeping k entries leaves for
// the same sequence as a list (the sequence itself while it holds at most k hits). Hits
// are kept as integer keys in the order of PreliminaryHit, so a comparison is one
// instruction.
class StreamingBest {
public:
    // The order of PreliminaryHit as one integer: matched, peptide index, charge, then
    // the isotope error moved to an unsigned range.
    static uint64_t key(const PreliminaryHit &h) {
        return (uint64_t{h.matched} << 48) | (uint64_t{h.peptide_idx} << 16) | (uint64_t{h.precursor_charge} << 8) |
               static_cast<uint8_t>(h.isotope_error ^ 0x80);
    }
    static PreliminaryHit hit(uint64_t k) {
        return PreliminaryHit{static_cast<uint32_t>(k >> 16), static_cast<uint16_t>(k >> 48),
                              static_cast<uint8_t>(k >> 8), static_cast<int8_t>(static_cast<uint8_t>(k) ^ 0x80)};
    }

    void reset(uint64_t capacity) {
        keys_.clear();
        keys_.reserve(static_cast<size_t>(std::min<uint64_t>(capacity, 1024)));
        capacity_ = capacity;
        heap_ = false;
    }

    void push(uint64_t k) {
        if (capacity_ == 0) return;
        if (!heap_) {
            if (keys_.size() < capacity_) {
                keys_.push_back(k);
                return;
            }
            heapify();
        }
        if (keys_[0] < k) sift_down(0, k);
    }
    void push(const PreliminaryHit &h) { push(key(h)); }

    // `count` copies of one hit: once the least kept hit is no longer below it, the
    // remaining copies change nothing.
    void push_copies(const PreliminaryHit &h, uint64_t count) {
        if (capacity_ == 0) return;
        const uint64_t k = key(h);
        for (; count > 0 && !heap_ && keys_.size() < capacity_; --count) keys_.push_back(k);
        if (count == 0) return;
        if (!heap_) heapify();
        for (; count > 0 && keys_[0] < k; --count) sift_down(0, k);
    }

    const std::vector<uint64_t> &keys() const { return keys_; }
    std::vector<PreliminaryHit> list() const;

private:
    void heapify();
    // sift_down of `k` placed at `root`: the same comparisons and moves, on keys.
    void sift_down(size_t root, uint64_t k);

    std::vector<uint64_t> keys_;
    uint64_t capacity_ = 0;
    bool heap_ = false;
};

}  // namespace mesk
