// Bounded min-heap selection of the best preliminary hits.
#include "heap.hpp"

#include <algorithm>
#include <limits>
#include <string>
#include <utility>

#include "failure.hpp"

namespace mesk {

void sift_down(std::span<PreliminaryHit> list, size_t n, size_t root) {
    if (n > list.size())
        throw Failure("heap size " + std::to_string(n) + " exceeds list length " + std::to_string(list.size()));
    for (;;) {
        const size_t left = 2 * root + 1;
        if (left >= n) return;
        size_t smallest = root;
        if (list[left] < list[smallest]) smallest = left;
        if (left + 1 < n && list[left + 1] < list[smallest]) smallest = left + 1;
        if (smallest == root) return;
        std::swap(list[root], list[smallest]);
        root = smallest;
    }
}

void bounded_min_heapify(std::span<PreliminaryHit> list, size_t n, size_t k) {
    if (n <= k) return;
    if (n > list.size())
        throw Failure("heap input " + std::to_string(n) + " exceeds list length " + std::to_string(list.size()));
    if (k >= 2) {
        for (size_t i = k / 2; i-- > 0;) sift_down(list, k, i);
    }
    // list[0] is the least of the k kept so far; anything strictly better replaces it.
    for (size_t i = k; i < n; ++i) {
        if (list[0] < list[i]) {
            std::swap(list[0], list[i]);
            sift_down(list, k, 0);
        }
    }
}

uint64_t shortlist_size(uint64_t report_psms) {
    const uint64_t twice =
        report_psms > std::numeric_limits<uint64_t>::max() / 2 ? std::numeric_limits<uint64_t>::max() : 2 * report_psms;
    return std::max<uint64_t>(50, twice);
}

void StreamingBest::heapify() {
    heap_ = true;
    const size_t k = keys_.size();
    if (k >= 2)
        for (size_t i = k / 2; i-- > 0;) sift_down(i, keys_[i]);
}

void StreamingBest::sift_down(size_t root, uint64_t k) {
    uint64_t *const keys = keys_.data();
    const size_t n = keys_.size();
    for (;;) {
        const size_t left = 2 * root + 1;
        if (left >= n) break;
        size_t smallest = left;
        if (left + 1 < n && keys[left + 1] < keys[left]) smallest = left + 1;
        if (!(keys[smallest] < k)) break;
        keys[root] = keys[smallest];
        root = smallest;
    }
    keys[root] = k;
}

std::vector<PreliminaryHit> StreamingBest::list() const {
    std::vector<PreliminaryHit> out(keys_.size());
    for (size_t i = 0; i < keys_.size(); ++i) out[i] = hit(keys_[i]);
    return out;
}

}  // namespace mesk
