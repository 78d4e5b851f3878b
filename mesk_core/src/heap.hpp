// Preliminary hits and the bounded min-heap that keeps the best k of them.
#pragma once

#include <cstddef>
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
// the same sequence as a list (the sequence itself while it holds at most k hits).
class StreamingBest {
public:
    void reset(uint64_t capacity) {
        list_.clear();
        capacity_ = capacity;
        heap_ = false;
    }

    void push(const PreliminaryHit &hit) {
        if (capacity_ == 0) return;
        if (!heap_) {
            if (list_.size() < capacity_) {
                list_.push_back(hit);
                return;
            }
            heapify();
        }
        if (key(list_[0]) < key(hit)) replace_least(hit);
    }

    // `count` copies of one hit: once the least kept hit is no longer below it, the
    // remaining copies change nothing.
    void push_copies(const PreliminaryHit &hit, uint64_t count) {
        if (capacity_ == 0) return;
        for (; count > 0 && !heap_ && list_.size() < capacity_; --count) list_.push_back(hit);
        if (count == 0) return;
        if (!heap_) heapify();
        for (; count > 0 && key(list_[0]) < key(hit); --count) replace_least(hit);
    }

    const std::vector<PreliminaryHit> &list() const { return list_; }
    std::vector<PreliminaryHit> take() { return std::move(list_); }

private:
    // The order of PreliminaryHit as one integer: matched, peptide index, charge, then
    // the isotope error moved to an unsigned range.
    static uint64_t key(const PreliminaryHit &h) {
        return (uint64_t{h.matched} << 48) | (uint64_t{h.peptide_idx} << 16) | (uint64_t{h.precursor_charge} << 8) |
               static_cast<uint8_t>(h.isotope_error ^ 0x80);
    }

    void heapify();
    void replace_least(const PreliminaryHit &hit);

    std::vector<PreliminaryHit> list_;
    uint64_t capacity_ = 0;
    bool heap_ = false;
};

}  // namespace mesk
